// The Wayland layer's connection, its bounded waits and the outputs (the
// layer's table is wl_layer.cpp's). One connection serves the process,
// guarded by one mutex; it is opened on first use and dropped when it breaks
// or goes quiet, and the call that found it so returns VS_BROKEN.
//
// fork: a child (Python's multiprocessing forks by default) inherits the
// connection, which is its parent's: the same socket, and a copy of
// libwayland's state, including requests the parent had queued but not yet
// sent. The child never speaks on it. At its first call it sees the
// connection was made by another process and leaves it (leave_parents_locked)
// without a byte reaching the socket, then connects afresh. Nothing else of
// the layer outlives a call: the shared-memory buffers of a copy are made and
// released within it.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>
#include <wayland-client.h>

#include "ext-foreign-toplevel-list-v1-client-protocol.h"
#include "ext-image-capture-source-v1-client-protocol.h"
#include "ext-image-copy-capture-v1-client-protocol.h"
#include "linux/wayland/wl_internal.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"

vs_wl_shared g_vs_wl;

static pthread_mutex_t s_mutex = PTHREAD_MUTEX_INITIALIZER;

// Set in a child of fork when another thread of the parent held the lock at
// that moment: it was inside libwayland, whose state for the connection may
// then be half-changed here (a read under way, libwayland's own lock taken by
// a thread this process does not have).
static int s_forked_mid_call;

// The child has only the thread that forked: a lock another thread held then
// would stay taken for ever. It gets a fresh one.
static void after_fork_in_child(void) {
  if (pthread_mutex_trylock(&s_mutex) == 0) {
    pthread_mutex_unlock(&s_mutex);
    s_forked_mid_call = 0;
    return;
  }
  static const pthread_mutex_t fresh = PTHREAD_MUTEX_INITIALIZER;
  memcpy(&s_mutex, &fresh, sizeof fresh);
  s_forked_mid_call = 1;
}

static pthread_once_t s_fork_watch = PTHREAD_ONCE_INIT;
static void watch_forks(void) { pthread_atfork(NULL, NULL, after_fork_in_child); }

// Another thread may hold the lock while it waits on a silent compositor; this
// one waits no longer than its own deadline.
int vs_wl_lock(int64_t deadline) {
  pthread_once(&s_fork_watch, watch_forks);
  if (vs_lock_by(&s_mutex, deadline) != 0) {
    vs_set_last_error(VS_ERROR_WL_TIMEOUT);
    return VS_FAILED;
  }
  return 0;
}

void vs_wl_unlock(void) { pthread_mutex_unlock(&s_mutex); }

// ---------------------------------------------------------------------------
// Outputs

static vs_wl_output *record_of(void *data) { return (vs_wl_output *)data; }

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
  vs_wl_output *r = record_of(data);
  r->geometry_x = x;
  r->geometry_y = y;
  r->transform = transform;
}

static void output_mode(void *data, wl_output *output, uint32_t flags, int32_t width,
                        int32_t height, int32_t refresh) {
  (void)output;
  (void)refresh;
  if (!(flags & WL_OUTPUT_MODE_CURRENT)) return;
  vs_wl_output *r = record_of(data);
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
  vs_wl_output *r = record_of(data);
  r->logical_x = x;
  r->logical_y = y;
  r->has_logical_position = 1;
}

