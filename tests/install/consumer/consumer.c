/* A program built against an installed vantorel-screenshot: prints the
 * version, checks an argument refusal and, given --capture, grabs a few
 * pixels from the display. Exit status 0 when everything holds. */
#include <stdio.h>
#include <string.h>
#include <vantorel_screenshot.h>

int main(int argc, char **argv) {
  const char *version = screenshot_version();
  printf("%s\n", version);
  if (strcmp(version, "1.0.0") != 0) return 1;

  if (screenshot_capture_all_png("") != -1 ||
      strcmp(screenshot_last_error(), "output file is empty") != 0) {
    fprintf(stderr, "consumer: empty path not refused: '%s'\n", screenshot_last_error());
    return 1;
  }

  if (argc > 1 && strcmp(argv[1], "--capture") == 0) {
    uint8_t *png = NULL;
    int length = 0;
    if (screenshot_capture_region_mem(0, 0, 8, 8, &png, &length) != 0) {
      fprintf(stderr, "consumer: %s\n", screenshot_last_error());
      return 1;
    }
    if (length < 8 || memcmp(png, "\x89PNG\r\n\x1a\n", 8) != 0) {
      fprintf(stderr, "consumer: not a PNG (%d bytes)\n", length);
      screenshot_free_mem(png);
      return 1;
    }
    screenshot_free_mem(png);
    printf("captured %d bytes of PNG\n", length);
  }
  return 0;
}
