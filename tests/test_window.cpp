// Capturing one window: print it, or copy it from the screen as a last
// resort; every failure with its releases.
#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "core/screenshot.h"
#include "test_support.h"

namespace {

// The window used by most rows: 4x3 at (-2,-1).
const journal k_acquire = {
    "GetWindowRect(W1)=1",       "GetDC(0)=S1",
    "CreateCompatibleDC(S1)=M1", "CreateCompatibleBitmap(S1,4,3)=B1",
    "SelectObject(M1,B1)=STOCK",
};
const std::string k_read = "GetDIBits(M1,B1,0,3,buf,{40,4,-3,1,32,0,0,0,0,0,0},0)";
const sd_pixel k_full = {0x11, 0x22, 0x33, 0};
const sd_pixel k_plain = {0x44, 0x55, 0x66, 0};
const sd_pixel k_none = {0, 0, 0, 0};

struct window_row {
  const char *label;
  RECT rect;
  std::function<void(HWND)> script;
  std::function<int(HWND, const char *)> run;  // default: the export with the window and path
  std::string message;                         // "$P" stands for the path
  journal calls;
};

void PrintTo(const window_row &r, std::ostream *os) { *os << r.label; }

void all_prints_fail(HWND w) {
  sd_window_print(w, 2, 0, k_none, 11);
  sd_window_print(w, 0, 0, k_none, 22);
}

std::vector<window_row> window_rows() {
  const RECT r43 = {-2, -1, 2, 2};
  return {
      {"NULL window, NULL path: the window is tested first",
       r43,
       [](HWND) {},
       [](HWND, const char *) { return screenshot_capture_window_png(nullptr, nullptr); },
       "window handle is NULL",
       {}},
      {"NULL path",
       r43,
       [](HWND) {},
       [](HWND w, const char *) { return screenshot_capture_window_png(w, nullptr); },
       "output file is empty",
       {}},
      {"empty path, before the rectangle is read",
       r43,
       [](HWND) {},
       [](HWND w, const char *) { return screenshot_capture_window_png(w, ""); },
       "output file is empty",
       {}},
      {"GetWindowRect fails",
       r43,
       [](HWND) { sd_fail(SD_GET_WINDOW_RECT, 1, 1400); },
       nullptr,
       "GetWindowRect failed (error 1400)",
       {"GetWindowRect(W1)=0", "GetLastError()=1400"}},
      {"zero width",
       {5, 5, 5, 9},
       [](HWND) {},
       nullptr,
       "window has empty rect",
       {"GetWindowRect(W1)=1"}},
      {"zero height",
       {5, 5, 9, 5},
       [](HWND) {},
       nullptr,
       "window has empty rect",
       {"GetWindowRect(W1)=1"}},
      {"inverted",
       {5, 5, 1, 9},
       [](HWND) {},
       nullptr,
       "window has empty rect",
       {"GetWindowRect(W1)=1"}},
      {"wider than int",
       {-2, 0, INT_MAX, 10},
       [](HWND) {},
       nullptr,
       "window has empty rect",
       {"GetWindowRect(W1)=1"}},
      {"GetDC fails: no error code read",
       r43,
       [](HWND) { sd_fail(SD_GET_DC, 1, 8); },
       nullptr,
       "GetDC(NULL) failed",
       {"GetWindowRect(W1)=1", "GetDC(0)=0"}},
      {"CreateCompatibleDC fails",
       r43,
       [](HWND) { sd_fail(SD_CREATE_COMPATIBLE_DC, 1, 8); },
       nullptr,
       "memory DC/bitmap creation failed",
       {"GetWindowRect(W1)=1", "GetDC(0)=S1", "CreateCompatibleDC(S1)=0", "ReleaseDC(0,S1)=1"}},
      {"CreateCompatibleBitmap fails",
       r43,
       [](HWND) { sd_fail(SD_CREATE_COMPATIBLE_BITMAP, 1, 8); },
       nullptr,
       "memory DC/bitmap creation failed",
       {"GetWindowRect(W1)=1", "GetDC(0)=S1", "CreateCompatibleDC(S1)=M1",
        "CreateCompatibleBitmap(S1,4,3)=0", "DeleteDC(M1)=1", "ReleaseDC(0,S1)=1"}},
      {"both prints and the copy fail: the copy's code", r43,
       [](HWND w) {
         all_prints_fail(w);
         sd_fail(SD_BITBLT, 1, 33);
       },
       nullptr, "PrintWindow/BitBlt for window failed (error 33)",
       concat(concat(k_acquire, {"PrintWindow(W1,M1,2)=0", "PrintWindow(W1,M1,0)=0",
                                 "BitBlt(M1,0,0,4,3,S1,-2,-1,0xcc0020)=0", "GetLastError()=33"}),
              k_release)},
      {"allocation fails",
       {0, 0, INT_MAX, INT_MAX},
       [](HWND) {},
       nullptr,
       "out of memory for window 2147483647x2147483647",
       {"GetWindowRect(W1)=1", "GetDC(0)=S1", "CreateCompatibleDC(S1)=M1",
        "CreateCompatibleBitmap(S1,2147483647,2147483647)=B1", "SelectObject(M1,B1)=STOCK",
        "PrintWindow(W1,M1,2)=1", "SelectObject(M1,STOCK)=B1", "DeleteObject(B1)=1",
        "DeleteDC(M1)=1", "ReleaseDC(0,S1)=1"}},
      {"GetDIBits fails", r43, [](HWND) { sd_fail(SD_GET_DIBITS, 1, 1450); }, nullptr,
       "GetDIBits failed for window (error 1450)",
       concat(concat(k_acquire, {"PrintWindow(W1,M1,2)=1", k_read + "=0", "GetLastError()=1450"}),
              k_release)},
      {"PNG write fails after every display object is released", r43, [](HWND) {},
       [](HWND w, const char *p) {
         std::string missing = std::string(p) + ".d/missing.png";
         return screenshot_capture_window_png(w, missing.c_str());
       },
       "PNG write failed for 4x3 frame to '$P.d/missing.png' (No such file or directory)",
       concat(concat(k_acquire, {"PrintWindow(W1,M1,2)=1", k_read + "=3"}), k_release)},
      {"no previous object: no reselection, the rest released",
       r43,
       [](HWND w) {
         all_prints_fail(w);
         sd_fail(SD_SELECT_OBJECT, 1, 0);
         sd_fail(SD_BITBLT, 1, 44);
       },
       nullptr,
       "PrintWindow/BitBlt for window failed (error 44)",
       {"GetWindowRect(W1)=1", "GetDC(0)=S1", "CreateCompatibleDC(S1)=M1",
        "CreateCompatibleBitmap(S1,4,3)=B1", "SelectObject(M1,B1)=0", "PrintWindow(W1,M1,2)=0",
        "PrintWindow(W1,M1,0)=0", "BitBlt(M1,0,0,4,3,S1,-2,-1,0xcc0020)=0", "GetLastError()=44",
        "DeleteObject(B1)=1", "DeleteDC(M1)=1", "ReleaseDC(0,S1)=1"}},
  };
}

}  // namespace

