// Copying a rectangle of the screen into an RGBA frame: the call sequence,
// every failure with its releases, and the pixels that come out.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "core/screenshot.h"
#include "test_support.h"

namespace {

const journal k_acquire_4x3 = {
    "GetDC(0)=S1",
    "CreateCompatibleDC(S1)=M1",
    "CreateCompatibleBitmap(S1,4,3)=B1",
    "SelectObject(M1,B1)=STOCK",
};
const char k_blit[] = "BitBlt(M1,0,0,4,3,S1,-2,-1,0xcc0020)";
const char k_read[] = "GetDIBits(M1,B1,0,3,buf,{40,4,-3,1,32,0,0,0,0,0,0},0)";

struct capture_row {
  const char *label;
  std::function<void()> script;
  int x, y, width, height;
  int result;
  const char *message;
  journal calls;
  int frame_width, frame_height, frame_stride;  // afterwards; pixels always NULL on failure
};

void PrintTo(const capture_row &r, std::ostream *os) { *os << r.label; }

std::vector<capture_row> capture_rows() {
  return {
      {"success", [] {}, -2, -1, 4, 3, 0, "before",
       concat(concat(k_acquire_4x3, {std::string(k_blit) + "=1", std::string(k_read) + "=3"}),
              k_release),
       4, 3, 16},
      {"GetDC fails: nothing else is called",
       [] { sd_fail(SD_GET_DC, 1, 8); },
       -2,
       -1,
       4,
       3,
       -1,
       "GetDC(NULL) failed (error 8)",
       {"GetDC(0)=0", "GetLastError()=8"},
       0,
       0,
       0},
      {"CreateCompatibleDC fails: no code, screen DC released",
       [] { sd_fail(SD_CREATE_COMPATIBLE_DC, 1, 8); },
       -2,
       -1,
       4,
       3,
       -1,
       "CreateCompatibleDC failed",
       {"GetDC(0)=S1", "CreateCompatibleDC(S1)=0", "ReleaseDC(0,S1)=1"},
       0,
       0,
       0},
      {"CreateCompatibleBitmap fails: memory DC deleted before the screen DC",
       [] { sd_fail(SD_CREATE_COMPATIBLE_BITMAP, 1, 8); },
       -2,
       -1,
       4,
       3,
       -1,
       "CreateCompatibleBitmap 4x3 failed",
       {"GetDC(0)=S1", "CreateCompatibleDC(S1)=M1", "CreateCompatibleBitmap(S1,4,3)=0",
        "DeleteDC(M1)=1", "ReleaseDC(0,S1)=1"},
       0,
       0,
       0},
      {"BitBlt fails at a negative corner: bitmap deselected before deletion",
       [] { sd_fail(SD_BITBLT, 1, 5); }, -2, -1, 4, 3, -1, "BitBlt (-2,-1 4x3) failed (error 5)",
       concat(concat(k_acquire_4x3, {std::string(k_blit) + "=0", "GetLastError()=5"}), k_release),
       0, 0, 0},
      {"GetDIBits fails: buffer released, sizes kept", [] { sd_fail(SD_GET_DIBITS, 1, 1450); }, -2,
       -1, 4, 3, -1, "GetDIBits failed (error 1450)",
       concat(concat(k_acquire_4x3, {std::string(k_blit) + "=1", std::string(k_read) + "=0",
                                     "GetLastError()=1450"}),
              k_release),
       4, 3, 16},
      {"SelectObject gives no previous object: no reselection",
       [] { sd_fail(SD_SELECT_OBJECT, 1, 0); },
       -2,
       -1,
       4,
       3,
       0,
       "before",
       {"GetDC(0)=S1", "CreateCompatibleDC(S1)=M1", "CreateCompatibleBitmap(S1,4,3)=B1",
        "SelectObject(M1,B1)=0", std::string(k_blit) + "=1", std::string(k_read) + "=3",
        "DeleteObject(B1)=1", "DeleteDC(M1)=1", "ReleaseDC(0,S1)=1"},
       4,
       3,
       16},
      {"no previous object and BitBlt fails",
       [] {
         sd_fail(SD_SELECT_OBJECT, 1, 0);
         sd_fail(SD_BITBLT, 1, 6);
       },
       -2,
       -1,
       4,
       3,
       -1,
       "BitBlt (-2,-1 4x3) failed (error 6)",
       {"GetDC(0)=S1", "CreateCompatibleDC(S1)=M1", "CreateCompatibleBitmap(S1,4,3)=B1",
        "SelectObject(M1,B1)=0", std::string(k_blit) + "=0", "GetLastError()=6",
        "DeleteObject(B1)=1", "DeleteDC(M1)=1", "ReleaseDC(0,S1)=1"},
       0,
       0,
       0},
      // The bitmap holds no pixels, so only malloc is asked for the 2^64-ish bytes.
      {"allocation fails: sizes set, no buffer",
       [] {},
       0,
       0,
       INT_MAX,
       INT_MAX,
       -1,
       "out of memory for 2147483647x2147483647 frame",
       {"GetDC(0)=S1", "CreateCompatibleDC(S1)=M1",
        "CreateCompatibleBitmap(S1,2147483647,2147483647)=B1", "SelectObject(M1,B1)=STOCK",
        "BitBlt(M1,0,0,2147483647,2147483647,S1,0,0,0xcc0020)=1", "SelectObject(M1,STOCK)=B1",
        "DeleteObject(B1)=1", "DeleteDC(M1)=1", "ReleaseDC(0,S1)=1"},
       INT_MAX,
       INT_MAX,
       -1},
  };
}

}  // namespace

