/* vs-toplevel-client: a native Wayland window of known content for the
 * window checks, over wl_shm and xdg-shell alone.
 *
 *   vs-toplevel-client TITLE SEED [fullscreen]
 *
 * Every pixel (x, y) of its buffer is toplevel_pattern(x, y, SEED), opaque,
 * at the size the compositor configures (400x300 when it leaves the choice
 * to the client); "fullscreen" asks to cover the whole output. It prints
 * "ready WIDTHxHEIGHT" once the compositor has its first buffer, then keeps
 * answering (pings, new sizes) until it is killed or the compositor goes. */
#define _GNU_SOURCE
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include "xdg-shell-client-protocol.h"

static struct wl_compositor *compositor;
static struct wl_shm *shm;
static struct xdg_wm_base *wm_base;
static struct wl_surface *surface;
static int seed;
static int configured_width, configured_height;
static int pending_serial, have_configure;
static int width, height;
static int closed;

static uint32_t toplevel_pattern(int x, int y, int s) {
  uint32_t r = (uint32_t)(x * 5 + s * 40) & 255;
  uint32_t g = (uint32_t)(y * 3 + s * 90) & 255;
  uint32_t b = (uint32_t)((x >> 3) + (y >> 3) * 7 + s * 11) & 255;
  return 0xff000000u | r << 16 | g << 8 | b;
}

static void registry_global(void *data, struct wl_registry *registry, uint32_t name,
                            const char *interface, uint32_t version) {
  (void)data;
  (void)version;
  if (!strcmp(interface, wl_compositor_interface.name))
    compositor = wl_registry_bind(registry, name, &wl_compositor_interface, 1);
  else if (!strcmp(interface, wl_shm_interface.name))
    shm = wl_registry_bind(registry, name, &wl_shm_interface, 1);
  else if (!strcmp(interface, xdg_wm_base_interface.name))
    wm_base = wl_registry_bind(registry, name, &xdg_wm_base_interface, 1);
}

static void registry_remove(void *data, struct wl_registry *registry, uint32_t name) {
  (void)data;
  (void)registry;
  (void)name;
}

static const struct wl_registry_listener registry_listener = {registry_global, registry_remove};

static void ping(void *data, struct xdg_wm_base *base, uint32_t serial) {
  (void)data;
  xdg_wm_base_pong(base, serial);
}

static const struct xdg_wm_base_listener wm_base_listener = {ping};

static void surface_configure(void *data, struct xdg_surface *xdg_surface, uint32_t serial) {
  (void)data;
  (void)xdg_surface;
  pending_serial = (int)serial;
  have_configure = 1;
}

static const struct xdg_surface_listener surface_listener = {surface_configure};

static void toplevel_configure(void *data, struct xdg_toplevel *toplevel, int32_t w, int32_t h,
                               struct wl_array *states) {
  (void)data;
  (void)toplevel;
  (void)states;
  configured_width = w;
  configured_height = h;
}

static void toplevel_close(void *data, struct xdg_toplevel *toplevel) {
  (void)data;
  (void)toplevel;
  closed = 1;
}

/* Bound at version 1: the later events never come. */
static const struct xdg_toplevel_listener toplevel_listener = {.configure = toplevel_configure,
                                                               .close = toplevel_close};

/* A new buffer of the current size, filled, attached and committed. */
static int draw(void) {
  int stride = width * 4;
  size_t size = (size_t)stride * (size_t)height;
  int fd = memfd_create("vs-toplevel", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, (off_t)size) != 0) return -1;
  uint32_t *pixels = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (pixels == MAP_FAILED) return -1;
  for (int y = 0; y < height; y++)
    for (int x = 0; x < width; x++) pixels[y * width + x] = toplevel_pattern(x, y, seed);
  munmap(pixels, size);
  struct wl_shm_pool *pool = wl_shm_create_pool(shm, fd, (int32_t)size);
  struct wl_buffer *buffer =
      wl_shm_pool_create_buffer(pool, 0, width, height, stride, WL_SHM_FORMAT_XRGB8888);
  wl_shm_pool_destroy(pool);
  close(fd);
  wl_surface_attach(surface, buffer, 0, 0);
  wl_surface_damage(surface, 0, 0, width, height);
  wl_surface_commit(surface);
  return 0;
}

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: vs-toplevel-client TITLE SEED [fullscreen]\n");
    return 2;
  }
  seed = atoi(argv[2]);
  struct wl_display *display = wl_display_connect(NULL);
  if (!display) {
    fprintf(stderr, "vs-toplevel-client: no compositor\n");
    return 1;
  }
  struct wl_registry *registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &registry_listener, NULL);
  wl_display_roundtrip(display);
  if (!compositor || !shm || !wm_base) {
    fprintf(stderr, "vs-toplevel-client: the compositor lacks wl_shm or xdg-shell\n");
    return 1;
  }
  xdg_wm_base_add_listener(wm_base, &wm_base_listener, NULL);
  surface = wl_compositor_create_surface(compositor);
  struct xdg_surface *xdg_surface = xdg_wm_base_get_xdg_surface(wm_base, surface);
  xdg_surface_add_listener(xdg_surface, &surface_listener, NULL);
  struct xdg_toplevel *toplevel = xdg_surface_get_toplevel(xdg_surface);
  xdg_toplevel_add_listener(toplevel, &toplevel_listener, NULL);
  xdg_toplevel_set_title(toplevel, argv[1]);
  xdg_toplevel_set_app_id(toplevel, "vs-toplevel-client");
  if (argc > 3 && !strcmp(argv[3], "fullscreen")) xdg_toplevel_set_fullscreen(toplevel, NULL);
  wl_surface_commit(surface);

  int announced = 0;
  while (!closed && wl_display_dispatch(display) >= 0) {
    if (!have_configure) continue;
    have_configure = 0;
    int w = configured_width > 0 ? configured_width : 400;
    int h = configured_height > 0 ? configured_height : 300;
    xdg_surface_ack_configure(xdg_surface, (uint32_t)pending_serial);
    if (w != width || h != height || !announced) {
      width = w;
      height = h;
      if (draw() != 0) return 1;
    } else {
      wl_surface_commit(surface);
    }
    if (!announced) {
      wl_display_roundtrip(display);
      printf("ready %dx%d\n", width, height);
      fflush(stdout);
      announced = 1;
    }
  }
  wl_display_disconnect(display);
  return 0;
}
