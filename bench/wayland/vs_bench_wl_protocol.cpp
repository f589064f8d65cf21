// The whole-screen capture to a file, as `vantorel-screenshot all FILE` makes
// it, through the protocol named: ext-image-copy-capture or wlroots' screen
// copy. The library picks the first on a compositor that offers both, so the
// program links the layers in and tells the Wayland layer to pass it by for
// wlr. Timed as whole processes (bench/wayland-protocols.sh).
//
//   vs_bench_wl_protocol ext|wlr FILE
#include <stdio.h>
#include <string.h>

#include "linux/wayland/wl_internal.h"
#include "vantorel_screenshot.h"

int main(int argc, char **argv) {
  if (argc != 3 || (strcmp(argv[1], "ext") != 0 && strcmp(argv[1], "wlr") != 0)) {
    fprintf(stderr, "usage: vs_bench_wl_protocol ext|wlr FILE\n");
    return 2;
  }
  g_vs_wl_ext_declined = strcmp(argv[1], "wlr") == 0;
  if (screenshot_capture_all_png(argv[2]) != 0) {
    fprintf(stderr, "vs_bench_wl_protocol: %s\n", screenshot_last_error());
    return 1;
  }
  return 0;
}
