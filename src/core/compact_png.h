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

// The rows of an 8-bit picture, each led by its filter type, as a PNG's
// image data before compression: (width * channels + 1) * height bytes
// into out. channels 3 drops alpha, 4 keeps it. Level 0 leaves every row
// unfiltered; any other picks each row's filter.
void compact_png_filter(const uint8_t *rgba, int width, int height, int channels, int level,
                        uint8_t *out);

// PNG bytes of width x height RGBA pixels at level 0-9 (-1: the default):
// colour type 2 when every pixel is opaque, else 6. A malloc'd block the
// caller frees. Returns 0, or -1 (out of memory, too large) with nothing
// kept; sets no error text.
int compact_png_encode(const uint8_t *rgba, int width, int height, int level, uint8_t **out,
                       size_t *out_length);

#endif
