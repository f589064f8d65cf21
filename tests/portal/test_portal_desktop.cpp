// The portal module on a real portal desktop started by a rig
// (rig/gnome-start.sh, rig/portal-wlr-start.sh), whose assignments are in the
// environment: VS_PORTAL_RIG, the buses, WAYLAND_DISPLAY, VS_PORTAL_PICTURES.
// Without a rig the tests skip; with VS_PORTAL_REQUIRED set a skip fails.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "known_pixel.h"
#include "portal_test_support.h"

namespace {

struct output_box {
  std::string name;
  int x, y, w, h;
};

bool have_rig() { return getenv("VS_PORTAL_RIG") && getenv("WAYLAND_DISPLAY"); }

#define REQUIRE_RIG()                                                   \
  do {                                                                  \
    if (!have_rig()) {                                                  \
      if (getenv("VS_PORTAL_REQUIRED")) FAIL() << "no portal rig";      \
      GTEST_SKIP() << "no portal rig (eval \"$(rig/gnome-start.sh)\")"; \
    }                                                                   \
  } while (0)

std::string rig_path(const char *sub) { return std::string(getenv("VS_PORTAL_RIG")) + sub; }

// Every folder a portal may have written a picture into.
std::vector<std::string> pictures_left() {
  std::vector<std::string> left;
  std::vector<std::string> dirs = {rig_path("/home"), "/tmp"};
  if (getenv("VS_PORTAL_PICTURES")) dirs.push_back(getenv("VS_PORTAL_PICTURES"));
  for (const std::string &d : dirs) {
    for (const std::string &f : png_files_in(d)) {
      // /tmp is shared: only the wlroots backend's fixed name is ours there.
      if (d != "/tmp" || f == "out.png") left.push_back(d + "/" + f);
    }
  }
  return left;
}

bool set_permission(const char *value) {
  std::string cmd =
      "timeout 10 gdbus call --session --dest org.freedesktop.impl.portal.PermissionStore "
      "--object-path /org/freedesktop/impl/portal/PermissionStore --method "
      "org.freedesktop.impl.portal.PermissionStore.SetPermission screenshot true screenshot "
      "'' \"['" +
      std::string(value) + "']\" >/dev/null";
  return system(cmd.c_str()) == 0;
}

// Pixels of the capture that differ from the known picture inside the
// outputs; the first one described in *first.
long mismatches(const portal_picture &pic, const std::vector<output_box> &outs,
                std::string *first) {
  long bad = 0;
  for (const output_box &o : outs) {
    for (int y = o.y; y < o.y + o.h; y++) {
      for (int x = o.x; x < o.x + o.w; x++) {
        uint32_t want = known_pixel(x, y);
        const uint8_t *p = pic.pixels + (size_t(y) * pic.width + x) * 4;
        uint32_t got = 0xff000000u | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
        if (got != want && bad++ == 0) {
          char text[128];
          snprintf(text, sizeof text, "%s at %d,%d: %06x, want %06x", o.name.c_str(), x, y,
                   got & 0xffffff, want & 0xffffff);
          *first = text;
        }
      }
    }
  }
  return bad;
}

TEST(PortalDesktop, TheCaptureIsExactlyTheKnownPictureOnEveryOutput) {
  REQUIRE_RIG();
  child client;
  ASSERT_TRUE(client.start({VS_KNOWN_PICTURE_CLIENT}, true));
  std::vector<output_box> outs;
  std::string line;
  while (client.read_line(&line, 15000) && line != "ready") {
    output_box o;
    char name[64];
    if (sscanf(line.c_str(), "output %63s %d %d %d %d", name, &o.x, &o.y, &o.w, &o.h) == 5) {
      o.name = name;
      outs.push_back(o);
    }
  }
  ASSERT_EQ(line, "ready") << "the known-picture client did not show its surfaces";
  ASSERT_FALSE(outs.empty());
  int right = 0, bottom = 0;
  for (const output_box &o : outs) {
    right = std::max(right, o.x + o.w);
    bottom = std::max(bottom, o.y + o.h);
  }
  // The compositor may need a few frames to show the surfaces fullscreen.
  long bad = -1;
  std::string first;
  double ms = 0;
  for (int attempt = 0; attempt < 20 && bad != 0; attempt++) {
    if (attempt) usleep(300000);
    taken t;
    ASSERT_EQ(t.result, 0) << "code " << t.code;
    ASSERT_EQ(t.pic.width, right);
    ASSERT_EQ(t.pic.height, bottom);
    bad = mismatches(t.pic, outs, &first);
    ms = t.ms;
  }
  EXPECT_EQ(bad, 0) << first;
  printf("one portal capture: %.0f ms\n", ms);
  EXPECT_TRUE(pictures_left().empty()) << pictures_left()[0];
}

// Refused by the user's setting: a quick, clear failure and no picture file;
// granted again, captures work. xdg-desktop-portal 1.16 consults the
// permission store only for backends that ask for it (GNOME's); with the
// wlroots (and KDE) backend "no" still gives a picture, and no file either.
TEST(PortalDesktop, PermissionNoFailsQuicklyAndLeavesNoFile) {
  REQUIRE_RIG();
  const char *desktop = getenv("VS_PORTAL_DESKTOP");
  bool honoured = !desktop || strcmp(desktop, "wlr") != 0;
  ASSERT_TRUE(set_permission("no"));
  {
    taken t;
    if (honoured) {
      EXPECT_EQ(t.result, -1);
      EXPECT_TRUE(t.code == PORTAL_ERROR_PORTAL_FAILED || t.code == PORTAL_ERROR_DENIED) << t.code;
    } else {
      EXPECT_EQ(t.result, 0) << t.code;
    }
    EXPECT_LT(t.ms, 3000);
  }
  EXPECT_TRUE(pictures_left().empty()) << pictures_left()[0];
  ASSERT_TRUE(set_permission("yes"));
  taken t;
  EXPECT_EQ(t.result, 0) << t.code;
}

// The output of a command, or "" when it failed.
std::string command_output(const std::string &cmd) {
  std::string out;
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[256];
  while (fgets(buf, sizeof buf, p)) out += buf;
  return pclose(p) == 0 ? out : "";
}

std::string bus_call(const std::string &method, const std::string &name) {
  return command_output(
      "timeout 5 gdbus call --session --dest org.freedesktop.DBus --object-path "
      "/org/freedesktop/DBus --method org.freedesktop.DBus." +
      method + " " + name + " 2>/dev/null");
}

bool name_owned(const char *name) { return bus_call("NameHasOwner", name) == "(true,)\n"; }

// The real portal replaced by one that never answers: the call fails at the
// bound and the host goes on; once the silent one is gone, the bus starts the
// real portal again and the next call gets a picture.
TEST(PortalDesktop, ASilentPortalFailsAtTheBoundThenTheRealOneWorksAgain) {
  REQUIRE_RIG();
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
    taken t;
    EXPECT_EQ(t.result, -1);
    EXPECT_EQ(t.code, PORTAL_ERROR_TIMEOUT);
    EXPECT_GE(t.ms, PORTAL_TIMEOUT_MS - 50);
    EXPECT_LT(t.ms, PORTAL_TIMEOUT_MS + 1500);
  }
  remove_tree(dir);
  for (int i = 0; i < 100 && name_owned("org.freedesktop.portal.Desktop"); i++) usleep(50000);
  taken t;
  EXPECT_EQ(t.result, 0) << t.code;
  EXPECT_TRUE(pictures_left().empty()) << pictures_left()[0];
}