class CaptureRect : public display_test, public testing::WithParamInterface<capture_row> {};

TEST_P(CaptureRect, CallsReleasesAndFrame) {
  const capture_row &r = GetParam();
  sd_set_screen(-2, -1, 4, 3, sd_pixel{1, 2, 3, 0});
  r.script();
  set_error("before");

  rgba_frame frame;
  memset(&frame, 0, sizeof frame);
  EXPECT_EQ(capture_rect_rgba(r.x, r.y, r.width, r.height, &frame), r.result);
  EXPECT_STREQ(screenshot_last_error(), r.message);
  EXPECT_EQ(sd_journal(), r.calls);
  EXPECT_EQ(frame.width, r.frame_width);
  EXPECT_EQ(frame.height, r.frame_height);
  if (r.frame_stride >= 0) {
    EXPECT_EQ(frame.stride, r.frame_stride);
  }
  if (r.result == 0) {
    ASSERT_NE(frame.pixels, nullptr);
    free(frame.pixels);
  } else {
    EXPECT_EQ(frame.pixels, nullptr);
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, CaptureRect, testing::ValuesIn(capture_rows()));

// The same failures through the exports: the same message, no file, and
// the memory capture's outputs reset.
class CaptureRectFailure : public display_test, public testing::WithParamInterface<capture_row> {};

TEST_P(CaptureRectFailure, ThroughTheExports) {
  const capture_row &r = GetParam();
  for (int exp = 0; exp < 3; exp++) {
    SCOPED_TRACE(exp == 0 ? "region to file" : exp == 1 ? "monitor to file" : "region to memory");
    sd_reset();
    sd_add_monitor(r.x, r.y, (int)((int64_t)r.x + r.width), (int)((int64_t)r.y + r.height), "M", 1);
    sd_set_screen(-2, -1, 4, 3, sd_pixel{1, 2, 3, 0});
    r.script();
    std::string path = dir.file("out.png");
    int result;
    uint8_t *png = (uint8_t *)&path;
    int len = 99;
    if (exp == 0) {
      result = screenshot_capture_region_png(r.x, r.y, r.width, r.height, path.c_str());
    } else if (exp == 1) {
      result = screenshot_capture_monitor_png(0, path.c_str());
    } else {
      result = screenshot_capture_region_mem(r.x, r.y, r.width, r.height, &png, &len);
      EXPECT_EQ(png, nullptr);
      EXPECT_EQ(len, 0);
    }
    EXPECT_EQ(result, -1);
    EXPECT_STREQ(screenshot_last_error(), r.message);
    EXPECT_EQ(journal_after("GetMonitorInfoA("), r.calls);
    EXPECT_TRUE(dir.entries().empty());
    sd_live_counts live = sd_live();
    EXPECT_EQ(live.screen_dcs + live.memory_dcs + live.bitmaps + live.selections, 0);
  }
}

std::vector<capture_row> failure_rows() {
  std::vector<capture_row> rows;
  for (const capture_row &r : capture_rows())
    if (r.result != 0) rows.push_back(r);
  return rows;
}

INSTANTIATE_TEST_SUITE_P(Rows, CaptureRectFailure, testing::ValuesIn(failure_rows()));

// ---------------------------------------------------------------------------
// Pixels

namespace {

// Every pixel different enough to catch a shifted row or column; the fourth
// byte stays 0 as GDI leaves it.
sd_pixel pattern(int x, int y) {
  return sd_pixel{(uint8_t)(x * 7 + y), (uint8_t)(y * 3 + 1), (uint8_t)(x ^ (y * 4)), 0};
}

// Screen from (-100,-50), 300x200, over two monitors split at x = 0.
void pattern_screen() {
  sd_add_monitor(-100, -50, 0, 150, "LEFT", 0);
  sd_add_monitor(0, -50, 200, 150, "RIGHT", 1);
  sd_set_screen(-100, -50, 300, 200, sd_pixel{0, 0, 0, 0});
  for (int y = -50; y < 150; y++)
    for (int x = -100; x < 200; x++) sd_set_screen_pixel(x, y, pattern(x, y));
}

std::vector<uint8_t> expected_rgba(int x0, int y0, int w, int h) {
  std::vector<uint8_t> out;
  for (int y = y0; y < y0 + h; y++)
    for (int x = x0; x < x0 + w; x++) {
      sd_pixel p = pattern(x, y);
      out.insert(out.end(), {p.r, p.g, p.b, 255});
    }
  return out;
}

}  // namespace

using CapturePixels = display_test;

TEST_F(CapturePixels, KnownScreenDecodesExactly) {
  pattern_screen();
  struct row {
    const char *label;
    int x, y, w, h;  // what the PNG must show
    std::function<int(const std::string &)> run;
  } rows[] = {
      {"region across both monitors at a negative corner", -30, -20, 60, 40,
       [](const std::string &p) {
         return screenshot_capture_region_png(-30, -20, 60, 40, p.c_str());
       }},
      {"region sticking out top-left is clamped", -100, -50, 20, 10,
       [](const std::string &p) {
         return screenshot_capture_region_png(-150, -70, 70, 30, p.c_str());
       }},
      {"monitor 0 as enumerated", -100, -50, 100, 200,
       [](const std::string &p) { return screenshot_capture_monitor_png(0, p.c_str()); }},
      {"monitor 1", 0, -50, 200, 200,
       [](const std::string &p) { return screenshot_capture_monitor_png(1, p.c_str()); }},
      {"whole virtual screen", -100, -50, 300, 200,
       [](const std::string &p) { return screenshot_capture_all_png(p.c_str()); }},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.label);
    std::string path = dir.file("shot.png");
    ASSERT_EQ(r.run(path), 0) << screenshot_last_error();
    decoded_png png = decode_png_file(path);
    ASSERT_TRUE(png.ok);
    EXPECT_EQ(png.width, r.w);
    EXPECT_EQ(png.height, r.h);
    EXPECT_EQ(png.channels_in_file, 4);
    EXPECT_TRUE(png.rgba == expected_rgba(r.x, r.y, r.w, r.h));
  }
}

