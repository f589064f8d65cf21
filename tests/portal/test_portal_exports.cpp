// The library's exports on a real portal desktop started by a rig
// (rig/gnome-start.sh, rig/kde-start.sh, rig/portal-wlr-start.sh; their
// assignments in the environment). On GNOME and Plasma nothing forces the
// layer: a compositor without screen copy and a portal on the bus must be
// enough, and the known-picture client paints what the desktop shows. On
// sway the wlroots portal is forced (VANTOREL_SCREENSHOT_BACKEND=portal) and
// the rig's own pictures are the truth. Without a rig the tests skip; with
// VS_PORTAL_REQUIRED set a skip fails.
#include <gtest/gtest.h>
#include <malloc.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "known_pixel.h"
#include "portal_test_support.h"
#include "rig_pictures.h"
#include "rig_support.h"
#include "vantorel_screenshot.h"

namespace {

struct output_box {
  std::string name;
  int x = 0, y = 0, w = 0, h = 0;
};

std::string message() { return screenshot_last_error(); }

bool have_rig() { return getenv("VS_PORTAL_RIG") && getenv("WAYLAND_DISPLAY"); }

bool on_desktop(const char *name) {
  const char *d = getenv("VS_PORTAL_DESKTOP");
  return d && strcmp(d, name) == 0;
}
bool on_gnome() { return on_desktop("gnome"); }
// A desktop whose compositor offers no screen copy of its own: the library
// must find the portal by itself, and the known-picture client is the truth.
bool portal_only_desktop() { return on_gnome() || on_desktop("kde"); }

std::string rig_path(const char *sub) { return std::string(getenv("VS_PORTAL_RIG")) + sub; }

// Every folder a portal may have written a picture into.
std::vector<std::string> pictures_left() {
  std::vector<std::string> left;
  std::vector<std::string> dirs = {rig_path("/home")};
  // /tmp holds the wlroots backend's pictures only: on other desktops a file
  // there is another program's.
  if (on_desktop("wlr")) dirs.push_back("/tmp");
  if (getenv("VS_PORTAL_PICTURES")) dirs.push_back(getenv("VS_PORTAL_PICTURES"));
  for (const std::string &d : dirs) {
    for (const std::string &f : png_files_in(d)) {
      // /tmp is shared: only the wlroots backend's fixed name is ours there.
      if (d != "/tmp" || f == "out.png") left.push_back(d + "/" + f);
    }
  }
  return left;
}
#define EXPECT_NO_PICTURES_LEFT() EXPECT_TRUE(pictures_left().empty()) << pictures_left()[0]

bool set_permission(const char *value) {
  std::string cmd =
      "timeout 10 gdbus call --session --dest org.freedesktop.impl.portal.PermissionStore "
      "--object-path /org/freedesktop/impl/portal/PermissionStore --method "
      "org.freedesktop.impl.portal.PermissionStore.SetPermission screenshot true screenshot "
      "'' \"['" +
      std::string(value) + "']\" >/dev/null";
  return system(cmd.c_str()) == 0;
}

std::string bus_call(const std::string &method, const std::string &name) {
  return run_command(
      "timeout 5 gdbus call --session --dest org.freedesktop.DBus --object-path "
      "/org/freedesktop/DBus --method org.freedesktop.DBus." +
      method + " " + name + " 2>/dev/null");
}

bool name_owned(const char *name) { return bus_call("NameHasOwner", name) == "(true,)\n"; }

// The code at the end of a failure's message ("... failed (error 203)"), or -1.
long error_code() {
  std::string m = message();
  size_t at = m.rfind("(error ");
  return at == std::string::npos ? -1 : strtol(m.c_str() + at + 7, nullptr, 10);
}

struct json_monitor {
  int index, x, y, width, height;
  std::string name;
  bool primary;
};

std::vector<json_monitor> parse_monitors(const char *json) {
  std::vector<json_monitor> list;
  if (!json) return list;
  static const std::regex entry(
      "\\{\"index\":(\\d+),\"name\":\"([^\"]*)\",\"x\":(-?\\d+),\"y\":(-?\\d+),"
      "\"width\":(\\d+),\"height\":(\\d+),\"is_primary\":(true|false)\\}");
  std::string text = json;
  for (std::sregex_iterator i(text.begin(), text.end(), entry), end; i != end; ++i) {
    const std::smatch &m = *i;
    list.push_back({std::stoi(m[1]), std::stoi(m[3]), std::stoi(m[4]), std::stoi(m[5]),
                    std::stoi(m[6]), m[2], m[7] == "true"});
  }
  return list;
}

long rss_kib() {
  long pages = 0, resident = 0;
  FILE *f = fopen("/proc/self/statm", "r");
  if (!f) return -1;
  if (fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = -1;
  fclose(f);
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// A rectangle and what a capture of it must give once cut to the screen.
struct region {
  const char *what;
  int x, y, width, height;
  int cut_x, cut_y, cut_width, cut_height;
};

// The desktop the rig shows, the same way on both rigs: its outputs, its
// bounding box and the colour at each position (0 where no output covers it).
class PortalExports : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!have_rig()) {
      if (getenv("VS_PORTAL_REQUIRED")) FAIL() << "no portal rig";
      GTEST_SKIP() << "no portal rig (eval \"$(rig/gnome-start.sh)\")";
    }
    if (portal_only_desktop()) {
      // Nothing may steer the choice: no forced layer, no X server.
      ASSERT_EQ(getenv("VANTOREL_SCREENSHOT_BACKEND"), nullptr);
      ASSERT_EQ(getenv("DISPLAY"), nullptr);
      show_known_picture();
    } else {
      const char *forced = getenv("VANTOREL_SCREENSHOT_BACKEND");
      ASSERT_TRUE(forced && strcmp(forced, "portal") == 0);
      load_sway_pictures();
    }
    if (HasFatalFailure()) return;
    ASSERT_GE(outputs_.size(), 2u);
    for (const output_box &o : outputs_) {
      width_ = std::max(width_, o.x + o.w);
      height_ = std::max(height_, o.y + o.h);
    }
    wait_until_shown();
  }

