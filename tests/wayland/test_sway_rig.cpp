// The sway rig itself, seen from outside with grim and a plain X11 client:
// its outputs show what rig_pictures says, in every layout the Wayland tests
// use, and Xwayland takes root's windows and shows them on the screen. If
// these fail, a failure of the library on the rig says nothing.
#include <stdlib.h>
#include <unistd.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <chrono>
#include <thread>

#include "rig_pictures.h"
#include "rig_support.h"

namespace {

struct region {
  const char *what;
  int x, y, width, height;
};

rgba_image grim(const std::string &args, std::string *error) {
  rgba_image image;
  std::string path = temp_png("grim");
  int status = 0;
  std::string out = run_command("grim " + args + " " + path + " 2>&1", &status);
  if (status != 0) {
    *error = "grim " + args + ": " + out;
  } else if (!decode_png_file(path, &image)) {
    *error = "cannot decode grim's " + path;
  }
  unlink(path.c_str());
  return image;
}

std::string geometry(int x, int y, int width, int height) {
  return "-g '" + std::to_string(x) + "," + std::to_string(y) + " " + std::to_string(width) + "x" +
         std::to_string(height) + "'";
}

// Puts the rig back as it started, whatever a test changed.
struct layout_guard {
  ~layout_guard() {
    sway_rig_screen screen;
    std::string why;
    EXPECT_TRUE(sway_rig_layout(VS_RIG_SCRIPTS, "--reset", &screen, &why)) << why;
  }
};

class SwayRig : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_SWAY_RIG();
    std::string why;
    ASSERT_TRUE(load_sway_rig_screen(&screen_, &why)) << why;
  }
  sway_rig_screen screen_;
};

TEST_F(SwayRig, StartsWithTwoOutputsSideBySide) {
  ASSERT_EQ(screen_.outputs.size(), 2u);
  const sway_rig_output &a = screen_.outputs[0], &b = screen_.outputs[1];
  EXPECT_EQ(a.name, "HEADLESS-1");
  EXPECT_EQ(b.name, "HEADLESS-2");
  EXPECT_EQ((std::vector<int>{a.x, a.y, a.width, a.height, a.scale}),
            (std::vector<int>{0, 0, 1024, 768, 1}));
  EXPECT_EQ((std::vector<int>{b.x, b.y, b.width, b.height, b.scale}),
            (std::vector<int>{1024, 0, 1280, 800, 1}));
  EXPECT_EQ((std::vector<int>{screen_.x, screen_.y, screen_.width, screen_.height}),
            (std::vector<int>{0, 0, 2304, 800}));
}

