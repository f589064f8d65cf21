// Every visual class and depth the server offers, read through the exports:
// the root window at whatever depth the server runs (8-bit PseudoColor, 15-
// and 16-bit TrueColor, 24, 30), and a window of every other visual (DirectColor,
// the colormapped classes, 32-bit ARGB) captured by id.
//
// The pictures are raw pixel values put with PutImage in the drawable's own
// layout. What the capture must give is worked out here from the visual's
// masks (each channel v of w bits becomes (v * 255 + max / 2) / max, max =
// 2^w - 1) or, for visuals with a colormap, from the server's own answer to
// QueryColors for each pixel value (16-bit values scaled the same way).
//
// A connection's first read-back goes by plain get-image and later ones
// through the shared segment; ctest runs every test in a fresh process, so
// each test reads its picture both ways.
//
// Run on any X server: the rig (rig/start.sh, any --depth) or an Xvfb that
// scripts/test-stage-15-depths.sh starts at each depth. VS_DEPTHS_ROOT,
// VS_DEPTHS_ROOT_CLASS and VS_DEPTHS_WINDOW name the root depth, the root
// visual's class and a window depth the server must offer, so a server that
// came up otherwise fails instead of passing.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "rig_support.h"
#include "vantorel_screenshot.h"

namespace {

struct visual_desc {
  xcb_visualid_t id;
  uint8_t depth;
  uint8_t visual_class;
  uint32_t red_mask, green_mask, blue_mask;
  uint16_t colormap_entries;
};

std::string describe(const visual_desc &v) {
  static const char *names[] = {"StaticGray",  "GrayScale", "StaticColor",
                                "PseudoColor", "TrueColor", "DirectColor"};
  char text[160];
  snprintf(text, sizeof text, "%s depth %u masks %x/%x/%x entries %u",
           v.visual_class < 6 ? names[v.visual_class] : "?", v.depth, v.red_mask, v.green_mask,
           v.blue_mask, v.colormap_entries);
  return text;
}

bool has_colormap(const visual_desc &v) { return v.visual_class != XCB_VISUAL_CLASS_TRUE_COLOR; }

// Every visual of the screen, one of each kind (servers list the same kind
// dozens of times for GLX), in the server's order.
std::vector<visual_desc> distinct_visuals() {
  std::vector<visual_desc> out;
  std::set<std::string> seen;
  xcb_depth_iterator_t d = xcb_screen_allowed_depths_iterator(rig_screen());
  for (; d.rem; xcb_depth_next(&d)) {
    xcb_visualtype_iterator_t v = xcb_depth_visuals_iterator(d.data);
    for (; v.rem; xcb_visualtype_next(&v)) {
      visual_desc desc = {v.data->visual_id,       d.data->depth,      v.data->_class,
                          v.data->red_mask,        v.data->green_mask, v.data->blue_mask,
                          v.data->colormap_entries};
      if (seen.insert(describe(desc)).second) out.push_back(desc);
    }
  }
  return out;
}

visual_desc root_visual() {
  for (const visual_desc &v : distinct_visuals()) {
    if (v.depth == rig_screen()->root_depth) {
      // distinct_visuals keeps the first of a kind; the root's id may be a later one
      xcb_depth_iterator_t d = xcb_screen_allowed_depths_iterator(rig_screen());
      for (; d.rem; xcb_depth_next(&d)) {
        xcb_visualtype_iterator_t t = xcb_depth_visuals_iterator(d.data);
        for (; t.rem; xcb_visualtype_next(&t)) {
          if (t.data->visual_id != rig_screen()->root_visual) continue;
          return {t.data->visual_id,  d.data->depth,     t.data->_class,          t.data->red_mask,
                  t.data->green_mask, t.data->blue_mask, t.data->colormap_entries};
        }
      }
    }
  }
  ADD_FAILURE() << "the root visual is not among the screen's visuals";
  return {};
}

void pixmap_format(uint8_t depth, int *bits_per_pixel, int *pad) {
  xcb_format_iterator_t f = xcb_setup_pixmap_formats_iterator(xcb_get_setup(rig_conn()));
  for (; f.rem; xcb_format_next(&f)) {
    if (f.data->depth != depth) continue;
    *bits_per_pixel = f.data->bits_per_pixel;
    *pad = f.data->scanline_pad;
    return;
  }
  *bits_per_pixel = 0;
  *pad = 0;
}

uint32_t hash32(int x, int y, uint32_t seed) {
  return pattern_rgb(x, y, seed) | pattern_rgb(y, x, seed + 7) << 24;
}

// Raw pixel values that reach every channel's zero and full value and
// otherwise vary from pixel to pixel.
std::vector<uint32_t> raw_picture(const visual_desc &v, int width, int height, uint32_t seed) {
  std::vector<uint32_t> raw((size_t)width * height);
  uint32_t channels = v.red_mask | v.green_mask | v.blue_mask;
  uint32_t all = v.depth >= 32 ? 0xffffffffu : (1u << v.depth) - 1;
  uint32_t alpha = all & ~channels;
  bool indexed = v.visual_class <= XCB_VISUAL_CLASS_PSEUDO_COLOR;
  uint32_t cells = v.colormap_entries < (1u << (v.depth > 16 ? 16 : v.depth))
                       ? v.colormap_entries
                       : (1u << (v.depth > 16 ? 16 : v.depth));
  for (int y = 0; y < height; y++) {
    for (int x = 0; x < width; x++) {
      uint32_t h = hash32(x, y, seed);
      uint32_t p = indexed ? h % cells : (h & channels) | (alpha ? (h | 0x01000000u) & alpha : 0);
      raw[(size_t)y * width + x] = p;
    }
  }
  if (!indexed && width >= 5) {
    raw[0] = channels | alpha;
    raw[1] = alpha;
    raw[2] = v.red_mask | alpha;
    raw[3] = v.green_mask | alpha;
    raw[4] = v.blue_mask | alpha;
  }
  return raw;
}

// The drawable's pixels in Z format, as the server takes them.
void put_raw(xcb_drawable_t drawable, uint8_t depth, int width, int height,
             const std::vector<uint32_t> &raw) {
  xcb_connection_t *c = rig_conn();
  int bpp = 0, pad = 0;
  pixmap_format(depth, &bpp, &pad);
  ASSERT_TRUE(bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32) << "bits per pixel " << bpp;
  bool msb = xcb_get_setup(c)->image_byte_order == XCB_IMAGE_ORDER_MSB_FIRST;
  size_t stride = ((size_t)width * bpp + pad - 1) / pad * pad / 8;
  size_t max_bytes = (size_t)xcb_get_maximum_request_length(c) * 4 - 64;
  int rows = (int)(max_bytes / stride);
  if (rows > 64) rows = 64;
  xcb_gcontext_t gc = xcb_generate_id(c);
  uint32_t no_exposures = 0;
  xcb_create_gc(c, gc, drawable, XCB_GC_GRAPHICS_EXPOSURES, &no_exposures);
  int bytes = bpp / 8;
  for (int y0 = 0; y0 < height; y0 += rows) {
    int n = height - y0 < rows ? height - y0 : rows;
    std::vector<uint8_t> strip(stride * n, 0);
    for (int j = 0; j < n; j++) {
      for (int i = 0; i < width; i++) {
        uint32_t p = raw[(size_t)(y0 + j) * width + i];
        uint8_t *d = &strip[stride * j + (size_t)i * bytes];
        for (int b = 0; b < bytes; b++) d[b] = (uint8_t)(p >> (msb ? 8 * (bytes - 1 - b) : 8 * b));
      }
    }
    xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, gc, (uint16_t)width, (uint16_t)n, 0,
                  (int16_t)y0, 0, depth, (uint32_t)strip.size(), strip.data());
  }
  xcb_free_gc(c, gc);
  rig_sync();
}

