// Takes pictures through the desktop portal and says what came back, one line
// per call:
//   portal_probe [--count N] [--save FILE.png] [--available]
// prints "result=R code=C width=W height=H ms=T" for each call (and
// "available=A" for --available); --save writes the last picture as PNG.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "linux/portal/portal_capture.h"

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#include <stb/stb_image_write.h>
#pragma GCC diagnostic pop

static double now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

int main(int argc, char **argv) {
  int count = 1;
  const char *save = nullptr;
  bool probe = false;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--count") == 0 && i + 1 < argc) {
      count = atoi(argv[++i]);
    } else if (strcmp(argv[i], "--save") == 0 && i + 1 < argc) {
      save = argv[++i];
    } else if (strcmp(argv[i], "--available") == 0) {
      probe = true;
    } else {
      fprintf(stderr, "usage: %s [--count N] [--save FILE.png] [--available]\n", argv[0]);
      return 2;
    }
  }
  if (probe) {
    double t0 = now_ms();
    int a = portal_available(vs_now_ms() + 5000);
    printf("available=%d ms=%.1f\n", a, now_ms() - t0);
    if (count == 1 && !save) return a ? 0 : 1;
  }
  int failed = 0;
  portal_picture last = {nullptr, 0, 0};
  for (int i = 0; i < count; i++) {
    portal_picture pic = {nullptr, 0, 0};
    uint32_t code = 0;
    double t0 = now_ms();
    int r = portal_take_picture(&pic, &code, vs_now_ms() + PORTAL_TIMEOUT_MS);
    printf("result=%d code=%u width=%d height=%d ms=%.1f\n", r, code, pic.width, pic.height,
           now_ms() - t0);
    fflush(stdout);
    if (r != 0) failed = 1;
    if (r == 0) {
      free(last.pixels);
      last = pic;
    }
  }
  if (save && last.pixels) {
    size_t n = size_t(last.width) * size_t(last.height);
    unsigned char *rgb = static_cast<unsigned char *>(malloc(n * 3));
    if (!rgb) return 1;
    for (size_t i = 0; i < n; i++) {
      rgb[i * 3] = last.pixels[i * 4 + 2];
      rgb[i * 3 + 1] = last.pixels[i * 4 + 1];
      rgb[i * 3 + 2] = last.pixels[i * 4];
    }
    if (!stbi_write_png(save, last.width, last.height, 3, rgb, last.width * 3)) failed = 1;
    free(rgb);
  }
  free(last.pixels);
  return failed;
}