  void show_known_picture() {
    ASSERT_TRUE(client_.start({VS_KNOWN_PICTURE_CLIENT}, true));
    std::string line;
    while (client_.read_line(&line, 15000) && line != "ready") {
      output_box o;
      char name[64];
      if (sscanf(line.c_str(), "output %63s %d %d %d %d", name, &o.x, &o.y, &o.w, &o.h) == 5) {
        o.name = name;
        outputs_.push_back(o);
      }
    }
    ASSERT_EQ(line, "ready") << "the known-picture client did not show its surfaces";
    std::vector<output_box> outs = outputs_;
    rgb_ = [outs](int x, int y) -> uint32_t {
      for (const output_box &o : outs) {
        if (x >= o.x && x < o.x + o.w && y >= o.y && y < o.y + o.h) {
          return known_pixel(x, y) & 0xffffffu;
        }
      }
      return 0;
    };
  }

  void load_sway_pictures() {
    // The outputs list of the sway rig the portal rig started (RIG_DIR).
    std::string why;
    ASSERT_TRUE(load_sway_rig_screen(&sway_, &why)) << why;
    for (const sway_rig_output &s : sway_.outputs) {
      outputs_.push_back({s.name, s.x, s.y, s.width, s.height});
    }
    const sway_rig_screen *screen = &sway_;
    rgb_ = [screen](int x, int y) { return sway_rig_rgb(*screen, x, y); };
  }

  // The compositor may take a few frames to show the client's surfaces
  // fullscreen: captures are compared from the first one that shows them.
  void wait_until_shown() {
    for (int attempt = 0; attempt < 20; attempt++) {
      if (attempt) usleep(300000);
      uint8_t *png = nullptr;
      int length = 0;
      ASSERT_EQ(screenshot_capture_region_mem(0, 0, width_, height_, &png, &length), 0)
          << message();
      rgba_image image;
      bool decoded = decode_png_memory(png, length, &image);
      screenshot_free_mem(png);
      ASSERT_TRUE(decoded);
      if (image_matches(image, width_, height_, expected(0, 0))) return;
    }
    // The last capture's differences, for the log.
    EXPECT_TRUE(capture_matches(screenshot_capture_all_png, 0, 0, width_, height_));
  }

