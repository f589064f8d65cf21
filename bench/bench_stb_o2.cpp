// stb_image_write's PNG writer as a plain optimised build gets it (-O2, no
// further options): the reference that shows what the encoder's own options
// in the library's build are worth.
#include <stdlib.h>

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#define STBI_WRITE_NO_STDIO
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include <stb/stb_image_write.h>
#pragma GCC diagnostic pop

unsigned char *bench_stb_o2_png_to_mem(const unsigned char *rgba, int width, int height, int *len) {
  return stbi_write_png_to_mem(rgba, width * 4, width, height, 4, len);
}