uint8_t scaled(uint32_t value, uint32_t max) { return (uint8_t)((value * 255 + max / 2) / max); }

uint8_t field(uint32_t pixel, uint32_t mask) {
  int shift = 0;
  while (!((mask >> shift) & 1)) shift++;
  return scaled((pixel & mask) >> shift, mask >> shift);
}

// 0xAARRGGBB of every raw pixel as the capture must show it.
std::vector<uint32_t> expected_argb(const visual_desc &v, xcb_colormap_t colormap,
                                    const std::vector<uint32_t> &raw) {
  std::vector<uint32_t> out(raw.size());
  uint32_t channels = v.red_mask | v.green_mask | v.blue_mask;
  uint32_t rest = (v.depth >= 32 ? 0xffffffffu : (1u << v.depth) - 1) & ~channels;
  bool alpha = v.depth == 32 && v.visual_class == XCB_VISUAL_CLASS_TRUE_COLOR && rest != 0;
  if (!has_colormap(v)) {
    for (size_t i = 0; i < raw.size(); i++) {
      uint32_t p = raw[i];
      uint32_t a = alpha ? field(p, rest) : 255;
      out[i] = a << 24 | (uint32_t)field(p, v.red_mask) << 16 |
               (uint32_t)field(p, v.green_mask) << 8 | field(p, v.blue_mask);
    }
    return out;
  }
  // The server resolves each value through the colormap itself.
  std::set<uint32_t> distinct(raw.begin(), raw.end());
  std::vector<uint32_t> values(distinct.begin(), distinct.end());
  std::map<uint32_t, uint32_t> colour;
  xcb_connection_t *c = rig_conn();
  for (size_t start = 0; start < values.size(); start += 4096) {
    size_t n = values.size() - start < 4096 ? values.size() - start : 4096;
    xcb_generic_error_t *error = nullptr;
    xcb_query_colors_reply_t *reply = xcb_query_colors_reply(
        c, xcb_query_colors(c, colormap, (uint32_t)n, &values[start]), &error);
    if (!reply) {
      ADD_FAILURE() << "QueryColors failed: error " << (error ? error->error_code : 0);
      free(error);
      return out;
    }
    const xcb_rgb_t *rgb = xcb_query_colors_colors(reply);
    for (size_t i = 0; i < n; i++) {
      colour[values[start + i]] = 0xff000000u | (uint32_t)scaled(rgb[i].red, 65535) << 16 |
                                  (uint32_t)scaled(rgb[i].green, 65535) << 8 |
                                  scaled(rgb[i].blue, 65535);
    }
    free(reply);
  }
  for (size_t i = 0; i < raw.size(); i++) out[i] = colour[raw[i]];
  return out;
}