  std::function<uint32_t(int, int)> expected(int x, int y) const {
    std::function<uint32_t(int, int)> rgb = rgb_;
    return [rgb, x, y](int column, int row) { return rgb(x + column, y + row); };
  }

  ::testing::AssertionResult capture_matches(int (*capture)(const char *), int x, int y, int width,
                                             int height) {
    std::string path = temp_png("portal-exports");
    if (capture(path.c_str()) != 0) return ::testing::AssertionFailure() << message();
    rgba_image image;
    bool decoded = decode_png_file(path, &image);
    unlink(path.c_str());
    if (!decoded) return ::testing::AssertionFailure() << "cannot decode " << path;
    return image_matches(image, width, height, expected(x, y));
  }

  // The outputs left to right; the strip under the lower one is uncovered.
  std::vector<region> regions() const {
    std::vector<output_box> by_x = outputs_;
    std::sort(by_x.begin(), by_x.end(),
              [](const output_box &a, const output_box &b) { return a.x < b.x; });
    const output_box &first = by_x[0];
    int seam = by_x[1].x;
    const output_box &low =
        *std::min_element(by_x.begin(), by_x.end(),
                          [](const output_box &a, const output_box &b) { return a.h < b.h; });
    int strip = height_ - low.h;
    int into_x = low.x + low.w / 2 - 150;
    return {
        {"inside the first output", first.x + 10, 20, 300, 200, first.x + 10, 20, 300, 200},
        {"across the seam", seam - 30, 100, 60, 40, seam - 30, 100, 60, 40},
        {"across the seam and into the strip", seam - 40, low.h - 20, 80, strip + 20, seam - 40,
         low.h - 20, 80, strip + 20},
        {"into the strip", into_x, low.h - 50, 300, strip + 50, into_x, low.h - 50, 300,
         strip + 50},
        {"only the strip", low.x, low.h, low.w, strip, low.x, low.h, low.w, strip},
        {"one pixel at the last corner", width_ - 1, height_ - 1, 1, 1, width_ - 1, height_ - 1, 1,
         1},
        {"beyond every edge", -50, -50, width_ + 100, height_ + 100, 0, 0, width_, height_},
    };
  }

  child client_;
  sway_rig_screen sway_;
  std::vector<output_box> outputs_;
  int width_ = 0, height_ = 0;
  std::function<uint32_t(int, int)> rgb_;
};

TEST_F(PortalExports, TheMonitorListIsTheCompositors) {
  std::vector<json_monitor> listed = parse_monitors(screenshot_list_monitors_json());
  ASSERT_EQ(listed.size(), outputs_.size()) << screenshot_list_monitors_json();
  int primaries = 0;
  for (size_t i = 0; i < listed.size(); i++) {
    const json_monitor &m = listed[i];
    EXPECT_EQ(m.index, int(i));
    primaries += m.primary;
    auto same = [&m](const output_box &o) {
      return o.name == m.name && o.x == m.x && o.y == m.y && o.w == m.width && o.h == m.height;
    };
    EXPECT_TRUE(std::any_of(outputs_.begin(), outputs_.end(), same))
        << m.name << " " << m.x << "," << m.y << " " << m.width << "x" << m.height;
  }
  EXPECT_EQ(primaries, 1) << screenshot_list_monitors_json();
  if (on_gnome()) {
    std::vector<std::string> names;
    for (const json_monitor &m : listed) names.push_back(m.name);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Meta-0", "Meta-1"}));
  }
}

