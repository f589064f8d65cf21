/* Shows a known picture fullscreen on every output of a Wayland desktop, so
 * that a screenshot can be checked against it without trusting the code under
 * test. Each output gets a buffer at the output's scale, so the picture is
 * defined pixel for pixel even on a scaled output:
 *
 *   R = px & 255, G = py & 255,
 *   B = (k & 1) << 7 | ((px >> 8) & 15) << 3 | ((py >> 8) & 7)
 *
 * with (px, py) the buffer pixel and k the output's place in the order the
 * compositor announced them. With the argument "blocks" it shows a 4x4 grid
 * of flat colours instead (R = 30 + 60 * column, G = 30 + 60 * row,
 * B = 200 for odd k, 60 for even k), which the portal encodes several times
 * faster, for tests that capture many times. Prints one line per output,
 *   output K NAME X Y WIDTH HEIGHT SCALE
 * (logical position and size from xdg-output), then "ready" once every
 * output's first frame was presented, and runs until it is killed or its
 * standard input closes. */
#define _GNU_SOURCE
#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include "xdg-output-unstable-v1-client-protocol.h"
#include "xdg-shell-client-protocol.h"

#define MAX_OUTPUTS 8

struct output {
  int index;
  struct wl_output *wl;
  struct zxdg_output_v1 *xdg;
  char name[64];
  int x, y, width, height, scale;
  struct wl_surface *surface;
  struct xdg_surface *xdg_surface;
  struct xdg_toplevel *toplevel;
  struct wl_buffer *buffer;
  int want_width, want_height;
  int shown_width, shown_height;
  int presented;
};

static struct wl_compositor *compositor;
static struct wl_shm *shm;
static struct xdg_wm_base *wm_base;
static struct zxdg_output_manager_v1 *output_manager;
static struct output outputs[MAX_OUTPUTS];
static int output_count;

static void die(const char *what) {
  fprintf(stderr, "kde_paint: %s\n", what);
  exit(1);
}

static int blocks;

static uint32_t pattern(int k, int px, int py, int width, int height) {
  if (blocks) {
    uint32_t column = (uint32_t)(px * 4 / width), row = (uint32_t)(py * 4 / height);
    return 0xff000000u | ((30u + 60u * column) << 16) | ((30u + 60u * row) << 8) |
           ((k & 1) ? 200u : 60u);
  }
  uint32_t r = (uint32_t)px & 255u, g = (uint32_t)py & 255u;
  uint32_t b =
      ((uint32_t)(k & 1) << 7) | (((uint32_t)(px >> 8) & 15u) << 3) | ((uint32_t)(py >> 8) & 7u);
  return 0xff000000u | (r << 16) | (g << 8) | b;
}

static void buffer_release(void *data, struct wl_buffer *buffer) {
  (void)data;
  (void)buffer;
}
static const struct wl_buffer_listener buffer_listener = {buffer_release};

static struct wl_buffer *make_buffer(int k, int width, int height) {
  size_t stride = (size_t)width * 4, size = stride * (size_t)height;
  int fd = memfd_create("kde-paint", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, (off_t)size) != 0) die("no shared memory");
  uint32_t *pixels = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (pixels == MAP_FAILED) die("mmap failed");
  for (int y = 0; y < height; y++)
    for (int x = 0; x < width; x++)
      pixels[(size_t)y * (size_t)width + (size_t)x] = pattern(k, x, y, width, height);
  munmap(pixels, size);
  struct wl_shm_pool *pool = wl_shm_create_pool(shm, fd, (int32_t)size);
  struct wl_buffer *buffer =
      wl_shm_pool_create_buffer(pool, 0, width, height, (int32_t)stride, WL_SHM_FORMAT_XRGB8888);
  wl_shm_pool_destroy(pool);
  close(fd);
  wl_buffer_add_listener(buffer, &buffer_listener, NULL);
  return buffer;
}

static void frame_done(void *data, struct wl_callback *callback, uint32_t time) {
  (void)time;
  ((struct output *)data)->presented = 1;
  wl_callback_destroy(callback);
}
static const struct wl_callback_listener frame_listener = {frame_done};

