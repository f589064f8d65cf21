// Monitors and screen captures of the shipped library on the rig's Xorg:
// what the library reports and captures is compared with what xrandr says and
// with the pixels the test itself put on the screen.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "rig_support.h"
#include "vantorel_screenshot.h"

namespace {

struct xrandr_monitor {
  std::string name;
  int x, y, width, height;
  bool primary;
};

std::vector<xrandr_monitor> xrandr_monitors() {
  std::vector<xrandr_monitor> list;
  std::istringstream lines(run_command("xrandr --listmonitors"));
  std::regex row(R"(^\s*\d+: \+?(\*?)(\S+) (\d+)/\d+x(\d+)/\d+([+-]\d+)([+-]\d+))");
  std::string line;
  while (std::getline(lines, line)) {
    std::smatch m;
    if (!std::regex_search(line, m, row)) continue;
    list.push_back(
        {m[2], std::stoi(m[5]), std::stoi(m[6]), std::stoi(m[3]), std::stoi(m[4]), m[1] == "*"});
  }
  return list;
}

std::string json_of(const std::vector<xrandr_monitor> &list, size_t limit) {
  std::string json = "[";
  for (size_t i = 0; i < list.size() && i < limit; i++) {
    const xrandr_monitor &m = list[i];
    char object[512];
    snprintf(object, sizeof object,
             "%s{\"index\":%zu,\"name\":\"%s\",\"x\":%d,\"y\":%d,\"width\":%d,\"height\":%d,"
             "\"is_primary\":%s}",
             i ? "," : "", i, m.name.c_str(), m.x, m.y, m.width, m.height,
             m.primary ? "true" : "false");
    json += object;
  }
  return json + "]";
}

// Monitors made by a test are removed again, also when it fails.
class Monitors : public ::testing::Test {
 protected:
  void SetUp() override { REQUIRE_RIG(); }
  void TearDown() override {
    for (const std::string &name : added_) run_command("xrandr --delmonitor " + name + " 2>&1");
  }
  void add_monitor(const std::string &name, int x, int y, int width, int height) {
    char command[256];
    snprintf(command, sizeof command, "xrandr --setmonitor %s %d/100x%d/100+%d+%d none 2>&1",
             name.c_str(), width, height, x, y);
    int status = 0;
    std::string out = run_command(command, &status);
    ASSERT_EQ(status, 0) << out;
    added_.push_back(name);
  }
  int index_of(const std::string &name) {
    std::vector<xrandr_monitor> list = xrandr_monitors();
    for (size_t i = 0; i < list.size(); i++) {
      if (list[i].name == name) return (int)i;
    }
    return -1;
  }
  std::vector<std::string> added_;
};

TEST_F(Monitors, JsonEqualsXrandr) {
  std::vector<xrandr_monitor> list = xrandr_monitors();
  ASSERT_EQ(list.size(), 2u) << "the rig has DUMMY0 and DUMMY1";
  const char *json = screenshot_list_monitors_json();
  ASSERT_NE(json, nullptr) << screenshot_last_error();
  EXPECT_EQ(std::string(json), json_of(list, 16));
  EXPECT_EQ(std::string(json),
            "[{\"index\":0,\"name\":\"DUMMY0\",\"x\":1024,\"y\":0,\"width\":1280,\"height\":800,"
            "\"is_primary\":true},{\"index\":1,\"name\":\"DUMMY1\",\"x\":0,\"y\":0,\"width\":"
            "1024,\"height\":768,\"is_primary\":false}]");
}

TEST_F(Monitors, SeventeenMonitorsGiveSixteenEntries) {
  for (int i = 0; i < 15; i++) {
    ASSERT_NO_FATAL_FAILURE(add_monitor("VS" + std::to_string(i), i * 100, 20 + i, 90, 60));
  }
  std::vector<xrandr_monitor> list = xrandr_monitors();
  ASSERT_EQ(list.size(), 17u);
  const char *json = screenshot_list_monitors_json();
  ASSERT_NE(json, nullptr) << screenshot_last_error();
  EXPECT_EQ(std::string(json), json_of(list, 16));

  // The sixteenth entry is the last that counts: index 16 is refused.
  EXPECT_EQ(screenshot_capture_monitor_png(16, temp_png("m16").c_str()), -1);
  EXPECT_STREQ(screenshot_last_error(), "monitor index 16 out of range (0..15)");
}

TEST_F(Monitors, LayoutChangesShowAtTheNextCall) {
  ASSERT_NE(screenshot_list_monitors_json(), nullptr);
  ASSERT_NO_FATAL_FAILURE(add_monitor("VSNEW", 10, 10, 200, 100));
  const char *json = screenshot_list_monitors_json();
  ASSERT_NE(json, nullptr) << screenshot_last_error();
  EXPECT_EQ(std::string(json), json_of(xrandr_monitors(), 16));
  EXPECT_NE(std::string(json).find("\"name\":\"VSNEW\",\"x\":10,\"y\":10,\"width\":200"),
            std::string::npos);
}

// A monitor may reach beyond the root window (RandR does not stop it); the
// part outside reads black, and so does a monitor wholly outside.
TEST_F(Monitors, MonitorBeyondTheRootReadsBlackThere) {
  int w = root_width(), h = root_height();
  ASSERT_NO_FATAL_FAILURE(add_monitor("VSEDGE", w - 150, h - 100, 400, 300));
  ASSERT_NO_FATAL_FAILURE(add_monitor("VSOUT", w + 10, 0, 64, 32));
  draw_root_pattern(7);

  int edge = index_of("VSEDGE");
  ASSERT_GE(edge, 0);
  std::string path = temp_png("edge");
  ASSERT_EQ(screenshot_capture_monitor_png(edge, path.c_str()), 0) << screenshot_last_error();
  rgba_image image;
  ASSERT_TRUE(decode_png_file(path, &image));
  EXPECT_TRUE(image_matches(image, 400, 300, root_region(w - 150, h - 100, 7)));
  unlink(path.c_str());

  int out = index_of("VSOUT");
  ASSERT_GE(out, 0);
  ASSERT_EQ(screenshot_capture_monitor_png(out, path.c_str()), 0) << screenshot_last_error();
  ASSERT_TRUE(decode_png_file(path, &image));
  EXPECT_TRUE(image_matches(image, 64, 32, [](int, int) { return 0u; }));
  unlink(path.c_str());
}

class ScreenCapture : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_RIG();
    draw_root_pattern(seed_);
  }
  const uint32_t seed_ = 42;
};

