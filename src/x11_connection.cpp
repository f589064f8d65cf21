// The X11 layer's connection: opened once for the process, opened again when
// it broke, guarded by one mutex. Also the thread's last error, the screen
// metrics and the pixel formats of visuals.
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/shm.h>
#include <time.h>
#include <xcb/composite.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xinerama.h>

#include "x11_display.h"

x11_shared g_x11;

static pthread_mutex_t s_mutex = PTHREAD_MUTEX_INITIALIZER;

// ---------------------------------------------------------------------------
// Lock and SIGPIPE

// XCB writes with writev/sendmsg without MSG_NOSIGNAL, so a write to a server
// that went away raises SIGPIPE, whose default action would end the host.
// Blocking it on this thread while we talk to the server turns it into a
// pending signal, which is then taken back unless it was pending already.
void x11_lock(x11_guard *guard) {
  pthread_mutex_lock(&s_mutex);
  sigset_t pipe_set, pending;
  sigemptyset(&pipe_set);
  sigaddset(&pipe_set, SIGPIPE);
  sigemptyset(&pending);
  sigpending(&pending);
  guard->pipe_was_pending = sigismember(&pending, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_set, &guard->old_mask);
}

void x11_unlock(x11_guard *guard) {
  sigset_t pipe_set, pending;
  sigemptyset(&pipe_set);
  sigaddset(&pipe_set, SIGPIPE);
  if (!guard->pipe_was_pending) {
    sigemptyset(&pending);
    sigpending(&pending);
    if (sigismember(&pending, SIGPIPE)) {
      struct timespec no_wait = {0, 0};
      sigtimedwait(&pipe_set, NULL, &no_wait);
    }
  }
  pthread_sigmask(SIG_SETMASK, &guard->old_mask, NULL);
  pthread_mutex_unlock(&s_mutex);
}

void x11_lock_state(void) { pthread_mutex_lock(&s_mutex); }

void x11_unlock_state(void) { pthread_mutex_unlock(&s_mutex); }

// ---------------------------------------------------------------------------
// Connection

void x11_fail_request(xcb_generic_error_t *error) {
  if (error) {
    x11_set_last_error(error->error_code);
    free(error);
    return;
  }
  int broken = g_x11.conn ? xcb_connection_has_error(g_x11.conn) : 0;
  x11_set_last_error(broken ? (DWORD)broken : X11_BAD_ALLOC);
}

// The server side of the segment went with the old connection; our mapping
// stays until no bitmap refers to it.
static void drop_connection_locked(void) {
  if (g_x11.segment.addr && !g_x11.segment.leased) {
    shmdt(g_x11.segment.addr);
    memset(&g_x11.segment, 0, sizeof g_x11.segment);
  }
  xcb_disconnect(g_x11.conn);
  g_x11.conn = NULL;
  g_x11.screen = NULL;
  g_x11.atom_count = 0;
}

static xcb_screen_t *screen_of(const xcb_setup_t *setup, int number) {
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(setup);
  for (int i = 0; it.rem; xcb_screen_next(&it), i++) {
    if (i == number) return it.data;
  }
  return NULL;
}

// Asks for every extension's version in one round trip.
static void probe_extensions_locked(void) {
  xcb_connection_t *c = g_x11.conn;
  xcb_prefetch_extension_data(c, &xcb_shm_id);
  xcb_prefetch_extension_data(c, &xcb_randr_id);
  xcb_prefetch_extension_data(c, &xcb_xinerama_id);
  xcb_prefetch_extension_data(c, &xcb_composite_id);
  static const char k_xwayland[] = "XWAYLAND";
  xcb_query_extension_cookie_t xwayland_cookie =
      xcb_query_extension(c, sizeof k_xwayland - 1, k_xwayland);
  const xcb_query_extension_reply_t *shm = xcb_get_extension_data(c, &xcb_shm_id);
  const xcb_query_extension_reply_t *randr = xcb_get_extension_data(c, &xcb_randr_id);
  const xcb_query_extension_reply_t *xinerama = xcb_get_extension_data(c, &xcb_xinerama_id);
  const xcb_query_extension_reply_t *composite = xcb_get_extension_data(c, &xcb_composite_id);

  xcb_shm_query_version_cookie_t shm_cookie = {0};
  xcb_randr_query_version_cookie_t randr_cookie = {0};
  xcb_composite_query_version_cookie_t composite_cookie = {0};
  if (shm && shm->present) shm_cookie = xcb_shm_query_version(c);
  if (randr && randr->present) randr_cookie = xcb_randr_query_version(c, 1, 5);
  if (composite && composite->present) composite_cookie = xcb_composite_query_version(c, 0, 4);
  g_x11.has_xinerama = xinerama && xinerama->present;
  xcb_query_extension_reply_t *xwayland = xcb_query_extension_reply(c, xwayland_cookie, NULL);
  // Xwayland before 23.1 has no such extension; its monitor names tell then.
  g_x11.is_xwayland = xwayland && xwayland->present;
  g_x11.xwayland_known = g_x11.is_xwayland;
  free(xwayland);

  if (shm_cookie.sequence) {
    xcb_shm_query_version_reply_t *r = xcb_shm_query_version_reply(c, shm_cookie, NULL);
    g_x11.has_shm = r != NULL;
    free(r);
  }
  if (randr_cookie.sequence) {
    xcb_randr_query_version_reply_t *r = xcb_randr_query_version_reply(c, randr_cookie, NULL);
    g_x11.has_randr15 = r && (r->major_version > 1 || r->minor_version >= 5);
    free(r);
  }
  if (composite_cookie.sequence) {
    xcb_composite_query_version_reply_t *r =
        xcb_composite_query_version_reply(c, composite_cookie, NULL);
    g_x11.has_composite = r && (r->major_version > 0 || r->minor_version >= 2);
    free(r);
  }
}