static void show(struct output *o) {
  int width = o->want_width > 0 ? o->want_width : o->width;
  int height = o->want_height > 0 ? o->want_height : o->height;
  if (width <= 0 || height <= 0) die("output without a size");
  if (o->buffer && width == o->shown_width && height == o->shown_height) {
    wl_surface_commit(o->surface);
    return;
  }
  if (o->buffer) wl_buffer_destroy(o->buffer);
  o->buffer = make_buffer(o->index, width * o->scale, height * o->scale);
  o->shown_width = width;
  o->shown_height = height;
  wl_surface_set_buffer_scale(o->surface, o->scale);
  wl_surface_attach(o->surface, o->buffer, 0, 0);
  wl_surface_damage_buffer(o->surface, 0, 0, width * o->scale, height * o->scale);
  struct wl_callback *callback = wl_surface_frame(o->surface);
  wl_callback_add_listener(callback, &frame_listener, o);
  wl_surface_commit(o->surface);
}

static void xdg_surface_configure(void *data, struct xdg_surface *surface, uint32_t serial) {
  xdg_surface_ack_configure(surface, serial);
  show(data);
}
static const struct xdg_surface_listener xdg_surface_listener = {xdg_surface_configure};

static void toplevel_configure(void *data, struct xdg_toplevel *toplevel, int32_t width,
                               int32_t height, struct wl_array *states) {
  (void)toplevel;
  (void)states;
  struct output *o = data;
  o->want_width = width;
  o->want_height = height;
}
static void toplevel_close(void *data, struct xdg_toplevel *toplevel) {
  (void)data;
  (void)toplevel;
}
static const struct xdg_toplevel_listener toplevel_listener = {.configure = toplevel_configure,
                                                               .close = toplevel_close};

static void wm_ping(void *data, struct xdg_wm_base *base, uint32_t serial) {
  (void)data;
  xdg_wm_base_pong(base, serial);
}
static const struct xdg_wm_base_listener wm_listener = {wm_ping};

static void output_geometry(void *data, struct wl_output *o, int32_t x, int32_t y, int32_t pw,
                            int32_t ph, int32_t subpixel, const char *make, const char *model,
                            int32_t transform) {
  (void)data, (void)o, (void)x, (void)y, (void)pw, (void)ph, (void)subpixel, (void)make,
      (void)model, (void)transform;
}
static void output_mode(void *data, struct wl_output *o, uint32_t flags, int32_t w, int32_t h,
                        int32_t refresh) {
  (void)data, (void)o, (void)flags, (void)w, (void)h, (void)refresh;
}
static void output_done(void *data, struct wl_output *o) { (void)data, (void)o; }
static void output_scale(void *data, struct wl_output *o, int32_t factor) {
  (void)o;
  ((struct output *)data)->scale = factor;
}
static const struct wl_output_listener output_listener = {
    .geometry = output_geometry, .mode = output_mode, .done = output_done, .scale = output_scale};

static void xdg_position(void *data, struct zxdg_output_v1 *o, int32_t x, int32_t y) {
  (void)o;
  ((struct output *)data)->x = x;
  ((struct output *)data)->y = y;
}
static void xdg_size(void *data, struct zxdg_output_v1 *o, int32_t w, int32_t h) {
  (void)o;
  ((struct output *)data)->width = w;
  ((struct output *)data)->height = h;
}
static void xdg_done(void *data, struct zxdg_output_v1 *o) { (void)data, (void)o; }
static void xdg_name(void *data, struct zxdg_output_v1 *o, const char *name) {
  (void)o;
  snprintf(((struct output *)data)->name, sizeof((struct output *)data)->name, "%s", name);
}
static void xdg_description(void *data, struct zxdg_output_v1 *o, const char *text) {
  (void)data, (void)o, (void)text;
}
static const struct zxdg_output_v1_listener xdg_output_listener = {xdg_position, xdg_size, xdg_done,
                                                                   xdg_name, xdg_description};

