// stb_image_write compiled static here, so that its functions cannot clash
// with the library's copy of the same header; the two wrappers are all that
// leaves this file.
#include "stb_write_oracle.h"

#include <stdlib.h>

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#define STBI_WRITE_NO_STDIO
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#endif
#include <stb/stb_image_write.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

unsigned char *oracle_zlib_compress(unsigned char *data, int data_len, int *out_len, int quality) {
  return stbi_zlib_compress(data, data_len, out_len, quality);
}

unsigned char *oracle_png_to_mem(const unsigned char *rgba, int width, int height, int *out_len) {
  return stbi_write_png_to_mem(rgba, width * 4, width, height, 4, out_len);
}
