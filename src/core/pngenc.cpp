// The only user of stb_image_write. Its functions are compiled static into this
// file, so none of them can leave the library, and its settings keep their
// initial values: compression level 8, filter chosen per row, no flip. stb
// filters the rows, frames the chunks and computes their CRCs; the zlib
// stream comes from pngenc_deflate, which writes exactly the bytes of stb's
// built-in compressor in a fraction of its time.
#include "core/pngenc.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "core/file_replace.h"
#include "core/pngenc_deflate.h"
#if defined(_WIN32)
#include "win32/win32_path.h"
#endif

#define STBIW_ZLIB_COMPRESS pngenc_deflate
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#define STBI_WRITE_NO_STDIO
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wconversion"
#endif
#include <stb/stb_image_write.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

// stb sizes the filtered image, (width * 4 + 1) * height bytes, in int.
static int frame_fits_encoder(int width, int height) {
  int64_t row = (int64_t)width * 4 + 1;  // at most 2^33, so the product stays in range
  return row <= 2147483647 && row * (int64_t)height <= 2147483647;
}

uint64_t pngenc_capacity(uint64_t len) {
  uint64_t capacity = 65536;
  while (capacity < len) capacity *= 2;
  return capacity;
}

int pngenc_encode_rgba(const uint8_t *rgba, int width, int height, uint8_t **out_png,
                       size_t *out_len) {
  if (!rgba || !out_png || !out_len || width <= 0 || height <= 0) return -1;
  *out_png = NULL;
  *out_len = 0;
  if (!frame_fits_encoder(width, height)) {
    errno = EFBIG;
    return -1;
  }

  int len = 0;
  unsigned char *png = stbi_write_png_to_mem(rgba, width * 4, width, height, 4, &len);
  if (!png) return -1;
  if (len <= 0) {
    free(png);
    return -1;
  }

  uint64_t capacity = pngenc_capacity((uint64_t)len);
  uint8_t *block = (uint8_t *)malloc((size_t)capacity);
  if (!block) {
    free(png);
    return -1;
  }
  memcpy(block, png, (size_t)len);
  free(png);
  *out_png = block;
  *out_len = (size_t)len;
  return 0;
}

// The file's part, shared with the program, is file_replace.c.
int pngenc_write_rgba_file(const uint8_t *rgba, int width, int height, const char *path) {
  if (!rgba || !path || width <= 0 || height <= 0) return -1;

  uint8_t *png = NULL;
  size_t len = 0;
  if (pngenc_encode_rgba(rgba, width, height, &png, &len) != 0) return -1;

#if defined(_WIN32)
  wchar_t *name = path_to_wide(path);
  if (!name) {
    int err = errno;
    free(png);
    errno = err;
    return -1;
  }
#else
  const char *name = path;
#endif

  int err = file_replace(name, png, len);
  free(png);
#if defined(_WIN32)
  free(name);
#endif
  if (err) {
    errno = err;
    return -1;
  }
  return 0;
}
