// The Linux dispatch without any display: the primary rule, and the choice
// of layer when the environment names one that cannot be had.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "linux/linux_display.h"
#include "linux/wayland/wl_internal.h"

namespace {

struct primary_case {
  const char *what;
  int count;
  int x[3], y[3];
  uint8_t flagged[3];
  int expected;
};

TEST(Dispatch, ExactlyOneMonitorIsPrimary) {
  const primary_case cases[] = {
      {"the flagged one stays", 2, {0, 1024}, {0, 0}, {0, 1}, 1},
      {"none flagged: the one at the origin", 3, {1024, 0, 2304}, {0, 0, 0}, {0, 0, 0}, 1},
      {"none flagged, none at the origin: the first", 2, {-800, 100}, {0, 0}, {0, 0}, 0},
      {"two flagged: the first of them", 3, {0, 10, 20}, {0, 0, 0}, {0, 1, 1}, 1},
      {"one monitor", 1, {5}, {5}, {0}, 0},
  };
  for (const primary_case &c : cases) {
    SCOPED_TRACE(c.what);
    vs_monitor_list list;
    memset(&list, 0, sizeof list);
    list.count = c.count;
    for (int i = 0; i < c.count; i++) {
      list.monitors[i].rect = {c.x[i], c.y[i], c.x[i] + 100, c.y[i] + 100};
      list.monitors[i].primary = c.flagged[i];
    }
    vs_settle_primary(&list);
    for (int i = 0; i < c.count; i++) EXPECT_EQ(list.monitors[i].primary, i == c.expected) << i;
  }
}

struct environment_case {
  const char *what;
  const char *backend;
  const char *wayland_display;
  const char *runtime_dir;
  DWORD code;
};

// Each call reports what is missing, and nothing reaches the host's stderr
// (libwayland would print about a missing XDG_RUNTIME_DIR).
TEST(Dispatch, ForcedLayersThatCannotBeHad) {
  const environment_case cases[] = {
      {"a name that is no layer", "directfb", nullptr, nullptr, VS_ERROR_BAD_BACKEND},
      {"wayland without XDG_RUNTIME_DIR", "wayland", "wayland-0", nullptr,
       VS_ERROR_WL_NO_COMPOSITOR},
      {"wayland at a socket nobody serves", "wayland", "no-such-socket", "/tmp",
       VS_ERROR_WL_NO_COMPOSITOR},
      {"wayland at a path too long for a socket", "wayland",
       "/tmp/"
       "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"
       "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",
       "/tmp", VS_ERROR_WL_NO_COMPOSITOR},
  };
  for (const environment_case &c : cases) {
    SCOPED_TRACE(c.what);
    setenv("VANTOREL_SCREENSHOT_BACKEND", c.backend, 1);
    if (c.wayland_display) {
      setenv("WAYLAND_DISPLAY", c.wayland_display, 1);
    } else {
      unsetenv("WAYLAND_DISPLAY");
    }
    if (c.runtime_dir) {
      setenv("XDG_RUNTIME_DIR", c.runtime_dir, 1);
    } else {
      unsetenv("XDG_RUNTIME_DIR");
    }
    testing::internal::CaptureStderr();
    HDC screen = GetDC(NULL);
    DWORD code = GetLastError();
    BOOL listed = EnumDisplayMonitors(
        NULL, NULL, [](HMONITOR, HDC, LPRECT, LPARAM) -> BOOL { return TRUE; }, 0);
    std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_EQ(screen, nullptr);
    EXPECT_EQ(code, c.code);
    EXPECT_FALSE(listed);
    EXPECT_EQ(GetLastError(), c.code);
    EXPECT_EQ(printed, "");
  }
  unsetenv("VANTOREL_SCREENSHOT_BACKEND");
}

}  // namespace
