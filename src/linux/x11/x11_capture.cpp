// The copy from the screen on X11. A copy asks the server for the image (into
// the MIT-SHM segment where the server offers it) and the bitmap keeps a
// reference to it; GetDIBits then converts it into the caller's buffer in one
// pass.
#include <stdlib.h>
#include <string.h>
#include <sys/shm.h>
#include <xcb/shm.h>

#include "linux/x11/x11_internal.h"

// The segment grows in steps, so a run of slightly larger captures does not
// replace it every time.
#define SEGMENT_STEP (1u << 20)

// ---------------------------------------------------------------------------
// The shared segment

// The server attaches the segment in the same round trip that checks the
// attachment; the id is removed right after, so the segment cannot outlive
// the process even if it dies.
//
// A connection's first read-back goes without one: making and attaching a
// segment costs more than a plain get-image, and a process that captures once
// would keep a frame of shared memory resident through the encoding. The
// segment comes with the second read-back.
static uint32_t s_plain_generation;

static uint8_t *lease_segment_locked(size_t size) {
  if (!g_x11.has_shm || __atomic_load_n(&g_x11.segment.leased, __ATOMIC_ACQUIRE)) return NULL;
  xcb_connection_t *c = g_x11.conn;
  if (g_x11.segment.addr && g_x11.segment.generation == g_x11.generation &&
      g_x11.segment.size >= size) {
    __atomic_store_n(&g_x11.segment.leased, 1, __ATOMIC_RELAXED);
    return g_x11.segment.addr;
  }
  if (!g_x11.segment.addr && s_plain_generation != g_x11.generation) {
    s_plain_generation = g_x11.generation;
    return NULL;
  }
  if (g_x11.segment.addr) {
    if (g_x11.segment.generation == g_x11.generation) xcb_shm_detach(c, g_x11.segment.id);
    shmdt(g_x11.segment.addr);
    memset(&g_x11.segment, 0, sizeof g_x11.segment);
  }
  if (size > SIZE_MAX - SEGMENT_STEP) return NULL;
  size_t want = (size + SEGMENT_STEP - 1) / SEGMENT_STEP * SEGMENT_STEP;
  int shmid = shmget(IPC_PRIVATE, want, IPC_CREAT | 0600);
  if (shmid < 0) return NULL;
  void *addr = shmat(shmid, NULL, 0);
  if (addr == (void *)-1) {
    shmctl(shmid, IPC_RMID, NULL);
    return NULL;
  }
  uint32_t id = xcb_generate_id(c);
  xcb_generic_error_t *error = NULL;
  int checked = -1;
  if (id != (uint32_t)-1)
    checked = x11_check_locked(xcb_shm_attach_checked(c, id, shmid, 0), &error);
  shmctl(shmid, IPC_RMID, NULL);
  if (checked != 0 || error || xcb_connection_has_error(c)) {
    // A server that cannot attach (another host, another user) never will.
    if (error) g_x11.has_shm = 0;
    free(error);
    shmdt(addr);
    return NULL;
  }
  g_x11.segment.addr = (uint8_t *)addr;
  g_x11.segment.size = want;
  g_x11.segment.id = id;
  g_x11.segment.generation = g_x11.generation;
  __atomic_store_n(&g_x11.segment.leased, 1, __ATOMIC_RELAXED);
  return g_x11.segment.addr;
}

// Without the lock: the segment is unmapped only while no bitmap leases it,
// and a segment of a connection that is gone is unmapped at the next lease
// or drop.
static void return_segment(vs_bitmap *bitmap) {
  (void)bitmap;
  __atomic_store_n(&g_x11.segment.leased, 0, __ATOMIC_RELEASE);
}

static void free_reply(vs_bitmap *bitmap) { free(bitmap->hold); }