class WindowFailure : public display_test, public testing::WithParamInterface<window_row> {};

TEST_P(WindowFailure, MessageReleasesAndNoFile) {
  const window_row &r = GetParam();
  // Monitors that would fail enumeration: the window path never enumerates.
  sd_fail(SD_ENUM_DISPLAY_MONITORS, 0, 99);
  sd_set_screen(-2, -1, 4, 3, sd_pixel{1, 2, 3, 0});
  HWND w = sd_add_window(r.rect.left, r.rect.top, r.rect.right, r.rect.bottom);
  r.script(w);
  std::string path = dir.file("win.png");
  int result = r.run ? r.run(w, path.c_str()) : screenshot_capture_window_png(w, path.c_str());
  EXPECT_EQ(result, -1);
  std::string message = r.message;
  size_t at = message.find("$P");
  if (at != std::string::npos) message.replace(at, 2, path);
  EXPECT_EQ(std::string(screenshot_last_error()), message);
  EXPECT_EQ(sd_journal(), r.calls);
  EXPECT_TRUE(dir.entries().empty());
}

INSTANTIATE_TEST_SUITE_P(Rows, WindowFailure, testing::ValuesIn(window_rows()));

using WindowCapture = display_test;

// Flag 2 first, then flag 0, then the screen; the first success ends it.
TEST_F(WindowCapture, FirstCopyThatWorksIsUsed) {
  struct row {
    const char *label;
    int full_ok, plain_ok;
    journal fill_calls;
    sd_pixel want;  // every pixel
  } rows[] = {
      {"flag 2 works", 1, 1, {"PrintWindow(W1,M1,2)=1"}, k_full},
      {"flag 2 fails, flag 0 works: no copy from the screen",
       0,
       1,
       {"PrintWindow(W1,M1,2)=0", "PrintWindow(W1,M1,0)=1"},
       k_plain},
      {"both fail: the screen at the window's rectangle",
       0,
       0,
       {"PrintWindow(W1,M1,2)=0", "PrintWindow(W1,M1,0)=0",
        "BitBlt(M1,0,0,4,3,S1,-2,-1,0xcc0020)=1"},
       {7, 8, 9, 0}},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.label);
    sd_reset();
    sd_set_screen(-2, -1, 4, 3, sd_pixel{7, 8, 9, 0});
    HWND w = sd_add_window(-2, -1, 2, 2);
    sd_window_print(w, 2, r.full_ok, k_full, 11);
    sd_window_print(w, 0, r.plain_ok, k_plain, 22);
    std::string path = dir.file("w.png");
    ASSERT_EQ(screenshot_capture_window_png(w, path.c_str()), 0) << screenshot_last_error();
    EXPECT_EQ(sd_journal(),
              concat(concat(k_acquire, r.fill_calls), concat({k_read + "=3"}, k_release)));
    decoded_png png = decode_png_file(path);
    ASSERT_TRUE(png.ok);
    ASSERT_EQ(png.width, 4);
    ASSERT_EQ(png.height, 3);
    std::vector<uint8_t> want;
    for (int i = 0; i < 12; i++) want.insert(want.end(), {r.want.r, r.want.g, r.want.b, 255});
    EXPECT_EQ(png.rgba, want);
  }
}

