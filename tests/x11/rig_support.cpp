#include "rig_support.h"

#include <pthread.h>
#include <signal.h>
#include <stb/stb_image.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

static xcb_connection_t *s_conn;
static xcb_screen_t *s_screen;

static bool open_rig(std::string *why) {
  if (s_conn) return true;
  if (!getenv("RIG_DIR")) {
    *why = "no rig: start one with eval \"$(rig/start.sh)\"";
    return false;
  }
  if (!getenv("DISPLAY")) {
    *why = "DISPLAY is not set";
    return false;
  }
  int screen = 0;
  xcb_connection_t *c = xcb_connect(NULL, &screen);
  if (xcb_connection_has_error(c)) {
    xcb_disconnect(c);
    *why = std::string("cannot reach the X server at ") + getenv("DISPLAY");
    return false;
  }
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; i < screen; i++) xcb_screen_next(&it);
  s_conn = c;
  s_screen = it.data;
  return true;
}

bool rig_available(std::string *why) { return open_rig(why); }

xcb_connection_t *rig_conn() { return s_conn; }
xcb_screen_t *rig_screen() { return s_screen; }

void rig_sync() { free(xcb_get_input_focus_reply(s_conn, xcb_get_input_focus(s_conn), NULL)); }

static xcb_get_geometry_reply_t *root_geometry() {
  return xcb_get_geometry_reply(s_conn, xcb_get_geometry(s_conn, s_screen->root), NULL);
}

int root_width() {
  xcb_get_geometry_reply_t *g = root_geometry();
  int w = g ? g->width : 0;
  free(g);
  return w;
}

int root_height() {
  xcb_get_geometry_reply_t *g = root_geometry();
  int h = g ? g->height : 0;
  free(g);
  return h;
}

uint32_t pattern_rgb(int x, int y, uint32_t seed) {
  uint32_t h = (uint32_t)x * 0x9e3779b1u ^ (uint32_t)y * 0x85ebca77u ^ seed * 0xc2b2ae3du;
  h ^= h >> 15;
  h *= 0x2c1b3c6du;
  h ^= h >> 12;
  return h & 0xffffffu;
}

// The dummy server on x86 takes 32-bit pixels least significant byte first.
static void put_pattern(xcb_drawable_t drawable, xcb_gcontext_t gc, int width, int height,
                        const std::function<uint32_t(int, int)> &rgb) {
  uint32_t max_bytes = xcb_get_maximum_request_length(s_conn) * 4u;
  int rows = (int)((max_bytes - 64) / ((uint32_t)width * 4u));
  if (rows > 64) rows = 64;
  if (rows < 1) rows = 1;
  std::vector<uint8_t> strip((size_t)width * 4 * rows);
  for (int y0 = 0; y0 < height; y0 += rows) {
    int n = height - y0 < rows ? height - y0 : rows;
    for (int j = 0; j < n; j++) {
      for (int i = 0; i < width; i++) {
        uint32_t c = rgb(i, y0 + j);
        uint8_t *p = &strip[((size_t)j * width + i) * 4];
        p[0] = (uint8_t)c;
        p[1] = (uint8_t)(c >> 8);
        p[2] = (uint8_t)(c >> 16);
        p[3] = 0;
      }
    }
    xcb_put_image(s_conn, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, gc, (uint16_t)width, (uint16_t)n, 0,
                  (int16_t)y0, 0, s_screen->root_depth, (uint32_t)((size_t)width * 4 * n),
                  strip.data());
  }
  rig_sync();
}

void draw_root_pattern(uint32_t seed) {
  xcb_gcontext_t gc = xcb_generate_id(s_conn);
  uint32_t no_exposures = 0;
  xcb_create_gc(s_conn, gc, s_screen->root, XCB_GC_GRAPHICS_EXPOSURES, &no_exposures);
  put_pattern(s_screen->root, gc, root_width(), root_height(),
              [seed](int x, int y) { return pattern_rgb(x, y, seed); });
  xcb_free_gc(s_conn, gc);
  rig_sync();
}

