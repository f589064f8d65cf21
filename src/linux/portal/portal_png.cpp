// libpng's simplified API: it catches its own errors with setjmp/longjmp
// inside its C frames (png_safe_execute) and returns failure, so no jump ever
// crosses a frame of ours. Warnings and errors land in the png_image's
// message, never on stderr.
#include "linux/portal/portal_png.h"

#include <png.h>
#include <stdlib.h>
#include <string.h>

static portal_png_result failed(png_image *image) {
  // libpng says "out of memory" (in either case) when its own allocations fail.
  int memory = strstr(image->message, "ut of memory") != nullptr;
  png_image_free(image);
  return memory ? PORTAL_PNG_NO_MEMORY : PORTAL_PNG_BAD;
}

portal_png_result portal_png_decode(const uint8_t *data, size_t size, int32_t max_side,
                                    uint64_t max_pixels, portal_png_picture *out) {
  out->pixels = nullptr;
  out->width = 0;
  out->height = 0;
  if (!data || size == 0) return PORTAL_PNG_BAD;

  png_image image;
  memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  // Reads the header chunks only: the size is known before anything the size
  // decides is allocated.
  if (!png_image_begin_read_from_memory(&image, data, size)) return failed(&image);
  // 16 bits per sample reach the simplified API as linear light, which a
  // portal's sRGB picture is not: its colours would come out wrong.
  if ((image.format & PNG_FORMAT_FLAG_LINEAR) || image.width == 0 || image.height == 0 ||
      image.width > uint32_t(max_side) || image.height > uint32_t(max_side) ||
      uint64_t(image.width) * image.height > max_pixels) {
    png_image_free(&image);
    return PORTAL_PNG_BAD;
  }
  image.format = PNG_FORMAT_BGRA;
  size_t stride = size_t(image.width) * 4;
  uint8_t *pixels = static_cast<uint8_t *>(malloc(stride * image.height));
  if (!pixels) {
    png_image_free(&image);
    return PORTAL_PNG_NO_MEMORY;
  }
  // No background: with an alpha channel kept in the output nothing is
  // composited, and the colours stay the file's.
  if (!png_image_finish_read(&image, nullptr, pixels, png_int_32(stride), nullptr)) {
    free(pixels);
    return failed(&image);
  }
  png_image_free(&image);
  size_t count = size_t(image.width) * image.height;
  for (size_t i = 0; i < count; i++) pixels[i * 4 + 3] = 255;
  out->pixels = pixels;
  out->width = int32_t(image.width);
  out->height = int32_t(image.height);
  return PORTAL_PNG_OK;
}
