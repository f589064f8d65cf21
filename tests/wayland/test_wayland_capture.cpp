// The library on the sway rig: monitors from the compositor, every capture
// export (and the raw-pixels one) pixel for pixel against the rig's pictures (and against grim,
// which reads the same screen through its own code), scaled and turned outputs, Xwayland windows by
// id, X11's refusal to read Xwayland's root, and a compositor that goes away between two calls.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "rig_pictures.h"
#include "rig_support.h"
#include "vantorel_screenshot.h"

namespace {

std::string message() { return screenshot_last_error(); }

bool file_exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

rgba_image capture_file(int (*capture)(const char *), std::string *error) {
  std::string path = temp_png("wl");
  rgba_image image;
  if (capture(path.c_str()) != 0) {
    *error = message();
  } else if (!decode_png_file(path, &image)) {
    *error = "cannot decode " + path;
  }
  unlink(path.c_str());
  return image;
}

std::string monitors_json(const sway_rig_screen &s) {
  std::string json = "[";
  int primary = 0;
  for (size_t i = 0; i < s.outputs.size(); i++) {
    if (s.outputs[i].x == 0 && s.outputs[i].y == 0) {
      primary = (int)i;
      break;
    }
  }
  for (size_t i = 0; i < s.outputs.size(); i++) {
    const sway_rig_output &o = s.outputs[i];
    json += (i ? "," : "") + std::string("{\"index\":") + std::to_string(i) + ",\"name\":\"" +
            o.name + "\",\"x\":" + std::to_string(o.x) + ",\"y\":" + std::to_string(o.y) +
            ",\"width\":" + std::to_string(o.width) + ",\"height\":" + std::to_string(o.height) +
            ",\"is_primary\":" + ((int)i == primary ? "true" : "false") + "}";
  }
  return json + "]";
}

struct layout_guard {
  ~layout_guard() {
    sway_rig_screen screen;
    std::string why;
    EXPECT_TRUE(sway_rig_layout(VS_RIG_SCRIPTS, "--reset", &screen, &why)) << why;
  }
};

class WaylandCapture : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_SWAY_RIG();
    unsetenv("VANTOREL_SCREENSHOT_BACKEND");
    std::string why;
    ASSERT_TRUE(load_sway_rig_screen(&screen_, &why)) << why;
  }
  // Every monitor, the whole screen and a table of regions, to file and to
  // memory, against what the rig shows.
  void expect_screen_exact() {
    std::string error;
    ASSERT_EQ(screenshot_list_monitors_json(), monitors_json(screen_));
    rgba_image all = capture_file(screenshot_capture_all_png, &error);
    ASSERT_EQ(error, "");
    EXPECT_TRUE(image_matches(all, screen_.width, screen_.height,
                              sway_rig_region(screen_, screen_.x, screen_.y)));
    for (size_t i = 0; i < screen_.outputs.size(); i++) {
      const sway_rig_output &o = screen_.outputs[i];
      std::string path = temp_png("wl-monitor");
      ASSERT_EQ(screenshot_capture_monitor_png((int)i, path.c_str()), 0) << message();
      rgba_image image;
      ASSERT_TRUE(decode_png_file(path, &image));
      unlink(path.c_str());
      EXPECT_TRUE(image_matches(image, o.width, o.height, sway_rig_region(screen_, o.x, o.y)))
          << o.name;
    }
  }
  sway_rig_screen screen_;
};

#ifndef VS_WAYLAND_RESTART_TEST
TEST_F(WaylandCapture, MonitorsAndWholeScreenAreTheCompositors) { expect_screen_exact(); }

