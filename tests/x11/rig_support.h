// Helpers for the tests that run the library against the Xorg dummy rig: a
// connection of the test's own to draw known pixels, windows, xrandr, PNG
// decoding and pixel comparison.
#ifndef VS_X11_RIG_SUPPORT_H
#define VS_X11_RIG_SUPPORT_H

#include <gtest/gtest.h>
#include <stdint.h>
#include <xcb/xcb.h>

#include <functional>
#include <string>
#include <vector>

// Rig tests run only on a display started by rig/start.sh (RIG_DIR set): they
// draw on the root window and change the monitor layout, which must never
// happen on someone's desktop. Without the rig they skip, unless
// VS_X11_REQUIRED is set (the rig stage sets it), and then they fail.
bool rig_available(std::string *why);
#define REQUIRE_RIG()                                \
  do {                                               \
    std::string why_;                                \
    if (!rig_available(&why_)) {                     \
      if (getenv("VS_X11_REQUIRED")) FAIL() << why_; \
      GTEST_SKIP() << why_;                          \
    }                                                \
  } while (0)

xcb_connection_t *rig_conn();
xcb_screen_t *rig_screen();
void rig_sync();  // the server has handled everything the test sent
int root_width();
int root_height();

// Known content: a colour for every pixel that differs from its neighbours,
// so an offset, a flip or a swapped channel shows.
uint32_t pattern_rgb(int x, int y, uint32_t seed);

// Covers the whole root window with pattern_rgb(x, y, seed).
void draw_root_pattern(uint32_t seed);

struct test_window {
  xcb_window_t id;
  int x, y, width, height, border;
  uint32_t seed;
  uint32_t border_rgb;
};
// A mapped top-level window without background (nothing repaints it), its
// inside filled with pattern_rgb(column, row, seed) in its own coordinates.
test_window make_window(int x, int y, int width, int height, int border, uint32_t seed,
                        uint32_t border_rgb = 0x203040);
void fill_window(const test_window &w);
void destroy_window(const test_window &w);

// Runs a shell command; returns its standard output. *status gets the exit
// status when given.
std::string run_command(const std::string &command, int *status = nullptr);

struct rgba_image {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;
};
bool decode_png_file(const std::string &path, rgba_image *image);
bool decode_png_memory(const uint8_t *data, int length, rgba_image *image);

// Checks every pixel against expected(column, row) (0xRRGGBB) with alpha 255,
// reporting the first few mismatches.
::testing::AssertionResult image_matches(const rgba_image &image, int width, int height,
                                         const std::function<uint32_t(int, int)> &expected);

// The root window's pattern as a region at (x, y) shows it: black outside the root.
std::function<uint32_t(int, int)> root_region(int x, int y, uint32_t seed);

std::string temp_png(const std::string &name);

// Whether SIGPIPE is pending for, or blocked in, the calling thread: the
// library must leave both as it found them.
bool sigpipe_pending();
bool sigpipe_blocked();

#endif
