// Helpers of the reliability tests that do not depend on the layer. The
// stb_image implementation comes with the support library of either layer.
#include <dirent.h>
#include <stb/stb_image.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "rel_env.h"

uint32_t rel_block_rgb(int x, int y) {
  uint32_t h = (uint32_t)(x >> 3) * 0x9e3779b1u ^ (uint32_t)(y >> 3) * 0x85ebca77u;
  h ^= h >> 15;
  h *= 0x2c1b3c6du;
  h ^= h >> 13;
  return h & 0xffffffu;
}

bool rel_decode(const uint8_t *png, size_t len, rel_image *image) {
  int w = 0, h = 0, n = 0;
  if (!png || len == 0 || len > 0x7fffffff) return false;
  stbi_uc *pixels = stbi_load_from_memory(png, (int)len, &w, &h, &n, 4);
  if (!pixels) return false;
  image->width = w;
  image->height = h;
  image->rgba.assign(pixels, pixels + (size_t)w * (size_t)h * 4);
  stbi_image_free(pixels);
  return true;
}

bool rel_decode_file(const std::string &path, rel_image *image) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  return rel_decode(bytes.data(), bytes.size(), image);
}

std::string rel_compare(const rel_image &image, int width, int height,
                        const std::function<uint32_t(int, int)> &expected) {
  char text[160];
  if (image.width != width || image.height != height) {
    snprintf(text, sizeof text, "image is %dx%d, expected %dx%d", image.width, image.height, width,
             height);
    return text;
  }
  for (int y = 0; y < height; y++) {
    for (int x = 0; x < width; x++) {
      const uint8_t *p = &image.rgba[((size_t)y * (size_t)width + (size_t)x) * 4];
      uint32_t got = (uint32_t)p[0] << 16 | (uint32_t)p[1] << 8 | p[2];
      uint32_t want = expected(x, y);
      if (got != want || p[3] != 255) {
        snprintf(text, sizeof text, "pixel (%d,%d) of %dx%d is %06x alpha %u, expected %06x", x, y,
                 width, height, got, p[3], want);
        return text;
      }
    }
  }
  return "";
}

std::function<uint32_t(int, int)> rel_region_rgb(const rel_env *env, int x, int y) {
  return [env, x, y](int i, int j) { return env->screen_rgb(x + i, y + j); };
}

bool rel_clamp(const rel_env *env, rel_rect r, rel_rect *out) {
  if (r.width <= 0 || r.height <= 0) return false;
  int64_t left = r.x > env->bounds.x ? r.x : env->bounds.x;
  int64_t top = r.y > env->bounds.y ? r.y : env->bounds.y;
  int64_t right = (int64_t)r.x + r.width;
  int64_t bottom = (int64_t)r.y + r.height;
  int64_t bounds_right = (int64_t)env->bounds.x + env->bounds.width;
  int64_t bounds_bottom = (int64_t)env->bounds.y + env->bounds.height;
  if (right > bounds_right) right = bounds_right;
  if (bottom > bounds_bottom) bottom = bounds_bottom;
  if (left >= right || top >= bottom) return false;
  *out = rel_rect{(int)left, (int)top, (int)(right - left), (int)(bottom - top)};
  return true;
}

std::string rel_message(const char *format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

std::string rel_outside_message(const rel_env *env, rel_rect r) {
  return rel_message("region (%d,%d %dx%d) is outside screen bounds (%d,%d %dx%d)", r.x, r.y,
                     r.width, r.height, env->bounds.x, env->bounds.y, env->bounds.width,
                     env->bounds.height);
}

std::string rel_region_message(const rel_env *env, rel_rect r) {
  if (r.width <= 0 || r.height <= 0)
    return rel_message("invalid region size %dx%d", r.width, r.height);
  rel_rect cut;
  if (!rel_clamp(env, r, &cut)) return rel_outside_message(env, r);
  return "";
}

std::string rel_write_failed(int width, int height, const std::string &path, const char *reason) {
  return rel_message("PNG write failed for %dx%d frame to '%s' (%s)", width, height, path.c_str(),
                     reason);
}

rel_temp_dir::rel_temp_dir() {
  const char *base = getenv("TMPDIR");
  std::string pattern = std::string(base && base[0] ? base : "/tmp") + "/vs-rel.XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (mkdtemp(name.data())) path = name.data();
}

static void remove_tree(const std::string &path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    chmod(path.c_str(), 0700);
    DIR *dir = opendir(path.c_str());
    if (dir) {
      while (struct dirent *e = readdir(dir)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        remove_tree(path + "/" + e->d_name);
      }
      closedir(dir);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

rel_temp_dir::~rel_temp_dir() {
  if (!path.empty()) remove_tree(path);
}

std::vector<std::string> rel_temp_dir::entries() const {
  std::vector<std::string> names;
  DIR *dir = opendir(path.c_str());
  if (!dir) return names;
  while (struct dirent *e = readdir(dir)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  }
  closedir(dir);
  return names;
}
