// The X11 layer's connection: opened once for the process, opened again when
// it broke or went quiet or was made by the parent of a forked process,
// guarded by one mutex. Also the bounded waits for replies, the screen
// metrics and the pixel formats of visuals. The layer's table is
// x11_layer.cpp's.
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/shm.h>
#include <time.h>
#include <unistd.h>
#include <xcb/composite.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xcbext.h>
#include <xcb/xfixes.h>
#include <xcb/xinerama.h>

#include "linux/x11/x11_internal.h"

x11_shared g_x11;

static pthread_mutex_t s_mutex = PTHREAD_MUTEX_INITIALIZER;

// ---------------------------------------------------------------------------
// Lock and SIGPIPE

// XCB writes with writev/sendmsg without MSG_NOSIGNAL, so a write to a server
// that went away raises SIGPIPE, whose default action would end the host.
// Blocking it on this thread while we talk to the server turns it into a
// pending signal, which is then taken back unless it was pending already.
int x11_lock(x11_guard *guard, int64_t deadline) {
  x11_watch_fork();
  // Another thread may hold the lock while it waits on a server that stopped
  // answering; this one waits no longer than its own deadline.
  if (vs_lock_by(&s_mutex, deadline) != 0) {
    vs_set_last_error(VS_ERROR_X11_TIMEOUT);
    return -1;
  }
  g_x11.deadline = deadline;
  sigset_t pipe_set, pending;
  sigemptyset(&pipe_set);
  sigaddset(&pipe_set, SIGPIPE);
  sigemptyset(&pending);
  sigpending(&pending);
  guard->pipe_was_pending = sigismember(&pending, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_set, &guard->old_mask);
  return 0;
}

int x11_unlock(x11_guard *guard, int result) {
  if (result != 0 &&
      (!g_x11.conn || g_x11.timed_out || xcb_connection_has_error(g_x11.conn) != 0)) {
    result = VS_BROKEN;
  }
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
  return result;
}

// ---------------------------------------------------------------------------
// Bounded waits

// XCB's own waits block without end; these read what has come with
// xcb_poll_for_reply and otherwise poll XCB's socket until the deadline. The
// requests a call sends are a few kilobytes at most, so the flush before the
// wait finds room in the socket even when the server has stopped reading.
static int wait_readable_locked(void) {
  for (;;) {
    int64_t left = g_x11.deadline - vs_now_ms();
    struct pollfd pfd = {xcb_get_file_descriptor(g_x11.conn), POLLIN, 0};
    int ready = left > 0 ? poll(&pfd, 1, left > 60000 ? 60000 : (int)left) : 0;
    if (ready > 0) return 0;
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return -1;
    if (g_x11.deadline - vs_now_ms() > 0) continue;
    g_x11.timed_out = 1;
    return -1;
  }
}

void *x11_reply_locked(unsigned int sequence, xcb_generic_error_t **error) {
  xcb_connection_t *c = g_x11.conn;
  if (error) *error = NULL;
  if (g_x11.timed_out || xcb_flush(c) <= 0) return NULL;
  for (;;) {
    void *reply = NULL;
    xcb_generic_error_t *e = NULL;
    if (xcb_poll_for_reply(c, sequence, &reply, &e)) {
      if (error) {
        *error = e;
      } else {
        free(e);
      }
      return reply;
    }
    if (xcb_connection_has_error(c) || wait_readable_locked() != 0) return NULL;
  }
}

// As xcb_request_check does: a request after it that has a reply, so that
// once that reply is in, the checked request's error (if any) is too.
int x11_check_locked(xcb_void_cookie_t cookie, xcb_generic_error_t **error) {
  *error = NULL;
  xcb_connection_t *c = g_x11.conn;
  void *sync = x11_reply_locked(xcb_get_input_focus(c).sequence, NULL);
  if (!sync) return -1;
  free(sync);
  void *reply = NULL;
  xcb_poll_for_reply(c, cookie.sequence, &reply, error);
  free(reply);
  return 0;
}

