// The capture exports as pipelines: argument tests, enumeration, clamping,
// capture, then the PNG file or bytes; every failure row of each export.
#include <gtest/gtest.h>
#include <malloc.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "core/screenshot.h"
#include "test_support.h"

namespace {

// One 640x480 monitor and a framebuffer to match.
void one_monitor() {
  sd_add_monitor(0, 0, 640, 480, "\\\\.\\DISPLAY1", 1);
  sd_set_screen(0, 0, 640, 480, sd_pixel{9, 8, 7, 0});
}

enum expect_calls { NO_PLATFORM_CALL, ENUMERATION_ONLY, ANY_CALLS };

struct pipeline_row {
  const char *label;
  std::function<void()> script;
  // Runs the export; "path" is a fresh file in the test's directory.
  std::function<int(const char *path)> run;
  std::string message;  // "$P" stands for path
  expect_calls calls;
};

void PrintTo(const pipeline_row &r, std::ostream *os) { *os << r.label; }

int all(const char *p) { return screenshot_capture_all_png(p); }
int mon0(const char *p) { return screenshot_capture_monitor_png(0, p); }
int region(const char *p) { return screenshot_capture_region_png(10, 20, 30, 40, p); }
int mem(const char *) {
  uint8_t *png = (uint8_t *)1;
  int len = 7;
  int r = screenshot_capture_region_mem(10, 20, 30, 40, &png, &len);
  // From the out-parameter test on, a failure leaves NULL and 0.
  EXPECT_EQ(png, nullptr);
  EXPECT_EQ(len, 0);
  return r;
}

// The raw-pixels export on the same rectangle; from the out-parameter test
// on, a failure leaves every output 0 or NULL.
int raw_at(int x, int y, int width, int height) {
  int out[4] = {7, 7, 7, 7};
  unsigned char *pixels = (unsigned char *)1;
  int r = screenshot_capture_region_rgba(x, y, width, height, &out[0], &out[1], &out[2], &out[3],
                                         &pixels);
  EXPECT_EQ(pixels, nullptr);
  EXPECT_EQ(std::vector<int>(out, out + 4), std::vector<int>(4, 0));
  return r;
}
int raw(const char *) { return raw_at(10, 20, 30, 40); }

// Exactly one of the five out-pointers NULL: the message of the memory
// export, and the four that are there keep what they held.
int raw_with_null(int missing) {
  int out[4] = {7, 7, 7, 7};
  unsigned char sentinel = 0;
  unsigned char *pixels = &sentinel;
  int *p[4];
  for (int i = 0; i < 4; i++) p[i] = i == missing ? nullptr : &out[i];
  int r = screenshot_capture_region_rgba(0, 0, 1, 1, p[0], p[1], p[2], p[3],
                                         missing == 4 ? nullptr : &pixels);
  EXPECT_EQ(pixels, &sentinel);
  EXPECT_EQ(std::vector<int>(out, out + 4), std::vector<int>(4, 7));
  return r;
}

void enum_fails() {
  one_monitor();
  sd_fail(SD_ENUM_DISPLAY_MONITORS, 0, 5);
}
void blit_fails() {
  one_monitor();
  sd_fail(SD_BITBLT, 0, 33);
}

std::vector<pipeline_row> pipeline_rows() {
  const char *const enum_msg = "EnumDisplayMonitors failed (error 5)";
  return {
      // A missing path is refused first, even when enumeration would fail.
      {"all, NULL path", enum_fails, [](const char *) { return all(nullptr); },
       "output file is empty", NO_PLATFORM_CALL},
      {"all, empty path", enum_fails, [](const char *) { return all(""); }, "output file is empty",
       NO_PLATFORM_CALL},
      {"monitor, NULL path", enum_fails, [](const char *) { return mon0(nullptr); },
       "output file is empty", NO_PLATFORM_CALL},
      {"monitor, empty path with a bad index", enum_fails,
       [](const char *) { return screenshot_capture_monitor_png(-1, ""); }, "output file is empty",
       NO_PLATFORM_CALL},
      {"region, NULL path", enum_fails, [](const char *) { return region(nullptr); },
       "output file is empty", NO_PLATFORM_CALL},
      {"region, empty path with an empty region", enum_fails,
       [](const char *) { return screenshot_capture_region_png(0, 0, 0, 0, ""); },
       "output file is empty", NO_PLATFORM_CALL},
      {"memory, NULL out_png", enum_fails,
       [](const char *) {
         int len = 7;
         int r = screenshot_capture_region_mem(0, 0, 1, 1, nullptr, &len);
         EXPECT_EQ(len, 7);
         return r;
       },
       "out params are NULL", NO_PLATFORM_CALL},
      {"memory, NULL out_len", enum_fails,
       [](const char *) {
         uint8_t sentinel = 0;
         uint8_t *png = &sentinel;
         int r = screenshot_capture_region_mem(0, 0, 1, 1, &png, nullptr);
         EXPECT_EQ(png, &sentinel);
         return r;
       },
       "out params are NULL", NO_PLATFORM_CALL},

      {"raw, NULL out_x", enum_fails, [](const char *) { return raw_with_null(0); },
       "out params are NULL", NO_PLATFORM_CALL},
      {"raw, NULL out_height", enum_fails, [](const char *) { return raw_with_null(3); },
       "out params are NULL", NO_PLATFORM_CALL},
      {"raw, NULL out_pixels", enum_fails, [](const char *) { return raw_with_null(4); },
       "out params are NULL", NO_PLATFORM_CALL},

      // Enumeration fails: its message wins over the later tests.
      {"all, enumeration fails", enum_fails, all, enum_msg, ENUMERATION_ONLY},
      {"monitor, enumeration fails, index also bad", enum_fails,
       [](const char *p) { return screenshot_capture_monitor_png(9, p); }, enum_msg,
       ENUMERATION_ONLY},
      {"region, enumeration fails", enum_fails, region, enum_msg, ENUMERATION_ONLY},
      {"memory, enumeration fails", enum_fails, mem, enum_msg, ENUMERATION_ONLY},
      {"raw, enumeration fails", enum_fails, raw, enum_msg, ENUMERATION_ONLY},
      {"memory, no monitor reported",
       [] {
         sd_set_screen(0, 0, 4, 4, sd_pixel{0, 0, 0, 0});
         sd_set_last_error(21);
       },
       mem, "EnumDisplayMonitors failed (error 21)", ENUMERATION_ONLY},

      {"all, no virtual screen width",
       [] {
         one_monitor();
         sd_set_virtual_screen(-10, -10, 0, 480);
       },
       all, "no virtual screen", ANY_CALLS},
      {"all, negative virtual screen height",
       [] {
         one_monitor();
         sd_set_virtual_screen(0, 0, 640, -1);
       },
       all, "no virtual screen", ANY_CALLS},
      {"all, virtual screen outside the monitors",
       [] {
         one_monitor();
         sd_set_virtual_screen(5000, 5000, 10, 10);
       },
       all, "region (5000,5000 10x10) is outside screen bounds (0,0 640x480)", ANY_CALLS},

      {"monitor, index 1 of one", one_monitor,
       [](const char *p) { return screenshot_capture_monitor_png(1, p); },
       "monitor index 1 out of range (0..0)", ENUMERATION_ONLY},
      {"monitor, index -1", one_monitor,
       [](const char *p) { return screenshot_capture_monitor_png(-1, p); },
       "monitor index -1 out of range (0..0)", ENUMERATION_ONLY},
      {"monitor, index 16 of 17: only 16 count",
       [] {
         for (int i = 0; i < 17; i++) sd_add_monitor(i, 0, i + 1, 1, "D", 0);
       },
       [](const char *p) { return screenshot_capture_monitor_png(16, p); },
       "monitor index 16 out of range (0..15)", ENUMERATION_ONLY},

      {"region, empty size", one_monitor,
       [](const char *p) { return screenshot_capture_region_png(1, 1, 0, 5, p); },
       "invalid region size 0x5", ENUMERATION_ONLY},
      {"region, outside", one_monitor,
       [](const char *p) { return screenshot_capture_region_png(-20, 0, 20, 5, p); },
       "region (-20,0 20x5) is outside screen bounds (0,0 640x480)", ENUMERATION_ONLY},
      {"memory, outside", one_monitor,
       [](const char *) {
         uint8_t *png = (uint8_t *)1;
         int len = 7;
         int r = screenshot_capture_region_mem(640, 0, 1, 1, &png, &len);
         EXPECT_EQ(png, nullptr);
         EXPECT_EQ(len, 0);
         return r;
       },
       "region (640,0 1x1) is outside screen bounds (0,0 640x480)", ENUMERATION_ONLY},

      {"raw, empty size", one_monitor, [](const char *) { return raw_at(1, 1, 5, -1); },
       "invalid region size 5x-1", ENUMERATION_ONLY},
      {"raw, outside", one_monitor, [](const char *) { return raw_at(640, 0, 1, 1); },
       "region (640,0 1x1) is outside screen bounds (0,0 640x480)", ENUMERATION_ONLY},

      {"all, capture fails", blit_fails, all, "BitBlt (0,0 640x480) failed (error 33)", ANY_CALLS},
      {"monitor, capture fails", blit_fails, mon0, "BitBlt (0,0 640x480) failed (error 33)",
       ANY_CALLS},
      {"region, capture fails", blit_fails, region, "BitBlt (10,20 30x40) failed (error 33)",
       ANY_CALLS},
      {"memory, capture fails", blit_fails, mem, "BitBlt (10,20 30x40) failed (error 33)",
       ANY_CALLS},

      {"raw, capture fails", blit_fails, raw, "BitBlt (10,20 30x40) failed (error 33)", ANY_CALLS},
      {"raw, read-back fails",
       [] {
         one_monitor();
         sd_fail(SD_GET_DIBITS, 0, 6);
       },
       raw, "GetDIBits failed (error 6)", ANY_CALLS},

      {"all, file not written", one_monitor, all,
       "PNG write failed for 640x480 frame to '$P' (No such file or directory)", ANY_CALLS},
      {"monitor, file not written", one_monitor, mon0,
       "PNG write failed for 640x480 frame to '$P' (No such file or directory)", ANY_CALLS},
      {"region, file not written, clamped size named", one_monitor,
       [](const char *p) { return screenshot_capture_region_png(600, 470, 100, 100, p); },
       "PNG write failed for 40x10 frame to '$P' (No such file or directory)", ANY_CALLS},
  };
}

}  // namespace

