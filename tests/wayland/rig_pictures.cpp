#include "rig_pictures.h"

#include <stb/stb_image.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <climits>
#include <fstream>
#include <sstream>

static std::string rig_dir() {
  const char *dir = getenv("RIG_DIR");
  return dir ? dir : "";
}

bool sway_rig_available(std::string *why) {
  std::string dir = rig_dir();
  if (dir.empty()) {
    *why = "no sway rig: start one with eval \"$(rig/sway-start.sh)\"";
    return false;
  }
  if (!std::ifstream(dir + "/outputs")) {
    *why = "RIG_DIR " + dir + " is not a sway rig (no outputs list)";
    return false;
  }
  if (!getenv("WAYLAND_DISPLAY") || !getenv("XDG_RUNTIME_DIR")) {
    *why = "WAYLAND_DISPLAY or XDG_RUNTIME_DIR is not set";
    return false;
  }
  return true;
}

static bool load_picture(sway_rig_output *o, std::string *why) {
  int w = 0, h = 0, n = 0;
  uint8_t *data = stbi_load(o->picture.c_str(), &w, &h, &n, 3);
  if (!data) {
    *why = "cannot decode " + o->picture;
    return false;
  }
  o->rgb.assign(data, data + (size_t)w * h * 3);
  stbi_image_free(data);
  if (w != o->width * o->scale || h != o->height * o->scale) {
    *why = o->picture + " does not fit output " + o->name;
    return false;
  }
  o->buffer_width = w;
  o->buffer_height = h;
  return true;
}

bool load_sway_rig_screen(sway_rig_screen *screen, std::string *why) {
  *screen = sway_rig_screen();
  std::string path = rig_dir() + "/outputs";
  std::ifstream in(path);
  if (!in) {
    *why = "cannot read " + path;
    return false;
  }
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    std::istringstream fields(line);
    sway_rig_output o;
    if (!(fields >> o.name >> o.x >> o.y >> o.width >> o.height >> o.scale >> o.transform >>
          o.picture) ||
        o.width <= 0 || o.height <= 0 || o.scale <= 0) {
      *why = "odd line in " + path + ": " + line;
      return false;
    }
    if (!load_picture(&o, why)) return false;
    screen->outputs.push_back(std::move(o));
  }
  if (screen->outputs.empty()) {
    *why = path + " lists no output";
    return false;
  }
  int x0 = INT_MAX, y0 = INT_MAX, x1 = INT_MIN, y1 = INT_MIN;
  for (const sway_rig_output &o : screen->outputs) {
    x0 = std::min(x0, o.x);
    y0 = std::min(y0, o.y);
    x1 = std::max(x1, o.x + o.width);
    y1 = std::max(y1, o.y + o.height);
  }
  screen->x = x0;
  screen->y = y0;
  screen->width = x1 - x0;
  screen->height = y1 - y0;
  return true;
}

bool sway_rig_layout(const std::string &rig_scripts, const std::string &args,
                     sway_rig_screen *screen, std::string *why) {
  std::string command = rig_scripts + "/sway-layout.sh " + args + " 2>&1";
  std::string out;
  FILE *p = popen(command.c_str(), "r");
  if (!p) {
    *why = "cannot run " + command;
    return false;
  }
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
  int status = pclose(p);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    *why = command + " failed: " + out;
    return false;
  }
  return load_sway_rig_screen(screen, why);
}

const sway_rig_output *sway_rig_find(const sway_rig_screen &screen, const std::string &name) {
  for (const sway_rig_output &o : screen.outputs) {
    if (o.name == name) return &o;
  }
  return nullptr;
}

const sway_rig_output *sway_rig_output_at(const sway_rig_screen &screen, int x, int y) {
  for (const sway_rig_output &o : screen.outputs) {
    if (x >= o.x && y >= o.y && x < o.x + o.width && y < o.y + o.height) return &o;
  }
  return nullptr;
}

static uint32_t buffer_rgb(const sway_rig_output &o, int bx, int by) {
  const uint8_t *p = &o.rgb[((size_t)by * o.buffer_width + bx) * 3];
  return (uint32_t)p[0] << 16 | (uint32_t)p[1] << 8 | p[2];
}

uint32_t sway_rig_rgb(const sway_rig_screen &screen, int x, int y) {
  const sway_rig_output *o = sway_rig_output_at(screen, x, y);
  if (!o) return 0;
  return buffer_rgb(*o, (x - o->x) * o->scale, (y - o->y) * o->scale);
}

std::function<uint32_t(int, int)> sway_rig_region(const sway_rig_screen &screen, int x, int y) {
  return [&screen, x, y](int column, int row) { return sway_rig_rgb(screen, x + column, y + row); };
}

std::function<uint32_t(int, int)> sway_rig_output_buffer(const sway_rig_output &output) {
  return [&output](int column, int row) -> uint32_t {
    if (column < 0 || row < 0 || column >= output.buffer_width || row >= output.buffer_height) {
      return 0;
    }
    return buffer_rgb(output, column, row);
  };
}