// grim leaves transparent what no output covers (where the library must read
// opaque black), so its uncovered pixels are checked apart.
::testing::AssertionResult grim_region_matches(const rgba_image &image, const sway_rig_screen &s,
                                               int x, int y, int width, int height) {
  if (image.width != width || image.height != height) {
    return ::testing::AssertionFailure() << "image is " << image.width << "x" << image.height
                                         << ", expected " << width << "x" << height;
  }
  int bad = 0;
  std::string report;
  for (int row = 0; row < height; row++) {
    for (int column = 0; column < width; column++) {
      const uint8_t *p = &image.pixels[((size_t)row * width + column) * 4];
      uint32_t got = (uint32_t)p[0] << 16 | (uint32_t)p[1] << 8 | p[2];
      bool covered = sway_rig_output_at(s, x + column, y + row) != nullptr;
      uint32_t want = sway_rig_rgb(s, x + column, y + row);
      if (got == want && p[3] == (covered ? 255 : 0)) continue;
      if (bad++ < 5) {
        char line[160];
        snprintf(line, sizeof line, "\n  (%d,%d): rgb %06x alpha %u, expected %06x alpha %d",
                 x + column, y + row, got, p[3], want, covered ? 255 : 0);
        report += line;
      }
    }
  }
  if (bad == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << bad << " pixels differ" << report;
}

TEST_F(SwayRig, GrimReadsThePicturesAcrossOutputsAndGaps) {
  const region cases[] = {
      {"the whole virtual screen", 0, 0, 2304, 800},
      {"across both outputs and the strip below the first", 1000, 700, 100, 100},
      {"first pixel of the first output", 0, 0, 1, 1},
      {"last pixel of the first output", 1023, 767, 1, 1},
      {"first pixel of the second output", 1024, 0, 1, 1},
      {"last pixel of the second output", 2303, 799, 1, 1},
      {"past the bottom right corner", 2300, 790, 10, 20},
  };
  for (const region &r : cases) {
    SCOPED_TRACE(r.what);
    std::string error;
    rgba_image image = grim(geometry(r.x, r.y, r.width, r.height), &error);
    ASSERT_TRUE(error.empty()) << error;
    EXPECT_TRUE(grim_region_matches(image, screen_, r.x, r.y, r.width, r.height));
  }
  // grim refuses a rectangle that no output touches.
  std::string error;
  grim(geometry(0, 768, 1024, 32), &error);
  EXPECT_FALSE(error.empty());
}

TEST_F(SwayRig, ScaledOutputShowsItsPictureInBufferPixels) {
  layout_guard guard;
  std::string why;
  ASSERT_TRUE(sway_rig_layout(VS_RIG_SCRIPTS, "--scale HEADLESS-1 2", &screen_, &why)) << why;
  const sway_rig_output *o = sway_rig_find(screen_, "HEADLESS-1");
  ASSERT_NE(o, nullptr);
  EXPECT_EQ((std::vector<int>{o->x, o->y, o->width, o->height, o->scale}),
            (std::vector<int>{0, 0, 512, 384, 2}));
  // The logical screen keeps the second output where it was: a gap opens.
  EXPECT_EQ((std::vector<int>{screen_.width, screen_.height}), (std::vector<int>{2304, 800}));
  EXPECT_EQ(sway_rig_output_at(screen_, 700, 10), nullptr);

  std::string error;
  rgba_image image = grim("-o HEADLESS-1", &error);
  ASSERT_TRUE(error.empty()) << error;
  EXPECT_TRUE(image_matches(image, 1024, 768, sway_rig_output_buffer(*o)));
  // One logical pixel is one colour in the buffer: a 2x2 block.
  EXPECT_EQ(sway_rig_rgb(screen_, 300, 200), sway_rig_output_buffer(*o)(601, 401));
  EXPECT_NE(sway_rig_rgb(screen_, 300, 200), sway_rig_rgb(screen_, 301, 200));

  image = grim(geometry(1024, 0, 1280, 800), &error);
  ASSERT_TRUE(error.empty()) << error;
  EXPECT_TRUE(grim_region_matches(image, screen_, 1024, 0, 1280, 800));
}

TEST_F(SwayRig, TurnedOutputShowsItsPictureUpright) {
  layout_guard guard;
  std::string why;
  ASSERT_TRUE(sway_rig_layout(VS_RIG_SCRIPTS, "--transform HEADLESS-1 90", &screen_, &why)) << why;
  const sway_rig_output *o = sway_rig_find(screen_, "HEADLESS-1");
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(o->transform, "90");
  EXPECT_EQ((std::vector<int>{o->width, o->height}), (std::vector<int>{768, 1024}));

  std::string error;
  rgba_image image = grim("", &error);
  ASSERT_TRUE(error.empty()) << error;
  EXPECT_TRUE(grim_region_matches(image, screen_, 0, 0, 2304, 1024));
}

// Xwayland's root window spans the logical screen, so an X window's root
// position is where the compositor shows it (at scale 1).
class SwayRigXwayland : public SwayRig {
 protected:
  void SetUp() override {
    SwayRig::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    if (!getenv("DISPLAY")) GTEST_SKIP() << "the rig runs without Xwayland";
    conn_ = xcb_connect(nullptr, nullptr);
    ASSERT_EQ(xcb_connection_has_error(conn_), 0) << "cannot open " << getenv("DISPLAY");
  }
  void TearDown() override {
    if (conn_) xcb_disconnect(conn_);
  }
  xcb_connection_t *conn_ = nullptr;
};

std::vector<std::string> randr_output_names(xcb_connection_t *c, xcb_window_t root) {
  std::vector<std::string> names;
  xcb_randr_get_screen_resources_current_reply_t *res =
      xcb_randr_get_screen_resources_current_reply(
          c, xcb_randr_get_screen_resources_current(c, root), nullptr);
  if (!res) return names;
  xcb_randr_output_t *outputs = xcb_randr_get_screen_resources_current_outputs(res);
  for (int i = 0; i < xcb_randr_get_screen_resources_current_outputs_length(res); i++) {
    xcb_randr_get_output_info_reply_t *info = xcb_randr_get_output_info_reply(
        c, xcb_randr_get_output_info(c, outputs[i], res->config_timestamp), nullptr);
    if (!info) continue;
    names.emplace_back((const char *)xcb_randr_get_output_info_name(info),
                       xcb_randr_get_output_info_name_length(info));
    free(info);
  }
  free(res);
  return names;
}

bool wait_for(const std::function<bool()> &done) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

TEST_F(SwayRigXwayland, RootsWindowIsFoundByIdAndShownWhereXSaysItIs) {
  // Debian 12's Xwayland (22.1) predates the XWAYLAND extension (23.1); its
  // RandR outputs are named XWAYLAND0, XWAYLAND1, ... all the same.
  xcb_query_extension_reply_t *ext =
      xcb_query_extension_reply(conn_, xcb_query_extension(conn_, 8, "XWAYLAND"), nullptr);
  ASSERT_NE(ext, nullptr);
  bool extension = ext->present;
  free(ext);
  xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(conn_)).data;
  std::vector<std::string> names = randr_output_names(conn_, screen->root);
  ASSERT_EQ(names.size(), screen_.outputs.size());
  for (const std::string &name : names) {
    EXPECT_EQ(name.rfind("XWAYLAND", 0), 0u)
        << name << " (XWAYLAND extension " << (extension ? "present)" : "absent)");
  }

  xcb_get_geometry_reply_t *root =
      xcb_get_geometry_reply(conn_, xcb_get_geometry(conn_, screen->root), nullptr);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ((std::vector<int>{root->width, root->height}),
            (std::vector<int>{screen_.width, screen_.height}));
  free(root);

  const uint32_t colour = 0x2a5c8e;
  xcb_window_t window = xcb_generate_id(conn_);
  uint32_t values[] = {colour};
  xcb_create_window(conn_, XCB_COPY_FROM_PARENT, window, screen->root, 100, 100, 200, 120, 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_BACK_PIXEL, values);
  xcb_map_window(conn_, window);
  xcb_flush(conn_);

  bool listed = false;
  int wx = 0, wy = 0;
  ASSERT_TRUE(wait_for([&] {
    xcb_get_window_attributes_reply_t *a =
        xcb_get_window_attributes_reply(conn_, xcb_get_window_attributes(conn_, window), nullptr);
    bool viewable = a && a->map_state == XCB_MAP_STATE_VIEWABLE;
    free(a);
    return viewable;
  })) << "the window never became viewable";
  xcb_query_tree_reply_t *tree =
      xcb_query_tree_reply(conn_, xcb_query_tree(conn_, screen->root), nullptr);
  ASSERT_NE(tree, nullptr);
  xcb_window_t *children = xcb_query_tree_children(tree);
  for (int i = 0; i < xcb_query_tree_children_length(tree); i++) {
    if (children[i] == window) listed = true;
  }
  free(tree);
  EXPECT_TRUE(listed) << "the window is not a child of the root";

  // sway floats it (the rig's rule) where it likes: ask X where that is, and
  // wait for the compositor to show it there.
  std::string error;
  ASSERT_TRUE(wait_for([&] {
    xcb_translate_coordinates_reply_t *t = xcb_translate_coordinates_reply(
        conn_, xcb_translate_coordinates(conn_, window, screen->root, 0, 0), nullptr);
    if (!t) return false;
    wx = t->dst_x;
    wy = t->dst_y;
    free(t);
    rgba_image image = grim(geometry(wx, wy, 200, 120), &error);
    return error.empty() && image_matches(image, 200, 120, [&](int, int) { return colour; });
  })) << "the window never showed at "
      << wx << "," << wy << " " << error;

  xcb_destroy_window(conn_, window);
  xcb_flush(conn_);
  ASSERT_TRUE(wait_for([&] {
    rgba_image image = grim(geometry(wx, wy, 200, 120), &error);
    return error.empty() && image_matches(image, 200, 120, sway_rig_region(screen_, wx, wy));
  })) << "the pictures did not come back after the window went";
}

}  // namespace
