// The pointer in the picture on the rig's Xorg: a cursor the test makes is
// set on the root window, the pointer is warped to a known place, and the
// grab with SCREENSHOT_WITH_CURSOR must show the known background with the
// cursor over it at the hotspot, and the grab without it (and the nine
// exports) the background alone.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <xcb/render.h>
#include <xcb/xfixes.h>

#include <string>
#include <vector>

#include "rig_support.h"
#include "vantorel_screenshot.h"

namespace {

// A bitmap cursor: 'X' the foreground (magenta), 'o' the background (green),
// '.' see-through. The hotspot is inside the shape and off its corner, so a
// cursor drawn at the pointer rather than at its hotspot shows.
const char *const k_shape[] = {
    "X...........", "XX..........", "XoX.........", "XooX........", "XoooX.......", "XooooX......",
    "XoooooX.....", "XooooooX....", "XoooooooX...", "XooooooooX..", "XoooooXXXXX.", "XooXooX.....",
    "XoX.XooX....", "XX..XooX....", "X....XooX...", ".....XXXX...",
};
const int k_shape_width = 12;
const int k_shape_height = 16;
const int k_hot_x = 3;
const int k_hot_y = 5;
const uint32_t k_fore = 0xff00ff;
const uint32_t k_back = 0x00ff00;
const uint32_t k_seed = 0x5eed34;

// The shape's colour at (column, row) of the cursor, or -1 where it is
// see-through.
int64_t shape_at(int column, int row) {
  if (column < 0 || row < 0 || column >= k_shape_width || row >= k_shape_height) return -1;
  char c = k_shape[row][column];
  return c == 'X' ? (int64_t)k_fore : c == 'o' ? (int64_t)k_back : -1;
}

void check(xcb_void_cookie_t cookie, const char *what) {
  xcb_generic_error_t *error = xcb_request_check(rig_conn(), cookie);
  ASSERT_EQ(error, nullptr) << what << " failed (error " << (error ? error->error_code : 0) << ")";
}

// A depth-1 pixmap with bit 1 where wanted(column, row) says so.
xcb_pixmap_t bitmap_of(bool (*wanted)(int, int)) {
  xcb_connection_t *c = rig_conn();
  xcb_pixmap_t pixmap = xcb_generate_id(c);
  xcb_create_pixmap(c, 1, pixmap, rig_screen()->root, k_shape_width, k_shape_height);
  xcb_gcontext_t gc = xcb_generate_id(c);
  uint32_t zero = 0;
  xcb_create_gc(c, gc, pixmap, XCB_GC_FOREGROUND, &zero);
  xcb_rectangle_t all = {0, 0, (uint16_t)k_shape_width, (uint16_t)k_shape_height};
  xcb_poly_fill_rectangle(c, pixmap, gc, 1, &all);
  uint32_t one = 1;
  xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &one);
  for (int row = 0; row < k_shape_height; row++) {
    for (int column = 0; column < k_shape_width; column++) {
      if (!wanted(column, row)) continue;
      xcb_rectangle_t dot = {(int16_t)column, (int16_t)row, 1, 1};
      xcb_poly_fill_rectangle(c, pixmap, gc, 1, &dot);
    }
  }
  xcb_free_gc(c, gc);
  return pixmap;
}

bool in_mask(int column, int row) { return shape_at(column, row) >= 0; }
bool in_source(int column, int row) { return shape_at(column, row) == k_fore; }

void set_root_cursor(xcb_cursor_t cursor) {
  xcb_connection_t *c = rig_conn();
  check(xcb_change_window_attributes_checked(c, rig_screen()->root, XCB_CW_CURSOR, &cursor),
        "ChangeWindowAttributes");
  xcb_free_cursor(c, cursor);
}

void set_bitmap_cursor() {
  xcb_connection_t *c = rig_conn();
  xcb_pixmap_t source = bitmap_of(in_source);
  xcb_pixmap_t mask = bitmap_of(in_mask);
  xcb_cursor_t cursor = xcb_generate_id(c);
  check(xcb_create_cursor_checked(c, cursor, source, mask, 0xffff, 0, 0xffff, 0, 0xffff, 0, k_hot_x,
                                  k_hot_y),
        "CreateCursor");
  xcb_free_pixmap(c, source);
  xcb_free_pixmap(c, mask);
  set_root_cursor(cursor);
}

void warp_pointer(int x, int y) {
  xcb_warp_pointer(rig_conn(), XCB_NONE, rig_screen()->root, 0, 0, 0, 0, (int16_t)x, (int16_t)y);
  rig_sync();
}

// XFixes' own account of the cursor, read on the test's connection.
struct cursor_image {
  int x, y, hot_x, hot_y, width, height;
  std::vector<uint32_t> argb;
};