// The whole screen, every monitor and a table of regions, to file and to
// memory, pixel for pixel; what no output covers reads opaque black.
TEST_F(PortalExports, EveryCaptureExportIsExact) {
  EXPECT_TRUE(capture_matches(screenshot_capture_all_png, 0, 0, width_, height_));
  std::vector<json_monitor> listed = parse_monitors(screenshot_list_monitors_json());
  ASSERT_EQ(listed.size(), outputs_.size());
  for (const json_monitor &m : listed) {
    SCOPED_TRACE(m.name);
    std::string path = temp_png("portal-monitor");
    ASSERT_EQ(screenshot_capture_monitor_png(m.index, path.c_str()), 0) << message();
    rgba_image image;
    ASSERT_TRUE(decode_png_file(path, &image));
    unlink(path.c_str());
    EXPECT_TRUE(image_matches(image, m.width, m.height, expected(m.x, m.y)));
  }
  for (const region &r : regions()) {
    SCOPED_TRACE(r.what);
    std::string path = temp_png("portal-region");
    ASSERT_EQ(screenshot_capture_region_png(r.x, r.y, r.width, r.height, path.c_str()), 0)
        << message();
    rgba_image image;
    ASSERT_TRUE(decode_png_file(path, &image));
    unlink(path.c_str());
    EXPECT_TRUE(image_matches(image, r.cut_width, r.cut_height, expected(r.cut_x, r.cut_y)));

    uint8_t *png = nullptr;
    int length = 0;
    ASSERT_EQ(screenshot_capture_region_mem(r.x, r.y, r.width, r.height, &png, &length), 0)
        << message();
    rgba_image memory;
    EXPECT_TRUE(decode_png_memory(png, length, &memory));
    screenshot_free_mem(png);
    EXPECT_TRUE(image_matches(memory, r.cut_width, r.cut_height, expected(r.cut_x, r.cut_y)));
  }
  EXPECT_NO_PICTURES_LEFT();
}

// Each screen export once: its result, its message and how long it took.
struct attempt {
  const char *what;
  int result;
  std::string text;
  long code;
  double ms;
  bool wrote;  // a file at the path, or bytes handed out
};

std::vector<attempt> try_every_screen_export(int width) {
  std::vector<attempt> out;
  std::string path = temp_png("portal-refused");
  unlink(path.c_str());
  auto file_export = [&](const char *what, const std::function<int()> &call) {
    struct timespec t0 = now_mono();
    int result = call();
    double ms = elapsed_ms(t0);
    out.push_back({what, result, message(), error_code(), ms, file_exists(path)});
    unlink(path.c_str());
  };
  file_export("all", [&] { return screenshot_capture_all_png(path.c_str()); });
  file_export("monitor 0", [&] { return screenshot_capture_monitor_png(0, path.c_str()); });
  file_export("monitor 1", [&] { return screenshot_capture_monitor_png(1, path.c_str()); });
  file_export("region", [&] {
    return screenshot_capture_region_png(width / 2 - 50, 10, 100, 100, path.c_str());
  });
  uint8_t *png = nullptr;
  int length = 0;
  struct timespec t0 = now_mono();
  int result = screenshot_capture_region_mem(width / 2 - 50, 10, 100, 100, &png, &length);
  double ms = elapsed_ms(t0);
  out.push_back({"region to memory", result, message(), error_code(), ms, png || length});
  screenshot_free_mem(png);
  return out;
}

// Sets the permission back to yes however the test ends.
struct permission_guard {
  ~permission_guard() { EXPECT_TRUE(set_permission("yes")); }
};

// The Screenshot portal takes no wish about the pointer. GNOME's picture never
// shows it: a grab that asks for it fails with a code of its own, before the
// portal is asked, and leaves nothing behind. Elsewhere (the wlroots portal
// here) the grab with the flag gives the portal's picture as it is.
TEST_F(PortalExports, ThePointerIsRefusedOnGnomeAndElsewhereThePictureIsThePortals) {
  screenshot_picture p;
  int result = screenshot_grab_region(0, 0, width_, height_, SCREENSHOT_WITH_CURSOR, &p);
  if (on_gnome()) {
    EXPECT_EQ(result, -1);
    EXPECT_NE(message().find("(error 211)"), std::string::npos) << message();
    EXPECT_EQ(p.rgba, nullptr);
    EXPECT_NO_PICTURES_LEFT();
    return;
  }
  ASSERT_EQ(result, 0) << message();
  rgba_image image;
  image.width = p.width;
  image.height = p.height;
  image.pixels.assign(p.rgba, p.rgba + (size_t)p.width * p.height * 4);
  screenshot_free_mem(p.rgba);
  EXPECT_TRUE(image_matches(image, width_, height_, expected(0, 0)));
}