// ---------------------------------------------------------------------------
// Connection

void x11_fail_request(xcb_generic_error_t *error) {
  if (error) {
    vs_set_last_error(error->error_code);
    free(error);
    return;
  }
  int broken = g_x11.conn ? xcb_connection_has_error(g_x11.conn) : 0;
  if (g_x11.timed_out) {
    vs_set_last_error(VS_ERROR_X11_TIMEOUT);
  } else {
    vs_set_last_error(broken ? (DWORD)broken : VS_ERROR_BAD_ALLOC);
  }
}

// Set in a child forked while a thread of the parent was inside a call: the
// XCB record it inherited may be half-way through a change.
static uint8_t s_forked_mid_call;

void x11_after_fork_child(void) {
  if (pthread_mutex_trylock(&s_mutex) == 0) {
    pthread_mutex_unlock(&s_mutex);
    return;
  }
  // Held by a thread that is not in the child: the state it guards is
  // dropped at the child's first call, as the parent's anyway.
  pthread_mutex_t fresh = PTHREAD_MUTEX_INITIALIZER;
  s_mutex = fresh;
  s_forked_mid_call = 1;
}

// The server side of the segment went with the old connection; our mapping
// stays until no bitmap refers to it. A connection and segment of the
// parent's are forgotten in a forked child, never closed or detached on
// the server: the parent goes on using them. (shmdt here unmaps only the
// child's view; the segment lives on in the parent.)
static void drop_connection_locked(void) {
  int parents = g_x11.pid != getpid();
  if (g_x11.segment.addr) {
    int leased = __atomic_load_n(&g_x11.segment.leased, __ATOMIC_ACQUIRE);
    if (!leased) shmdt(g_x11.segment.addr);
    if (!leased || parents) memset(&g_x11.segment, 0, sizeof g_x11.segment);
  }
  if (parents && s_forked_mid_call) {
    // Only the descriptor goes; the record is left as it is, unfreed.
    close(xcb_get_file_descriptor(g_x11.conn));
    s_forked_mid_call = 0;
  } else if (parents) {
    x11_forget_connection(g_x11.conn);
  } else {
    xcb_disconnect(g_x11.conn);
  }
  g_x11.conn = NULL;
  g_x11.screen = NULL;
  g_x11.atom_count = 0;
  g_x11.timed_out = 0;
}

static xcb_screen_t *screen_of(const xcb_setup_t *setup, int number) {
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(setup);
  for (int i = 0; it.rem; xcb_screen_next(&it), i++) {
    if (i == number) return it.data;
  }
  return NULL;
}

