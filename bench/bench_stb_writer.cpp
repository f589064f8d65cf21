// stb_image_write's PNG writer on its own, in a file of its own like the
// library's encoder, so that the two builds differ only in what they are
// given. Compiled twice (bench/CMakeLists.txt): with the encoder's options as
// the bare reference, and at plain -O2 to show what those options are worth.
// BENCH_STB_WRITER names the function.
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

unsigned char *BENCH_STB_WRITER(const unsigned char *rgba, int width, int height, int *len) {
  return stbi_write_png_to_mem(rgba, width * 4, width, height, 4, len);
}