static void xdg_size(void *data, zxdg_output_v1 *xdg, int32_t width, int32_t height) {
  (void)xdg;
  vs_wl_output *r = record_of(data);
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

static void watch_xdg_output(vs_wl_output *r) {
  if (r->xdg_output || !g_vs_wl.xdg_output_manager) return;
  r->xdg_output = zxdg_output_manager_v1_get_xdg_output(g_vs_wl.xdg_output_manager, r->output);
  if (r->xdg_output) zxdg_output_v1_add_listener(r->xdg_output, &k_xdg_output_listener, r);
}

static void release_output(vs_wl_output *r) {
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

// ext-image-copy-capture's two managers: both, with wl_shm, make the
// protocol usable.
#ifdef VS_TEST_HOOKS
int g_vs_wl_ext_declined;
#endif

static int ext_global_locked(wl_registry *registry, uint32_t name, const char *interface,
                             uint32_t version) {
  (void)version;
  if (strcmp(interface, ext_image_copy_capture_manager_v1_interface.name) == 0) {
    if (!g_vs_wl.ext_manager) {
      g_vs_wl.ext_manager = (ext_image_copy_capture_manager_v1 *)wl_registry_bind(
          registry, name, &ext_image_copy_capture_manager_v1_interface, 1);
    }
    return 1;
  }
  if (strcmp(interface, ext_output_image_capture_source_manager_v1_interface.name) == 0) {
    if (!g_vs_wl.ext_sources) {
      g_vs_wl.ext_sources = (ext_output_image_capture_source_manager_v1 *)wl_registry_bind(
          registry, name, &ext_output_image_capture_source_manager_v1_interface, 1);
    }
    return 1;
  }
  if (strcmp(interface, ext_foreign_toplevel_image_capture_source_manager_v1_interface.name) == 0) {
    if (!g_vs_wl.ext_toplevel_sources) {
      g_vs_wl.ext_toplevel_sources =
          (ext_foreign_toplevel_image_capture_source_manager_v1 *)wl_registry_bind(
              registry, name, &ext_foreign_toplevel_image_capture_source_manager_v1_interface, 1);
    }
    return 1;
  }
  if (strcmp(interface, ext_foreign_toplevel_list_v1_interface.name) == 0) {
    if (!g_vs_wl.toplevel_list_global) g_vs_wl.toplevel_list_global = name;
    return 1;
  }
  if (strcmp(interface, "zwlr_foreign_toplevel_manager_v1") == 0) {
    if (!g_vs_wl.wlr_toplevel_global) g_vs_wl.wlr_toplevel_global = name;
    return 1;
  }
  return 0;
}

static void ext_drop_locked(void) {
  if (g_vs_wl.ext_toplevel_sources) {
    ext_foreign_toplevel_image_capture_source_manager_v1_destroy(g_vs_wl.ext_toplevel_sources);
  }
  g_vs_wl.ext_toplevel_sources = NULL;
  g_vs_wl.toplevel_list_global = 0;
  g_vs_wl.wlr_toplevel_global = 0;
  if (g_vs_wl.ext_sources) ext_output_image_capture_source_manager_v1_destroy(g_vs_wl.ext_sources);
  if (g_vs_wl.ext_manager) ext_image_copy_capture_manager_v1_destroy(g_vs_wl.ext_manager);
  g_vs_wl.ext_sources = NULL;
  g_vs_wl.ext_manager = NULL;
}

int vs_wl_ext_offered_locked(void) {
#ifdef VS_TEST_HOOKS
  if (g_vs_wl_ext_declined) return 0;
#endif
  return g_vs_wl.ext_manager && g_vs_wl.ext_sources && g_vs_wl.shm;
}

static uint32_t min_version(uint32_t offered, uint32_t ours) {
  return offered < ours ? offered : ours;
}

static void registry_global(void *data, wl_registry *registry, uint32_t name, const char *interface,
                            uint32_t version) {
  (void)data;
  if (ext_global_locked(registry, name, interface, version)) return;
  if (strcmp(interface, wl_output_interface.name) == 0) {
    // Listener data points into the fixed table, so records never move while
    // their proxies live.
    int slot = -1;
    for (int i = 0; i < VS_WL_MAX_OUTPUTS && slot < 0; i++) {
      if (!g_vs_wl.outputs[i].output) slot = i;
    }
    if (slot < 0) {
      g_vs_wl.too_many_outputs = 1;
      return;
    }
    vs_wl_output *r = &g_vs_wl.outputs[slot];
    memset(r, 0, sizeof *r);
    r->global = name;
    r->scale = 1;
    r->output = (wl_output *)wl_registry_bind(registry, name, &wl_output_interface,
                                              min_version(version, 4));
    if (!r->output) return;
    wl_output_add_listener(r->output, &k_output_listener, r);
    watch_xdg_output(r);
    if (slot >= g_vs_wl.output_count) g_vs_wl.output_count = slot + 1;
  } else if (strcmp(interface, wl_shm_interface.name) == 0 && !g_vs_wl.shm) {
    g_vs_wl.shm = (wl_shm *)wl_registry_bind(registry, name, &wl_shm_interface, 1);
  } else if (strcmp(interface, zxdg_output_manager_v1_interface.name) == 0 &&
             !g_vs_wl.xdg_output_manager) {
    g_vs_wl.xdg_output_manager = (zxdg_output_manager_v1 *)wl_registry_bind(
        registry, name, &zxdg_output_manager_v1_interface, min_version(version, 3));
    for (int i = 0; i < g_vs_wl.output_count; i++) {
      if (g_vs_wl.outputs[i].output) watch_xdg_output(&g_vs_wl.outputs[i]);
    }
  } else if (strcmp(interface, zwlr_screencopy_manager_v1_interface.name) == 0 &&
             !g_vs_wl.screencopy) {
    g_vs_wl.screencopy_version = min_version(version, 3);
    g_vs_wl.screencopy = (zwlr_screencopy_manager_v1 *)wl_registry_bind(
        registry, name, &zwlr_screencopy_manager_v1_interface, g_vs_wl.screencopy_version);
  }
}

static void registry_global_remove(void *data, wl_registry *registry, uint32_t name) {
  (void)data;
  (void)registry;
  if (name == g_vs_wl.toplevel_list_global) g_vs_wl.toplevel_list_global = 0;
  if (name == g_vs_wl.wlr_toplevel_global) g_vs_wl.wlr_toplevel_global = 0;
  for (int i = 0; i < g_vs_wl.output_count; i++) {
    if (g_vs_wl.outputs[i].output && g_vs_wl.outputs[i].global == name)
      release_output(&g_vs_wl.outputs[i]);
  }
}

static const wl_registry_listener k_registry_listener = {registry_global, registry_global_remove};

// ---------------------------------------------------------------------------
// Connection and bounded waits

static void teardown_locked(void) {
  ext_drop_locked();
  for (int i = 0; i < g_vs_wl.output_count; i++) release_output(&g_vs_wl.outputs[i]);
  if (g_vs_wl.screencopy) zwlr_screencopy_manager_v1_destroy(g_vs_wl.screencopy);
  if (g_vs_wl.xdg_output_manager) zxdg_output_manager_v1_destroy(g_vs_wl.xdg_output_manager);
  if (g_vs_wl.shm) wl_shm_destroy(g_vs_wl.shm);
  if (g_vs_wl.registry) wl_registry_destroy(g_vs_wl.registry);
  if (g_vs_wl.display) wl_display_disconnect(g_vs_wl.display);
  memset(&g_vs_wl, 0, sizeof g_vs_wl);
}

// In a child of fork: lets go of the parent's connection without touching
// its socket. Destroying the proxies queues requests (a release, a destroy)
// that libwayland may flush, the queue may already hold the parent's unsent
// bytes, and libwayland documents no teardown that never writes. So the
// child's descriptor is made to name a socket of its own that leads nowhere,
// and the ordinary teardown then frees every record, whatever it writes
// going there. The parent's socket only loses this process's reference,
// which no shutdown reaches.
//
// When the child was forked while another thread was inside libwayland
// (s_forked_mid_call), libwayland's state may be half-changed and its own
// lock taken for ever: then only the descriptor is closed, and the records
// (a few kilobytes: the display, its proxies, the buffers of a copy that was
// under way) stay allocated for the rest of the child's life.
static void leave_parents_locked(void) {
  // The descriptor is ours only while it still names the socket we opened
  // (a fork in the middle of a drop may have caught it closed, its number
  // free for anything the host opened since).
  struct stat st;
  int ours = fstat(g_vs_wl.fd, &st) == 0 && st.st_dev == g_vs_wl.socket_dev &&
             st.st_ino == g_vs_wl.socket_ino;
  int sink[2];
  if (ours && !s_forked_mid_call && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sink) == 0) {
    if (dup3(sink[0], g_vs_wl.fd, O_CLOEXEC) >= 0) {
      close(sink[0]);
      teardown_locked();
      close(sink[1]);
      return;
    }
    close(sink[0]);
    close(sink[1]);
  }
  if (ours) close(g_vs_wl.fd);
  memset(&g_vs_wl, 0, sizeof g_vs_wl);
  s_forked_mid_call = 0;
}

// The connection, if any, is this process's from here on.
static void own_connection_locked(void) {
  if (g_vs_wl.display && g_vs_wl.pid != getpid()) leave_parents_locked();
}

void vs_wl_drop_locked(void) {
  own_connection_locked();
  teardown_locked();
}

static int broken(void) {
  vs_set_last_error(VS_ERROR_WL_GONE);
  return VS_BROKEN;
}

// libwayland's own roundtrip waits without end; this one reads with poll and
// gives up at the deadline. On failure the caller destroys its own proxies,
// then drops the connection: a compositor that stopped answering leaves it
// in an unknown state, as good as broken.
int vs_wl_wait_locked(const int *done, int64_t deadline) {
  wl_display *d = g_vs_wl.display;
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
    int64_t left = deadline - vs_now_ms();
    if (left <= 0) {
      wl_display_cancel_read(d);
      vs_set_last_error(VS_ERROR_WL_TIMEOUT);
      return VS_BROKEN;
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

wl_callback *vs_wl_mark_locked(int *seen) {
  *seen = 0;
  wl_callback *mark = wl_display_sync(g_vs_wl.display);
  if (!mark) {
    vs_set_last_error(VS_ERROR_WL_GONE);
    return NULL;
  }
  wl_callback_add_listener(mark, &k_sync_listener, seen);
  return mark;
}

int vs_wl_roundtrip_locked(int64_t deadline) {
  int done = 0;
  wl_callback *callback = wl_display_sync(g_vs_wl.display);
  if (!callback) return broken();
  wl_callback_add_listener(callback, &k_sync_listener, &done);
  int result = vs_wl_wait_locked(&done, deadline);
  wl_callback_destroy(callback);
  return result;
}

// The compositor's socket is found and opened here rather than by
// wl_display_connect: that one would take a WAYLAND_SOCKET meant for the host
// itself, print to stderr when XDG_RUNTIME_DIR is unset, and block in
// connect(). NULL with the last error set.
static wl_display *connect_compositor(int64_t deadline) {
  vs_set_last_error(VS_ERROR_WL_NO_COMPOSITOR);
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
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return NULL;
  // A compositor that listens but never accepts (frozen, its backlog full)
  // holds the connect no longer than the deadline.
  if (vs_connect_by(fd, (const struct sockaddr *)&address, sizeof address, deadline) != 0) {
    vs_set_last_error(errno == ETIMEDOUT ? VS_ERROR_WL_TIMEOUT : VS_ERROR_WL_NO_COMPOSITOR);
    close(fd);
    return NULL;
  }
  // libwayland reads and writes with MSG_DONTWAIT whatever the socket's mode;
  // the layer's waits poll the socket themselves.
  wl_display *display = wl_display_connect_to_fd(fd);
  if (!display) {
    close(fd);
    vs_set_last_error(VS_ERROR_WL_NO_MEMORY);
  }
  return display;
}

int vs_wl_connect_locked(int refresh, int64_t deadline) {
  own_connection_locked();
  if (g_vs_wl.display) {
    // A listing picks up outputs that came or went since the last call, and
    // shows a compositor that went away. The steps after it in the same
    // export (the screen DC, the copy) use what it found: a compositor that
    // left since fails the copy's own wait.
    if (wl_display_get_error(g_vs_wl.display) == 0) {
      if (!refresh || vs_wl_roundtrip_locked(deadline) == 0) return 0;
      vs_wl_drop_locked();
      return VS_BROKEN;
    }
    vs_wl_drop_locked();
  }
  wl_display *display = connect_compositor(deadline);
  if (!display) return VS_BROKEN;
  memset(&g_vs_wl, 0, sizeof g_vs_wl);
  g_vs_wl.display = display;
  g_vs_wl.fd = wl_display_get_fd(display);
  g_vs_wl.pid = getpid();
  struct stat st;
  if (fstat(g_vs_wl.fd, &st) == 0) {
    g_vs_wl.socket_dev = st.st_dev;
    g_vs_wl.socket_ino = st.st_ino;
  }
  g_vs_wl.registry = wl_display_get_registry(display);
  if (!g_vs_wl.registry) {
    vs_wl_drop_locked();
    return broken();
  }
  wl_registry_add_listener(g_vs_wl.registry, &k_registry_listener, NULL);
  // The first round trip brings the globals, the second what the outputs
  // and their xdg-outputs tell about themselves.
  if (vs_wl_roundtrip_locked(deadline) != 0 || vs_wl_roundtrip_locked(deadline) != 0) {
    vs_wl_drop_locked();
    return VS_BROKEN;
  }
  return 0;
}

int vs_wl_open_outputs(int64_t deadline) {
  if (vs_wl_lock(deadline) != 0) return VS_FAILED;
  int result = vs_wl_connect_locked(0, deadline);
  vs_wl_unlock();
  return result;
}

// Closing waits for nobody: a thread that holds the lock is talking to the
// compositor, and the connection it uses is then its to keep or drop.
void vs_wl_close(void) {
  if (pthread_mutex_trylock(&s_mutex) != 0) return;
  vs_wl_drop_locked();
  pthread_mutex_unlock(&s_mutex);
}

// ---------------------------------------------------------------------------
// Monitors

// Without xdg-output the logical size follows from the mode, the scale and
// the transform, and the position is wl_output's own. Every figure comes from
// the compositor: the edges are summed in 64 bits, and an output whose
// rectangle does not fit in 32 bits has none.
int vs_wl_output_rect(const vs_wl_output *r, RECT *rect) {
  int64_t x = r->has_logical_position ? r->logical_x : r->geometry_x;
  int64_t y = r->has_logical_position ? r->logical_y : r->geometry_y;
  int64_t width, height;
  if (r->has_logical_size) {
    width = r->logical_width;
    height = r->logical_height;
  } else {
    int64_t scale = r->scale > 0 ? r->scale : 1;
    int swapped = r->transform & 1;
    width = (swapped ? r->mode_height : r->mode_width) / scale;
    height = (swapped ? r->mode_width : r->mode_height) / scale;
  }
  if (width <= 0 || height <= 0 || x + width > INT32_MAX || y + height > INT32_MAX) return -1;
  rect->left = (LONG)x;
  rect->top = (LONG)y;
  rect->right = (LONG)(x + width);
  rect->bottom = (LONG)(y + height);
  return 0;
}

// With the lock held and the connection up.
static int list_locked(vs_monitor_list *list) {
  list->count = 0;
  if (g_vs_wl.too_many_outputs) {
    vs_set_last_error(VS_ERROR_WL_TOO_MANY_OUTPUTS);
    return VS_FAILED;
  }
  for (int i = 0; i < g_vs_wl.output_count && list->count < VS_MAX_MONITORS; i++) {
    const vs_wl_output *r = &g_vs_wl.outputs[i];
    if (!r->output) continue;
    vs_monitor *m = &list->monitors[list->count];
    memset(m, 0, sizeof *m);
    if (vs_wl_output_rect(r, &m->rect) != 0) continue;
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
    return VS_FAILED;
  }
  return 0;
}

int vs_wl_list_monitors(vs_monitor_list *list, int64_t deadline) {
  list->count = 0;
  if (vs_wl_lock(deadline) != 0) return VS_FAILED;
  int result = vs_wl_connect_locked(1, deadline);
  if (result == 0) result = list_locked(list);
  vs_wl_unlock();
  return result;
}

// The outputs as the export's listing found them: no round trip.
int vs_wl_virtual_screen(RECT *box, int64_t deadline) {
  vs_monitor_list *list = (vs_monitor_list *)malloc(sizeof *list);
  if (!list) {
    vs_set_last_error(VS_ERROR_WL_NO_MEMORY);
    return VS_FAILED;
  }
  int result = vs_wl_lock(deadline);
  if (result == 0) {
    result = vs_wl_connect_locked(0, deadline);
    if (result == 0) result = list_locked(list);
    vs_wl_unlock();
  }
  if (result == 0) vs_bounding_box(list, box);
  free(list);
  return result;
}
