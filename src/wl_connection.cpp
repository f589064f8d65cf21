// The Wayland layer's connection, its bounded waits and the outputs. One
// connection serves the process, guarded by one mutex; it is opened on first
// use and dropped when it breaks, after which the dispatch chooses afresh.
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>
#include <wayland-client.h>

#include "wl_display.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"

wl_shared g_wl;

static pthread_mutex_t s_mutex = PTHREAD_MUTEX_INITIALIZER;

void wl_lock(void) { pthread_mutex_lock(&s_mutex); }

void wl_unlock(void) { pthread_mutex_unlock(&s_mutex); }

int64_t wl_now_ms(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// ---------------------------------------------------------------------------
// Outputs

static wl_output_record *record_of(void *data) { return (wl_output_record *)data; }

static void copy_name(char *dest, const char *name) {
  size_t len = name ? strnlen(name, CCHDEVICENAME - 1) : 0;
  memcpy(dest, name, len);
  dest[len] = '\0';
}

static void output_geometry(void *data, wl_output *output, int32_t x, int32_t y, int32_t physical_w,
                            int32_t physical_h, int32_t subpixel, const char *make,
                            const char *model, int32_t transform) {
  (void)output;
  (void)physical_w;
  (void)physical_h;
  (void)subpixel;
  (void)make;
  (void)model;
  wl_output_record *r = record_of(data);
  r->geometry_x = x;
  r->geometry_y = y;
  r->transform = transform;
}

static void output_mode(void *data, wl_output *output, uint32_t flags, int32_t width,
                        int32_t height, int32_t refresh) {
  (void)output;
  (void)refresh;
  if (!(flags & WL_OUTPUT_MODE_CURRENT)) return;
  wl_output_record *r = record_of(data);
  r->mode_width = width;
  r->mode_height = height;
}

static void output_done(void *data, wl_output *output) {
  (void)data;
  (void)output;
}

static void output_scale(void *data, wl_output *output, int32_t factor) {
  (void)output;
  record_of(data)->scale = factor;
}

static void output_name(void *data, wl_output *output, const char *name) {
  (void)output;
  copy_name(record_of(data)->name, name);
}

static void output_description(void *data, wl_output *output, const char *description) {
  (void)data;
  (void)output;
  (void)description;
}

static const wl_output_listener k_output_listener = {
    output_geometry, output_mode, output_done, output_scale, output_name, output_description,
};

static void xdg_position(void *data, zxdg_output_v1 *xdg, int32_t x, int32_t y) {
  (void)xdg;
  wl_output_record *r = record_of(data);
  r->logical_x = x;
  r->logical_y = y;
  r->has_logical_position = 1;
}

static void xdg_size(void *data, zxdg_output_v1 *xdg, int32_t width, int32_t height) {
  (void)xdg;
  wl_output_record *r = record_of(data);
  r->logical_width = width;
  r->logical_height = height;
  r->has_logical_size = 1;
}

static void xdg_done(void *data, zxdg_output_v1 *xdg) {
  (void)data;
  (void)xdg;
}

static void xdg_name(void *data, zxdg_output_v1 *xdg, const char *name) {
  (void)xdg;
  copy_name(record_of(data)->xdg_name, name);
}

static void xdg_description(void *data, zxdg_output_v1 *xdg, const char *description) {
  (void)data;
  (void)xdg;
  (void)description;
}

static const zxdg_output_v1_listener k_xdg_output_listener = {
    xdg_position, xdg_size, xdg_done, xdg_name, xdg_description,
};

static void watch_xdg_output(wl_output_record *r) {
  if (r->xdg_output || !g_wl.xdg_output_manager) return;
  r->xdg_output = zxdg_output_manager_v1_get_xdg_output(g_wl.xdg_output_manager, r->output);
  if (r->xdg_output) zxdg_output_v1_add_listener(r->xdg_output, &k_xdg_output_listener, r);
}

static void release_output(wl_output_record *r) {
  if (r->xdg_output) zxdg_output_v1_destroy(r->xdg_output);
  if (r->output) {
    if (wl_output_get_version(r->output) >= WL_OUTPUT_RELEASE_SINCE_VERSION) {
      wl_output_release(r->output);
    } else {
      wl_output_destroy(r->output);
    }
  }
  memset(r, 0, sizeof *r);
}

// ---------------------------------------------------------------------------
// Registry

static uint32_t min_version(uint32_t offered, uint32_t ours) {
  return offered < ours ? offered : ours;
}

static void registry_global(void *data, wl_registry *registry, uint32_t name, const char *interface,
                            uint32_t version) {
  (void)data;
  if (wl_ext_global_locked(registry, name, interface, version)) return;
  if (strcmp(interface, wl_output_interface.name) == 0) {
    // Listener data points into the fixed table, so records never move while
    // their proxies live.
    int slot = -1;
    for (int i = 0; i < WL_MAX_OUTPUTS && slot < 0; i++) {
      if (!g_wl.outputs[i].output) slot = i;
    }
    if (slot < 0) return;
    wl_output_record *r = &g_wl.outputs[slot];
    memset(r, 0, sizeof *r);
    r->global = name;
    r->scale = 1;
    r->output = (wl_output *)wl_registry_bind(registry, name, &wl_output_interface,
                                              min_version(version, 4));
    if (!r->output) return;
    wl_output_add_listener(r->output, &k_output_listener, r);
    watch_xdg_output(r);
    if (slot >= g_wl.output_count) g_wl.output_count = slot + 1;
  } else if (strcmp(interface, wl_shm_interface.name) == 0 && !g_wl.shm) {
    g_wl.shm = (wl_shm *)wl_registry_bind(registry, name, &wl_shm_interface, 1);
  } else if (strcmp(interface, zxdg_output_manager_v1_interface.name) == 0 &&
             !g_wl.xdg_output_manager) {
    g_wl.xdg_output_manager = (zxdg_output_manager_v1 *)wl_registry_bind(
        registry, name, &zxdg_output_manager_v1_interface, min_version(version, 3));
    for (int i = 0; i < g_wl.output_count; i++) {
      if (g_wl.outputs[i].output) watch_xdg_output(&g_wl.outputs[i]);
    }
  } else if (strcmp(interface, zwlr_screencopy_manager_v1_interface.name) == 0 &&
             !g_wl.screencopy) {
    g_wl.screencopy_version = min_version(version, 3);
    g_wl.screencopy = (zwlr_screencopy_manager_v1 *)wl_registry_bind(
        registry, name, &zwlr_screencopy_manager_v1_interface, g_wl.screencopy_version);
  }
}

static void registry_global_remove(void *data, wl_registry *registry, uint32_t name) {
  (void)data;
  (void)registry;
  for (int i = 0; i < g_wl.output_count; i++) {
    if (g_wl.outputs[i].output && g_wl.outputs[i].global == name) release_output(&g_wl.outputs[i]);
  }
}

static const wl_registry_listener k_registry_listener = {registry_global, registry_global_remove};

// ---------------------------------------------------------------------------
// Connection and bounded waits

static void drop_connection_locked(void) {
  wl_ext_drop_locked();
  for (int i = 0; i < g_wl.output_count; i++) release_output(&g_wl.outputs[i]);
  if (g_wl.screencopy) zwlr_screencopy_manager_v1_destroy(g_wl.screencopy);
  if (g_wl.xdg_output_manager) zxdg_output_manager_v1_destroy(g_wl.xdg_output_manager);
  if (g_wl.shm) wl_shm_destroy(g_wl.shm);
  if (g_wl.registry) wl_registry_destroy(g_wl.registry);
  if (g_wl.display) wl_display_disconnect(g_wl.display);
  memset(&g_wl, 0, sizeof g_wl);
}

void wl_drop_locked(void) {
  drop_connection_locked();
  vs_forget_layer(VS_LAYER_WAYLAND);
  vs_forget_layer(VS_LAYER_PORTAL);
}

static int broken(void) {
  vs_set_last_error(VS_ERROR_WL_GONE);
  return -1;
}

// libwayland's own roundtrip waits without end; this one reads with poll and
// gives up at the deadline. On failure the caller destroys its own proxies,
// then drops the connection: a compositor that stopped answering leaves it
// in an unknown state, as good as broken.
int wl_wait_locked(const int *done, int64_t deadline_ms) {
  wl_display *d = g_wl.display;
  while (!*done) {
    if (wl_display_dispatch_pending(d) < 0) return broken();
    if (*done) break;
    while (wl_display_prepare_read(d) != 0) {
      if (wl_display_dispatch_pending(d) < 0) return broken();
    }
    if (*done) {
      wl_display_cancel_read(d);
      break;
    }
    if (wl_display_flush(d) < 0 && errno != EAGAIN) {
      wl_display_cancel_read(d);
      return broken();
    }
    int64_t left = deadline_ms - wl_now_ms();
    if (left <= 0) {
      wl_display_cancel_read(d);
      vs_set_last_error(VS_ERROR_WL_TIMEOUT);
      return -1;
    }
    struct pollfd pfd = {wl_display_get_fd(d), POLLIN, 0};
    int ready = poll(&pfd, 1, (int)left);
    if (ready < 0 && errno != EINTR) {
      wl_display_cancel_read(d);
      return broken();
    }
    if (ready <= 0) {
      wl_display_cancel_read(d);
      continue;
    }
    if (wl_display_read_events(d) < 0) return broken();
  }
  if (wl_display_get_error(d) != 0) return broken();
  return 0;
}

static void sync_done(void *data, wl_callback *callback, uint32_t serial) {
  (void)callback;
  (void)serial;
  *(int *)data = 1;
}

static const wl_callback_listener k_sync_listener = {sync_done};

int wl_roundtrip_locked(int64_t deadline_ms) {
  int done = 0;
  wl_callback *callback = wl_display_sync(g_wl.display);
  if (!callback) {
    wl_drop_locked();
    return broken();
  }
  wl_callback_add_listener(callback, &k_sync_listener, &done);
  int result = wl_wait_locked(&done, deadline_ms);
  wl_callback_destroy(callback);
  if (result != 0) wl_drop_locked();
  return result;
}

// The compositor's socket is found and opened here rather than by
// wl_display_connect: that one would take a WAYLAND_SOCKET meant for the host
// itself, and print to stderr when XDG_RUNTIME_DIR is unset.
static wl_display *connect_compositor(void) {
  const char *name = getenv("WAYLAND_DISPLAY");
  if (!name || !name[0]) name = "wayland-0";
  struct sockaddr_un address;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  int n;
  if (name[0] == '/') {
    n = snprintf(address.sun_path, sizeof address.sun_path, "%s", name);
  } else {
    const char *dir = getenv("XDG_RUNTIME_DIR");
    if (!dir || !dir[0]) return NULL;
    n = snprintf(address.sun_path, sizeof address.sun_path, "%s/%s", dir, name);
  }
  if (n < 0 || (size_t)n >= sizeof address.sun_path) return NULL;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return NULL;
  if (connect(fd, (const struct sockaddr *)&address, sizeof address) != 0) {
    close(fd);
    return NULL;
  }
  wl_display *display = wl_display_connect_to_fd(fd);
  if (!display) close(fd);
  return display;
}

int wl_connect_locked(int refresh) {
  if (g_wl.display) {
    // A listing picks up outputs that came or went since the last call, and
    // shows a compositor that went away. The steps after it in the same
    // export (the screen DC, the copy) use what it found: a compositor that
    // left since fails the copy's own wait.
    if (wl_display_get_error(g_wl.display) == 0) {
      return refresh ? wl_roundtrip_locked(wl_now_ms() + WL_TIMEOUT_MS) : 0;
    }
    wl_drop_locked();
  }
  wl_display *display = connect_compositor();
  if (!display) {
    vs_set_last_error(VS_ERROR_WL_NO_COMPOSITOR);
    return -1;
  }
  memset(&g_wl, 0, sizeof g_wl);
  g_wl.display = display;
  g_wl.registry = wl_display_get_registry(display);
  if (!g_wl.registry) {
    wl_drop_locked();
    return broken();
  }
  wl_registry_add_listener(g_wl.registry, &k_registry_listener, NULL);
  int64_t deadline = wl_now_ms() + WL_TIMEOUT_MS;
  // The first round trip brings the globals, the second what the outputs
  // and their xdg-outputs tell about themselves.
  if (wl_roundtrip_locked(deadline) != 0) return -1;
  if (wl_roundtrip_locked(deadline) != 0) return -1;
  return 0;
}

int wl_open_outputs(void) {
  wl_lock();
  int result = wl_connect_locked(0);
  wl_unlock();
  return result;
}

int wl_open(void) {
  wl_lock();
  int result = wl_connect_locked(0);
  if (result == 0 && !wl_ext_offered_locked() && (!g_wl.screencopy || !g_wl.shm)) {
    vs_set_last_error(VS_ERROR_WL_NO_SCREENCOPY);
    result = -1;
  }
  wl_unlock();
  return result;
}

// ---------------------------------------------------------------------------
// Monitors

// Without xdg-output the logical size follows from the mode, the scale and
// the transform, and the position is wl_output's own.
static void logical_rect(const wl_output_record *r, RECT *rect) {
  int32_t x = r->has_logical_position ? r->logical_x : r->geometry_x;
  int32_t y = r->has_logical_position ? r->logical_y : r->geometry_y;
  int32_t width, height;
  if (r->has_logical_size) {
    width = r->logical_width;
    height = r->logical_height;
  } else {
    int32_t scale = r->scale > 0 ? r->scale : 1;
    int swapped = r->transform & 1;
    width = (swapped ? r->mode_height : r->mode_width) / scale;
    height = (swapped ? r->mode_width : r->mode_height) / scale;
  }
  rect->left = x;
  rect->top = y;
  rect->right = x + width;
  rect->bottom = y + height;
}

int wl_list_monitors(vs_monitor_list *list) {
  list->count = 0;
  wl_lock();
  int result = wl_connect_locked(1);
  if (result == 0) {
    for (int i = 0; i < g_wl.output_count && list->count < VS_MAX_MONITORS; i++) {
      const wl_output_record *r = &g_wl.outputs[i];
      if (!r->output) continue;
      vs_monitor *m = &list->monitors[list->count];
      memset(m, 0, sizeof *m);
      logical_rect(r, &m->rect);
      if (m->rect.right <= m->rect.left || m->rect.bottom <= m->rect.top) continue;
      const char *name = r->xdg_name[0] ? r->xdg_name : r->name;
      if (name[0]) {
        memcpy(m->name, name, CCHDEVICENAME);
      } else {
        snprintf(m->name, sizeof m->name, "WL-%u", (unsigned)r->global);
      }
      list->count++;
    }
    if (list->count == 0) {
      vs_set_last_error(VS_ERROR_WL_NO_OUTPUTS);
      result = -1;
    }
  }
  wl_unlock();
  return result;
}

int wl_output_rect_locked(const wl_output_record *r, RECT *rect) {
  logical_rect(r, rect);
  return rect->right > rect->left && rect->bottom > rect->top ? 0 : -1;
}
