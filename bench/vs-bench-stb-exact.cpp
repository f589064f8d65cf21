// vs-bench-stb-exact: the capture exports' PNG on the live screen is still
// stb_image_write's, byte for byte, while the compact encoder runs beside it.
//
//   vs-bench-stb-exact DIR
//
// Grabs the whole screen as raw pixels, then as PNG bytes
// (screenshot_capture_region_mem) and as a PNG file (screenshot_capture_all_png,
// in DIR), and compares both with stb's own writer given the raw pixels (the
// tests' oracle). The screen must hold still meanwhile (a rig's wallpaper).
// Exit 0 and one line when all three agree.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "stb_write_oracle.h"
#include "vantorel_screenshot.h"

static std::vector<unsigned char> read_all(const std::string &path) {
  std::vector<unsigned char> bytes;
  FILE *file = fopen(path.c_str(), "rb");
  if (!file) return bytes;
  unsigned char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, file)) > 0)
    bytes.insert(bytes.end(), buffer, buffer + n);
  fclose(file);
  return bytes;
}

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: vs-bench-stb-exact DIR\n");
    return 2;
  }
  int x = 0, y = 0, width = 0, height = 0;
  unsigned char *pixels = NULL;
  // A request that covers every monitor: the library cuts it to the screen.
  if (screenshot_capture_region_rgba(-(1 << 30), -(1 << 30), 2147483647, 2147483647, &x, &y, &width,
                                     &height, &pixels) != 0) {
    fprintf(stderr, "vs-bench-stb-exact: %s\n", screenshot_last_error());
    return 1;
  }
  int oracle_length = 0;
  unsigned char *oracle = oracle_png_to_mem(pixels, width, height, &oracle_length);
  screenshot_free_mem(pixels);
  uint8_t *png = NULL;
  int png_length = 0;
  if (!oracle || screenshot_capture_region_mem(x, y, width, height, &png, &png_length) != 0) {
    fprintf(stderr, "vs-bench-stb-exact: %s\n", oracle ? screenshot_last_error() : "stb failed");
    return 1;
  }
  std::string path = std::string(argv[1]) + "/stb-exact.png";
  if (screenshot_capture_all_png(path.c_str()) != 0) {
    fprintf(stderr, "vs-bench-stb-exact: %s\n", screenshot_last_error());
    return 1;
  }
  std::vector<unsigned char> file = read_all(path);
  int same_mem = png_length == oracle_length && memcmp(png, oracle, (size_t)png_length) == 0;
  int same_file = file.size() == (size_t)oracle_length &&
                  memcmp(file.data(), oracle, (size_t)oracle_length) == 0;
  printf("%dx%d: stb %d bytes; region_mem %d bytes, %s; all_png %zu bytes, %s\n", width, height,
         oracle_length, png_length, same_mem ? "the same" : "DIFFERENT", file.size(),
         same_file ? "the same" : "DIFFERENT");
  screenshot_free_mem(png);
  free(oracle);
  return same_mem && same_file ? 0 : 1;
}
