#include "linux/portal/portal_bus.h"

#include <errno.h>

#include "linux/linux_display.h"

int portal_bus_pump(sd_bus *bus, int (*done)(void *), void *ctx, int64_t deadline) {
  for (;;) {
    int r = sd_bus_process(bus, nullptr);
    if (r < 0) return r;
    if (done(ctx)) return 0;
    if (r > 0) continue;
    int64_t left = deadline - vs_now_ms();
    if (left <= 0) return -ETIMEDOUT;
    // A relative wait, measured from the monotonic clock.
    r = sd_bus_wait(bus, uint64_t(left) * 1000u);
    if (r < 0 && r != -EINTR) return r;
  }
}

static int bus_is_ready(void *bus) { return sd_bus_is_ready(static_cast<sd_bus *>(bus)) > 0; }

int portal_bus_open(sd_bus **out, int64_t deadline) {
  if (portal_sdbus_load() != 0) return -ELIBACC;
  sd_bus *bus = nullptr;
  int r = sd_bus_open_user(&bus);
  if (r < 0) return r;
  r = portal_bus_pump(bus, bus_is_ready, bus, deadline);
  if (r < 0) {
    sd_bus_close_unref(bus);
    return r;
  }
  *out = bus;
  return 0;
}

int portal_call_on_reply(sd_bus_message *m, void *userdata, sd_bus_error *) {
  portal_call *call = static_cast<portal_call *>(userdata);
  if (!call->done) call->reply = sd_bus_message_ref(m);
  call->done = 1;
  return 0;
}

int portal_call_done(void *call) { return static_cast<portal_call *>(call)->done; }