// Refused by the user's stored answer: every screen export fails at once with
// GNOME's code (the portal answered 2) and writes nothing; granted again,
// they work. The wlroots backend does not consult the store: there the
// captures go on, and leave no file either.
TEST_F(PortalExports, PermissionNoFailsEveryScreenExportQuicklyAndWritesNothing) {
  permission_guard guard;
  ASSERT_TRUE(set_permission("no"));
  for (const attempt &a : try_every_screen_export(width_)) {
    SCOPED_TRACE(a.what);
    if (on_gnome()) {
      EXPECT_EQ(a.result, -1);
      EXPECT_EQ(a.code, PORTAL_ERROR_PORTAL_FAILED) << a.text;
      EXPECT_NE(a.text.find("BitBlt ("), std::string::npos) << a.text;
      EXPECT_FALSE(a.wrote);
      EXPECT_LT(a.ms, 3000);
    } else {
      EXPECT_EQ(a.result, 0) << a.text;
    }
  }
  EXPECT_NO_PICTURES_LEFT();
  ASSERT_TRUE(set_permission("yes"));
  EXPECT_TRUE(capture_matches(screenshot_capture_all_png, 0, 0, width_, height_));
}

// The layer was chosen (by the portal's presence on GNOME) at the first
// call; then the session bus goes away or loses its portal: each screen
// export fails with its own code within the bound, writes nothing, and the
// next call with the real bus back works.
TEST_F(PortalExports, NoBusAndABusWithoutThePortalFailClearlyWithinTheBound) {
  std::string real = getenv("DBUS_SESSION_BUS_ADDRESS");
  std::string dir = make_temp_dir();
  private_bus empty;
  ASSERT_TRUE(empty.start(dir, "empty"));
  struct {
    const char *how;
    std::string address;
    long code;
    double within_ms;
  } cases[] = {
      {"no bus at the address", "unix:path=" + dir + "/nothing", PORTAL_ERROR_NO_BUS, 1000},
      {"a bus without a portal", empty.address, PORTAL_ERROR_NO_PORTAL, 2500},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.how);
    setenv("DBUS_SESSION_BUS_ADDRESS", c.address.c_str(), 1);
    for (const attempt &a : try_every_screen_export(width_)) {
      SCOPED_TRACE(a.what);
      EXPECT_EQ(a.result, -1);
      EXPECT_EQ(a.code, c.code) << a.text;
      EXPECT_FALSE(a.wrote);
      EXPECT_LT(a.ms, c.within_ms);
    }
    // The outputs still come from the compositor.
    EXPECT_EQ(parse_monitors(screenshot_list_monitors_json()).size(), outputs_.size());
  }
  setenv("DBUS_SESSION_BUS_ADDRESS", real.c_str(), 1);
  EXPECT_TRUE(capture_matches(screenshot_capture_all_png, 0, 0, width_, height_));
  remove_tree(dir);
  EXPECT_NO_PICTURES_LEFT();
}

