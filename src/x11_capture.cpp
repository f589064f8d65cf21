// Device contexts, bitmaps, the copy from the screen and the read-back, on
// X11. A copy asks the server for the image (into the MIT-SHM segment where
// the server offers it) and the bitmap keeps a reference to it; GetDIBits then
// converts it into the caller's buffer in one pass.
#include <stdlib.h>
#include <string.h>
#include <sys/shm.h>
#include <xcb/shm.h>

#include "x11_display.h"

#define X11_DC_MAGIC 0x78646321u
#define X11_BITMAP_MAGIC 0x78626d21u

// The segment grows in steps, so a run of slightly larger captures does not
// replace it every time.
#define SEGMENT_STEP (1u << 20)

static x11_dc s_screen_dc = {X11_DC_MAGIC, 1, NULL};

// What a fresh memory DC has selected, as GDI's stock bitmap: the object
// SelectObject hands back for the caller to select again before deleting.
// Known by its address only; it is no bitmap to draw into.
static x11_bitmap s_stock_bitmap;

x11_dc *x11_memory_dc(HDC hdc) {
  x11_dc *dc = (x11_dc *)hdc;
  if (!dc || dc->magic != X11_DC_MAGIC || dc->is_screen) return NULL;
  return dc;
}

x11_bitmap *x11_bitmap_of(HGDIOBJ object) {
  x11_bitmap *bitmap = (x11_bitmap *)object;
  if (!bitmap || bitmap->magic != X11_BITMAP_MAGIC) return NULL;
  return bitmap;
}

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
  if (!g_x11.has_shm || g_x11.segment.leased) return NULL;
  xcb_connection_t *c = g_x11.conn;
  if (g_x11.segment.addr && g_x11.segment.generation == g_x11.generation &&
      g_x11.segment.size >= size) {
    g_x11.segment.leased = 1;
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
  if (id != (uint32_t)-1) error = xcb_request_check(c, xcb_shm_attach_checked(c, id, shmid, 0));
  shmctl(shmid, IPC_RMID, NULL);
  if (id == (uint32_t)-1 || error || xcb_connection_has_error(c)) {
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
  g_x11.segment.leased = 1;
  return g_x11.segment.addr;
}

static void return_segment_locked(void) {
  g_x11.segment.leased = 0;
  // Its connection is gone: only our mapping was left.
  if (g_x11.segment.addr && g_x11.segment.generation != g_x11.generation) {
    shmdt(g_x11.segment.addr);
    memset(&g_x11.segment, 0, sizeof g_x11.segment);
  }
}

void x11_clear_content_locked(x11_bitmap *bitmap) {
  if (bitmap->leased) return_segment_locked();
  free(bitmap->reply);
  bitmap->reply = NULL;
  bitmap->leased = 0;
  bitmap->pixels = NULL;
  bitmap->stride = 0;
  bitmap->content_x = 0;
  bitmap->content_y = 0;
  bitmap->content_width = 0;
  bitmap->content_height = 0;
}

int x11_read_image_locked(xcb_drawable_t drawable, xcb_visualid_t visual, int x, int y, int width,
                          int height, x11_bitmap *bitmap, int dest_x, int dest_y) {
  x11_clear_content_locked(bitmap);
  xcb_connection_t *c = g_x11.conn;
  uint32_t stride = (uint32_t)width * 4u;
  size_t size = (size_t)stride * (size_t)height;
  uint8_t depth = 0;
  xcb_visualid_t reply_visual = 0;
  xcb_generic_error_t *error = NULL;

  uint8_t *shared = lease_segment_locked(size);
  if (shared) {
    xcb_shm_get_image_cookie_t cookie =
        xcb_shm_get_image(c, drawable, (int16_t)x, (int16_t)y, (uint16_t)width, (uint16_t)height,
                          ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, g_x11.segment.id, 0);
    xcb_shm_get_image_reply_t *reply = xcb_shm_get_image_reply(c, cookie, &error);
    if (!reply) {
      return_segment_locked();
      x11_fail_request(error);
      return -1;
    }
    depth = reply->depth;
    reply_visual = reply->visual;
    free(reply);
    bitmap->pixels = shared;
    bitmap->leased = 1;
  } else {
    xcb_get_image_cookie_t cookie =
        xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, (int16_t)x, (int16_t)y,
                      (uint16_t)width, (uint16_t)height, ~0u);
    xcb_get_image_reply_t *reply = xcb_get_image_reply(c, cookie, &error);
    if (!reply) {
      x11_fail_request(error);
      return -1;
    }
    depth = reply->depth;
    reply_visual = reply->visual;
    bitmap->reply = reply;
    bitmap->pixels = xcb_get_image_data(reply);
    if ((size_t)xcb_get_image_data_length(reply) < size) depth = 0;  // not 32 bits a pixel
  }
  bitmap->stride = stride;
  bitmap->content_x = dest_x;
  bitmap->content_y = dest_y;
  bitmap->content_width = width;
  bitmap->content_height = height;
  if (x11_format_for_visual(visual ? visual : reply_visual, depth, &bitmap->format) != 0) {
    x11_clear_content_locked(bitmap);
    x11_set_last_error(X11_BAD_MATCH);
    return -1;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Device contexts and bitmaps

HDC WINAPI GetDC(HWND hwnd) {
  if (hwnd) {
    x11_set_last_error(X11_BAD_MATCH);
    return NULL;
  }
  x11_guard guard;
  x11_lock(&guard);
  int result = x11_connect_locked();
  x11_unlock(&guard);
  return result == 0 ? (HDC)&s_screen_dc : NULL;
}

int WINAPI ReleaseDC(HWND hwnd, HDC hdc) {
  (void)hwnd;
  return hdc == (HDC)&s_screen_dc ? 1 : 0;
}

HDC WINAPI CreateCompatibleDC(HDC hdc) {
  if (hdc && hdc != (HDC)&s_screen_dc && !x11_memory_dc(hdc)) {
    x11_set_last_error(X11_BAD_VALUE);
    return NULL;
  }
  x11_dc *dc = (x11_dc *)calloc(1, sizeof *dc);
  if (!dc) {
    x11_set_last_error(X11_BAD_ALLOC);
    return NULL;
  }
  dc->magic = X11_DC_MAGIC;
  return (HDC)dc;
}

// The bitmap starts black; its pixels come with the first copy into it.
HBITMAP WINAPI CreateCompatibleBitmap(HDC hdc, int width, int height) {
  if ((hdc != (HDC)&s_screen_dc && !x11_memory_dc(hdc)) || width <= 0 || height <= 0) {
    x11_set_last_error(X11_BAD_VALUE);
    return NULL;
  }
  x11_bitmap *bitmap = (x11_bitmap *)calloc(1, sizeof *bitmap);
  if (!bitmap) {
    x11_set_last_error(X11_BAD_ALLOC);
    return NULL;
  }
  bitmap->magic = X11_BITMAP_MAGIC;
  bitmap->width = width;
  bitmap->height = height;
  return (HBITMAP)bitmap;
}

HGDIOBJ WINAPI SelectObject(HDC hdc, HGDIOBJ object) {
  x11_dc *dc = x11_memory_dc(hdc);
  x11_bitmap *bitmap = x11_bitmap_of(object);
  if (!dc || (!bitmap && object != (HGDIOBJ)&s_stock_bitmap)) {
    x11_set_last_error(X11_BAD_VALUE);
    return NULL;
  }
  HGDIOBJ previous = dc->bitmap ? (HGDIOBJ)dc->bitmap : (HGDIOBJ)&s_stock_bitmap;
  dc->bitmap = bitmap;
  return previous;
}

BOOL WINAPI DeleteObject(HGDIOBJ object) {
  if (object == (HGDIOBJ)&s_stock_bitmap) return TRUE;
  x11_bitmap *bitmap = x11_bitmap_of(object);
  if (!bitmap) {
    x11_set_last_error(X11_BAD_VALUE);
    return FALSE;
  }
  x11_lock_state();
  x11_clear_content_locked(bitmap);
  x11_unlock_state();
  bitmap->magic = 0;
  free(bitmap);
  return TRUE;
}

BOOL WINAPI DeleteDC(HDC hdc) {
  x11_dc *dc = x11_memory_dc(hdc);
  if (!dc) {
    x11_set_last_error(X11_BAD_VALUE);
    return FALSE;
  }
  dc->magic = 0;
  free(dc);
  return TRUE;
}

// ---------------------------------------------------------------------------
// Copy and read-back

// Parts of the rectangle beyond the root window read as black: the root's
// size is the last one read, and read again when the rectangle leaves it or
// the server refuses the copy (the screen may have changed since).
BOOL WINAPI BitBlt(HDC dest, int x, int y, int width, int height, HDC src, int src_x, int src_y,
                   DWORD rop) {
  x11_dc *memory = x11_memory_dc(dest);
  if (!memory || !memory->bitmap || src != (HDC)&s_screen_dc || rop != SRCCOPY || x != 0 ||
      y != 0 || width <= 0 || height <= 0 || width > memory->bitmap->width ||
      height > memory->bitmap->height) {
    x11_set_last_error(X11_BAD_VALUE);
    return FALSE;
  }
  x11_bitmap *bitmap = memory->bitmap;
  x11_guard guard;
  x11_lock(&guard);
  if (x11_connect_locked() != 0) {
    x11_unlock(&guard);
    return FALSE;
  }
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
      x11_clear_content_locked(bitmap);
      break;
    }
    result = x11_read_image_locked(g_x11.screen->root, g_x11.screen->root_visual, (int)left,
                                   (int)top, (int)(cut_right - left), (int)(cut_bottom - top),
                                   bitmap, (int)(left - src_x), (int)(top - src_y));
    if (result == 0 || refreshed || GetLastError() != X11_BAD_MATCH) break;
    result = x11_refresh_root_size_locked();
    refreshed = 1;
  }
  x11_unlock(&guard);
  return result == 0;
}