TEST_F(ScreenCapture, WholeScreenAndEachMonitor) {
  std::string path = temp_png("all");
  ASSERT_EQ(screenshot_capture_all_png(path.c_str()), 0) << screenshot_last_error();
  rgba_image image;
  ASSERT_TRUE(decode_png_file(path, &image));
  EXPECT_TRUE(image_matches(image, 2304, 800, root_region(0, 0, seed_)));

  std::vector<xrandr_monitor> list = xrandr_monitors();
  ASSERT_EQ(list.size(), 2u);
  for (int i = 0; i < 2; i++) {
    SCOPED_TRACE(list[i].name);
    ASSERT_EQ(screenshot_capture_monitor_png(i, path.c_str()), 0) << screenshot_last_error();
    ASSERT_TRUE(decode_png_file(path, &image));
    EXPECT_TRUE(image_matches(image, list[i].width, list[i].height,
                              root_region(list[i].x, list[i].y, seed_)));
  }
  unlink(path.c_str());
}

// Each region goes to a file, to memory and to raw pixels: the PNGs must
// decode to the screen's pixels at the clamped rectangle, and the raw export
// must report that rectangle and hand out exactly the PNG's bytes.
TEST_F(ScreenCapture, RegionsToFileMemoryAndRawPixels) {
  struct region_case {
    const char *what;
    int x, y, width, height;
    int cx, cy, cw, ch;  // after clamping to the monitors' bounding box
  } cases[] = {
      {"inside DUMMY0", 1500, 200, 320, 240, 1500, 200, 320, 240},
      {"across both monitors", 900, 100, 300, 200, 900, 100, 300, 200},
      {"below DUMMY1, on no monitor", 1000, 700, 100, 100, 1000, 700, 100, 100},
      {"clamped at the top left", -50, -40, 200, 100, 0, 0, 150, 60},
      {"clamped at the bottom right", 2250, 780, 100, 100, 2250, 780, 54, 20},
      {"one pixel", 1023, 767, 1, 1, 1023, 767, 1, 1},
      {"odd size", 3, 5, 77, 33, 3, 5, 77, 33},
  };
  std::string path = temp_png("region");
  for (const region_case &c : cases) {
    SCOPED_TRACE(c.what);
    rgba_image image;
    ASSERT_EQ(screenshot_capture_region_png(c.x, c.y, c.width, c.height, path.c_str()), 0)
        << screenshot_last_error();
    ASSERT_TRUE(decode_png_file(path, &image));
    EXPECT_TRUE(image_matches(image, c.cw, c.ch, root_region(c.cx, c.cy, seed_)));

    uint8_t *png = nullptr;
    int length = 0;
    ASSERT_EQ(screenshot_capture_region_mem(c.x, c.y, c.width, c.height, &png, &length), 0)
        << screenshot_last_error();
    ASSERT_TRUE(decode_png_memory(png, length, &image));
    screenshot_free_mem(png);
    EXPECT_TRUE(image_matches(image, c.cw, c.ch, root_region(c.cx, c.cy, seed_)));

    int got[4] = {-1, -1, -1, -1};
    unsigned char *pixels = nullptr;
    ASSERT_EQ(screenshot_capture_region_rgba(c.x, c.y, c.width, c.height, &got[0], &got[1], &got[2],
                                             &got[3], &pixels),
              0)
        << screenshot_last_error();
    EXPECT_EQ(std::vector<int>(got, got + 4), (std::vector<int>{c.cx, c.cy, c.cw, c.ch}));
    std::vector<uint8_t> raw(pixels, pixels + (size_t)c.cw * c.ch * 4);
    screenshot_free_mem(pixels);
    EXPECT_TRUE(raw == image.pixels);
  }
  unlink(path.c_str());
}

