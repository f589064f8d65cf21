// The scripted display layer as the tests' screen: a 640x360 monitor left of
// the origin and a 640x400 primary one at it, small enough for the sanitizer
// builds, the framebuffer covering their bounding box in blocks of colour,
// and two windows: one that prints itself with flag 2, one that manages only
// with flag 0.
#include <mutex>

#include "rel_env.h"
#include "scripted_display.h"
#include "vantorel_screenshot.h"

static sd_pixel pixel_of(uint32_t rgb) {
  // The fourth byte stays 0, as GDI leaves it; the library makes it opaque.
  return sd_pixel{(uint8_t)rgb, (uint8_t)(rgb >> 8), (uint8_t)(rgb >> 16), 0};
}

static void set_up(rel_env *env) {
  sd_reset();
  sd_add_monitor(-640, 0, 0, 360, "\\\\.\\DISPLAY2", 0);
  sd_add_monitor(0, 0, 640, 400, "\\\\.\\DISPLAY1", 1);
  env->is_rig = false;
  env->monitors = {{-640, 0, 640, 360}, {0, 0, 640, 400}};
  env->bounds = rel_rect{-640, 0, 1280, 400};

  sd_set_screen(-640, 0, 1280, 400, pixel_of(0));
  for (int y = 0; y < 400; y += 8) {
    for (int x = -640; x < 640; x += 8)
      sd_fill_screen_rect(x, y, 8, 8, pixel_of(rel_block_rgb(x, y)));
  }
  env->screen_rgb = rel_block_rgb;

  const uint32_t first = 0x3a7bd5, second = 0xc0ffee;
  HWND a = sd_add_window(-500, 40, -300, 190);
  sd_window_print(a, 2, 1, pixel_of(first), 0);
  HWND b = sd_add_window(200, 150, 360, 270);
  sd_window_print(b, 2, 0, pixel_of(0), 1400);
  sd_window_print(b, 0, 1, pixel_of(second), 0);
  env->windows = {
      {(void *)a, {-500, 40, 200, 150}, [first](int, int) { return first; }},
      {(void *)b, {200, 150, 160, 120}, [second](int, int) { return second; }},
  };

  const char *json = screenshot_list_monitors_json();
  env->monitor_json = json ? json : "";
  env->bad_window_error = 1400;  // ERROR_INVALID_WINDOW_HANDLE
  env->gone_window = nullptr;
  env->non_window = nullptr;
  env->trim = [] { sd_clear_journal(); };
}

const rel_env *rel_env_open(std::string *why) {
  static std::once_flag once;
  static rel_env env;
  std::call_once(once, [] { set_up(&env); });
  if (env.monitor_json.empty()) {
    *why = "the scripted layer gave no monitor listing";
    return nullptr;
  }
  return &env;
}