TEST_F(WaylandCapture, RegionsAcrossOutputsAndIntoTheUncoveredStrip) {
  struct region {
    const char *what;
    int x, y, width, height;
    int cut_x, cut_y, cut_width, cut_height;  // after the cut to the screen
  } regions[] = {
      {"inside the first output", 10, 20, 300, 200, 10, 20, 300, 200},
      {"across the seam", 1000, 100, 60, 40, 1000, 100, 60, 40},
      {"into the strip under the first", 900, 700, 300, 100, 900, 700, 300, 100},
      {"only the strip", 0, 768, 1024, 32, 0, 768, 1024, 32},
      {"one pixel at the last corner", 2303, 799, 1, 1, 2303, 799, 1, 1},
      {"beyond every edge", -50, -50, 3000, 1000, 0, 0, 2304, 800},
  };
  for (const region &r : regions) {
    SCOPED_TRACE(r.what);
    std::string path = temp_png("wl-region");
    ASSERT_EQ(screenshot_capture_region_png(r.x, r.y, r.width, r.height, path.c_str()), 0)
        << message();
    rgba_image image;
    ASSERT_TRUE(decode_png_file(path, &image));
    unlink(path.c_str());
    EXPECT_TRUE(image_matches(image, r.cut_width, r.cut_height,
                              sway_rig_region(screen_, r.cut_x, r.cut_y)));

    uint8_t *png = nullptr;
    int length = 0;
    ASSERT_EQ(screenshot_capture_region_mem(r.x, r.y, r.width, r.height, &png, &length), 0)
        << message();
    rgba_image memory;
    EXPECT_TRUE(decode_png_memory(png, length, &memory));
    screenshot_free_mem(png);
    EXPECT_TRUE(image_matches(memory, r.cut_width, r.cut_height,
                              sway_rig_region(screen_, r.cut_x, r.cut_y)));

    // Raw pixels: the same rectangle reported, the PNG's very bytes.
    int got[4] = {-1, -1, -1, -1};
    unsigned char *pixels = nullptr;
    ASSERT_EQ(screenshot_capture_region_rgba(r.x, r.y, r.width, r.height, &got[0], &got[1], &got[2],
                                             &got[3], &pixels),
              0)
        << message();
    EXPECT_EQ(std::vector<int>(got, got + 4),
              (std::vector<int>{r.cut_x, r.cut_y, r.cut_width, r.cut_height}));
    std::vector<uint8_t> raw(pixels, pixels + (size_t)got[2] * got[3] * 4);
    screenshot_free_mem(pixels);
    EXPECT_TRUE(raw == memory.pixels);
  }
}

// grim reads the screen through its own code; where an output shows, both
// agree byte for byte (grim leaves what no output covers transparent).
TEST_F(WaylandCapture, AgreesWithGrim) {
  std::string path = temp_png("grim");
  int status = 0;
  std::string out = run_command("grim -t png " + path + " 2>&1", &status);
  ASSERT_EQ(status, 0) << out;
  rgba_image grim;
  ASSERT_TRUE(decode_png_file(path, &grim));
  unlink(path.c_str());
  std::string error;
  rgba_image ours = capture_file(screenshot_capture_all_png, &error);
  ASSERT_EQ(error, "");
  ASSERT_EQ(ours.width, grim.width);
  ASSERT_EQ(ours.height, grim.height);
  int differ = 0;
  for (size_t i = 0; i < grim.pixels.size(); i += 4) {
    if (grim.pixels[i + 3] == 0) continue;
    if (memcmp(&grim.pixels[i], &ours.pixels[i], 4) != 0) differ++;
  }
  EXPECT_EQ(differ, 0);
}

// A scaled output is captured at its logical size, each pixel the buffer's
// pixel under its centre; a turned one upright, as it is seen.
TEST_F(WaylandCapture, ScaledAndTurnedOutputsInLogicalPixels) {
  layout_guard guard;
  for (const char *layout : {"--scale HEADLESS-1 2", "--transform HEADLESS-1 90",
                             "--scale HEADLESS-2 2 --transform HEADLESS-2 270"}) {
    SCOPED_TRACE(layout);
    std::string why;
    ASSERT_TRUE(sway_rig_layout(VS_RIG_SCRIPTS, std::string("--reset ") + layout, &screen_, &why))
        << why;
    expect_screen_exact();
  }
}

// ---------------------------------------------------------------------------
// Xwayland

class WaylandXwayland : public WaylandCapture {
 protected:
  void SetUp() override {
    WaylandCapture::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    if (!getenv("DISPLAY")) GTEST_SKIP() << "the rig runs without Xwayland";
    conn_ = xcb_connect(nullptr, nullptr);
    ASSERT_EQ(xcb_connection_has_error(conn_), 0) << "cannot open " << getenv("DISPLAY");
  }
  void TearDown() override {
    if (conn_) xcb_disconnect(conn_);
    unsetenv("VANTOREL_SCREENSHOT_BACKEND");
  }
  xcb_window_t solid_window(uint32_t colour) {
    xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(conn_)).data;
    xcb_window_t window = xcb_generate_id(conn_);
    uint32_t values[] = {colour};
    xcb_create_window(conn_, XCB_COPY_FROM_PARENT, window, screen->root, 100, 100, 200, 120, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_BACK_PIXEL,
                      values);
    xcb_map_window(conn_, window);
    xcb_flush(conn_);
    return window;
  }
  xcb_connection_t *conn_ = nullptr;
};

