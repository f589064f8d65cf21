// The portal's picture file, decoded with libpng: the bytes come from another
// process and are treated as hostile, so the decoder is one made for
// untrusted input and the picture's size is bounded before any pixel memory is
// allocated.
#ifndef VANTOREL_PORTAL_PNG_H
#define VANTOREL_PORTAL_PNG_H

#include <stddef.h>
#include <stdint.h>

// The bounds a portal's picture must keep: a desktop of 32768 pixels a side,
// or of 2^28 pixels (1 GiB decoded), is already far beyond any real one.
#define PORTAL_PNG_MAX_SIDE 32768
#define PORTAL_PNG_MAX_PIXELS (uint64_t(1) << 28)

enum portal_png_result { PORTAL_PNG_OK, PORTAL_PNG_BAD, PORTAL_PNG_NO_MEMORY };

struct portal_png_picture {
  uint8_t *pixels;  // B,G,R,255 per pixel, rows top first, no gaps; malloc'd
  int32_t width;
  int32_t height;
};

// Decodes an 8-bit PNG of any colour type (palette, grey, grey with alpha,
// RGB, RGBA; interlaced or not) whose sides are at most max_side and whose
// pixels are at most max_pixels. Alpha is dropped: the colours are taken as
// they are, not composited. PORTAL_PNG_OK with *out filled (the caller frees
// out->pixels); otherwise *out is cleared: PORTAL_PNG_BAD for anything that is
// not such a PNG (truncated, corrupt, 16 bits per sample, too large),
// PORTAL_PNG_NO_MEMORY when memory ran out.
portal_png_result portal_png_decode(const uint8_t *data, size_t size, int32_t max_side,
                                    uint64_t max_pixels, portal_png_picture *out);

#endif