TEST(PortalDesktop, TheLayerChoiceSeesThePortal) {
  REQUIRE_RIG();
  EXPECT_EQ(portal_available(vs_now_ms() + 5000), 1);
}

// 200 captures: no picture file left, no descriptor or memory kept.
TEST(PortalDesktop, TwoHundredCapturesLeaveNothingBehind) {
  REQUIRE_RIG();
  for (int i = 0; i < 3; i++) taken warm;
  int fds = open_fd_count();
  size_t heap = heap_in_use();
  // GNOME Shell 43 now and then never answers one request (seen about once
  // in several hundred); that call fails at the bound and the next one works.
  // One such loss is allowed, never two, never another failure.
  int lost = 0;
  for (int i = 0; i < 200; i++) {
    taken t;
    if (t.result != 0) {
      ASSERT_TRUE(t.code == PORTAL_ERROR_TIMEOUT && lost == 0)
          << "capture " << i << ": code " << t.code;
      lost++;
    }
  }
  EXPECT_EQ(open_fd_count(), fds);
  EXPECT_LT(heap_in_use(), heap + 64 * 1024);
  EXPECT_TRUE(pictures_left().empty()) << pictures_left()[0];
}

// GNOME asked by a program it has no answer for shows its dialog and never
// answers: the call fails at the bound, and once the permission is granted
// the next call gets a picture. Needs a rig started with --permission unset
// and VS_PORTAL_UNPERMITTED set (the dialog stays on the screen afterwards,
// so no other test shares that rig).
TEST(PortalDesktopUnpermitted, GnomeNeverAnswersSoTheCallFailsAtTheBound) {
  if (!have_rig() || !getenv("VS_PORTAL_UNPERMITTED")) {
    GTEST_SKIP() << "needs a GNOME rig started with --permission unset";
  }
  {
    taken t;
    EXPECT_EQ(t.result, -1);
    EXPECT_EQ(t.code, PORTAL_ERROR_TIMEOUT);
    EXPECT_GE(t.ms, PORTAL_TIMEOUT_MS - 50);
    EXPECT_LT(t.ms, PORTAL_TIMEOUT_MS + 1500);
  }
  EXPECT_TRUE(pictures_left().empty()) << pictures_left()[0];
  ASSERT_TRUE(set_permission("yes"));
  taken t;
  EXPECT_EQ(t.result, 0) << t.code;
  EXPECT_TRUE(pictures_left().empty()) << pictures_left()[0];
}

}  // namespace