int x11_connect_locked(void) {
  if (g_x11.conn) {
    // Reading what has come shows a server that went away since the last
    // call, so the connection is replaced now instead of failing this call.
    // No events are selected: what comes is errors of requests that wanted
    // no answer, which would otherwise pile up in XCB's queue.
    xcb_generic_event_t *event;
    while ((event = xcb_poll_for_event(g_x11.conn)) != NULL) free(event);
    if (!xcb_connection_has_error(g_x11.conn)) return 0;
    drop_connection_locked();
  }
  int screen_number = 0;
  xcb_connection_t *conn = xcb_connect(NULL, &screen_number);
  int broken = xcb_connection_has_error(conn);
  if (broken) {
    xcb_disconnect(conn);
    x11_set_last_error((DWORD)broken);
    return -1;
  }
  xcb_screen_t *screen = screen_of(xcb_get_setup(conn), screen_number);
  if (!screen) {
    xcb_disconnect(conn);
    x11_set_last_error(XCB_CONN_CLOSED_INVALID_SCREEN);
    return -1;
  }
  g_x11.conn = conn;
  g_x11.screen = screen;
  g_x11.generation++;
  g_x11.has_shm = 0;
  g_x11.has_randr15 = 0;
  g_x11.has_xinerama = 0;
  g_x11.has_composite = 0;
  g_x11.is_xwayland = 0;
  g_x11.xwayland_known = 0;
  g_x11.root_width = screen->width_in_pixels;
  g_x11.root_height = screen->height_in_pixels;
  g_x11.atom_count = 0;
  probe_extensions_locked();
  if (xcb_connection_has_error(conn)) {
    x11_set_last_error((DWORD)xcb_connection_has_error(conn));
    drop_connection_locked();
    return -1;
  }
  return 0;
}

int x11_refresh_root_size_locked(void) {
  xcb_connection_t *c = g_x11.conn;
  xcb_generic_error_t *error = NULL;
  xcb_get_geometry_reply_t *geometry =
      xcb_get_geometry_reply(c, xcb_get_geometry(c, g_x11.screen->root), &error);
  if (!geometry) {
    x11_fail_request(error);
    return -1;
  }
  g_x11.root_width = geometry->width;
  g_x11.root_height = geometry->height;
  free(geometry);
  return 0;
}

// ---------------------------------------------------------------------------
// Screen metrics and pixel formats

int x11_open(void) {
  x11_guard guard;
  x11_lock(&guard);
  int result = x11_connect_locked();
  x11_unlock(&guard);
  return result;
}

// X11 has no negative coordinates: the virtual screen is the root window.
int x11_virtual_screen_size(int *width, int *height) {
  x11_guard guard;
  x11_lock(&guard);
  int result = x11_connect_locked();
  if (result == 0) result = x11_refresh_root_size_locked();
  if (result == 0) {
    *width = g_x11.root_width;
    *height = g_x11.root_height;
  }
  x11_unlock(&guard);
  return result;
}

static int channel_shift(uint32_t mask, uint8_t *shift) {
  for (uint8_t s = 0; s <= 24; s += 8) {
    if (mask == (0xffu << s)) {
      *shift = s;
      return 0;
    }
  }
  return -1;
}

int x11_format_for_visual(xcb_visualid_t visual, uint8_t depth, vs_pixel_format *format) {
  if (depth != 24 && depth != 32) return -1;
  const xcb_setup_t *setup = xcb_get_setup(g_x11.conn);

  int bits_per_pixel = 0;
  xcb_format_iterator_t f = xcb_setup_pixmap_formats_iterator(setup);
  for (; f.rem; xcb_format_next(&f)) {
    if (f.data->depth == depth) bits_per_pixel = f.data->bits_per_pixel;
  }
  if (bits_per_pixel != 32) return -1;

  const xcb_visualtype_t *type = NULL;
  for (xcb_screen_iterator_t s = xcb_setup_roots_iterator(setup); s.rem && !type;
       xcb_screen_next(&s)) {
    xcb_depth_iterator_t d = xcb_screen_allowed_depths_iterator(s.data);
    for (; d.rem && !type; xcb_depth_next(&d)) {
      if (d.data->depth != depth) continue;
      xcb_visualtype_iterator_t v = xcb_depth_visuals_iterator(d.data);
      for (; v.rem; xcb_visualtype_next(&v)) {
        if (v.data->visual_id == visual) {
          type = v.data;
          break;
        }
      }
    }
  }
  if (!type || type->_class != XCB_VISUAL_CLASS_TRUE_COLOR) return -1;

  memset(format, 0, sizeof *format);
  format->msb_first = setup->image_byte_order == XCB_IMAGE_ORDER_MSB_FIRST;
  if (channel_shift(type->red_mask, &format->red_shift) != 0 ||
      channel_shift(type->green_mask, &format->green_shift) != 0 ||
      channel_shift(type->blue_mask, &format->blue_shift) != 0) {
    return -1;
  }
  uint32_t rest = ~(type->red_mask | type->green_mask | type->blue_mask);
  if (depth == 32 && channel_shift(rest, &format->alpha_shift) == 0) format->has_alpha = 1;
  return 0;
}
