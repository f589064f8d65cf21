/* A Wayland client that shows a known picture fullscreen on every output, so
 * that a capture can be checked pixel by pixel without trusting the code that
 * took it. The picture is a function of the desktop position (see
 * known_pixel), drawn in each output's part of the layout as xdg-output
 * reports it. Prints one line per output, "output NAME X Y W H", then
 * "ready" once every surface has been shown (its first frame callback), and
 * runs until stdin closes or it is signalled.
 *
 *   known_picture_client [--outputs N]   waits until N outputs are known */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include "known_pixel.h"
#include "xdg-output-unstable-v1-client-protocol.h"
#include "xdg-shell-client-protocol.h"

#define MAX_OUTPUTS 8

struct output {
  struct wl_output *wl;
  struct zxdg_output_v1 *xdg;
  char name[64];
  int32_t x, y, w, h;
  int32_t mode_w, mode_h;
  int xdg_done;
  struct wl_surface *surface;
  struct xdg_surface *xdg_surface;
  struct xdg_toplevel *toplevel;
  struct wl_buffer *buffer;
  int configured_w, configured_h;
  int shown;
};

static struct wl_compositor *compositor;
static struct wl_shm *shm;
static struct xdg_wm_base *wm_base;
static struct zxdg_output_manager_v1 *output_manager;
static struct output outputs[MAX_OUTPUTS];
static int output_count;

static void fail(const char *what) {
  fprintf(stderr, "known_picture_client: %s\n", what);
  exit(1);
}

static void output_geometry(void *data, struct wl_output *o, int32_t x, int32_t y, int32_t pw,
                            int32_t ph, int32_t sub, const char *make, const char *model,
                            int32_t transform) {
  (void)data, (void)o, (void)x, (void)y, (void)pw, (void)ph, (void)sub, (void)make, (void)model,
      (void)transform;
}
static void output_mode(void *data, struct wl_output *o, uint32_t flags, int32_t w, int32_t h,
                        int32_t refresh) {
  struct output *out = data;
  (void)o, (void)refresh;
  if (flags & WL_OUTPUT_MODE_CURRENT) {
    out->mode_w = w;
    out->mode_h = h;
  }
}
static void output_done(void *data, struct wl_output *o) { (void)data, (void)o; }
static void output_scale(void *data, struct wl_output *o, int32_t s) {
  (void)data, (void)o;
  if (s != 1) fail("outputs with a scale other than 1 are not supported");
}
static const struct wl_output_listener output_listener = {
    .geometry = output_geometry, .mode = output_mode, .done = output_done, .scale = output_scale};

static void xdg_output_position(void *data, struct zxdg_output_v1 *o, int32_t x, int32_t y) {
  struct output *out = data;
  (void)o;
  out->x = x;
  out->y = y;
}
static void xdg_output_size(void *data, struct zxdg_output_v1 *o, int32_t w, int32_t h) {
  struct output *out = data;
  (void)o;
  out->w = w;
  out->h = h;
}
static void xdg_output_done(void *data, struct zxdg_output_v1 *o) {
  struct output *out = data;
  (void)o;
  out->xdg_done = 1;
}
static void xdg_output_name(void *data, struct zxdg_output_v1 *o, const char *name) {
  struct output *out = data;
  (void)o;
  snprintf(out->name, sizeof out->name, "%s", name);
}
static void xdg_output_description(void *data, struct zxdg_output_v1 *o, const char *d) {
  (void)data, (void)o, (void)d;
}
static const struct zxdg_output_v1_listener xdg_output_listener = {
    xdg_output_position, xdg_output_size, xdg_output_done, xdg_output_name, xdg_output_description};

static void wm_ping(void *data, struct xdg_wm_base *b, uint32_t serial) {
  (void)data;
  xdg_wm_base_pong(b, serial);
}
static const struct xdg_wm_base_listener wm_listener = {wm_ping};

static void registry_global(void *data, struct wl_registry *reg, uint32_t name, const char *iface,
                            uint32_t version) {
  (void)data;
  if (strcmp(iface, wl_compositor_interface.name) == 0) {
    compositor = wl_registry_bind(reg, name, &wl_compositor_interface, 4);
  } else if (strcmp(iface, wl_shm_interface.name) == 0) {
    shm = wl_registry_bind(reg, name, &wl_shm_interface, 1);
  } else if (strcmp(iface, xdg_wm_base_interface.name) == 0) {
    wm_base = wl_registry_bind(reg, name, &xdg_wm_base_interface, 1);
    xdg_wm_base_add_listener(wm_base, &wm_listener, NULL);
  } else if (strcmp(iface, zxdg_output_manager_v1_interface.name) == 0) {
    output_manager =
        wl_registry_bind(reg, name, &zxdg_output_manager_v1_interface, version < 3 ? version : 3);
  } else if (strcmp(iface, wl_output_interface.name) == 0 && output_count < MAX_OUTPUTS) {
    struct output *out = &outputs[output_count++];
    out->wl = wl_registry_bind(reg, name, &wl_output_interface, version < 2 ? version : 2);
    wl_output_add_listener(out->wl, &output_listener, out);
  }
}
static void registry_remove(void *data, struct wl_registry *reg, uint32_t name) {
  (void)data, (void)reg, (void)name;
}
static const struct wl_registry_listener registry_listener = {registry_global, registry_remove};