TEST_F(CapturePixels, MemoryCaptureMatchesTheFile) {
  pattern_screen();
  uint8_t *png = nullptr;
  int len = -1;
  ASSERT_EQ(screenshot_capture_region_mem(-7, -3, 13, 9, &png, &len), 0);
  ASSERT_NE(png, nullptr);
  decoded_png d = decode_png(png, (size_t)len);
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(d.width, 13);
  EXPECT_EQ(d.height, 9);
  EXPECT_TRUE(d.rgba == expected_rgba(-7, -3, 13, 9));

  std::string path = dir.file("same.png");
  ASSERT_EQ(screenshot_capture_region_png(-7, -3, 13, 9, path.c_str()), 0);
  EXPECT_EQ(read_file(path), std::vector<uint8_t>(png, png + len));  // the exact length
  screenshot_free_mem(png);
  screenshot_free_mem(nullptr);
}

// GDI leaves the fourth byte 0: such frames become opaque. A platform that
// delivers any non-zero fourth byte keeps all of them as they are.
TEST_F(CapturePixels, FourthByteBecomesAlpha) {
  struct row {
    const char *label;
    int width, height;   // captured from (0,0)
    int mark_x, mark_y;  // one pixel set to mark; the rest are 40,50,60,0
    sd_pixel mark;
    uint8_t other_alpha;  // alpha of every unmarked pixel
    std::vector<uint8_t> want_mark;
  } rows[] = {
      {"all zero: opaque", 4, 2, 3, 0, {10, 20, 30, 0}, 255, {30, 20, 10, 255}},
      {"one non-zero: all passed through", 4, 2, 3, 0, {10, 20, 30, 40}, 0, {30, 20, 10, 40}},
      {"255 counts as non-zero", 4, 2, 2, 1, {1, 2, 3, 255}, 0, {3, 2, 1, 255}},
      {"non-zero outside the captured rectangle does not count",
       4,
       2,
       9,
       9,
       {1, 2, 3, 7},
       255,
       {60, 50, 40, 255}},
      // Larger frames, with the one non-zero byte first, in the middle and last.
      {"large, first pixel", 300, 200, 0, 0, {1, 2, 3, 1}, 0, {3, 2, 1, 1}},
      {"large, middle", 300, 200, 7, 111, {1, 2, 3, 1}, 0, {3, 2, 1, 1}},
      {"large, last pixel", 300, 200, 299, 199, {1, 2, 3, 1}, 0, {3, 2, 1, 1}},
      {"large, all zero", 300, 200, 299, 199, {1, 2, 3, 0}, 255, {3, 2, 1, 255}},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.label);
    sd_reset();
    sd_set_screen(0, 0, 300, 200, sd_pixel{40, 50, 60, 0});
    sd_set_screen_pixel(r.mark_x, r.mark_y, r.mark);
    rgba_frame frame;
    memset(&frame, 0, sizeof frame);
    ASSERT_EQ(capture_rect_rgba(0, 0, r.width, r.height, &frame), 0);
    std::vector<uint8_t> want;
    for (int y = 0; y < r.height; y++)
      for (int x = 0; x < r.width; x++) {
        if (x == r.mark_x && y == r.mark_y)
          want.insert(want.end(), r.want_mark.begin(), r.want_mark.end());
        else
          want.insert(want.end(), {60, 50, 40, r.other_alpha});
      }
    EXPECT_TRUE(std::vector<uint8_t>(frame.pixels, frame.pixels + want.size()) == want);
    free(frame.pixels);
  }
}

TEST_F(CapturePixels, OneByOneFrame) {
  sd_set_screen(-1, -1, 1, 1, sd_pixel{10, 20, 30, 40});
  rgba_frame frame;
  memset(&frame, 0, sizeof frame);
  ASSERT_EQ(capture_rect_rgba(-1, -1, 1, 1, &frame), 0);
  EXPECT_EQ(frame.width, 1);
  EXPECT_EQ(frame.height, 1);
  EXPECT_EQ(frame.stride, 4);
  EXPECT_EQ(std::vector<uint8_t>(frame.pixels, frame.pixels + 4),
            (std::vector<uint8_t>{30, 20, 10, 40}));
  free(frame.pixels);
}
