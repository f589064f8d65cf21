// The compact PNG: the smallest file a screen's pixels allow in about the
// time of a capture. Not the nine exports' PNG (pngenc.h keeps stb's bytes).
#ifndef VANTOREL_COMPACT_PNG_H
#define VANTOREL_COMPACT_PNG_H

#include <stddef.h>
#include <stdint.h>

// The default level: on the bench desktops the smallest file of the peers'
// (grim's at its 6 included, by 2 %) in well under their time; busy rows do
// not pay for it (deflate_stream.h).
enum { COMPACT_PNG_DEFAULT_LEVEL = 7 };

// 1 when every pixel's alpha is 255.
int picture_is_opaque(const uint8_t *rgba, size_t pixel_count);

// The colours of an opaque picture, when there are 256 or fewer, in the order
// they first appear, with the hash that finds each one's index.
enum { COMPACT_PALETTE_SLOT_BITS = 10, COMPACT_PALETTE_SLOTS = 1 << COMPACT_PALETTE_SLOT_BITS };
struct compact_palette {
  int count;
  uint32_t colours[256];  // 0xRRGGBB
  uint32_t keys[COMPACT_PALETTE_SLOTS];
  uint8_t values[COMPACT_PALETTE_SLOTS];
};

// 1 and the palette when the picture has at most 256 colours (alpha not
// looked at), with each pixel's index into indices (pixel_count bytes);
// else 0.
int picture_palette(const uint8_t *rgba, size_t pixel_count, compact_palette *palette,
                    uint8_t *indices);

// The rows of an 8-bit picture, each led by its filter type, as a PNG's
// image data before compression: (width * channels + 1) * height bytes
// into out. channels 3 drops alpha, 4 keeps it. Level 0 leaves every row
// unfiltered; any other picks each row's filter.
void compact_png_filter(const uint8_t *rgba, int width, int height, int channels, int level,
                        uint8_t *out);
// The same, and with channels 1 the rows are indices (picture_palette's),
// width bytes each.
void compact_png_filter_indexed(const uint8_t *rgba, int width, int height, int channels, int level,
                                const uint8_t *indices, uint8_t *out);

// PNG bytes of width x height RGBA pixels at level 0-9 (-1: the default):
// when every pixel is opaque, colour type 3 (a palette, a byte a pixel) for
// 256 colours or fewer, else 2 (RGB); else 6 (RGBA). A malloc'd block the
// caller frees. Returns 0, or -1 (out of memory, too large) with nothing
// kept; sets no error text.
int compact_png_encode(const uint8_t *rgba, int width, int height, int level, uint8_t **out,
                       size_t *out_length);
// The same with the stream cut into IDAT chunks of at most max_chunk bytes
// (compact_png_encode's is PNG's largest, 2^31 - 1), for the tests.
int compact_png_encode_chunks(const uint8_t *rgba, int width, int height, int level,
                              size_t max_chunk, uint8_t **out, size_t *out_length);

#endif
