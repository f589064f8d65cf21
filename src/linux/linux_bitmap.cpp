// Device contexts, bitmaps and the read-back, shared by every display layer.
// A layer's copy leaves the bitmap referring to pixels in a format of its own;
// GetDIBits converts them into the caller's buffer in one pass.
#include <stdlib.h>
#include <string.h>

#include "linux/linux_display.h"

#define VS_DC_MAGIC 0x78646321u
#define VS_BITMAP_MAGIC 0x78626d21u

// The screen DC that GetDC hands out: one record, whichever layer runs.
vs_dc g_vs_screen_dc = {VS_DC_MAGIC, 1, 0, NULL};

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

// The layer that filled the content knows what it refers to.
void vs_clear_content(vs_bitmap *bitmap) {
  if (bitmap->release) bitmap->release(bitmap);
  bitmap->release = NULL;
  bitmap->hold = NULL;
  bitmap->pixels = NULL;
  bitmap->stride = 0;
  bitmap->content_x = 0;
  bitmap->content_y = 0;
  bitmap->content_width = 0;
  bitmap->content_height = 0;
}

HDC WINAPI CreateCompatibleDC(HDC hdc) {
  if (hdc && hdc != (HDC)&g_vs_screen_dc && !vs_memory_dc(hdc)) {
    vs_set_last_error(VS_ERROR_BAD_VALUE);
    return NULL;
  }
  vs_dc *dc = (vs_dc *)calloc(1, sizeof *dc);
  if (!dc) {
    vs_set_last_error(VS_ERROR_BAD_ALLOC);
    return NULL;
  }
  dc->magic = VS_DC_MAGIC;
  return (HDC)dc;
}

BOOL WINAPI vs_ask_pointer(HDC hdc) {
  vs_dc *dc = vs_memory_dc(hdc);
  if (!dc) {
    vs_set_last_error(VS_ERROR_BAD_VALUE);
    return FALSE;
  }
  dc->pointer = 1;
  return TRUE;
}

// The bitmap starts black; its pixels come with the first copy into it.
HBITMAP WINAPI CreateCompatibleBitmap(HDC hdc, int width, int height) {
  if ((hdc != (HDC)&g_vs_screen_dc && !vs_memory_dc(hdc)) || width <= 0 || height <= 0) {
    vs_set_last_error(VS_ERROR_BAD_VALUE);
    return NULL;
  }
  vs_bitmap *bitmap = (vs_bitmap *)calloc(1, sizeof *bitmap);
  if (!bitmap) {
    vs_set_last_error(VS_ERROR_BAD_ALLOC);
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
    vs_set_last_error(VS_ERROR_BAD_VALUE);
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
    vs_set_last_error(VS_ERROR_BAD_VALUE);
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
    vs_set_last_error(VS_ERROR_BAD_VALUE);
    return FALSE;
  }
  dc->magic = 0;
  free(dc);
  return TRUE;
}

// ---------------------------------------------------------------------------
// Read-back

// 8-bit channels of a 32-bit pixel in any other place or byte order. Kept
// out of convert_pixels, whose common case would otherwise pay for the
// registers this loop takes on every row.
__attribute__((noinline)) static void convert_shifted(const uint8_t *src, uint8_t *dst, int count,
                                                      const vs_pixel_format *f) {
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

// One row of the content, as the B, G, R, X bytes GDI delivers. The fourth
// byte is 255 for an opaque visual and the alpha of a 32-bit one. The copy
// is one of the passes a capture makes over the whole frame before it is
// encoded: on X11 the other is the core's channel swap; on Wayland and
// through the portal the layer's sampling into its frame comes first, three
// in all. AVX2, where the processor has it, makes it cheaper.
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
  convert_shifted(src, dst, count, f);
}

// ---------------------------------------------------------------------------
// Other layouts: 15- to 30-bit TrueColor, DirectColor, colormapped visuals.
// Not on the path of a 24- or 32-bit screen, which takes convert_pixels.

static int channel_of(uint32_t mask, uint8_t *shift, uint16_t *low_mask) {
  if (mask == 0) return -1;
  int s = __builtin_ctz(mask);
  uint32_t low = mask >> s;
  if ((low & (low + 1)) != 0 || low >= (1u << VS_MAX_CHANNEL_BITS)) return -1;
  *shift = (uint8_t)s;
  *low_mask = (uint16_t)low;
  return 0;
}

static void fill_levels(uint8_t *levels, uint16_t low_mask) {
  int bits = __builtin_popcount(low_mask);
  for (uint32_t v = 0; v <= low_mask; v++) levels[v] = vs_scale_channel(v, bits);
}