// One row of the content, as the B, G, R, X bytes GDI delivers. The fourth
// byte is 255 for an opaque visual and the alpha of a 32-bit one. The copy
// is one of the two passes of a screenshot over memory (the core's channel
// swap is the other); AVX2, where the processor has it, makes it cheaper.
// Not under ThreadSanitizer, which cannot run the resolver that picks a
// clone: the loader calls it before the sanitizer's runtime is up.
#if defined(__SANITIZE_THREAD__)
#define X11_CLONES
#else
#define X11_CLONES __attribute__((target_clones("avx2", "default")))
#endif
X11_CLONES static void convert_pixels(const uint8_t *src, uint8_t *dst, int count,
                                      const x11_pixel_format *f) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  if (!f->msb_first && f->red_shift == 16 && f->green_shift == 8 && f->blue_shift == 0) {
    if (f->has_alpha && f->alpha_shift == 24) {
      memcpy(dst, src, (size_t)count * 4);
      return;
    }
    if (!f->has_alpha) {
      const uint32_t *in = (const uint32_t *)(const void *)src;
      uint32_t *out = (uint32_t *)(void *)dst;
      for (int i = 0; i < count; i++) out[i] = in[i] | 0xff000000u;
      return;
    }
  }
#endif
  for (int i = 0; i < count; i++) {
    const uint8_t *s = src + (size_t)i * 4;
    uint32_t p =
        f->msb_first
            ? ((uint32_t)s[0] << 24 | (uint32_t)s[1] << 16 | (uint32_t)s[2] << 8 | (uint32_t)s[3])
            : ((uint32_t)s[3] << 24 | (uint32_t)s[2] << 16 | (uint32_t)s[1] << 8 | (uint32_t)s[0]);
    uint8_t *d = dst + (size_t)i * 4;
    d[0] = (uint8_t)(p >> f->blue_shift);
    d[1] = (uint8_t)(p >> f->green_shift);
    d[2] = (uint8_t)(p >> f->red_shift);
    d[3] = f->has_alpha ? (uint8_t)(p >> f->alpha_shift) : 255;
  }
}

