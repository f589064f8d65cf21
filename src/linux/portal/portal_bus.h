// The session bus as the portal module uses it: a connection of its own per
// call, and one loop that drives it up to a deadline.
//
// Every step runs through portal_bus_pump, which waits with sd_bus_wait up to
// the call's deadline (vs_now_ms's monotonic clock, as every layer's); no
// sd-bus call that waits by itself (sd_bus_call, sd_bus_add_match,
// sd_bus_flush) is used, since their own timeouts (25 s and up) know nothing
// of ours.
#ifndef VANTOREL_PORTAL_BUS_H
#define VANTOREL_PORTAL_BUS_H

#include <stdint.h>
#include <systemd/sd-bus.h>

#include "linux/portal/portal_sdbus.h"

#define PORTAL_BUS_NAME "org.freedesktop.portal.Desktop"
#define PORTAL_BUS_PATH "/org/freedesktop/portal/desktop"

// Drives the connection until done(ctx) holds: 0, -ETIMEDOUT at the deadline,
// or the connection's error.
int portal_bus_pump(sd_bus *bus, int (*done)(void *), void *ctx, int64_t deadline);

// A connection of our own (never the default bus object, which is shared by
// the thread), authenticated and named within the deadline: 0, or a negative
// errno (-ETIMEDOUT for a bus that takes the connection and stays silent,
// -ELIBACC where libsystemd could not be loaded).
int portal_bus_open(sd_bus **out, int64_t deadline);

// One method call's reply, caught by portal_call_on_reply (its userdata).
struct portal_call {
  sd_bus_message *reply;  // a reference of ours once done, or null
  int done;
};
int portal_call_on_reply(sd_bus_message *m, void *userdata, sd_bus_error *);
int portal_call_done(void *call);

#endif
