// The Linux dispatch without any display: the primary rule, the choice of
// layer when the environment names one that cannot be had, which sessions
// try a compositor at all, and the layers' locks in a child of fork.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

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

void set_env(const char *name, const char *value) {
  if (value) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
}

struct session_case {
  const char *what;
  const char *display, *wayland_display, *wayland_socket, *backend;
  bool tried;  // the compositor at wayland-0 was connected to
};

// A listener at $XDG_RUNTIME_DIR/wayland-0 that takes each connection and
// closes it (the layer then gives up at once) counts who came. DISPLAY
// names a display nobody serves, so X11 fails fast whatever is chosen.
TEST(Dispatch, OnlyAWaylandSessionTriesTheCompositor) {
  char pattern[] = "/tmp/vs-dispatch.XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  std::string dir = pattern;
  sockaddr_un address;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  snprintf(address.sun_path, sizeof address.sun_path, "%s/wayland-0", dir.c_str());
  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(bind(listener, (sockaddr *)&address, sizeof address), 0);
  ASSERT_EQ(listen(listener, 16), 0);
  std::atomic<int> came{0};
  std::thread taker([&] {
    for (;;) {
      int fd = accept(listener, nullptr, nullptr);
      if (fd < 0) return;
      came++;
      close(fd);
    }
  });
  const session_case cases[] = {
      {"DISPLAY alone (ssh -X)", ":4093", nullptr, nullptr, nullptr, false},
      {"DISPLAY, WAYLAND_DISPLAY empty", ":4093", "", nullptr, nullptr, false},
      {"DISPLAY and WAYLAND_DISPLAY", ":4093", "wayland-0", nullptr, nullptr, true},
      {"DISPLAY and WAYLAND_SOCKET", ":4093", nullptr, "9", nullptr, true},
      {"no DISPLAY", nullptr, nullptr, nullptr, nullptr, true},
      {"an empty DISPLAY", "", nullptr, nullptr, nullptr, true},
      {"DISPLAY alone, Wayland forced", ":4093", nullptr, nullptr, "wayland", true},
      {"WAYLAND_DISPLAY, X11 forced", ":4093", "wayland-0", nullptr, "x11", false},
  };
  setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
  for (const session_case &c : cases) {
    SCOPED_TRACE(c.what);
    set_env("DISPLAY", c.display);
    set_env("WAYLAND_DISPLAY", c.wayland_display);
    set_env("WAYLAND_SOCKET", c.wayland_socket);
    set_env("VANTOREL_SCREENSHOT_BACKEND", c.backend);
    int before = came;
    EXPECT_FALSE(EnumDisplayMonitors(
        NULL, NULL, [](HMONITOR, HDC, LPRECT, LPARAM) -> BOOL { return TRUE; }, 0));
    EXPECT_EQ(came > before, c.tried);
  }
  for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "WAYLAND_SOCKET",
                           "VANTOREL_SCREENSHOT_BACKEND", "XDG_RUNTIME_DIR"}) {
    unsetenv(name);
  }
  shutdown(listener, SHUT_RDWR);
  taker.join();
  close(listener);
  unlink(address.sun_path);
  rmdir(dir.c_str());
}

// A fork while another thread holds the Wayland layer's lock (waiting on its
// compositor): the child has no such thread, and the lock is free there.
TEST(Dispatch, ALockHeldByAnotherThreadAtForkIsFreeInTheChild) {
  std::atomic<int> held{0}, release{0};
  std::thread holder([&] {
    held = vs_wl_lock(vs_now_ms() + 1000) == 0 ? 1 : -1;
    while (!release) usleep(1000);
    if (held == 1) vs_wl_unlock();
  });
  while (!held) usleep(1000);
  if (held != 1) {
    release = 1;
    holder.join();
    FAIL() << "the lock was not free to begin with";
  }
  pid_t child = fork();
  if (child == 0) {
    int taken = vs_wl_lock(vs_now_ms() + 1000) == 0;
    _exit(taken ? 0 : 1);
  }
  int status = -1;
  waitpid(child, &status, 0);
  release = 1;
  holder.join();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  // And in this process it is still the lock it was.
  ASSERT_EQ(vs_wl_lock(vs_now_ms() + 1000), 0);
  vs_wl_unlock();
}

}  // namespace
