// JPEG bytes of a picture: libjpeg-turbo where the platform has it, stb's
// baseline writer in the Windows library (which imports system DLLs only).
#ifndef VANTOREL_JPEG_ENCODE_H
#define VANTOREL_JPEG_ENCODE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { JPEG_DEFAULT_QUALITY = 90 };

// width x height RGBA pixels (alpha left out) at quality 1-100 into a
// malloc'd block the caller frees. Returns 0, or -1 with nothing kept.
int jpeg_encode_rgba(const uint8_t *rgba, int width, int height, int quality, uint8_t **out,
                     size_t *out_length);

#ifdef __cplusplus
}
#endif

#endif