static void global(void *data, struct wl_registry *registry, uint32_t name, const char *interface,
                   uint32_t version) {
  (void)data;
  if (strcmp(interface, wl_compositor_interface.name) == 0 && version >= 4) {
    compositor = wl_registry_bind(registry, name, &wl_compositor_interface, 4);
  } else if (strcmp(interface, wl_shm_interface.name) == 0) {
    shm = wl_registry_bind(registry, name, &wl_shm_interface, 1);
  } else if (strcmp(interface, xdg_wm_base_interface.name) == 0) {
    wm_base = wl_registry_bind(registry, name, &xdg_wm_base_interface, 1);
    xdg_wm_base_add_listener(wm_base, &wm_listener, NULL);
  } else if (strcmp(interface, zxdg_output_manager_v1_interface.name) == 0 && version >= 2) {
    output_manager = wl_registry_bind(registry, name, &zxdg_output_manager_v1_interface, 2);
  } else if (strcmp(interface, wl_output_interface.name) == 0 && version >= 2 &&
             output_count < MAX_OUTPUTS) {
    struct output *o = &outputs[output_count];
    o->index = output_count++;
    o->scale = 1;
    o->wl = wl_registry_bind(registry, name, &wl_output_interface, 2);
    wl_output_add_listener(o->wl, &output_listener, o);
  }
}
static void global_remove(void *data, struct wl_registry *registry, uint32_t name) {
  (void)data, (void)registry, (void)name;
}
static const struct wl_registry_listener registry_listener = {global, global_remove};

int main(int argc, char **argv) {
  if (argc > 2 || (argc == 2 && strcmp(argv[1], "blocks") != 0)) die("usage: kde_paint [blocks]");
  blocks = argc == 2;
  struct wl_display *display = wl_display_connect(NULL);
  if (!display) die("no Wayland display");
  struct wl_registry *registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &registry_listener, NULL);
  wl_display_roundtrip(display);
  if (!compositor || !shm || !wm_base || !output_manager || output_count == 0)
    die("the compositor lacks wl_compositor 4, wl_shm, xdg_wm_base, xdg-output 2 or outputs");
  for (int i = 0; i < output_count; i++) {
    outputs[i].xdg = zxdg_output_manager_v1_get_xdg_output(output_manager, outputs[i].wl);
    zxdg_output_v1_add_listener(outputs[i].xdg, &xdg_output_listener, &outputs[i]);
  }
  wl_display_roundtrip(display);
  wl_display_roundtrip(display);
  for (int i = 0; i < output_count; i++) {
    struct output *o = &outputs[i];
    printf("output %d %s %d %d %d %d %d\n", o->index, o->name[0] ? o->name : "-", o->x, o->y,
           o->width, o->height, o->scale);
    o->surface = wl_compositor_create_surface(compositor);
    o->xdg_surface = xdg_wm_base_get_xdg_surface(wm_base, o->surface);
    xdg_surface_add_listener(o->xdg_surface, &xdg_surface_listener, o);
    o->toplevel = xdg_surface_get_toplevel(o->xdg_surface);
    xdg_toplevel_add_listener(o->toplevel, &toplevel_listener, o);
    xdg_toplevel_set_title(o->toplevel, "kde_paint");
    xdg_toplevel_set_fullscreen(o->toplevel, o->wl);
    wl_surface_commit(o->surface);
  }
  fflush(stdout);

  int announced = 0;
  struct pollfd fds[2] = {{wl_display_get_fd(display), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
  for (;;) {
    if (!announced) {
      int all = 1;
      for (int i = 0; i < output_count; i++) all &= outputs[i].presented;
      if (all) {
        printf("ready\n");
        fflush(stdout);
        announced = 1;
      }
    }
    while (wl_display_prepare_read(display) != 0) wl_display_dispatch_pending(display);
    if (wl_display_flush(display) < 0 && errno != EAGAIN) die("connection lost");
    if (poll(fds, 2, -1) < 0) {
      wl_display_cancel_read(display);
      if (errno == EINTR) continue;
      die("poll failed");
    }
    if (fds[0].revents & (POLLIN | POLLERR | POLLHUP)) {
      if (wl_display_read_events(display) < 0) die("connection lost");
    } else {
      wl_display_cancel_read(display);
    }
    if (wl_display_dispatch_pending(display) < 0) die("protocol error");
    if (fds[1].revents & (POLLIN | POLLHUP)) {
      char byte;
      if (read(STDIN_FILENO, &byte, 1) <= 0) break;
    }
  }
  wl_display_disconnect(display);
  return 0;
}