// Asks for every extension's version in two round trips. XCB's own lookup of
// an extension waits for its answer without end; the answers are in before
// the sync's, so once that has come the lookups find them without waiting.
static int probe_extensions_locked(void) {
  xcb_connection_t *c = g_x11.conn;
  xcb_prefetch_extension_data(c, &xcb_shm_id);
  xcb_prefetch_extension_data(c, &xcb_randr_id);
  xcb_prefetch_extension_data(c, &xcb_xinerama_id);
  xcb_prefetch_extension_data(c, &xcb_composite_id);
  xcb_prefetch_extension_data(c, &xcb_xfixes_id);
  static const char k_xwayland[] = "XWAYLAND";
  xcb_query_extension_cookie_t xwayland_cookie =
      xcb_query_extension(c, sizeof k_xwayland - 1, k_xwayland);
  void *sync = x11_reply_locked(xcb_get_input_focus(c).sequence, NULL);
  if (!sync) return -1;
  free(sync);
  const xcb_query_extension_reply_t *shm = xcb_get_extension_data(c, &xcb_shm_id);
  const xcb_query_extension_reply_t *randr = xcb_get_extension_data(c, &xcb_randr_id);
  const xcb_query_extension_reply_t *xinerama = xcb_get_extension_data(c, &xcb_xinerama_id);
  const xcb_query_extension_reply_t *composite = xcb_get_extension_data(c, &xcb_composite_id);
  const xcb_query_extension_reply_t *xfixes = xcb_get_extension_data(c, &xcb_xfixes_id);

  xcb_shm_query_version_cookie_t shm_cookie = {0};
  xcb_randr_query_version_cookie_t randr_cookie = {0};
  xcb_composite_query_version_cookie_t composite_cookie = {0};
  // XFixes answers nothing else until the client has said which version it
  // speaks.
  xcb_xfixes_query_version_cookie_t xfixes_cookie = {0};
  if (shm && shm->present) shm_cookie = xcb_shm_query_version(c);
  if (randr && randr->present) randr_cookie = xcb_randr_query_version(c, 1, 5);
  if (composite && composite->present) composite_cookie = xcb_composite_query_version(c, 0, 4);
  if (xfixes && xfixes->present) xfixes_cookie = xcb_xfixes_query_version(c, 4, 0);
  g_x11.has_xinerama = xinerama && xinerama->present;
  xcb_query_extension_reply_t *xwayland =
      (xcb_query_extension_reply_t *)x11_reply_locked(xwayland_cookie.sequence, NULL);
  // Xwayland before 23.1 has no such extension; its monitor names tell then.
  g_x11.is_xwayland = xwayland && xwayland->present;
  g_x11.xwayland_known = g_x11.is_xwayland;
  free(xwayland);

  if (shm_cookie.sequence) {
    xcb_shm_query_version_reply_t *r =
        (xcb_shm_query_version_reply_t *)x11_reply_locked(shm_cookie.sequence, NULL);
    g_x11.has_shm = r != NULL;
    free(r);
  }
  if (randr_cookie.sequence) {
    xcb_randr_query_version_reply_t *r =
        (xcb_randr_query_version_reply_t *)x11_reply_locked(randr_cookie.sequence, NULL);
    g_x11.has_randr15 = r && (r->major_version > 1 || r->minor_version >= 5);
    free(r);
  }
  if (composite_cookie.sequence) {
    xcb_composite_query_version_reply_t *r =
        (xcb_composite_query_version_reply_t *)x11_reply_locked(composite_cookie.sequence, NULL);
    g_x11.has_composite = r && (r->major_version > 0 || r->minor_version >= 2);
    free(r);
  }
  if (xfixes_cookie.sequence) {
    xcb_xfixes_query_version_reply_t *r =
        (xcb_xfixes_query_version_reply_t *)x11_reply_locked(xfixes_cookie.sequence, NULL);
    g_x11.has_xfixes = r && r->major_version >= 1;
    free(r);
  }
  return g_x11.timed_out ? -1 : 0;
}

int x11_connect_locked(void) {
  if (g_x11.conn && g_x11.pid != getpid()) drop_connection_locked();
  x11_drop_stale_attempts();
  if (g_x11.conn) {
    // Reading what has come shows a server that went away since the last
    // call, so the connection is replaced now instead of failing this call.
    // No events are selected: what comes is errors of requests that wanted
    // no answer, which would otherwise pile up in XCB's queue.
    // A connection whose server went quiet is dropped too: a reply it
    // still owes would come into the next call's wait.
    xcb_generic_event_t *event;
    while ((event = xcb_poll_for_event(g_x11.conn)) != NULL) free(event);
    if (!xcb_connection_has_error(g_x11.conn) && !g_x11.timed_out) return 0;
    drop_connection_locked();
  }
  int screen_number = 0;
  xcb_connection_t *conn = x11_open_display(g_x11.deadline, &screen_number);
  if (!conn) return -1;
  xcb_screen_t *screen = screen_of(xcb_get_setup(conn), screen_number);
  if (!screen) {
    xcb_disconnect(conn);
    vs_set_last_error(XCB_CONN_CLOSED_INVALID_SCREEN);
    return -1;
  }
  g_x11.conn = conn;
  g_x11.pid = getpid();
  g_x11.screen = screen;
  g_x11.generation++;
  g_x11.has_shm = 0;
  g_x11.has_randr15 = 0;
  g_x11.has_xinerama = 0;
  g_x11.has_composite = 0;
  g_x11.has_xfixes = 0;
  g_x11.is_xwayland = 0;
  g_x11.xwayland_known = 0;
  g_x11.root_width = screen->width_in_pixels;
  g_x11.root_height = screen->height_in_pixels;
  g_x11.atom_count = 0;
  g_x11.timed_out = 0;
  if (probe_extensions_locked() != 0 || xcb_connection_has_error(conn)) {
    x11_fail_request(NULL);
    drop_connection_locked();
    return -1;
  }
  return 0;
}

