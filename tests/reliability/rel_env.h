// The screen that the reliability tests capture from: either the scripted
// display layer laid out like the rig, or the rig itself (Xorg dummy, through
// the shipped library). A test sees the same thing on both: monitors side by
// side, a known colour at every pixel, windows with known content. So one
// source runs on both, built once per layer.
#ifndef VS_REL_ENV_H
#define VS_REL_ENV_H

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

struct rel_rect {
  int x, y, width, height;
};

struct rel_window {
  void *handle;
  rel_rect rect;                          // outer rectangle on the screen
  std::function<uint32_t(int, int)> rgb;  // 0xRRGGBB in the window's own coordinates
};

struct rel_env {
  bool is_rig;
  std::vector<rel_rect> monitors;  // in the order of the JSON listing
  rel_rect bounds;                 // their bounding box
  std::vector<rel_window> windows;
  std::function<uint32_t(int, int)> screen_rgb;  // 0xRRGGBB at a point of the bounds
  std::string monitor_json;                      // the listing while nothing changes
  unsigned long bad_window_error;  // last-error code for a handle that names no window
  void *gone_window;           // a window that existed and was destroyed; NULL where there is none
  void *non_window;            // the id of something that is not a window; NULL where there is none
  std::function<void()> trim;  // drops the layer's bookkeeping between calls, if it keeps any
};

// Lays the screen out once per process. NULL, with the reason, when the rig
// is wanted and not there.
const rel_env *rel_env_open(std::string *why);

// Skips the test without the rig, or fails it when VS_X11_REQUIRED is set
// (the stages that start a rig set it). Not for use inside worker threads.
#define REL_ENV_OR_SKIP(env)                         \
  do {                                               \
    std::string why_;                                \
    (env) = rel_env_open(&why_);                     \
    if (!(env)) {                                    \
      if (getenv("VS_X11_REQUIRED")) FAIL() << why_; \
      GTEST_SKIP() << why_;                          \
    }                                                \
  } while (0)

// ---------------------------------------------------------------------------
// Helpers shared by the tests

struct rel_image {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgba;
};

// The screen's content on both layers: a colour for each 8x8 block.
uint32_t rel_block_rgb(int x, int y);

bool rel_decode(const uint8_t *png, size_t len, rel_image *image);
bool rel_decode_file(const std::string &path, rel_image *image);

// "" when every pixel is opaque and equals expected(column, row); else where
// and how the first pixel differs.
std::string rel_compare(const rel_image &image, int width, int height,
                        const std::function<uint32_t(int, int)> &expected);

// The part of the screen's pattern that a region at (x, y) shows.
std::function<uint32_t(int, int)> rel_region_rgb(const rel_env *env, int x, int y);

// The request cut to the bounds as the library cuts it; false when nothing is
// left or the size is not positive.
bool rel_clamp(const rel_env *env, rel_rect request, rel_rect *out);

// What set_error would leave for this format: cut to 511 bytes.
std::string rel_message(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string rel_outside_message(const rel_env *env, rel_rect request);
// The message a region request gets, or "" when it is capturable.
std::string rel_region_message(const rel_env *env, rel_rect request);
std::string rel_write_failed(int width, int height, const std::string &path, const char *reason);

// A fresh directory of the test's own, removed with its contents.
struct rel_temp_dir {
  std::string path;
  rel_temp_dir();
  ~rel_temp_dir();
  std::string file(const std::string &name) const { return path + "/" + name; }
  std::vector<std::string> entries() const;
};

#endif