// The real portal replaced by one that never answers: the export fails at
// the bound with its code and the host goes on; once the silent one is gone
// the bus starts the real portal again and the next call is exact.
TEST_F(PortalExports, ASilentPortalFailsAtTheBoundThenTheRealOneWorksAgain) {
  unsigned pid = 0;
  std::string owner = bus_call("GetConnectionUnixProcessID", "org.freedesktop.portal.Desktop");
  ASSERT_EQ(sscanf(owner.c_str(), "(uint32 %u,)", &pid), 1) << owner;
  ASSERT_EQ(kill(pid_t(pid), SIGTERM), 0);
  for (int i = 0; i < 100 && name_owned("org.freedesktop.portal.Desktop"); i++) usleep(50000);
  ASSERT_FALSE(name_owned("org.freedesktop.portal.Desktop"));
  std::string dir = make_temp_dir();
  ASSERT_TRUE(write_file(dir + "/control", "silent\n"));
  {
    child fake;
    ASSERT_TRUE(fake.start({VS_PORTAL_FAKE, dir + "/control"}));
    std::string line;
    ASSERT_TRUE(fake.read_line(&line, 20000) && line == "ready");
    std::string path = temp_png("portal-silent");
    struct timespec t0 = now_mono();
    EXPECT_EQ(screenshot_capture_all_png(path.c_str()), -1);
    double ms = elapsed_ms(t0);
    EXPECT_EQ(error_code(), PORTAL_ERROR_TIMEOUT) << message();
    EXPECT_EQ(message(), "BitBlt (0,0 " + std::to_string(width_) + "x" + std::to_string(height_) +
                             ") failed (error 204)");
    EXPECT_GE(ms, PORTAL_TIMEOUT_MS - 50);
    EXPECT_LT(ms, PORTAL_TIMEOUT_MS + 1500);
    EXPECT_FALSE(file_exists(path));
  }
  remove_tree(dir);
  for (int i = 0; i < 100 && name_owned("org.freedesktop.portal.Desktop"); i++) usleep(50000);
  EXPECT_TRUE(capture_matches(screenshot_capture_all_png, 0, 0, width_, height_));
  EXPECT_NO_PICTURES_LEFT();
}

// 200 captures through the exports, every one of them in turn: no picture
// file left, no descriptor, heap or resident memory kept. Prints the time of
// one capture by each export (no bound: benchmarks judge speed).
TEST_F(PortalExports, TwoHundredCapturesLeaveNothingBehind) {
  std::string path = temp_png("portal-loop");
  uint8_t *png = nullptr;
  int length = 0;
  const char *names[] = {"whole screen to file", "monitor to file", "region to file",
                         "region to memory"};
  auto capture = [&](int which) {
    switch (which) {
      case 0:
        return screenshot_capture_all_png(path.c_str());
      case 1:
        return screenshot_capture_monitor_png(1, path.c_str());
      case 2:
        return screenshot_capture_region_png(width_ / 2 - 100, 100, 200, 200, path.c_str());
      default: {
        int r = screenshot_capture_region_mem(width_ / 2 - 100, 100, 200, 200, &png, &length);
        screenshot_free_mem(png);
        png = nullptr;
        return r;
      }
    }
  };
  for (int i = 0; i < 8; i++) ASSERT_EQ(capture(i % 4), 0) << message();
  unlink(path.c_str());
  malloc_trim(0);
  int fds = open_fd_count();
  size_t heap = heap_in_use();
  long rss = rss_kib();
  std::vector<double> ms[4];
  // GNOME Shell 43 now and then never answers one request (seen about once
  // in several hundred); that call fails at the bound with 204 and the next
  // one works. One such loss is allowed, never two, never another failure.
  int lost = 0;
  for (int i = 0; i < 200; i++) {
    struct timespec t0 = now_mono();
    if (capture(i % 4) != 0) {
      ASSERT_EQ(message().find("(error 204)") != std::string::npos && lost == 0, true)
          << "capture " << i << ": " << message();
      lost++;
      continue;
    }
    ms[i % 4].push_back(elapsed_ms(t0));
  }
  unlink(path.c_str());
  malloc_trim(0);
  EXPECT_EQ(open_fd_count(), fds);
  EXPECT_LT(heap_in_use(), heap + 64 * 1024) << "heap in use before: " << heap;
  EXPECT_LT(rss_kib(), rss + 4096) << "resident KiB before: " << rss;
  EXPECT_NO_PICTURES_LEFT();
  printf("one portal capture through the exports on %s (median of 50):\n",
         getenv("VS_PORTAL_DESKTOP"));
  for (int i = 0; i < 4; i++) printf("  %-22s %6.0f ms\n", names[i], median(ms[i]));
  printf("heap %zu -> %zu bytes, resident %ld -> %ld KiB, fds %d -> %d\n", heap, heap_in_use(), rss,
         rss_kib(), fds, open_fd_count());
}

}  // namespace
