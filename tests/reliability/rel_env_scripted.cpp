// The scripted display layer laid out like the rig: a 1024x768 monitor at the
// origin and a 1280x800 primary one right of it, the framebuffer covering
// their bounding box in 8x8 blocks of distinct colours, and two windows: one
// that prints itself with flag 2, one that only manages with flag 0.
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
  sd_add_monitor(0, 0, 1024, 768, "\\\\.\\DISPLAY2", 0);
  sd_add_monitor(1024, 0, 2304, 800, "\\\\.\\DISPLAY1", 1);
  env->is_rig = false;
  env->monitors = {{0, 0, 1024, 768}, {1024, 0, 1280, 800}};
  env->bounds = rel_rect{0, 0, 2304, 800};

  sd_set_screen(0, 0, 2304, 800, pixel_of(0));
  for (int y = 0; y < 800; y += 8) {
    for (int x = 0; x < 2304; x += 8)
      sd_fill_screen_rect(x, y, 8, 8, pixel_of(rel_block_rgb(x, y)));
  }
  env->screen_rgb = rel_block_rgb;

  const uint32_t first = 0x3a7bd5, second = 0xc0ffee;
  HWND a = sd_add_window(100, 100, 300, 250);
  sd_window_print(a, 2, 1, pixel_of(first), 0);
  HWND b = sd_add_window(1500, 300, 1660, 420);
  sd_window_print(b, 2, 0, pixel_of(0), 1400);
  sd_window_print(b, 0, 1, pixel_of(second), 0);
  env->windows = {
      {(void *)a, {100, 100, 200, 150}, [first](int, int) { return first; }},
      {(void *)b, {1500, 300, 160, 120}, [second](int, int) { return second; }},
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