bool read_cursor(cursor_image *out) {
  xcb_connection_t *c = rig_conn();
  free(xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 4, 0), NULL));
  xcb_xfixes_get_cursor_image_reply_t *r =
      xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), NULL);
  if (!r) return false;
  out->x = r->x;
  out->y = r->y;
  out->hot_x = r->xhot;
  out->hot_y = r->yhot;
  out->width = r->width;
  out->height = r->height;
  const uint32_t *p = xcb_xfixes_get_cursor_image_cursor_image(r);
  out->argb.assign(p, p + xcb_xfixes_get_cursor_image_cursor_image_length(r));
  free(r);
  return (int)out->argb.size() == out->width * out->height;
}

// Premultiplied "over", each channel rounded to nearest.
uint32_t over(uint32_t argb, uint32_t rgb) {
  uint32_t a = argb >> 24;
  uint32_t out = 0;
  for (int shift = 0; shift < 24; shift += 8) {
    uint32_t s = (argb >> shift) & 0xff;
    uint32_t d = (rgb >> shift) & 0xff;
    uint32_t v = s + (d * (255 - a) + 127) / 255;
    out |= (v > 255 ? 255 : v) << shift;
  }
  return out;
}

rgba_image picture_image(const screenshot_picture &p) {
  rgba_image image;
  image.width = p.width;
  image.height = p.height;
  image.pixels.assign(p.rgba, p.rgba + (size_t)p.width * p.height * 4);
  return image;
}

class Pointer : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_RIG();
    draw_root_pattern(k_seed);
  }
  void TearDown() override {
    // Back to the server's own cursor for the tests after this one.
    if (rig_conn()) set_root_cursor(XCB_NONE);
  }
};

// The region is cut so that the cursor crosses its left and top edges in one
// case, lies wholly inside in another and wholly outside in the third.
TEST_F(Pointer, RegionShowsTheCursorShapeAtTheHotspotOnlyWhenAsked) {
  set_bitmap_cursor();
  ASSERT_FALSE(HasFatalFailure());
  struct {
    int pointer_x, pointer_y;  // on the root
    int x, y, width, height;   // the region
  } cases[] = {
      {300, 200, 280, 180, 60, 50},
      {300 + 5, 200 + 2, 300, 200, 40, 40},
      {600, 500, 100, 100, 50, 50},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE("pointer at " + std::to_string(k.pointer_x) + "," + std::to_string(k.pointer_y));
    warp_pointer(k.pointer_x, k.pointer_y);
    auto background = root_region(k.x, k.y, k_seed);
    auto with_cursor = [&](int column, int row) -> uint32_t {
      int64_t shape =
          shape_at(k.x + column - (k.pointer_x - k_hot_x), k.y + row - (k.pointer_y - k_hot_y));
      return shape >= 0 ? (uint32_t)shape : background(column, row);
    };
    screenshot_picture p;
    ASSERT_EQ(screenshot_grab_region(k.x, k.y, k.width, k.height, SCREENSHOT_WITH_CURSOR, &p), 0)
        << screenshot_last_error();
    EXPECT_TRUE(image_matches(picture_image(p), k.width, k.height, with_cursor));
    screenshot_free_mem(p.rgba);

    ASSERT_EQ(screenshot_grab_region(k.x, k.y, k.width, k.height, 0, &p), 0)
        << screenshot_last_error();
    EXPECT_TRUE(image_matches(picture_image(p), k.width, k.height, background));
    screenshot_free_mem(p.rgba);

    // The nine exports never show it.
    int ox, oy, ow, oh;
    unsigned char *pixels = NULL;
    ASSERT_EQ(
        screenshot_capture_region_rgba(k.x, k.y, k.width, k.height, &ox, &oy, &ow, &oh, &pixels),
        0);
    rgba_image plain;
    plain.width = ow;
    plain.height = oh;
    plain.pixels.assign(pixels, pixels + (size_t)ow * oh * 4);
    screenshot_free_mem(pixels);
    EXPECT_TRUE(image_matches(plain, k.width, k.height, background));
  }
}

