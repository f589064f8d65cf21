/* Gives a headless wlroots compositor a pointer and puts it somewhere:
 *
 *   vs-virtual-pointer X Y WIDTH HEIGHT
 *
 * moves a virtual pointer (wlr-virtual-pointer-unstable-v1) to (X, Y) of a
 * WIDTH x HEIGHT layout, prints "ready" once the compositor has it, and holds
 * the pointer until standard input closes: the compositor draws a pointer
 * only while a pointer device exists (once this client is gone, sway draws
 * none, asked or not). Exit status 1 when the compositor offers no virtual
 * pointers. */
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <wayland-client.h>

#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

static struct wl_seat *seat;
static struct zwlr_virtual_pointer_manager_v1 *manager;

static void global(void *data, struct wl_registry *registry, uint32_t name, const char *interface,
                   uint32_t version) {
  (void)data;
  (void)version;
  if (!strcmp(interface, wl_seat_interface.name) && !seat)
    seat = wl_registry_bind(registry, name, &wl_seat_interface, 1);
  if (!strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name))
    manager = wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1);
}

static void global_remove(void *data, struct wl_registry *registry, uint32_t name) {
  (void)data;
  (void)registry;
  (void)name;
}

static const struct wl_registry_listener registry_listener = {global, global_remove};

int main(int argc, char **argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: vs-virtual-pointer X Y WIDTH HEIGHT\n");
    return 2;
  }
  unsigned x = (unsigned)atoi(argv[1]), y = (unsigned)atoi(argv[2]);
  unsigned width = (unsigned)atoi(argv[3]), height = (unsigned)atoi(argv[4]);
  struct wl_display *display = wl_display_connect(NULL);
  if (!display) {
    fprintf(stderr, "vs-virtual-pointer: no compositor\n");
    return 1;
  }
  struct wl_registry *registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &registry_listener, NULL);
  wl_display_roundtrip(display);
  if (!manager) {
    fprintf(stderr, "vs-virtual-pointer: the compositor offers no virtual pointers\n");
    return 1;
  }
  struct zwlr_virtual_pointer_v1 *pointer =
      zwlr_virtual_pointer_manager_v1_create_virtual_pointer(manager, seat);
  /* Once the compositor has the device (sway then shows the pointer where it
   * starts, near 100,100), moved to the place asked for, from a step away so
   * that it surely moves. */
  if (wl_display_roundtrip(display) < 0) return 1;
  zwlr_virtual_pointer_v1_motion_absolute(pointer, 1, x ? x - 1 : x + 1, y, width, height);
  zwlr_virtual_pointer_v1_frame(pointer);
  if (wl_display_roundtrip(display) < 0) return 1;
  zwlr_virtual_pointer_v1_motion_absolute(pointer, 2, x, y, width, height);
  zwlr_virtual_pointer_v1_frame(pointer);
  if (wl_display_roundtrip(display) < 0) return 1;
  printf("ready\n");
  fflush(stdout);
  /* Held until standard input closes, answering the compositor meanwhile. */
  struct pollfd fds[2] = {{0, POLLIN, 0}, {wl_display_get_fd(display), POLLIN, 0}};
  for (;;) {
    wl_display_flush(display);
    if (poll(fds, 2, -1) < 0) break;
    if (fds[0].revents) {
      char buffer[64];
      if (read(0, buffer, sizeof buffer) <= 0) break;
    }
    if (fds[1].revents && wl_display_dispatch(display) < 0) break;
  }
  zwlr_virtual_pointer_v1_destroy(pointer);
  wl_display_roundtrip(display);
  wl_display_disconnect(display);
  return 0;
}