// The segment is sized for 32 bits a pixel, the most any depth takes; the
// rows' length comes from the depth the reply names.
int x11_read_image_locked(xcb_drawable_t drawable, xcb_visualid_t visual, xcb_colormap_t colormap,
                          int x, int y, int width, int height, vs_bitmap *bitmap, int dest_x,
                          int dest_y) {
  vs_clear_content(bitmap);
  xcb_connection_t *c = g_x11.conn;
  size_t size = (size_t)width * 4u * (size_t)height;
  size_t length = size;
  uint8_t depth = 0;
  xcb_visualid_t reply_visual = 0;
  xcb_generic_error_t *error = NULL;

  uint8_t *shared = lease_segment_locked(size);
  if (shared) {
    xcb_shm_get_image_cookie_t cookie =
        xcb_shm_get_image(c, drawable, (int16_t)x, (int16_t)y, (uint16_t)width, (uint16_t)height,
                          ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, g_x11.segment.id, 0);
    xcb_shm_get_image_reply_t *reply =
        (xcb_shm_get_image_reply_t *)x11_reply_locked(cookie.sequence, &error);
    bitmap->release = return_segment;
    if (!reply) {
      vs_clear_content(bitmap);
      x11_fail_request(error);
      return -1;
    }
    depth = reply->depth;
    reply_visual = reply->visual;
    free(reply);
    bitmap->pixels = shared;
  } else {
    xcb_get_image_cookie_t cookie =
        xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, (int16_t)x, (int16_t)y,
                      (uint16_t)width, (uint16_t)height, ~0u);
    xcb_get_image_reply_t *reply =
        (xcb_get_image_reply_t *)x11_reply_locked(cookie.sequence, &error);
    if (!reply) {
      x11_fail_request(error);
      return -1;
    }
    depth = reply->depth;
    reply_visual = reply->visual;
    bitmap->hold = reply;
    bitmap->release = free_reply;
    bitmap->pixels = xcb_get_image_data(reply);
    length = (size_t)xcb_get_image_data_length(reply);
  }
  int bits_per_pixel = 0;
  int pad = 0;
  if (x11_pixmap_format(depth, &bits_per_pixel, &pad) != 0) {
    vs_clear_content(bitmap);
    vs_set_last_error(VS_ERROR_BAD_MATCH);
    return -1;
  }
  uint32_t row_bits = (uint32_t)width * (uint32_t)bits_per_pixel;
  uint32_t stride = (row_bits + (uint32_t)pad - 1) / (uint32_t)pad * (uint32_t)pad / 8u;
  if ((size_t)stride * (size_t)height > length) {
    vs_clear_content(bitmap);
    vs_set_last_error(VS_ERROR_BAD_MATCH);
    return -1;
  }
  bitmap->stride = stride;
  bitmap->content_x = dest_x;
  bitmap->content_y = dest_y;
  bitmap->content_width = width;
  bitmap->content_height = height;
  if (x11_format_for_visual_locked(visual ? visual : reply_visual, depth, drawable, colormap,
                                   &bitmap->format) != 0) {
    vs_clear_content(bitmap);
    return -1;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Copy and read-back

// Parts of the rectangle beyond the root window read as black: the root's
// size is the last one read, and read again when the rectangle leaves it or
// the server refuses the copy (the screen may have changed since).
int x11_copy_screen(int src_x, int src_y, int width, int height, int pointer, vs_bitmap *bitmap,
                    int64_t deadline) {
  vs_clear_content(bitmap);
  x11_guard guard;
  if (x11_lock(&guard, deadline) != 0) return VS_FAILED;
  if (x11_connect_locked() != 0) return x11_unlock(&guard, -1);
  if (pointer && x11_check_pointer_locked() != 0) return x11_unlock(&guard, -1);
  int64_t right = (int64_t)src_x + width;
  int64_t bottom = (int64_t)src_y + height;
  int refreshed = 0;
  int result = 0;
  if (src_x < 0 || src_y < 0 || right > g_x11.root_width || bottom > g_x11.root_height) {
    result = x11_refresh_root_size_locked();
    refreshed = 1;
  }
  while (result == 0) {
    int64_t left = src_x > 0 ? src_x : 0;
    int64_t top = src_y > 0 ? src_y : 0;
    int64_t cut_right = right < g_x11.root_width ? right : g_x11.root_width;
    int64_t cut_bottom = bottom < g_x11.root_height ? bottom : g_x11.root_height;
    if (left >= cut_right || top >= cut_bottom) {
      vs_clear_content(bitmap);
      break;
    }
    result = x11_read_image_locked(g_x11.screen->root, g_x11.screen->root_visual,
                                   g_x11.screen->default_colormap, (int)left, (int)top,
                                   (int)(cut_right - left), (int)(cut_bottom - top), bitmap,
                                   (int)(left - src_x), (int)(top - src_y));
    if (result == 0 || refreshed || vs_last_error() != VS_ERROR_BAD_MATCH) break;
    result = x11_refresh_root_size_locked();
    refreshed = 1;
  }
  if (result == 0 && pointer) result = x11_draw_pointer_locked(bitmap, src_x, src_y);
  if (result != 0) vs_clear_content(bitmap);
  return x11_unlock(&guard, result);
}

// Xwayland's root holds no pixels of Wayland clients; the dispatch refuses a
// copy of it rather than hand out a black picture as success.
int x11_screen_is_blind(int64_t deadline) {
  x11_guard guard;
  if (x11_lock(&guard, deadline) != 0) return VS_FAILED;
  int result = x11_connect_locked();
  if (result == 0) result = x11_check_xwayland_locked();
  int blind = g_x11.is_xwayland;
  result = x11_unlock(&guard, result);
  return result == 0 ? blind : result;
}