void vs_format_refresh_palette(vs_pixel_format *f) {
  if (f->kind != VS_PIXELS_INDEXED) return;
  for (uint32_t v = 0; v < 256; v++) {
    f->palette[v][0] = f->blue_levels[(v >> f->blue_shift) & f->blue_mask];
    f->palette[v][1] = f->green_levels[(v >> f->green_shift) & f->green_mask];
    f->palette[v][2] = f->red_levels[(v >> f->red_shift) & f->red_mask];
    f->palette[v][3] = 255;
  }
}

int vs_format_indexed(vs_pixel_format *f, int bits_per_pixel, int msb_first) {
  if (bits_per_pixel != 1 && bits_per_pixel != 4 && bits_per_pixel != 8) return -1;
  memset(f, 0, sizeof *f);
  f->kind = VS_PIXELS_INDEXED;
  f->bits_per_pixel = (uint8_t)bits_per_pixel;
  f->msb_first = (uint8_t)(msb_first != 0);
  for (int v = 0; v < 256; v++) f->palette[v][3] = 255;
  return 0;
}

int vs_format_from_masks(vs_pixel_format *f, int bits_per_pixel, int msb_first, uint32_t red_mask,
                         uint32_t green_mask, uint32_t blue_mask, uint32_t alpha_mask) {
  uint32_t all = bits_per_pixel >= 32 ? 0xffffffffu : (1u << bits_per_pixel) - 1;
  if ((red_mask | green_mask | blue_mask | alpha_mask) & ~all) return -1;
  if ((red_mask & green_mask) || (red_mask & blue_mask) || (green_mask & blue_mask)) return -1;
  if (bits_per_pixel <= 8) {
    if (vs_format_indexed(f, bits_per_pixel, msb_first) != 0) return -1;
  } else if (bits_per_pixel == 16 || bits_per_pixel == 24 || bits_per_pixel == 32) {
    memset(f, 0, sizeof *f);
    f->kind = VS_PIXELS_MAPPED;
    f->bits_per_pixel = (uint8_t)bits_per_pixel;
    f->msb_first = (uint8_t)(msb_first != 0);
  } else {
    return -1;
  }
  if (channel_of(red_mask, &f->red_shift, &f->red_mask) != 0 ||
      channel_of(green_mask, &f->green_shift, &f->green_mask) != 0 ||
      channel_of(blue_mask, &f->blue_shift, &f->blue_mask) != 0) {
    return -1;
  }
  fill_levels(f->red_levels, f->red_mask);
  fill_levels(f->green_levels, f->green_mask);
  fill_levels(f->blue_levels, f->blue_mask);
  uint8_t alpha_shift = 0;
  uint16_t alpha_low = 0;
  if (bits_per_pixel == 32 && channel_of(alpha_mask, &alpha_shift, &alpha_low) == 0 &&
      alpha_low == 0xff && !(alpha_mask & (red_mask | green_mask | blue_mask))) {
    f->has_alpha = 1;
    f->alpha_shift = alpha_shift;
  }
  vs_format_refresh_palette(f);
  return 0;
}

// The format's fields are read once: the byte stores would otherwise make
// the compiler read them again for every pixel.
template <int bytes, bool msb>
__attribute__((noinline)) static void convert_mapped_as(const uint8_t *src, uint8_t *dst, int count,
                                                        const vs_pixel_format *f) {
  const uint8_t *red = f->red_levels;
  const uint8_t *green = f->green_levels;
  const uint8_t *blue = f->blue_levels;
  const int red_shift = f->red_shift, green_shift = f->green_shift, blue_shift = f->blue_shift;
  const uint32_t red_mask = f->red_mask, green_mask = f->green_mask, blue_mask = f->blue_mask;
  const int alpha_shift = f->alpha_shift;
  const uint32_t opaque = f->has_alpha ? 0 : 0xff000000u;
  const uint32_t alpha_mask = f->has_alpha ? 0xffu : 0;
  for (int i = 0; i < count; i++) {
    const uint8_t *s = src + (size_t)i * bytes;
    uint32_t p = 0;
    for (int b = 0; b < bytes; b++) {
      p |= (uint32_t)s[b] << (msb ? 8 * (bytes - 1 - b) : 8 * b);
    }
    uint32_t out = (uint32_t)blue[(p >> blue_shift) & blue_mask] |
                   (uint32_t)green[(p >> green_shift) & green_mask] << 8 |
                   (uint32_t)red[(p >> red_shift) & red_mask] << 16 |
                   ((p >> alpha_shift) & alpha_mask) << 24 | opaque;
    uint8_t bgrx[4] = {(uint8_t)out, (uint8_t)(out >> 8), (uint8_t)(out >> 16),
                       (uint8_t)(out >> 24)};
    memcpy(dst + (size_t)i * 4, bgrx, 4);
  }
}