static void fill_black(uint8_t *dst, int count) {
  for (int i = 0; i < count; i++) {
    dst[i * 4 + 0] = 0;
    dst[i * 4 + 1] = 0;
    dst[i * 4 + 2] = 0;
    dst[i * 4 + 3] = 255;
  }
}

static void read_row(const x11_bitmap *bitmap, int row, uint8_t *dst) {
  int top = bitmap->content_y;
  int left = bitmap->content_x;
  if (!bitmap->pixels || row < top || row >= top + bitmap->content_height) {
    fill_black(dst, bitmap->width);
    return;
  }
  int width = bitmap->content_width;
  if (left + width > bitmap->width) width = bitmap->width - left;
  fill_black(dst, left);
  const uint8_t *src = bitmap->pixels + (size_t)(row - top) * bitmap->stride;
  convert_pixels(src, dst + (size_t)left * 4, width, &bitmap->format);
  fill_black(dst + (size_t)(left + width) * 4, bitmap->width - left - width);
}

// Rows go out top first for a negative height and bottom first otherwise, as
// the DIB's own orientation asks.
int WINAPI GetDIBits(HDC hdc, HBITMAP hbm, UINT start, UINT lines, LPVOID bits, LPBITMAPINFO info,
                     UINT usage) {
  (void)hdc;
  x11_bitmap *bitmap = x11_bitmap_of(hbm);
  if (!bitmap || !info || usage != DIB_RGB_COLORS || info->bmiHeader.biBitCount != 32 ||
      info->bmiHeader.biCompression != BI_RGB || info->bmiHeader.biWidth != bitmap->width ||
      (info->bmiHeader.biHeight != bitmap->height && info->bmiHeader.biHeight != -bitmap->height) ||
      start >= (UINT)bitmap->height) {
    x11_set_last_error(X11_BAD_VALUE);
    return 0;
  }
  UINT height = (UINT)bitmap->height;
  if (lines > height - start) lines = height - start;
  if (!bits) return (int)lines;
  int top_down = info->bmiHeader.biHeight < 0;
  size_t row_bytes = (size_t)bitmap->width * 4;
  for (UINT i = 0; i < lines; i++) {
    UINT line = start + i;
    int row = top_down ? (int)line : (int)(height - 1 - line);
    read_row(bitmap, row, (uint8_t *)bits + (size_t)i * row_bytes);
  }
  return (int)lines;
}