static void toplevel_configure(void *data, struct xdg_toplevel *t, int32_t w, int32_t h,
                               struct wl_array *states) {
  struct output *out = data;
  (void)t, (void)states;
  out->configured_w = w;
  out->configured_h = h;
}
static void toplevel_close(void *data, struct xdg_toplevel *t) { (void)data, (void)t; }
static const struct xdg_toplevel_listener toplevel_listener = {.configure = toplevel_configure,
                                                               .close = toplevel_close};

static void frame_done(void *data, struct wl_callback *cb, uint32_t time) {
  struct output *out = data;
  (void)time;
  wl_callback_destroy(cb);
  out->shown = 1;
}
static const struct wl_callback_listener frame_listener = {frame_done};

static struct wl_buffer *known_buffer(const struct output *out, int32_t w, int32_t h) {
  size_t stride = (size_t)w * 4, size = stride * (size_t)h;
  int fd = memfd_create("known-picture", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, (off_t)size) != 0) fail("shared memory");
  uint32_t *px = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (px == MAP_FAILED) fail("mmap");
  for (int32_t y = 0; y < h; y++) {
    for (int32_t x = 0; x < w; x++)
      px[(size_t)y * (size_t)w + (size_t)x] = known_pixel(out->x + x, out->y + y);
  }
  munmap(px, size);
  struct wl_shm_pool *pool = wl_shm_create_pool(shm, fd, (int32_t)size);
  struct wl_buffer *buffer =
      wl_shm_pool_create_buffer(pool, 0, w, h, (int32_t)stride, WL_SHM_FORMAT_XRGB8888);
  wl_shm_pool_destroy(pool);
  close(fd);
  return buffer;
}

static void xdg_surface_configure(void *data, struct xdg_surface *s, uint32_t serial) {
  struct output *out = data;
  xdg_surface_ack_configure(s, serial);
  int32_t w = out->configured_w > 0 ? out->configured_w : out->w;
  int32_t h = out->configured_h > 0 ? out->configured_h : out->h;
  if (out->buffer) return;
  out->buffer = known_buffer(out, w, h);
  wl_surface_attach(out->surface, out->buffer, 0, 0);
  wl_surface_damage(out->surface, 0, 0, w, h);
  struct wl_callback *cb = wl_surface_frame(out->surface);
  wl_callback_add_listener(cb, &frame_listener, out);
  wl_surface_commit(out->surface);
}
static const struct xdg_surface_listener xdg_surface_listener = {xdg_surface_configure};

int main(int argc, char **argv) {
  int want = 1;
  if (argc == 3 && strcmp(argv[1], "--outputs") == 0) want = atoi(argv[2]);
  struct wl_display *display = wl_display_connect(NULL);
  if (!display) fail("cannot connect to the Wayland display");
  struct wl_registry *registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &registry_listener, NULL);
  wl_display_roundtrip(display);
  if (!compositor || !shm || !wm_base || !output_manager) fail("missing a global");
  if (output_count < want) fail("fewer outputs than asked for");
  for (int i = 0; i < output_count; i++) {
    outputs[i].xdg = zxdg_output_manager_v1_get_xdg_output(output_manager, outputs[i].wl);
    zxdg_output_v1_add_listener(outputs[i].xdg, &xdg_output_listener, &outputs[i]);
  }
  wl_display_roundtrip(display);
  wl_display_roundtrip(display);
  for (int i = 0; i < output_count; i++) {
    struct output *out = &outputs[i];
    printf("output %s %d %d %d %d\n", out->name, out->x, out->y, out->w, out->h);
    out->surface = wl_compositor_create_surface(compositor);
    out->xdg_surface = xdg_wm_base_get_xdg_surface(wm_base, out->surface);
    xdg_surface_add_listener(out->xdg_surface, &xdg_surface_listener, out);
    out->toplevel = xdg_surface_get_toplevel(out->xdg_surface);
    xdg_toplevel_add_listener(out->toplevel, &toplevel_listener, out);
    xdg_toplevel_set_title(out->toplevel, "known picture");
    xdg_toplevel_set_app_id(out->toplevel, "known-picture");
    xdg_toplevel_set_fullscreen(out->toplevel, out->wl);
    wl_surface_commit(out->surface);
  }
  fflush(stdout);
  int ready = 0;
  struct pollfd fds[2] = {{wl_display_get_fd(display), POLLIN, 0}, {0, POLLIN, 0}};
  for (;;) {
    while (wl_display_prepare_read(display) != 0) wl_display_dispatch_pending(display);
    wl_display_flush(display);
    if (poll(fds, 2, -1) < 0 && errno != EINTR) fail("poll");
    if (fds[0].revents & POLLIN) {
      if (wl_display_read_events(display) < 0) fail("connection lost");
    } else {
      wl_display_cancel_read(display);
    }
    if (wl_display_dispatch_pending(display) < 0) fail("dispatch");
    if (fds[0].revents & (POLLERR | POLLHUP)) fail("connection lost");
    if (fds[1].revents & (POLLIN | POLLHUP)) {
      char c[64];
      if (read(0, c, sizeof c) <= 0) break;
    }
    if (!ready) {
      int all = 1;
      for (int i = 0; i < output_count; i++) all = all && outputs[i].shown;
      if (all) {
        ready = 1;
        printf("ready\n");
        fflush(stdout);
      }
    }
  }
  wl_display_disconnect(display);
  return 0;
}