// The window is read through X11 on either layer; polling covers the time
// the compositor takes to map it.
TEST_F(WaylandXwayland, WindowByIdOnBothLayers) {
  const uint32_t colour = 0x2a5c8e;
  xcb_window_t window = solid_window(colour);
  for (const char *layer : {"wayland", "x11"}) {
    SCOPED_TRACE(layer);
    setenv("VANTOREL_SCREENSHOT_BACKEND", layer, 1);
    std::string path = temp_png("wl-window");
    rgba_image image;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool matched = false;
    while (!matched && std::chrono::steady_clock::now() < end) {
      if (screenshot_capture_window_png((void *)(uintptr_t)window, path.c_str()) == 0 &&
          decode_png_file(path, &image)) {
        matched = image_matches(image, 200, 120, [&](int, int) { return colour; });
      }
      if (!matched) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    unlink(path.c_str());
    EXPECT_TRUE(matched) << message();
  }
  xcb_destroy_window(conn_, window);
  xcb_flush(conn_);
}

// Forced onto X11, Xwayland's root would read black: every screen export
// fails instead, and writes no file.
TEST_F(WaylandXwayland, XwaylandRootIsRefusedNotBlack) {
  setenv("VANTOREL_SCREENSHOT_BACKEND", "x11", 1);
  std::string path = temp_png("wl-never-black");
  unlink(path.c_str());
  EXPECT_EQ(screenshot_capture_all_png(path.c_str()), -1);
  EXPECT_EQ(message(), "BitBlt (0,0 2304x800) failed (error 101)");
  EXPECT_EQ(screenshot_capture_monitor_png(1, path.c_str()), -1);
  EXPECT_EQ(message(), "BitBlt (1024,0 1280x800) failed (error 101)");
  uint8_t *png = nullptr;
  int length = 0;
  EXPECT_EQ(screenshot_capture_region_mem(0, 0, 10, 10, &png, &length), -1);
  EXPECT_EQ(png, nullptr);
  EXPECT_FALSE(file_exists(path));
}

TEST_F(WaylandCapture, UnknownLayerNameIsRefused) {
  setenv("VANTOREL_SCREENSHOT_BACKEND", "mir", 1);
  EXPECT_EQ(screenshot_list_monitors_json(), nullptr);
  EXPECT_EQ(message(), "EnumDisplayMonitors failed (error 100)");
  unsetenv("VANTOREL_SCREENSHOT_BACKEND");
  EXPECT_NE(screenshot_list_monitors_json(), nullptr) << message();
}

#else
// Built into a binary of its own, run after every other test of the rig
// (it replaces the compositor): the compositor dies between two calls. The host lives, each call
// fails with a message, and once a new compositor is there it is used.
TEST_F(WaylandCapture, CompositorGoneAndBack) {
  ASSERT_NE(screenshot_list_monitors_json(), nullptr) << message();
  int status = 0;
  std::string out = run_command(std::string(VS_RIG_SCRIPTS) + "/sway-stop.sh --keep-dir --crash " +
                                    getenv("RIG_DIR") + " 2>&1",
                                &status);
  ASSERT_EQ(status, 0) << out;
  std::string path = temp_png("wl-gone");
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(screenshot_capture_all_png(path.c_str()), -1);
    EXPECT_NE(message(), "");
    uint8_t *png = nullptr;
    int length = 0;
    EXPECT_EQ(screenshot_capture_region_mem(0, 0, 10, 10, &png, &length), -1);
  }
  EXPECT_FALSE(file_exists(path));

  out = run_command(
      std::string(VS_RIG_SCRIPTS) + "/sway-start.sh --again " + getenv("RIG_DIR") + " 2>&1",
      &status);
  ASSERT_EQ(status, 0) << out;
  // The new compositor's Xwayland may have another display: the assignments
  // the start printed say which.
  for (const char *name : {"WAYLAND_DISPLAY", "DISPLAY"}) {
    std::string key = std::string("export ") + name + "=";
    size_t at = out.find(key);
    if (at != std::string::npos) {
      size_t end = out.find('\n', at);
      setenv(name, out.substr(at + key.size(), end - at - key.size()).c_str(), 1);
    }
  }
  std::string why;
  ASSERT_TRUE(load_sway_rig_screen(&screen_, &why)) << why;
  expect_screen_exact();
}

#endif

}  // namespace