static void convert_mapped(const uint8_t *src, uint8_t *dst, int count, const vs_pixel_format *f) {
  switch (f->bits_per_pixel * 2 + f->msb_first) {
    case 32:
      convert_mapped_as<2, false>(src, dst, count, f);
      break;
    case 33:
      convert_mapped_as<2, true>(src, dst, count, f);
      break;
    case 48:
      convert_mapped_as<3, false>(src, dst, count, f);
      break;
    case 49:
      convert_mapped_as<3, true>(src, dst, count, f);
      break;
    case 64:
      convert_mapped_as<4, false>(src, dst, count, f);
      break;
    case 65:
      convert_mapped_as<4, true>(src, dst, count, f);
      break;
    default:
      break;  // no format from vs_format_from_masks
  }
}

// Below 8 bits a pixel, the leftmost pixel of a byte is in its high bits when
// the format says most significant first.
static void convert_indexed(const uint8_t *src, uint8_t *dst, int count, const vs_pixel_format *f) {
  int bits = f->bits_per_pixel;
  if (bits == 8) {
    for (int i = 0; i < count; i++) memcpy(dst + (size_t)i * 4, f->palette[src[i]], 4);
    return;
  }
  int per_byte = 8 / bits;
  uint32_t mask = (1u << bits) - 1;
  for (int i = 0; i < count; i++) {
    int slot = i % per_byte;
    int shift = f->msb_first ? 8 - bits * (slot + 1) : bits * slot;
    memcpy(dst + (size_t)i * 4, f->palette[(src[i / per_byte] >> shift) & mask], 4);
  }
}

// Counted in size_t: a row of 2^29 pixels or more is 2^31 bytes.
static void fill_black(uint8_t *dst, int count) {
  for (size_t i = 0; i < (size_t)(count > 0 ? count : 0); i++) {
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
  const vs_pixel_format *format = &bitmap->format;
  if (format->kind == VS_PIXELS_DIRECT) {
    convert_pixels(src, dst + (size_t)left * 4, width, format);
  } else if (format->kind == VS_PIXELS_MAPPED) {
    convert_mapped(src, dst + (size_t)left * 4, width, format);
  } else {
    convert_indexed(src, dst + (size_t)left * 4, width, format);
  }
  fill_black(dst + (size_t)(left + width) * 4, bitmap->width - left - width);
}

static void free_owned(vs_bitmap *bitmap) { free(bitmap->hold); }

int vs_own_content(vs_bitmap *bitmap) {
  size_t row_bytes = (size_t)bitmap->width * 4;
  uint8_t *owned = (uint8_t *)malloc(row_bytes * (size_t)bitmap->height);
  if (!owned) {
    vs_set_last_error(VS_ERROR_BAD_ALLOC);
    return -1;
  }
  for (int row = 0; row < bitmap->height; row++) read_row(bitmap, row, owned + row * row_bytes);
  vs_clear_content(bitmap);
  // B, G, R and the fourth byte as read_row delivered them: 255 for an
  // opaque visual, the alpha of a 32-bit one.
  memset(&bitmap->format, 0, sizeof bitmap->format);
  bitmap->format.red_shift = 16;
  bitmap->format.green_shift = 8;
  bitmap->format.blue_shift = 0;
  bitmap->format.has_alpha = 1;
  bitmap->format.alpha_shift = 24;
  bitmap->pixels = owned;
  bitmap->hold = owned;
  bitmap->release = free_owned;
  bitmap->stride = (uint32_t)row_bytes;
  bitmap->content_width = bitmap->width;
  bitmap->content_height = bitmap->height;
  return 0;
}

static inline uint8_t over(uint32_t source, uint32_t destination, uint32_t alpha) {
  uint32_t value = source + (destination * (255 - alpha) + 127) / 255;
  return (uint8_t)(value > 255 ? 255 : value);
}

// Sums in 64 bits: a position near INT_MAX must not wrap into the bitmap.
void vs_blend_over(vs_bitmap *bitmap, int left, int top, const uint32_t *argb, int width,
                   int height) {
  if (bitmap->release != free_owned) return;
  uint8_t *pixels = (uint8_t *)bitmap->hold;
  for (int y = 0; y < height; y++) {
    int64_t row = (int64_t)top + y;
    if (row < 0 || row >= bitmap->height) continue;
    for (int x = 0; x < width; x++) {
      int64_t column = (int64_t)left + x;
      if (column < 0 || column >= bitmap->width) continue;
      uint32_t p = argb[(size_t)y * (size_t)width + (size_t)x];
      uint32_t alpha = p >> 24;
      if (alpha == 0 && (p & 0xffffffu) == 0) continue;
      uint8_t *d = pixels + (size_t)row * bitmap->stride + (size_t)column * 4;
      d[0] = over(p & 0xff, d[0], alpha);
      d[1] = over((p >> 8) & 0xff, d[1], alpha);
      d[2] = over((p >> 16) & 0xff, d[2], alpha);
      d[3] = over(alpha, d[3], alpha);
    }
  }
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
    vs_set_last_error(VS_ERROR_BAD_VALUE);
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