int x11_refresh_root_size_locked(void) {
  xcb_connection_t *c = g_x11.conn;
  xcb_generic_error_t *error = NULL;
  xcb_get_geometry_reply_t *geometry = (xcb_get_geometry_reply_t *)x11_reply_locked(
      (xcb_get_geometry(c, g_x11.screen->root)).sequence, &error);
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

// Drops the connection, unless a call holds it now.
void x11_close(void) {
  if (pthread_mutex_trylock(&s_mutex) != 0) return;
  if (g_x11.conn) drop_connection_locked();
  pthread_mutex_unlock(&s_mutex);
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

int x11_pixmap_format(uint8_t depth, int *bits_per_pixel, int *scanline_pad) {
  const xcb_setup_t *setup = xcb_get_setup(g_x11.conn);
  xcb_format_iterator_t f = xcb_setup_pixmap_formats_iterator(setup);
  for (; f.rem; xcb_format_next(&f)) {
    if (f.data->depth != depth) continue;
    int bits = f.data->bits_per_pixel;
    int pad = f.data->scanline_pad;
    if (bits < 1 || bits > 32 || (pad != 8 && pad != 16 && pad != 32)) return -1;
    *bits_per_pixel = bits;
    *scanline_pad = pad;
    return 0;
  }
  return -1;
}

static const xcb_visualtype_t *visual_type(const xcb_setup_t *setup, xcb_visualid_t visual,
                                           uint8_t depth) {
  for (xcb_screen_iterator_t s = xcb_setup_roots_iterator(setup); s.rem; xcb_screen_next(&s)) {
    xcb_depth_iterator_t d = xcb_screen_allowed_depths_iterator(s.data);
    for (; d.rem; xcb_depth_next(&d)) {
      if (d.data->depth != depth) continue;
      xcb_visualtype_iterator_t v = xcb_depth_visuals_iterator(d.data);
      for (; v.rem; xcb_visualtype_next(&v)) {
        if (v.data->visual_id == visual) return v.data;
      }
    }
  }
  return NULL;
}

// The common screen: 8-bit channels in whole bytes of a 32-bit pixel, taken
// as they are.
static int direct_format(const xcb_setup_t *setup, const xcb_visualtype_t *type, uint8_t depth,
                         vs_pixel_format *format) {
  vs_pixel_format direct;
  memset(&direct, 0, sizeof direct);
  direct.msb_first = setup->image_byte_order == XCB_IMAGE_ORDER_MSB_FIRST;
  if (channel_shift(type->red_mask, &direct.red_shift) != 0 ||
      channel_shift(type->green_mask, &direct.green_shift) != 0 ||
      channel_shift(type->blue_mask, &direct.blue_shift) != 0) {
    return -1;
  }
  uint32_t rest = ~(type->red_mask | type->green_mask | type->blue_mask);
  if (depth == 32 && channel_shift(rest, &direct.alpha_shift) == 0) direct.has_alpha = 1;
  memcpy(format, &direct, offsetof(vs_pixel_format, red_levels));
  return 0;
}

// The colormap that gives the drawable's pixels their colours: the one
// given, else the window's own. A window without one shows the default
// colormap's colours if it has the root's visual.
static int colormap_of_locked(xcb_drawable_t drawable, xcb_visualid_t visual,
                              xcb_colormap_t *colormap) {
  if (*colormap != XCB_NONE) return 0;
  xcb_connection_t *c = g_x11.conn;
  xcb_generic_error_t *error = NULL;
  xcb_get_window_attributes_reply_t *attributes =
      (xcb_get_window_attributes_reply_t *)x11_reply_locked(
          (xcb_get_window_attributes(c, drawable)).sequence, &error);
  if (!attributes) {
    x11_fail_request(error);
    return -1;
  }
  *colormap = attributes->colormap;
  free(attributes);
  if (*colormap == XCB_NONE && visual == g_x11.screen->root_visual) {
    *colormap = g_x11.screen->default_colormap;
  }
  if (*colormap == XCB_NONE) {
    vs_set_last_error(VS_ERROR_BAD_MATCH);
    return -1;
  }
  return 0;
}

// One QueryColors for every cell the visual's pixels can name.
static xcb_query_colors_reply_t *query_cells_locked(xcb_colormap_t colormap, const uint32_t *pixels,
                                                    int count) {
  xcb_connection_t *c = g_x11.conn;
  xcb_generic_error_t *error = NULL;
  xcb_query_colors_reply_t *reply = (xcb_query_colors_reply_t *)x11_reply_locked(
      (xcb_query_colors(c, colormap, (uint32_t)count, pixels)).sequence, &error);
  if (!reply) {
    x11_fail_request(error);
    return NULL;
  }
  if (xcb_query_colors_colors_length(reply) < count) {
    free(reply);
    vs_set_last_error(VS_ERROR_BAD_MATCH);
    return NULL;
  }
  return reply;
}

static inline uint8_t colormap_level(uint16_t value) { return vs_scale_channel(value, 16); }

// Colormapped visuals: the palette is the colormap's cells.
static int palette_from_colormap_locked(xcb_colormap_t colormap, const xcb_visualtype_t *type,
                                        uint8_t depth, vs_pixel_format *format) {
  // Zeroed: a count of 0 would otherwise pass bytes the compiler cannot
  // see set (and -O2 with -g warns of it).
  uint32_t pixels[256] = {0};
  int count = type->colormap_entries;
  if (count > (1 << depth)) count = 1 << depth;
  if (count > 256) count = 256;
  for (int i = 0; i < count; i++) pixels[i] = (uint32_t)i;
  xcb_query_colors_reply_t *reply = query_cells_locked(colormap, pixels, count);
  if (!reply) return -1;
  const xcb_rgb_t *rgb = xcb_query_colors_colors(reply);
  for (int i = 0; i < count; i++) {
    format->palette[i][0] = colormap_level(rgb[i].blue);
    format->palette[i][1] = colormap_level(rgb[i].green);
    format->palette[i][2] = colormap_level(rgb[i].red);
  }
  free(reply);
  return 0;
}

// DirectColor: each channel's field indexes the colormap on its own. Pixel i
// names cell i of every channel (the last one of a narrower channel), so one
// query gives all three tables.
static int levels_from_colormap_locked(xcb_colormap_t colormap, const xcb_visualtype_t *type,
                                       vs_pixel_format *format) {
  uint32_t pixels[1 << VS_MAX_CHANNEL_BITS] = {0};
  int widest = format->red_mask;
  if (format->green_mask > widest) widest = format->green_mask;
  if (format->blue_mask > widest) widest = format->blue_mask;
  int count = widest + 1;
  if (count > type->colormap_entries) count = type->colormap_entries;
  for (int i = 0; i < count; i++) {
    uint32_t r = (uint32_t)(i < format->red_mask ? i : format->red_mask);
    uint32_t g = (uint32_t)(i < format->green_mask ? i : format->green_mask);
    uint32_t b = (uint32_t)(i < format->blue_mask ? i : format->blue_mask);
    pixels[i] = r << format->red_shift | g << format->green_shift | b << format->blue_shift;
  }
  xcb_query_colors_reply_t *reply = query_cells_locked(colormap, pixels, count);
  if (!reply) return -1;
  const xcb_rgb_t *rgb = xcb_query_colors_colors(reply);
  for (int i = 0; i < count; i++) {
    if (i <= format->red_mask) format->red_levels[i] = colormap_level(rgb[i].red);
    if (i <= format->green_mask) format->green_levels[i] = colormap_level(rgb[i].green);
    if (i <= format->blue_mask) format->blue_levels[i] = colormap_level(rgb[i].blue);
  }
  free(reply);
  vs_format_refresh_palette(format);
  return 0;
}

int x11_format_for_visual_locked(xcb_visualid_t visual, uint8_t depth, xcb_drawable_t drawable,
                                 xcb_colormap_t colormap, vs_pixel_format *format) {
  const xcb_setup_t *setup = xcb_get_setup(g_x11.conn);
  int bits_per_pixel = 0;
  int pad = 0;
  const xcb_visualtype_t *type = visual_type(setup, visual, depth);
  if (!type || x11_pixmap_format(depth, &bits_per_pixel, &pad) != 0) {
    vs_set_last_error(VS_ERROR_BAD_MATCH);
    return -1;
  }
  int msb_first = setup->image_byte_order == XCB_IMAGE_ORDER_MSB_FIRST;
  // One bit a pixel is laid out as a bitmap; with units of more than a
  // byte whose bit and byte orders differ the bytes would need swapping.
  if (bits_per_pixel == 1) {
    int bits_msb = setup->bitmap_format_bit_order == XCB_IMAGE_ORDER_MSB_FIRST;
    if (setup->bitmap_format_scanline_unit != 8 && bits_msb != msb_first) {
      vs_set_last_error(VS_ERROR_BAD_MATCH);
      return -1;
    }
    msb_first = bits_msb;
  }
  int result = -1;
  switch (type->_class) {
    case XCB_VISUAL_CLASS_TRUE_COLOR:
      if (bits_per_pixel == 32 && direct_format(setup, type, depth, format) == 0) return 0;
      result = vs_format_from_masks(
          format, bits_per_pixel, msb_first, type->red_mask, type->green_mask, type->blue_mask,
          depth == 32 ? ~(type->red_mask | type->green_mask | type->blue_mask) : 0);
      if (result != 0) vs_set_last_error(VS_ERROR_BAD_MATCH);
      return result;
    case XCB_VISUAL_CLASS_DIRECT_COLOR:
      if (vs_format_from_masks(format, bits_per_pixel, msb_first, type->red_mask, type->green_mask,
                               type->blue_mask, 0) != 0) {
        vs_set_last_error(VS_ERROR_BAD_MATCH);
        return -1;
      }
      if (colormap_of_locked(drawable, visual, &colormap) != 0) return -1;
      return levels_from_colormap_locked(colormap, type, format);
    case XCB_VISUAL_CLASS_PSEUDO_COLOR:
    case XCB_VISUAL_CLASS_STATIC_COLOR:
    case XCB_VISUAL_CLASS_GRAY_SCALE:
    case XCB_VISUAL_CLASS_STATIC_GRAY:
      if (depth > 8 || vs_format_indexed(format, bits_per_pixel, msb_first) != 0) {
        vs_set_last_error(VS_ERROR_BAD_MATCH);
        return -1;
      }
      if (colormap_of_locked(drawable, visual, &colormap) != 0) return -1;
      return palette_from_colormap_locked(colormap, type, depth, format);
    default:
      vs_set_last_error(VS_ERROR_BAD_MATCH);
      return -1;
  }
}
