// The encoder's arguments and sizes: every frame is refused or encoded into a
// PNG that decodes back to its pixels, never a crash or a read past the frame.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "core/pngenc.h"
#include "fuzz_display.h"

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#endif
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#define STBI_ONLY_PNG
#include <stb/stb_image.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

static void check(bool ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "pngenc fuzz: %s\n", what);
    abort();
  }
}

static const size_t k_max_frame_bytes = 1 << 16;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz_input in = {data, size, 0};
  uint8_t mode = fuzz_byte(&in);
  int width = fuzz_int(&in);
  int height = fuzz_int(&in);
  if (mode & 1) {  // small sizes most of the time, so frames really get encoded
    width = (int)((uint32_t)width % 300) - 2;
    height = (int)((uint32_t)height % 300) - 2;
  }
  uint8_t *sentinel_png = (uint8_t *)&in;
  size_t sentinel_len = 12345;
  uint8_t *png = sentinel_png;
  size_t len = sentinel_len;
  static uint8_t dummy[4];

  double filtered = ((double)width * 4 + 1) * (double)height;
  if (width <= 0 || height <= 0) {
    check(pngenc_encode_rgba(dummy, width, height, &png, &len) == -1, "bad size encoded");
    check(png == sentinel_png && len == sentinel_len, "outputs touched on refusal");
    check(pngenc_write_rgba_file(dummy, width, height, "/nonexistent/x.png") == -1,
          "bad size written");
    return 0;
  }
  if (filtered > 2147483647.0) {
    errno = 0;
    check(pngenc_encode_rgba(dummy, width, height, &png, &len) == -1, "huge frame encoded");
    check(errno == EFBIG, "huge frame without EFBIG");
    check(png == NULL && len == 0, "outputs not reset");
    return 0;
  }
  size_t bytes = (size_t)width * (size_t)height * 4;
  if (bytes > k_max_frame_bytes) return 0;

  uint8_t *rgba = (uint8_t *)malloc(bytes);
  check(rgba != NULL, "no memory for the frame");
  for (size_t i = 0; i < bytes; i++)  // sparse input still gives structured pixels
    rgba[i] = in.pos < in.size ? data[in.pos++] : (uint8_t)(i * 7 + (i >> 9));
  check(pngenc_encode_rgba(NULL, width, height, &png, &len) == -1, "NULL pixels encoded");
  check(pngenc_encode_rgba(rgba, width, height, &png, &len) == 0, "encode failed");
  check(png != NULL && len > 0 && len <= 2147483647u, "bad result");

  int w = 0, h = 0, n = 0;
  unsigned char *back = stbi_load_from_memory(png, (int)len, &w, &h, &n, 4);
  check(back != NULL && w == width && h == height && n == 4, "PNG does not decode");
  check(memcmp(back, rgba, bytes) == 0, "pixels changed");
  stbi_image_free(back);
  free(png);
  free(rgba);
  return 0;
}