// A cursor with partial alpha (RENDER's ARGB cursor): the picture is the
// background with XFixes' image, as the test reads it, composited over it.
TEST_F(Pointer, AlphaCursorIsCompositedAsXFixesDescribesIt) {
  xcb_connection_t *c = rig_conn();
  free(xcb_render_query_version_reply(c, xcb_render_query_version(c, 0, 11), NULL));
  xcb_render_query_pict_formats_reply_t *formats =
      xcb_render_query_pict_formats_reply(c, xcb_render_query_pict_formats(c), NULL);
  ASSERT_NE(formats, nullptr);
  xcb_render_pictformat_t argb32 = 0;
  for (auto it = xcb_render_query_pict_formats_formats_iterator(formats); it.rem;
       xcb_render_pictforminfo_next(&it)) {
    const xcb_render_pictforminfo_t *f = it.data;
    if (f->depth == 32 && f->type == XCB_RENDER_PICT_TYPE_DIRECT && f->direct.alpha_shift == 24 &&
        f->direct.red_shift == 16 && f->direct.green_shift == 8 && f->direct.blue_shift == 0 &&
        f->direct.alpha_mask == 0xff && f->direct.red_mask == 0xff)
      argb32 = f->id;
  }
  free(formats);
  ASSERT_NE(argb32, 0u) << "no ARGB32 picture format";

  // 16x16: a diagonal ramp of alpha with premultiplied colours, some pixels
  // wholly see-through, some opaque.
  const int size = 16;
  std::vector<uint32_t> argb(size * size);
  for (int row = 0; row < size; row++) {
    for (int column = 0; column < size; column++) {
      uint32_t a = (uint32_t)((column + row) * 255 / (2 * size - 2));
      uint32_t r = a * 3 / 4, g = a / 3, b = a;
      argb[row * size + column] = a << 24 | r << 16 | g << 8 | b;
    }
  }
  xcb_pixmap_t pixmap = xcb_generate_id(c);
  xcb_create_pixmap(c, 32, pixmap, rig_screen()->root, size, size);
  xcb_gcontext_t gc = xcb_generate_id(c);
  xcb_create_gc(c, gc, pixmap, 0, NULL);
  xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, gc, size, size, 0, 0, 0, 32,
                (uint32_t)(argb.size() * 4), (const uint8_t *)argb.data());
  xcb_render_picture_t picture = xcb_generate_id(c);
  xcb_render_create_picture(c, picture, pixmap, argb32, 0, NULL);
  xcb_cursor_t cursor = xcb_generate_id(c);
  check(xcb_render_create_cursor_checked(c, cursor, picture, 7, 9), "RENDER CreateCursor");
  xcb_render_free_picture(c, picture);
  xcb_free_gc(c, gc);
  xcb_free_pixmap(c, pixmap);
  set_root_cursor(cursor);
  ASSERT_FALSE(HasFatalFailure());

  const int px = 412, py = 333;
  warp_pointer(px, py);
  cursor_image image;
  ASSERT_TRUE(read_cursor(&image));
  ASSERT_EQ(image.x, px);
  ASSERT_EQ(image.y, py);
  ASSERT_EQ(image.width, size);
  ASSERT_EQ(image.hot_x, 7);
  ASSERT_EQ(image.hot_y, 9);

  const int x = 400, y = 320, width = 40, height = 30;
  auto background = root_region(x, y, k_seed);
  auto expected = [&](int column, int row) -> uint32_t {
    int cx = x + column - (image.x - image.hot_x);
    int cy = y + row - (image.y - image.hot_y);
    if (cx < 0 || cy < 0 || cx >= image.width || cy >= image.height) return background(column, row);
    return over(image.argb[(size_t)cy * image.width + cx], background(column, row));
  };
  screenshot_picture p;
  ASSERT_EQ(screenshot_grab_region(x, y, width, height, SCREENSHOT_WITH_CURSOR, &p), 0)
      << screenshot_last_error();
  EXPECT_TRUE(image_matches(picture_image(p), width, height, expected));
  screenshot_free_mem(p.rgba);
}

// A window: the pointer where it lies over the window, in the window's own
// coordinates; the window without the flag is its pattern alone.
TEST_F(Pointer, WindowShowsTheCursorWhereItLiesOverIt) {
  set_bitmap_cursor();
  ASSERT_FALSE(HasFatalFailure());
  test_window w = make_window(150, 120, 120, 90, 0, 0x77aa11);
  const int px = w.x + 40, py = w.y + 30;
  warp_pointer(px, py);
  auto plain = [&](int column, int row) { return pattern_rgb(column, row, w.seed); };
  auto with_cursor = [&](int column, int row) -> uint32_t {
    int64_t shape = shape_at(column - (px - w.x - k_hot_x), row - (py - w.y - k_hot_y));
    return shape >= 0 ? (uint32_t)shape : plain(column, row);
  };
  std::string id = std::to_string(w.id);
  screenshot_picture p;
  ASSERT_EQ(screenshot_grab_window(id.c_str(), SCREENSHOT_WITH_CURSOR, &p), 0)
      << screenshot_last_error();
  EXPECT_TRUE(image_matches(picture_image(p), w.width, w.height, with_cursor));
  screenshot_free_mem(p.rgba);
  ASSERT_EQ(screenshot_grab_window(id.c_str(), 0, &p), 0) << screenshot_last_error();
  EXPECT_TRUE(image_matches(picture_image(p), w.width, w.height, plain));
  screenshot_free_mem(p.rgba);
  destroy_window(w);
}

}  // namespace
