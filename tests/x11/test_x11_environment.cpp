// A bad environment: no DISPLAY, a server that cannot be reached, a server
// that dies between two calls. Every call fails with a message and the host
// lives on (no exit, no SIGPIPE); once a server is back, calls work again.
// One process walks through the states in order, as the library keeps its
// connection for the process.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <regex>
#include <string>

#include "rig_support.h"
#include "vantorel_screenshot.h"

namespace {

// Stopped at the latest when the test ends, also when it fails half-way.
struct throwaway_rig {
  std::string display;
  std::string dir;
  ~throwaway_rig();
};

// A display number far above those that servers picking a free one get, so
// that once this test's server is gone nobody else's appears there.
std::string unused_display_number() {
  for (int n = 4100; n < 4200; n++) {
    std::string number = std::to_string(n);
    if (access(("/tmp/.X11-unix/X" + number).c_str(), F_OK) != 0 &&
        access(("/tmp/.X" + number + "-lock").c_str(), F_OK) != 0) {
      return number;
    }
  }
  return "4100";
}

// A second Xorg of its own, so the shared rig is never killed.
bool start_throwaway(throwaway_rig *rig, const char *options = "--mode 640x480") {
  int status = 0;
  std::string out = run_command(std::string(VS_RIG_SCRIPTS) + "/start.sh --display " +
                                    unused_display_number() + " " + options,
                                &status);
  std::smatch m;
  std::regex display("DISPLAY=(\\S+)"), dir("RIG_DIR=(\\S+)");
  if (status != 0) return false;
  if (!std::regex_search(out, m, display)) return false;
  rig->display = m[1];
  if (!std::regex_search(out, m, dir)) return false;
  rig->dir = m[1];
  return true;
}

void stop_throwaway(throwaway_rig &rig) {
  if (!rig.dir.empty()) run_command(std::string(VS_RIG_SCRIPTS) + "/stop.sh " + rig.dir);
  rig.dir.clear();
}

throwaway_rig::~throwaway_rig() { stop_throwaway(*this); }

// Every kind of call fails, each with its own step's message and the
// connection's error code.
void expect_every_call_fails(const char *state) {
  SCOPED_TRACE(state);
  std::regex code(" \\(error [0-9]+\\)$");
  EXPECT_EQ(screenshot_list_monitors_json(), nullptr);
  EXPECT_TRUE(std::regex_search(std::string(screenshot_last_error()), code));
  EXPECT_EQ(std::string(screenshot_last_error()).rfind("EnumDisplayMonitors failed (error ", 0), 0u)
      << screenshot_last_error();

  std::string path = temp_png("env");
  EXPECT_EQ(screenshot_capture_all_png(path.c_str()), -1);
  EXPECT_EQ(std::string(screenshot_last_error()).rfind("EnumDisplayMonitors failed", 0), 0u);

  uint8_t *png = (uint8_t *)1;
  int length = 1;
  EXPECT_EQ(screenshot_capture_region_mem(0, 0, 10, 10, &png, &length), -1);
  EXPECT_EQ(png, nullptr);
  EXPECT_EQ(length, 0);

  EXPECT_EQ(screenshot_capture_window_png((void *)(uintptr_t)0x200001, path.c_str()), -1);
  EXPECT_EQ(std::string(screenshot_last_error()).rfind("GetWindowRect failed (error ", 0), 0u)
      << screenshot_last_error();
  EXPECT_EQ(access(path.c_str(), F_OK), -1);
}

void expect_calls_work(const char *state, int width, int height) {
  SCOPED_TRACE(state);
  EXPECT_NE(screenshot_list_monitors_json(), nullptr) << screenshot_last_error();
  uint8_t *png = nullptr;
  int length = 0;
  ASSERT_EQ(screenshot_capture_region_mem(0, 0, width, height, &png, &length), 0)
      << screenshot_last_error();
  rgba_image image;
  EXPECT_TRUE(decode_png_memory(png, length, &image));
  EXPECT_EQ(image.width, width);
  screenshot_free_mem(png);
}

TEST(X11Environment, NoDisplayDeadServerAndBack) {
  REQUIRE_RIG();
  std::string rig_display = getenv("DISPLAY");
  // The host keeps SIGPIPE's default action: one that reached it would end it.
  signal(SIGPIPE, SIG_DFL);

  unsetenv("DISPLAY");
  expect_every_call_fails("no DISPLAY");
  EXPECT_STREQ(screenshot_last_error(), "GetWindowRect failed (error 5)");

  setenv("DISPLAY", ":4093", 1);
  expect_every_call_fails("nobody at the display");

  throwaway_rig rig;
  ASSERT_TRUE(start_throwaway(&rig)) << "could not start a second Xorg";
  setenv("DISPLAY", rig.display.c_str(), 1);
  expect_calls_work("throwaway server", 64, 48);

  stop_throwaway(rig);
  expect_every_call_fails("server gone");
  expect_every_call_fails("server still gone");
  EXPECT_FALSE(sigpipe_pending());
  EXPECT_FALSE(sigpipe_blocked());

  // A server of another depth, met on a connection opened again: captures
  // read it (the pixels themselves are the depth tests' business).
  ASSERT_TRUE(start_throwaway(&rig, "--mode 640x480 --depth 16"));
  setenv("DISPLAY", rig.display.c_str(), 1);
  expect_calls_work("depth 16", 64, 48);
  stop_throwaway(rig);

  // Without RandR (and so without Xinerama) the root window is the one monitor.
  ASSERT_TRUE(start_throwaway(&rig, "--no-randr"));
  setenv("DISPLAY", rig.display.c_str(), 1);
  xcb_connection_t *c = xcb_connect(rig.display.c_str(), nullptr);
  const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  std::string expected = "[{\"index\":0,\"name\":\"SCREEN\",\"x\":0,\"y\":0,\"width\":" +
                         std::to_string(screen->width_in_pixels) +
                         ",\"height\":" + std::to_string(screen->height_in_pixels) +
                         ",\"is_primary\":true}]";
  xcb_disconnect(c);
  const char *json = screenshot_list_monitors_json();
  ASSERT_NE(json, nullptr) << screenshot_last_error();
  EXPECT_EQ(std::string(json), expected);
  expect_calls_work("no RandR", 32, 32);
  stop_throwaway(rig);

  setenv("DISPLAY", rig_display.c_str(), 1);
  expect_calls_work("the rig again", 100, 80);
}

}  // namespace
