// portal_available: whether the portal's Screenshot interface is there, by the
// deadline of the call that chooses a layer.
#include <errno.h>
#include <string.h>
#include <systemd/sd-bus.h>

#include "linux/portal/portal_bus.h"
#include "linux/portal/portal_capture.h"

namespace {

struct probe_state {
  portal_call get;
  portal_call names;
};

int probe_done(void *ctx) { return static_cast<probe_state *>(ctx)->get.done; }

int name_activatable(sd_bus_message *reply) {
  if (!reply || sd_bus_message_is_method_error(reply, nullptr)) return 0;
  if (sd_bus_message_enter_container(reply, 'a', "s") <= 0) return 0;
  const char *name = nullptr;
  while (sd_bus_message_read(reply, "s", &name) > 0) {
    if (strcmp(name, PORTAL_BUS_NAME) == 0) return 1;
  }
  return 0;
}

}  // namespace

int portal_available(int64_t deadline) {
  sd_bus *bus = nullptr;
  if (portal_bus_open(&bus, deadline) < 0) return 0;
  probe_state s;
  memset(&s, 0, sizeof s);
  // Asking for the interface's version starts the portal when it is only
  // activatable (the bus starts it and holds the question until it runs);
  // if it is not up by the deadline, being activatable is taken as enough,
  // and the capture itself will say what is missing.
  int r = sd_bus_call_method_async(bus, nullptr, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                   "org.freedesktop.DBus", "ListActivatableNames",
                                   portal_call_on_reply, &s.names, nullptr);
  if (r >= 0) {
    r = sd_bus_call_method_async(bus, nullptr, PORTAL_BUS_NAME, PORTAL_BUS_PATH,
                                 "org.freedesktop.DBus.Properties", "Get", portal_call_on_reply,
                                 &s.get, "ss", "org.freedesktop.portal.Screenshot", "version");
  }
  int available = 0;
  if (r >= 0) {
    r = portal_bus_pump(bus, probe_done, &s, deadline);
    if (r == 0) {
      available = !sd_bus_message_is_method_error(s.get.reply, nullptr);
    } else if (r == -ETIMEDOUT) {
      available = name_activatable(s.names.reply);
    }
  }
  sd_bus_message_unref(s.get.reply);
  sd_bus_message_unref(s.names.reply);
  sd_bus_close_unref(bus);
  return available;
}
