// A short run of every kind of call on the rig, for valgrind's memcheck: 20
// regions to memory, 5 to files, each monitor, the whole screen, the monitor
// listing, both windows, and the failures in between. Exits 0 when every call
// did what it should, 1 when one did not, 77 (skipped) without a rig unless
// VS_X11_REQUIRED is set.
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "rel_env.h"
#include "vantorel_screenshot.h"

static int s_failures;

static void expect(bool ok, const std::string &what) {
  if (ok) return;
  s_failures++;
  fprintf(stderr, "capture loop: %s (last error: %s)\n", what.c_str(), screenshot_last_error());
}

static void expect_file(const std::string &path, int width, int height,
                        const std::function<uint32_t(int, int)> &rgb, const std::string &what) {
  rel_image image;
  bool decoded = rel_decode_file(path, &image);
  expect(decoded, what + ": the file does not decode");
  if (decoded) {
    std::string diff = rel_compare(image, width, height, rgb);
    expect(diff.empty(), what + ": " + diff);
  }
}

int main() {
  std::string why;
  const rel_env *env = rel_env_open(&why);
  if (!env) {
    fprintf(stderr, "capture loop: %s\n", why.c_str());
    return getenv("VS_X11_REQUIRED") ? 1 : 77;
  }
  rel_temp_dir dir;
  std::string path = dir.file("loop.png");

  for (int i = 0; i < 20; i++) {
    // Across the screen's edges too, where part of the copy is cut away.
    rel_rect r{-8 + (i * 117) % 2300, -4 + (i * 43) % 790, 16 + i * 23, 9 + i * 17};
    rel_rect shown;
    rel_clamp(env, r, &shown);
    uint8_t *png = nullptr;
    int len = 0;
    std::string what = "region to memory " + std::to_string(i);
    if (screenshot_capture_region_mem(r.x, r.y, r.width, r.height, &png, &len) != 0) {
      expect(false, what);
      continue;
    }
    rel_image image;
    expect(rel_decode(png, (size_t)len, &image), what + ": does not decode");
    std::string diff =
        rel_compare(image, shown.width, shown.height, rel_region_rgb(env, shown.x, shown.y));
    expect(diff.empty(), what + ": " + diff);
    screenshot_free_mem(png);
  }

  for (int i = 0; i < 5; i++) {
    rel_rect r{300 * i + 5, 90 * i, 100 + 40 * i, 60 + 30 * i};
    std::string what = "region to file " + std::to_string(i);
    expect(screenshot_capture_region_png(r.x, r.y, r.width, r.height, path.c_str()) == 0, what);
    expect_file(path, r.width, r.height, rel_region_rgb(env, r.x, r.y), what);
  }

  for (size_t i = 0; i < env->monitors.size(); i++) {
    const rel_rect &m = env->monitors[i];
    std::string what = "monitor " + std::to_string(i);
    expect(screenshot_capture_monitor_png((int)i, path.c_str()) == 0, what);
    expect_file(path, m.width, m.height, rel_region_rgb(env, m.x, m.y), what);
  }
  const rel_rect &b = env->bounds;
  expect(screenshot_capture_all_png(path.c_str()) == 0, "whole screen");
  expect_file(path, b.width, b.height, rel_region_rgb(env, b.x, b.y), "whole screen");

  const char *json = screenshot_list_monitors_json();
  expect(json && env->monitor_json == json, "monitor listing");

  for (const rel_window &w : env->windows) {
    expect(screenshot_capture_window_png(w.handle, path.c_str()) == 0, "window");
    expect_file(path, w.rect.width, w.rect.height, w.rgb, "window");
  }

  // Failures release what they took as well as successes do.
  uint8_t *png = nullptr;
  int len = 0;
  expect(screenshot_capture_region_mem(INT_MIN, INT_MIN, 5, 5, &png, &len) == -1, "outside");
  expect(screenshot_capture_region_png(0, 0, 64, 64, "/dev/full") == -1, "/dev/full");
  expect(screenshot_capture_region_png(0, 0, 64, 64, dir.file("none/x.png").c_str()) == -1,
         "missing directory");
  expect(screenshot_capture_monitor_png(INT_MAX, path.c_str()) == -1, "monitor index");
  expect(screenshot_capture_window_png(env->gone_window, path.c_str()) == -1, "destroyed window");
  expect(screenshot_capture_window_png(env->non_window, path.c_str()) == -1, "pixmap");
  expect(screenshot_capture_window_png(env->windows[0].handle, "/dev/full") == -1,
         "window to /dev/full");
  screenshot_free_mem(nullptr);

  printf("capture loop: %s\n", s_failures ? "FAILED" : "every call as expected");
  return s_failures ? 1 : 0;
}
