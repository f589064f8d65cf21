// Device contexts, bitmaps and the read-back, shared by every display layer.
// A layer's copy leaves the bitmap referring to pixels in a format of its own;
// GetDIBits converts them into the caller's buffer in one pass.
#include <stdlib.h>
#include <string.h>

#include "linux_display.h"
#include "x11_display.h"

#define VS_DC_MAGIC 0x78646321u
#define VS_BITMAP_MAGIC 0x78626d21u
#define VS_BAD_VALUE X11_BAD_VALUE
#define VS_BAD_ALLOC X11_BAD_ALLOC

// The screen DC that GetDC hands out: one record, whichever layer runs.
vs_dc g_vs_screen_dc = {VS_DC_MAGIC, 1, NULL};

// What a fresh memory DC has selected, as GDI's stock bitmap: the object
// SelectObject hands back for the caller to select again before deleting.
// Known by its address only; it is no bitmap to draw into.
static vs_bitmap s_stock_bitmap;

vs_dc *vs_memory_dc(HDC hdc) {
  vs_dc *dc = (vs_dc *)hdc;
  if (!dc || dc->magic != VS_DC_MAGIC || dc->is_screen) return NULL;
  return dc;
}

vs_bitmap *vs_bitmap_of(HGDIOBJ object) {
  vs_bitmap *bitmap = (vs_bitmap *)object;
  if (!bitmap || bitmap->magic != VS_BITMAP_MAGIC) return NULL;
  return bitmap;
}

// Only the X11 segment is shared state; everything else the content holds is
// the bitmap's own.
void vs_clear_content(vs_bitmap *bitmap) {
  x11_lock_state();
  x11_clear_content_locked(bitmap);
  x11_unlock_state();
}

HDC WINAPI CreateCompatibleDC(HDC hdc) {
  if (hdc && hdc != (HDC)&g_vs_screen_dc && !vs_memory_dc(hdc)) {
    vs_set_last_error(VS_BAD_VALUE);
    return NULL;
  }
  vs_dc *dc = (vs_dc *)calloc(1, sizeof *dc);
  if (!dc) {
    vs_set_last_error(VS_BAD_ALLOC);
    return NULL;
  }
  dc->magic = VS_DC_MAGIC;
  return (HDC)dc;
}

// The bitmap starts black; its pixels come with the first copy into it.
HBITMAP WINAPI CreateCompatibleBitmap(HDC hdc, int width, int height) {
  if ((hdc != (HDC)&g_vs_screen_dc && !vs_memory_dc(hdc)) || width <= 0 || height <= 0) {
    vs_set_last_error(VS_BAD_VALUE);
    return NULL;
  }
  vs_bitmap *bitmap = (vs_bitmap *)calloc(1, sizeof *bitmap);
  if (!bitmap) {
    vs_set_last_error(VS_BAD_ALLOC);
    return NULL;
  }
  bitmap->magic = VS_BITMAP_MAGIC;
  bitmap->width = width;
  bitmap->height = height;
  return (HBITMAP)bitmap;
}

HGDIOBJ WINAPI SelectObject(HDC hdc, HGDIOBJ object) {
  vs_dc *dc = vs_memory_dc(hdc);
  vs_bitmap *bitmap = vs_bitmap_of(object);
  if (!dc || (!bitmap && object != (HGDIOBJ)&s_stock_bitmap)) {
    vs_set_last_error(VS_BAD_VALUE);
    return NULL;
  }
  HGDIOBJ previous = dc->bitmap ? (HGDIOBJ)dc->bitmap : (HGDIOBJ)&s_stock_bitmap;
  dc->bitmap = bitmap;
  return previous;
}

BOOL WINAPI DeleteObject(HGDIOBJ object) {
  if (object == (HGDIOBJ)&s_stock_bitmap) return TRUE;
  vs_bitmap *bitmap = vs_bitmap_of(object);
  if (!bitmap) {
    vs_set_last_error(VS_BAD_VALUE);
    return FALSE;
  }
  vs_clear_content(bitmap);
  bitmap->magic = 0;
  free(bitmap);
  return TRUE;
}

BOOL WINAPI DeleteDC(HDC hdc) {
  vs_dc *dc = vs_memory_dc(hdc);
  if (!dc) {
    vs_set_last_error(VS_BAD_VALUE);
    return FALSE;
  }
  dc->magic = 0;
  free(dc);
  return TRUE;
}

// ---------------------------------------------------------------------------
// Read-back

// One row of the content, as the B, G, R, X bytes GDI delivers. The fourth
// byte is 255 for an opaque visual and the alpha of a 32-bit one. The copy
// is one of the two passes of a screenshot over memory (the core's channel
// swap is the other); AVX2, where the processor has it, makes it cheaper.
// Not under ThreadSanitizer, which cannot run the resolver that picks a
// clone: the loader calls it before the sanitizer's runtime is up.
#if defined(__SANITIZE_THREAD__)
#define VS_CLONES
#else
#define VS_CLONES __attribute__((target_clones("avx2", "default")))
#endif
VS_CLONES static void convert_pixels(const uint8_t *src, uint8_t *dst, int count,
                                     const vs_pixel_format *f) {
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

static void read_row(const vs_bitmap *bitmap, int row, uint8_t *dst) {
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
  vs_bitmap *bitmap = vs_bitmap_of(hbm);
  if (!bitmap || !info || usage != DIB_RGB_COLORS || info->bmiHeader.biBitCount != 32 ||
      info->bmiHeader.biCompression != BI_RGB || info->bmiHeader.biWidth != bitmap->width ||
      (info->bmiHeader.biHeight != bitmap->height && info->bmiHeader.biHeight != -bitmap->height) ||
      start >= (UINT)bitmap->height) {
    vs_set_last_error(VS_BAD_VALUE);
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