// Nothing clamps a window to the monitors: the parts off every monitor come
// out as the screen delivers them.
TEST_F(WindowCapture, WindowBeyondTheMonitorsIsNotClamped) {
  sd_add_monitor(0, 0, 4, 4, "M", 1);
  sd_set_screen(0, 0, 4, 4, sd_pixel{0, 0, 0, 0});
  for (int y = 0; y < 4; y++)
    for (int x = 0; x < 4; x++) sd_set_screen_pixel(x, y, sd_pixel{(uint8_t)x, (uint8_t)y, 200, 0});
  sd_set_outside_pixel(sd_pixel{1, 2, 3, 0});
  HWND w = sd_add_window(-3, -2, 6, 5);  // 9x7
  sd_window_print(w, 2, 0, k_none, 0);
  sd_window_print(w, 0, 0, k_none, 0);
  std::string path = dir.file("wide.png");
  ASSERT_EQ(screenshot_capture_window_png(w, path.c_str()), 0) << screenshot_last_error();
  EXPECT_EQ(sd_journal_count("BitBlt(M1,0,0,9,7,S1,-3,-2,0xcc0020)=1"), 1);
  EXPECT_EQ(sd_journal_count("EnumDisplayMonitors"), 0);
  decoded_png png = decode_png_file(path);
  ASSERT_TRUE(png.ok);
  ASSERT_EQ(png.width, 9);
  ASSERT_EQ(png.height, 7);
  for (int row = 0; row < 7; row++) {
    for (int col = 0; col < 9; col++) {
      int x = col - 3, y = row - 2;
      bool on_screen = x >= 0 && x < 4 && y >= 0 && y < 4;
      std::vector<uint8_t> want = on_screen ? std::vector<uint8_t>{200, (uint8_t)y, (uint8_t)x, 255}
                                            : std::vector<uint8_t>{3, 2, 1, 255};
      const uint8_t *got = &png.rgba[(size_t)(row * 9 + col) * 4];
      ASSERT_EQ(std::vector<uint8_t>(got, got + 4), want) << "row " << row << " col " << col;
    }
  }
}

// The window path applies the same rule for the fourth byte.
TEST_F(WindowCapture, PrintedAlphaPassesThrough) {
  HWND w = sd_add_window(0, 0, 2, 2);
  sd_window_print(w, 2, 1, sd_pixel{10, 20, 30, 40}, 0);
  std::string path = dir.file("a.png");
  ASSERT_EQ(screenshot_capture_window_png(w, path.c_str()), 0);
  decoded_png png = decode_png_file(path);
  ASSERT_TRUE(png.ok);
  EXPECT_EQ(png.rgba,
            (std::vector<uint8_t>{30, 20, 10, 40, 30, 20, 10, 40, 30, 20, 10, 40, 30, 20, 10, 40}));
}