// Compares with alpha: a 32-bit ARGB visual's alpha comes through.
::testing::AssertionResult matches(const rgba_image &image, int width, int height,
                                   const std::function<uint32_t(int, int)> &argb) {
  if (image.width != width || image.height != height) {
    return ::testing::AssertionFailure() << "image is " << image.width << "x" << image.height
                                         << ", expected " << width << "x" << height;
  }
  int bad = 0;
  std::string report;
  for (int y = 0; y < height; y++) {
    for (int x = 0; x < width; x++) {
      const uint8_t *p = &image.pixels[((size_t)y * width + x) * 4];
      uint32_t got = (uint32_t)p[3] << 24 | (uint32_t)p[0] << 16 | (uint32_t)p[1] << 8 | p[2];
      uint32_t want = argb(x, y);
      if (got == want) continue;
      if (bad++ < 5) {
        char line[96];
        snprintf(line, sizeof line, "\n  (%d,%d): argb %08x, expected %08x", x, y, got, want);
        report += line;
      }
    }
  }
  if (bad == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << bad << " pixels differ" << report;
}

// Whether this process has the library's shared segment mapped.
bool segment_mapped() {
  FILE *maps = fopen("/proc/self/maps", "r");
  if (!maps) return false;
  char line[512];
  bool found = false;
  while (fgets(line, sizeof line, maps)) {
    if (strstr(line, "/SYSV")) found = true;
  }
  fclose(maps);
  return found;
}

bool server_has_shm() {
  const xcb_query_extension_reply_t *shm = xcb_get_extension_data(rig_conn(), &xcb_shm_id);
  return shm && shm->present;
}

bool s_captured;  // the library has read an image in this process

void read_png(const std::string &path, rgba_image *image) {
  ASSERT_TRUE(decode_png_file(path, image)) << path;
  unlink(path.c_str());
}

// Fills the writable cells of a colormap with colours that are not multiples
// of 257, so the 16- to 8-bit scaling shows.
void store_random_cells(xcb_colormap_t colormap, const std::vector<uint32_t> &cells,
                        uint32_t seed) {
  std::vector<xcb_coloritem_t> items;
  for (size_t i = 0; i < cells.size(); i++) {
    uint32_t h = hash32((int)i, 3, seed);
    uint32_t g = hash32((int)i, 4, seed);
    xcb_coloritem_t item = {cells[i],
                            (uint16_t)h,
                            (uint16_t)(h >> 16),
                            (uint16_t)g,
                            XCB_COLOR_FLAG_RED | XCB_COLOR_FLAG_GREEN | XCB_COLOR_FLAG_BLUE,
                            0};
    items.push_back(item);
  }
  xcb_connection_t *c = rig_conn();
  xcb_generic_error_t *error = xcb_request_check(
      c, xcb_store_colors_checked(c, colormap, (uint32_t)items.size(), items.data()));
  EXPECT_EQ(error, nullptr) << "StoreColors: error " << (error ? error->error_code : 0);
  free(error);
}

// A colormap of its own for a window of this visual: every cell writable
// (and filled) where the class allows it.
xcb_colormap_t make_colormap(const visual_desc &v, uint32_t seed) {
  xcb_connection_t *c = rig_conn();
  xcb_colormap_t colormap = xcb_generate_id(c);
  bool writable = v.visual_class == XCB_VISUAL_CLASS_PSEUDO_COLOR ||
                  v.visual_class == XCB_VISUAL_CLASS_GRAY_SCALE ||
                  v.visual_class == XCB_VISUAL_CLASS_DIRECT_COLOR;
  xcb_create_colormap(c, writable ? XCB_COLORMAP_ALLOC_ALL : XCB_COLORMAP_ALLOC_NONE, colormap,
                      rig_screen()->root, v.id);
  if (writable) {
    // DirectColor: pixel i names cell i of each channel.
    std::vector<uint32_t> cells;
    bool direct = v.visual_class == XCB_VISUAL_CLASS_DIRECT_COLOR;
    int rs = direct ? __builtin_ctz(v.red_mask) : 0, gs = direct ? __builtin_ctz(v.green_mask) : 0,
        bs = direct ? __builtin_ctz(v.blue_mask) : 0;
    for (uint32_t i = 0; i < v.colormap_entries; i++) {
      if (!direct) {
        cells.push_back(i);
        continue;
      }
      uint32_t r = i <= v.red_mask >> rs ? i : v.red_mask >> rs;
      uint32_t g = i <= v.green_mask >> gs ? i : v.green_mask >> gs;
      uint32_t b = i <= v.blue_mask >> bs ? i : v.blue_mask >> bs;
      cells.push_back(r << rs | g << gs | b << bs);
    }
    store_random_cells(colormap, cells, seed);
  }
  rig_sync();
  return colormap;
}

void check_server_is_the_one_asked_for() {
  const char *root = getenv("VS_DEPTHS_ROOT");
  if (root && *root) {
    ASSERT_EQ(rig_screen()->root_depth, atoi(root)) << "the server's root depth";
  }
  const char *root_class = getenv("VS_DEPTHS_ROOT_CLASS");
  if (root_class && *root_class) {
    ASSERT_EQ(root_visual().visual_class, atoi(root_class)) << "the root visual's class";
  }
  const char *window = getenv("VS_DEPTHS_WINDOW");
  if (window && *window) {
    bool found = false;
    for (const visual_desc &v : distinct_visuals()) {
      found = found || (v.depth == atoi(window) && v.visual_class == XCB_VISUAL_CLASS_TRUE_COLOR);
    }
    ASSERT_TRUE(found) << "no TrueColor visual of depth " << window << " for a window";
  }
}

TEST(X11Depths, RootThroughEveryExport) {
  REQUIRE_RIG();
  check_server_is_the_one_asked_for();
  if (HasFatalFailure()) return;
  visual_desc v = root_visual();
  printf("root: %s\n", describe(v).c_str());
  SCOPED_TRACE("root: " + describe(v));
  xcb_connection_t *c = rig_conn();
  int width = root_width(), height = root_height();

  // On a colormapped root, as many cells of the default colormap as the
  // server lends get colours of our own.
  xcb_colormap_t colormap = rig_screen()->default_colormap;
  if (v.visual_class == XCB_VISUAL_CLASS_PSEUDO_COLOR ||
      v.visual_class == XCB_VISUAL_CLASS_GRAY_SCALE) {
    for (uint16_t want = (uint16_t)v.colormap_entries; want > 0; want /= 2) {
      xcb_alloc_color_cells_reply_t *cells =
          xcb_alloc_color_cells_reply(c, xcb_alloc_color_cells(c, 0, colormap, want, 0), nullptr);
      if (!cells) continue;
      uint32_t *p = xcb_alloc_color_cells_pixels(cells);
      store_random_cells(
          colormap, std::vector<uint32_t>(p, p + xcb_alloc_color_cells_pixels_length(cells)), 11);
      free(cells);
      break;
    }
  }
  std::vector<uint32_t> raw = raw_picture(v, width, height, 21);
  put_raw(rig_screen()->root, v.depth, width, height, raw);
  std::vector<uint32_t> argb = expected_argb(v, colormap, raw);
  auto root_at = [&](int x0, int y0) {
    return [&, x0, y0](int x, int y) -> uint32_t {
      int rx = x0 + x, ry = y0 + y;
      if (rx < 0 || ry < 0 || rx >= width || ry >= height) return 0xff000000u;
      return argb[(size_t)ry * width + rx];
    };
  };

  // First by plain get-image (an odd width: rows padded), then through the
  // shared segment.
  bool first = !s_captured;
  for (int round = 0; round < 2; round++) {
    SCOPED_TRACE(round == 0 ? "first read-back" : "second read-back");
    uint8_t *png = nullptr;
    int length = 0;
    ASSERT_EQ(screenshot_capture_region_mem(3, 5, 101, 37, &png, &length), 0)
        << screenshot_last_error();
    s_captured = true;
    rgba_image image;
    ASSERT_TRUE(decode_png_memory(png, length, &image));
    screenshot_free_mem(png);
    EXPECT_TRUE(matches(image, 101, 37, root_at(3, 5)));
    if (first && server_has_shm()) {
      EXPECT_EQ(segment_mapped(), round == 1) << "plain get-image first, then the segment";
    }
  }

  rgba_image image;
  std::string path = temp_png("depths-all");
  ASSERT_EQ(screenshot_capture_all_png(path.c_str()), 0) << screenshot_last_error();
  read_png(path, &image);
  EXPECT_TRUE(matches(image, width, height, root_at(0, 0))) << "capture_all";

  // The root by id takes the window path.
  path = temp_png("depths-root");
  ASSERT_EQ(screenshot_capture_window_png((void *)(uintptr_t)rig_screen()->root, path.c_str()), 0)
      << screenshot_last_error();
  read_png(path, &image);
  EXPECT_TRUE(matches(image, width, height, root_at(0, 0))) << "capture_window of the root";

  path = temp_png("depths-region");
  ASSERT_EQ(screenshot_capture_region_png(width - 99, height - 53, 97, 50, path.c_str()), 0)
      << screenshot_last_error();
  read_png(path, &image);
  EXPECT_TRUE(matches(image, 97, 50, root_at(width - 99, height - 53))) << "capture_region";

  const char *json = screenshot_list_monitors_json();
  ASSERT_NE(json, nullptr) << screenshot_last_error();
  std::string listing = json;
  int index = 0;
  for (size_t at = listing.find("\"x\":"); at != std::string::npos;
       at = listing.find("\"x\":", at + 1), index++) {
    int x = 0, y = 0, w = 0, h = 0;
    ASSERT_EQ(sscanf(listing.c_str() + at, "\"x\":%d,\"y\":%d,\"width\":%d,\"height\":%d", &x, &y,
                     &w, &h),
              4)
        << listing;
    path = temp_png("depths-monitor");
    ASSERT_EQ(screenshot_capture_monitor_png(index, path.c_str()), 0) << screenshot_last_error();
    read_png(path, &image);
    EXPECT_TRUE(matches(image, w, h, root_at(x, y))) << "capture_monitor " << index;
  }
  EXPECT_GT(index, 0) << listing;
}

// One kind of visual a test, each in a fresh process under ctest (so that
// each is read by plain get-image first): the slots beyond the server's
// kinds skip.
class X11DepthsWindow : public ::testing::TestWithParam<int> {};

TEST_P(X11DepthsWindow, CapturedById) {
  REQUIRE_RIG();
  std::vector<visual_desc> visuals = distinct_visuals();
  if ((size_t)GetParam() >= visuals.size()) {
    GTEST_SKIP() << "the server offers " << visuals.size() << " kinds of visual";
  }
  visual_desc v = visuals[(size_t)GetParam()];
  printf("window: %s\n", describe(v).c_str());
  SCOPED_TRACE("window: " + describe(v) + " on a root of depth " +
               std::to_string(rig_screen()->root_depth));
  xcb_connection_t *c = rig_conn();
  const int width = 97, height = 61;
  xcb_colormap_t colormap = make_colormap(v, 31 + (uint32_t)GetParam());
  xcb_window_t window = xcb_generate_id(c);
  uint32_t values[] = {XCB_BACK_PIXMAP_NONE, 0, 1, colormap};
  xcb_generic_error_t *error = xcb_request_check(
      c, xcb_create_window_checked(
             c, v.depth, window, rig_screen()->root, 40, 30, width, height, 0,
             XCB_WINDOW_CLASS_INPUT_OUTPUT, v.id,
             XCB_CW_BACK_PIXMAP | XCB_CW_BORDER_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_COLORMAP,
             values));
  ASSERT_EQ(error, nullptr) << "CreateWindow: error " << (error ? error->error_code : 0);
  xcb_map_window(c, window);
  rig_sync();
  std::vector<uint32_t> raw = raw_picture(v, width, height, 41 + (uint32_t)GetParam());
  put_raw(window, v.depth, width, height, raw);

  auto capture = [&](const char *what, const std::vector<uint32_t> &argb) {
    std::string path = temp_png("depths-window");
    ASSERT_EQ(screenshot_capture_window_png((void *)(uintptr_t)window, path.c_str()), 0)
        << what << ": " << screenshot_last_error();
    rgba_image image;
    read_png(path, &image);
    EXPECT_TRUE(matches(image, width, height, [&](int x, int y) {
      return argb[(size_t)y * width + x];
    })) << what;
  };
  std::vector<uint32_t> argb = expected_argb(v, colormap, raw);
  capture("first read-back", argb);
  capture("second read-back", argb);

  // New colours in the cells show in the next capture: nothing is kept from
  // the last one.
  if (v.visual_class == XCB_VISUAL_CLASS_PSEUDO_COLOR ||
      v.visual_class == XCB_VISUAL_CLASS_GRAY_SCALE ||
      v.visual_class == XCB_VISUAL_CLASS_DIRECT_COLOR) {
    xcb_free_colormap(c, colormap);
    xcb_colormap_t changed = make_colormap(v, 77 + (uint32_t)GetParam());
    uint32_t value = changed;
    xcb_change_window_attributes(c, window, XCB_CW_COLORMAP, &value);
    rig_sync();
    colormap = changed;
    std::vector<uint32_t> now = expected_argb(v, colormap, raw);
    ASSERT_NE(now, argb) << "the new cells should differ from the old";
    capture("after the colormap changed", now);
  }
  xcb_destroy_window(c, window);
  xcb_free_colormap(c, colormap);
  rig_sync();
}

INSTANTIATE_TEST_SUITE_P(Visuals, X11DepthsWindow, ::testing::Range(0, 8));

}  // namespace
