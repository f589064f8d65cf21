// The rig as the reliability tests see it: the monitors that the library
// lists (the rig tests check that listing against xrandr), the root window
// covered with known blocks of colour, two windows with patterns of their own (one
// with a border), a destroyed window and a pixmap.
#include <stdlib.h>

#include <mutex>
#include <nlohmann/json.hpp>

#include "rel_env.h"
#include "rig_support.h"
#include "vantorel_screenshot.h"

// The root shows rel_block_rgb: a colour for every 8x8 block, which still
// shows any offset or swapped channel at the block edges, yet compresses, so
// that a whole monitor takes milliseconds to encode rather than a third of a
// second. The dummy server takes 32-bit pixels least significant byte first.
static void draw_root_blocks() {
  xcb_connection_t *c = rig_conn();
  xcb_screen_t *screen = rig_screen();
  int width = root_width(), height = root_height();
  xcb_gcontext_t gc = xcb_generate_id(c);
  uint32_t no_exposures = 0;
  xcb_create_gc(c, gc, screen->root, XCB_GC_GRAPHICS_EXPOSURES, &no_exposures);
  uint32_t room = xcb_get_maximum_request_length(c) * 4u - 64;
  int rows = (int)(room / ((uint32_t)width * 4u));
  if (rows > 64) rows = 64;
  if (rows < 1) rows = 1;
  std::vector<uint8_t> strip((size_t)width * 4 * (size_t)rows);
  for (int y0 = 0; y0 < height; y0 += rows) {
    int n = height - y0 < rows ? height - y0 : rows;
    for (int j = 0; j < n; j++) {
      for (int i = 0; i < width; i++) {
        uint32_t rgb = rel_block_rgb(i, y0 + j);
        uint8_t *p = &strip[((size_t)j * (size_t)width + (size_t)i) * 4];
        p[0] = (uint8_t)rgb;
        p[1] = (uint8_t)(rgb >> 8);
        p[2] = (uint8_t)(rgb >> 16);
        p[3] = 0;
      }
    }
    xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, screen->root, gc, (uint16_t)width, (uint16_t)n, 0,
                  (int16_t)y0, 0, screen->root_depth, (uint32_t)((size_t)width * 4 * (size_t)n),
                  strip.data());
  }
  xcb_free_gc(c, gc);
  rig_sync();
}

static bool set_up(rel_env *env, std::string *why) {
  if (!rig_available(why)) return false;
  env->is_rig = true;

  const char *json = screenshot_list_monitors_json();
  if (!json) {
    *why = std::string("no monitor listing: ") + screenshot_last_error();
    return false;
  }
  env->monitor_json = json;
  nlohmann::json list = nlohmann::json::parse(json, nullptr, false);
  if (!list.is_array() || list.empty()) {
    *why = "the monitor listing is no array: " + env->monitor_json;
    return false;
  }
  int64_t left = INT32_MAX, top = INT32_MAX, right = INT32_MIN, bottom = INT32_MIN;
  for (const nlohmann::json &m : list) {
    rel_rect r{m["x"].get<int>(), m["y"].get<int>(), m["width"].get<int>(), m["height"].get<int>()};
    env->monitors.push_back(r);
    if (r.x < left) left = r.x;
    if (r.y < top) top = r.y;
    if ((int64_t)r.x + r.width > right) right = (int64_t)r.x + r.width;
    if ((int64_t)r.y + r.height > bottom) bottom = (int64_t)r.y + r.height;
  }
  env->bounds = rel_rect{(int)left, (int)top, (int)(right - left), (int)(bottom - top)};

  // Destroyed before the pattern is drawn: the root repaints the hole with
  // its background.
  const rel_rect &b = env->bounds;
  test_window gone = make_window(b.x + b.width / 2, b.y + b.height / 2, 40, 30, 0, 23);
  destroy_window(gone);
  env->gone_window = (void *)(uintptr_t)gone.id;

  draw_root_blocks();
  // Placed by the screen's size: the stage also runs on a smaller layout.
  test_window plain = make_window(b.x + b.width / 12, b.y + b.height / 8, 200, 150, 0, 21);
  test_window framed =
      make_window(b.x + b.width * 2 / 3, b.y + b.height * 3 / 8, 160, 120, 3, 22, 0x5a3c1e);
  for (const test_window &w : {plain, framed}) {
    int e = w.border;
    rel_rect outer{w.x, w.y, w.width + 2 * e, w.height + 2 * e};
    auto rgb = [w, e](int i, int j) -> uint32_t {
      if (i < e || j < e || i >= w.width + e || j >= w.height + e) return w.border_rgb;
      return pattern_rgb(i - e, j - e, w.seed);
    };
    env->windows.push_back({(void *)(uintptr_t)w.id, outer, rgb});
  }
  // A monitor may reach beyond the root window; there the copy reads black.
  std::vector<rel_window> windows = env->windows;
  int root_w = root_width(), root_h = root_height();
  env->screen_rgb = [windows, root_w, root_h](int x, int y) -> uint32_t {
    if (x < 0 || y < 0 || x >= root_w || y >= root_h) return 0;
    for (const rel_window &w : windows) {
      const rel_rect &r = w.rect;
      if (x >= r.x && y >= r.y && x < r.x + r.width && y < r.y + r.height)
        return w.rgb(x - r.x, y - r.y);
    }
    return rel_block_rgb(x, y);
  };

  xcb_pixmap_t pixmap = xcb_generate_id(rig_conn());
  xcb_create_pixmap(rig_conn(), rig_screen()->root_depth, pixmap, rig_screen()->root, 16, 16);
  rig_sync();
  env->non_window = (void *)(uintptr_t)pixmap;
  env->bad_window_error = 3;  // BadWindow
  env->trim = [] {};
  return true;
}

const rel_env *rel_env_open(std::string *why) {
  static std::once_flag once;
  static rel_env env;
  static bool ready;
  static std::string reason;
  std::call_once(once, [] { ready = set_up(&env, &reason); });
  if (!ready) {
    *why = reason;
    return nullptr;
  }
  return &env;
}