void fill_window(const test_window &w) {
  xcb_gcontext_t gc = xcb_generate_id(s_conn);
  uint32_t no_exposures = 0;
  xcb_create_gc(s_conn, gc, w.id, XCB_GC_GRAPHICS_EXPOSURES, &no_exposures);
  uint32_t seed = w.seed;
  put_pattern(w.id, gc, w.width, w.height,
              [seed](int x, int y) { return pattern_rgb(x, y, seed); });
  xcb_free_gc(s_conn, gc);
  rig_sync();
}

test_window make_window(int x, int y, int width, int height, int border, uint32_t seed,
                        uint32_t border_rgb) {
  test_window w = {xcb_generate_id(s_conn), x, y, width, height, border, seed, border_rgb};
  uint32_t values[] = {XCB_BACK_PIXMAP_NONE, border_rgb, 1};
  xcb_create_window(s_conn, XCB_COPY_FROM_PARENT, w.id, s_screen->root, (int16_t)x, (int16_t)y,
                    (uint16_t)width, (uint16_t)height, (uint16_t)border,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, s_screen->root_visual,
                    XCB_CW_BACK_PIXMAP | XCB_CW_BORDER_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
  xcb_map_window(s_conn, w.id);
  rig_sync();
  fill_window(w);
  return w;
}

void destroy_window(const test_window &w) {
  xcb_destroy_window(s_conn, w.id);
  rig_sync();
}

std::string run_command(const std::string &command, int *status) {
  std::string out;
  FILE *p = popen(command.c_str(), "r");
  if (!p) {
    if (status) *status = -1;
    return out;
  }
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
  int s = pclose(p);
  if (status) *status = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
  return out;
}

static bool take(uint8_t *data, int width, int height, rgba_image *image) {
  if (!data) return false;
  image->width = width;
  image->height = height;
  image->pixels.assign(data, data + (size_t)width * height * 4);
  stbi_image_free(data);
  return true;
}

bool decode_png_file(const std::string &path, rgba_image *image) {
  int w = 0, h = 0, n = 0;
  uint8_t *data = stbi_load(path.c_str(), &w, &h, &n, 4);
  return take(data, w, h, image);
}

bool decode_png_memory(const uint8_t *data, int length, rgba_image *image) {
  int w = 0, h = 0, n = 0;
  uint8_t *pixels = stbi_load_from_memory(data, length, &w, &h, &n, 4);
  return take(pixels, w, h, image);
}

::testing::AssertionResult image_matches(const rgba_image &image, int width, int height,
                                         const std::function<uint32_t(int, int)> &expected) {
  if (image.width != width || image.height != height) {
    return ::testing::AssertionFailure() << "image is " << image.width << "x" << image.height
                                         << ", expected " << width << "x" << height;
  }
  int bad = 0;
  std::string report;
  for (int y = 0; y < height; y++) {
    for (int x = 0; x < width; x++) {
      const uint8_t *p = &image.pixels[((size_t)y * width + x) * 4];
      uint32_t want = expected(x, y);
      uint32_t got = (uint32_t)p[0] << 16 | (uint32_t)p[1] << 8 | p[2];
      if (got == want && p[3] == 255) continue;
      if (bad++ < 5) {
        char line[128];
        snprintf(line, sizeof line, "\n  (%d,%d): rgb %06x alpha %u, expected %06x alpha 255", x, y,
                 got, p[3], want);
        report += line;
      }
    }
  }
  if (bad == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << bad << " pixels differ" << report;
}

std::function<uint32_t(int, int)> root_region(int x, int y, uint32_t seed) {
  int w = root_width(), h = root_height();
  return [=](int i, int j) -> uint32_t {
    int rx = x + i, ry = y + j;
    if (rx < 0 || ry < 0 || rx >= w || ry >= h) return 0;
    return pattern_rgb(rx, ry, seed);
  };
}

std::string temp_png(const std::string &name) {
  const char *dir = getenv("TMPDIR");
  return std::string(dir ? dir : "/tmp") + "/vs-x11-" + std::to_string(getpid()) + "-" + name +
         ".png";
}

bool sigpipe_pending() {
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  return sigismember(&pending, SIGPIPE);
}

bool sigpipe_blocked() {
  sigset_t mask;
  sigemptyset(&mask);
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  return sigismember(&mask, SIGPIPE);
}