// Two threads capture at once, one large regions (which hold the shared
// segment across calls into the layer), one small; each must get its own
// pixels, whoever has the segment.
TEST_F(ScreenCapture, TwoThreadsAtOnce) {
  struct job {
    int x, y, width, height;
    int failures = 0;
    std::string first_problem;
  } jobs[2] = {{0, 0, 1000, 300, 0, ""}, {1500, 300, 200, 150, 0, ""}};
  auto run = [this](job *j) {
    for (int i = 0; i < 12; i++) {
      uint8_t *png = nullptr;
      int length = 0;
      rgba_image image;
      bool ok =
          screenshot_capture_region_mem(j->x, j->y, j->width, j->height, &png, &length) == 0 &&
          decode_png_memory(png, length, &image);
      screenshot_free_mem(png);
      ::testing::AssertionResult same =
          ok ? image_matches(image, j->width, j->height, root_region(j->x, j->y, seed_))
             : ::testing::AssertionFailure() << "capture failed";
      if (!same && j->failures++ == 0) j->first_problem = same.message();
    }
  };
  std::thread first(run, &jobs[0]);
  std::thread second(run, &jobs[1]);
  first.join();
  second.join();
  for (const job &j : jobs) EXPECT_EQ(j.failures, 0) << j.first_problem;
}

TEST_F(ScreenCapture, RegionOutsideTheScreenIsRefused) {
  uint8_t *png = nullptr;
  int length = 0;
  EXPECT_EQ(screenshot_capture_region_mem(2304, 0, 10, 10, &png, &length), -1);
  EXPECT_STREQ(screenshot_last_error(),
               "region (2304,0 10x10) is outside screen bounds (0,0 2304x800)");
  EXPECT_EQ(png, nullptr);
  EXPECT_EQ(length, 0);

  int got[4] = {7, 7, 7, 7};
  unsigned char *pixels = (unsigned char *)&got;
  EXPECT_EQ(
      screenshot_capture_region_rgba(-10, 0, 10, 10, &got[0], &got[1], &got[2], &got[3], &pixels),
      -1);
  EXPECT_STREQ(screenshot_last_error(),
               "region (-10,0 10x10) is outside screen bounds (0,0 2304x800)");
  EXPECT_EQ(pixels, nullptr);
  EXPECT_EQ(std::vector<int>(got, got + 4), std::vector<int>(4, 0));
}

// The screen grows by a mode change between two calls: the next capture sees
// the new size, with no stale clipping.
TEST_F(ScreenCapture, FollowsAModeChange) {
  ASSERT_EQ(screenshot_capture_all_png(temp_png("before").c_str()), 0);
  unlink(temp_png("before").c_str());
  int status = 0;
  run_command("xrandr --output DUMMY0 --mode 1280x1024 2>&1", &status);
  ASSERT_EQ(status, 0);
  draw_root_pattern(seed_);
  std::string path = temp_png("after");
  int result = screenshot_capture_region_png(1024, 800, 1280, 224, path.c_str());
  std::string error = screenshot_last_error();
  run_command("xrandr --output DUMMY0 --mode 1280x800 2>&1", &status);
  ASSERT_EQ(result, 0) << error;
  rgba_image image;
  ASSERT_TRUE(decode_png_file(path, &image));
  unlink(path.c_str());
  EXPECT_TRUE(image_matches(
      image, 1280, 224, [this](int x, int y) { return pattern_rgb(1024 + x, 800 + y, seed_); }));
}

}  // namespace
