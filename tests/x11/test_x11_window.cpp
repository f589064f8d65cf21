// Window capture of real X windows on the rig: plain, with a border, partly
// beyond the screen, under a compositing manager while covered, and refused.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/composite.h>

#include <string>

#include "rig_support.h"
#include "vantorel_screenshot.h"

extern char **environ;

namespace {

void *handle_of(xcb_window_t id) { return (void *)(uintptr_t)id; }

// The window's outer image: border colour around its pattern.
std::function<uint32_t(int, int)> window_image(const test_window &w) {
  return [w](int x, int y) -> uint32_t {
    int ix = x - w.border, iy = y - w.border;
    if (ix < 0 || iy < 0 || ix >= w.width || iy >= w.height) return w.border_rgb;
    return pattern_rgb(ix, iy, w.seed);
  };
}

bool is_redirected(xcb_window_t window) {
  xcb_connection_t *c = rig_conn();
  xcb_pixmap_t pixmap = xcb_generate_id(c);
  xcb_generic_error_t *error =
      xcb_request_check(c, xcb_composite_name_window_pixmap_checked(c, window, pixmap));
  if (error) {
    free(error);
    return false;
  }
  xcb_free_pixmap(c, pixmap);
  return true;
}

::testing::AssertionResult captures_as(const test_window &w,
                                       const std::function<uint32_t(int, int)> &expected) {
  std::string path = temp_png("window");
  if (screenshot_capture_window_png(handle_of(w.id), path.c_str()) != 0) {
    return ::testing::AssertionFailure() << screenshot_last_error();
  }
  rgba_image image;
  bool decoded = decode_png_file(path, &image);
  unlink(path.c_str());
  if (!decoded) return ::testing::AssertionFailure() << "PNG does not decode";
  return image_matches(image, w.width + 2 * w.border, w.height + 2 * w.border, expected);
}

class WindowCapture : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_RIG();
    draw_root_pattern(3);
  }
};

TEST_F(WindowCapture, WindowWithAndWithoutBorder) {
  struct window_case {
    const char *what;
    int x, y, width, height, border;
  } cases[] = {
      {"on DUMMY0", 1300, 100, 320, 200, 0},
      {"across both monitors", 900, 300, 250, 150, 0},
      {"with a border", 200, 150, 180, 120, 4},
  };
  for (const window_case &c : cases) {
    SCOPED_TRACE(c.what);
    test_window w = make_window(c.x, c.y, c.width, c.height, c.border, 11);
    EXPECT_TRUE(captures_as(w, window_image(w)));
    // Nothing was redirected behind the window's back.
    EXPECT_FALSE(is_redirected(w.id));
    destroy_window(w);
  }
}

// Partly beyond the root, the window cannot be read whole; the screen copy
// shows what is on screen of it and black beyond.
TEST_F(WindowCapture, PartlyBeyondTheScreen) {
  int rw = root_width();
  test_window w = make_window(rw - 60, 500, 140, 90, 0, 12);
  EXPECT_TRUE(captures_as(
      w, [&](int x, int y) -> uint32_t { return w.x + x < rw ? pattern_rgb(x, y, w.seed) : 0; }));
  destroy_window(w);
}

TEST_F(WindowCapture, BogusWindowIsRefused) {
  xcb_window_t unused = xcb_generate_id(rig_conn());  // an id nothing holds
  EXPECT_EQ(screenshot_capture_window_png(handle_of(unused), temp_png("bogus").c_str()), -1);
  EXPECT_STREQ(screenshot_last_error(), "GetWindowRect failed (error 3)");
  EXPECT_EQ(access(temp_png("bogus").c_str(), F_OK), -1);

  // Above 32 bits a handle cannot be an X11 id at all.
  if (sizeof(void *) > 4) {
    EXPECT_EQ(screenshot_capture_window_png((void *)(uintptr_t)0x100000001ull, "x.png"), -1);
    EXPECT_STREQ(screenshot_last_error(), "GetWindowRect failed (error 3)");
  }
  // The root window is a window: it is captured whole.
  std::string path = temp_png("root");
  ASSERT_EQ(screenshot_capture_window_png(handle_of(rig_screen()->root), path.c_str()), 0)
      << screenshot_last_error();
  rgba_image image;
  ASSERT_TRUE(decode_png_file(path, &image));
  unlink(path.c_str());
  EXPECT_TRUE(image_matches(image, root_width(), root_height(), root_region(0, 0, 3)));
}

// A window that is not shown has no pixels of its own: unmapped (as a
// minimized or withdrawn one is), or mapped inside an unmapped parent. The
// capture fails with the window step's message and its own code rather than
// a picture of whatever the screen shows there, and writes no file; mapped
// again, it is captured.
TEST_F(WindowCapture, WindowNotShownIsRefused) {
  xcb_connection_t *c = rig_conn();
  test_window w = make_window(300, 200, 120, 80, 0, 13);
  test_window parent = make_window(600, 200, 120, 80, 0, 14);
  xcb_window_t child = xcb_generate_id(c);
  xcb_create_window(c, XCB_COPY_FROM_PARENT, child, parent.id, 10, 10, 40, 30, 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
  xcb_map_window(c, child);
  xcb_unmap_window(c, w.id);
  xcb_unmap_window(c, parent.id);
  rig_sync();
  for (xcb_window_t id : {w.id, child}) {
    SCOPED_TRACE(id == w.id ? "unmapped" : "inside an unmapped parent");
    std::string path = temp_png("hidden");
    EXPECT_EQ(screenshot_capture_window_png(handle_of(id), path.c_str()), -1);
    EXPECT_STREQ(screenshot_last_error(), "GetWindowRect failed (error 105)");
    EXPECT_EQ(access(path.c_str(), F_OK), -1);
  }
  xcb_map_window(c, w.id);
  rig_sync();
  fill_window(w);
  EXPECT_TRUE(captures_as(w, window_image(w)));
  xcb_destroy_window(c, child);
  destroy_window(parent);
  destroy_window(w);
}

// xcompmgr, started for this test only and stopped at its end.
class Compositor {
 public:
  bool start() {
    char arg0[] = "xcompmgr";
    char *argv[] = {arg0, nullptr};
    if (posix_spawnp(&pid_, "xcompmgr", nullptr, nullptr, argv, environ) != 0) pid_ = 0;
    return pid_ > 0;
  }
  ~Compositor() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    rig_sync();
  }

 private:
  pid_t pid_ = 0;
};

// Under a compositing manager every top-level window draws into a pixmap of
// its own, so a covered window is captured whole.
TEST_F(WindowCapture, CoveredWindowUnderACompositor) {
  test_window below = make_window(1200, 150, 400, 300, 2, 21, 0x8090a0);
  Compositor compositor;
  ASSERT_TRUE(compositor.start());
  bool redirected = false;
  for (int i = 0; i < 200 && !redirected; i++) {
    redirected = is_redirected(below.id);
    if (!redirected) usleep(20000);
  }
  ASSERT_TRUE(redirected) << "xcompmgr did not redirect the window";

  // Drawn after the redirection, so the pixmap holds all of it.
  fill_window(below);
  test_window cover = make_window(1350, 250, 400, 300, 0, 22);
  EXPECT_TRUE(captures_as(below, window_image(below)));
  EXPECT_TRUE(captures_as(cover, window_image(cover)));
  // Still redirected by xcompmgr, not by us: the capture changed nothing.
  EXPECT_TRUE(is_redirected(below.id));
  destroy_window(cover);
  destroy_window(below);
}

}  // namespace