class PipelineFailure : public display_test, public testing::WithParamInterface<pipeline_row> {};

TEST_P(PipelineFailure, MessageReleasesAndNoFile) {
  const pipeline_row &r = GetParam();
  r.script();
  set_error("before");
  // The write failures need a path whose directory is missing; the others
  // would write into the test's directory if they went wrong.
  bool write_row = r.message.find("$P") != std::string::npos;
  std::string path = write_row ? dir.file("missing/out.png") : dir.file("out.png");

  EXPECT_EQ(r.run(path.c_str()), -1);

  std::string message = r.message;
  size_t at = message.find("$P");
  if (at != std::string::npos) message.replace(at, 2, path);
  EXPECT_EQ(std::string(screenshot_last_error()), message);
  EXPECT_TRUE(dir.entries().empty());

  std::vector<std::string> j = sd_journal();
  if (r.calls == NO_PLATFORM_CALL) {
    EXPECT_EQ(j, std::vector<std::string>{});
  }
  if (r.calls == ENUMERATION_ONLY) {
    for (const std::string &e : j)
      EXPECT_TRUE(e.rfind("EnumDisplayMonitors(", 0) == 0 || e.rfind("GetMonitorInfoA(", 0) == 0 ||
                  e.rfind("GetLastError(", 0) == 0)
          << e;
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, PipelineFailure, testing::ValuesIn(pipeline_rows()));

using Pipeline = display_test;

// The virtual screen is asked for all four values, in order, before any test.
TEST_F(Pipeline, CaptureAllAsksTheVirtualScreenInOrder) {
  one_monitor();
  sd_set_virtual_screen(-10, -20, 0, 0);
  EXPECT_EQ(screenshot_capture_all_png(dir.file("a.png").c_str()), -1);
  EXPECT_EQ(sd_journal(), (std::vector<std::string>{
                              "EnumDisplayMonitors(0,0)=1",
                              "GetMonitorInfoA(H1,72)=1",
                              "GetSystemMetrics(76)=-10",
                              "GetSystemMetrics(77)=-20",
                              "GetSystemMetrics(78)=0",
                              "GetSystemMetrics(79)=0",
                          }));
}

// With 17 monitors the whole-screen capture covers the virtual screen cut to
// the box of the first 16.
TEST_F(Pipeline, CaptureAllWithSeventeenMonitors) {
  for (int i = 0; i < 17; i++) sd_add_monitor(i * 10, 0, i * 10 + 10, 5 + i, "D", i == 0);
  sd_set_screen(0, 0, 170, 30, sd_pixel{1, 1, 1, 0});
  std::string path = dir.file("all.png");
  ASSERT_EQ(screenshot_capture_all_png(path.c_str()), 0) << screenshot_last_error();
  decoded_png png = decode_png_file(path);
  ASSERT_TRUE(png.ok);
  EXPECT_EQ(png.width, 160);
  EXPECT_EQ(png.height, 20);
  EXPECT_EQ(sd_journal_count("GetSystemMetrics(78)=170"), 1);
}

// A region past the monitors is captured at its clamped size; a monitor at
// its enumerated rectangle, unclamped and untested.
TEST_F(Pipeline, SizesOfTheWrittenImages) {
  struct row {
    const char *label;
    std::function<int(const char *)> run;
    int width, height;
    const char *blit;
  } rows[] = {
      {"region sticking out right and bottom",
       [](const char *p) { return screenshot_capture_region_png(900, 400, 200, 200, p); }, 60, 80,
       "BitBlt(M1,0,0,60,80,S1,900,400,0xcc0020)=1"},
      {"monitor 1 as enumerated",
       [](const char *p) { return screenshot_capture_monitor_png(1, p); }, 320, 240,
       "BitBlt(M1,0,0,320,240,S1,640,-120,0xcc0020)=1"},
      {"whole screen is the bounding box",
       [](const char *p) { return screenshot_capture_all_png(p); }, 960, 600,
       "BitBlt(M1,0,0,960,600,S1,0,-120,0xcc0020)=1"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.label);
    sd_reset();
    sd_add_monitor(0, 0, 640, 480, "A", 1);
    sd_add_monitor(640, -120, 960, 120, "B", 0);
    sd_set_screen(0, -120, 960, 600, sd_pixel{3, 4, 5, 0});
    std::string path = dir.file("img.png");
    ASSERT_EQ(r.run(path.c_str()), 0) << screenshot_last_error();
    decoded_png png = decode_png_file(path);
    ASSERT_TRUE(png.ok);
    EXPECT_EQ(png.width, r.width);
    EXPECT_EQ(png.height, r.height);
    EXPECT_EQ(sd_journal_count(r.blit), 1);
  }
}

// On success the int length is the PNG's exact length and the block is a
// power of two no smaller than 65,536.
TEST_F(Pipeline, MemoryCaptureHandsOutTheExactLength) {
  one_monitor();
  uint8_t *png = nullptr;
  int len = 0;
  ASSERT_EQ(screenshot_capture_region_mem(-5, -5, 20, 10, &png, &len), 0);
  std::vector<uint8_t> bytes(png, png + len);
  std::vector<png_chunk> chunks = png_chunks(bytes);
  ASSERT_EQ(chunks.size(), 3u);
  EXPECT_EQ(chunks.back().type, "IEND");
  EXPECT_EQ(chunks.back().data_offset + 4, (size_t)len);  // nothing after IEND's CRC
  EXPECT_GE(malloc_usable_size(png), 65536u);
  decoded_png d = decode_png(png, (size_t)len);
  EXPECT_EQ(d.width, 15);
  EXPECT_EQ(d.height, 5);
  screenshot_free_mem(png);
}

// The raw-pixels export against the memory export's decoded PNG, on the
// two-monitor layout of the clamping examples: the rectangle it reports is
// the clamped one, and its bytes are the PNG's pixels, R, G, B, A, top row
// first, rows without gaps.
TEST_F(Pipeline, RawPixelsEqualThePngRoute) {
  struct row {
    const char *label;
    int x, y, width, height;
    int cx, cy, cw, ch;  // after clamping
  } rows[] = {
      {"inside", 100, 100, 200, 100, 100, 100, 200, 100},
      {"sticking out left and top", -50, -200, 300, 250, 0, -120, 250, 170},
      {"sticking out right and bottom", 900, 400, 200, 200, 900, 400, 60, 80},
      {"covering everything", -1000, -1000, 5000, 5000, 0, -120, 960, 600},
      {"in the box but on no monitor", 700, 300, 100, 100, 700, 300, 100, 100},
      {"the box's last pixel", 959, 479, 50, 50, 959, 479, 1, 1},
  };
  auto pattern = [](int x, int y) {
    return sd_pixel{(uint8_t)(x * 7 + y), (uint8_t)(y * 3), (uint8_t)(x ^ y), 0};
  };
  sd_add_monitor(0, 0, 640, 480, "A", 1);
  sd_add_monitor(640, -120, 960, 120, "B", 0);
  sd_set_screen(0, -120, 960, 600, sd_pixel{0, 0, 0, 0});
  for (int y = -120; y < 480; y++)
    for (int x = 0; x < 960; x++) sd_set_screen_pixel(x, y, pattern(x, y));

  for (const row &r : rows) {
    SCOPED_TRACE(r.label);
    int got[4] = {-1, -1, -1, -1};
    unsigned char *pixels = nullptr;
    ASSERT_EQ(screenshot_capture_region_rgba(r.x, r.y, r.width, r.height, &got[0], &got[1], &got[2],
                                             &got[3], &pixels),
              0)
        << screenshot_last_error();
    EXPECT_EQ(std::vector<int>(got, got + 4), (std::vector<int>{r.cx, r.cy, r.cw, r.ch}));
    EXPECT_EQ(sd_journal_count("BitBlt("), 1);
    std::vector<uint8_t> raw_bytes(pixels, pixels + (size_t)r.cw * r.ch * 4);
    screenshot_free_mem(pixels);

    uint8_t *png = nullptr;
    int len = 0;
    ASSERT_EQ(screenshot_capture_region_mem(r.x, r.y, r.width, r.height, &png, &len), 0);
    decoded_png d = decode_png(png, (size_t)len);
    screenshot_free_mem(png);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.width, r.cw);
    EXPECT_EQ(d.height, r.ch);
    EXPECT_TRUE(d.rgba == raw_bytes);
    // Both routes could agree on a wrong origin: the first and last pixels
    // are the screen's.
    sd_pixel first = pattern(r.cx, r.cy), last = pattern(r.cx + r.cw - 1, r.cy + r.ch - 1);
    EXPECT_EQ(std::vector<uint8_t>(raw_bytes.begin(), raw_bytes.begin() + 4),
              (std::vector<uint8_t>{first.r, first.g, first.b, 255}));
    EXPECT_EQ(std::vector<uint8_t>(raw_bytes.end() - 4, raw_bytes.end()),
              (std::vector<uint8_t>{last.r, last.g, last.b, 255}));
    sd_clear_journal();
  }
}
