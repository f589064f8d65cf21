// The library in sessions made of parts of our own: the fake compositor
// (fake_compositor.h) beside an X server (Xvfb), a desktop portal that a
// private session bus starts on demand (rig/portal-fake.py), and a process
// that forks. What is checked: which layer a session gets, children of fork
// connecting afresh without disturbing their parent, and a portal slow to
// start still giving the first capture. Each case runs in a child process
// with a fresh library; a part the machine lacks skips its case.
#include <errno.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "child_guard.h"
#include "fake_compositor.h"
#include "rig_support.h"
#include "vantorel_screenshot.h"

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#include "stb/stb_image_write.h"

namespace {

double now_s() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + t.tv_nsec / 1e9;
}

// The code at the end of the last error ("... (error 122)"), or -1.
int last_code() {
  const char *at = strstr(screenshot_last_error(), "(error ");
  return at ? atoi(at + 7) : -1;
}

// The whole fake output (40x30) into memory, checked pixel for pixel: "" or
// what went wrong.
std::string capture_output() {
  uint8_t *png = nullptr;
  int length = 0;
  if (screenshot_capture_region_mem(0, 0, 40, 30, &png, &length) != 0) {
    return "capture failed: " + std::string(screenshot_last_error());
  }
  rgba_image image;
  bool decoded = decode_png_memory(png, length, &image);
  screenshot_free_mem(png);
  if (!decoded) return "undecodable PNG";
  ::testing::AssertionResult same =
      image_matches(image, 40, 30, [](int u, int v) { return fake_pixel(0, u, v); });
  return same ? "" : same.message();
}

// A program of the test's own, its stdout on a pipe; stopped and reaped by
// its id, and dying with the test whatever happens.
struct process {
  pid_t pid = -1;
  FILE *out = nullptr;
  ~process() { stop(); }
  // Starts argv and reads its first line into *line.
  bool start(const std::vector<std::string> &argv, std::string *line) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    pid_t parent = getpid();
    pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
      child_dies_with_parent(parent);
      dup2(fds[1], 1);
      close(fds[0]);
      close(fds[1]);
      std::vector<char *> args;
      for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    guard_child(pid);
    close(fds[1]);
    out = fdopen(fds[0], "r");
    struct pollfd p = {fds[0], POLLIN, 0};
    char text[256] = {0};
    if (!out || poll(&p, 1, 20000) != 1 || !fgets(text, sizeof text, out)) return false;
    *line = text;
    while (!line->empty() && line->back() == '\n') line->pop_back();
    return true;
  }
  void stop() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      unguard_child(pid);
    }
    pid = -1;
    if (out) fclose(out);
    out = nullptr;
  }
};

// Stops a process known only by the id it wrote into a file (one the bus
// started), if that file names one of ours that still runs.
void stop_by_pid_file(const std::string &path) {
  FILE *f = fopen(path.c_str(), "r");
  if (!f) return;
  long pid = 0;
  if (fscanf(f, "%ld", &pid) == 1 && pid > 1) kill((pid_t)pid, SIGKILL);
  fclose(f);
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
  const char *wayland_display;  // nullptr: unset
  const char *wayland_socket;
  bool display;  // DISPLAY names the Xvfb
  bool wayland;  // the compositor serves, else the X server
};

// A compositor listens at wayland-0 as on every Wayland desktop; whether it
// serves depends on the session's variables alone. With DISPLAY set and
// neither WAYLAND_DISPLAY nor WAYLAND_SOCKET (ssh -X from such a desktop),
// the X server serves and the compositor is not even connected to.
TEST(SessionChoice, WaylandOnlyWhereTheSessionIsWaylands) {
  if (access("/usr/bin/Xvfb", X_OK) != 0) GTEST_SKIP() << "no Xvfb";
  process xvfb;
  std::string number;
  // -displayfd: Xvfb picks a free display and writes its number once it
  // listens.
  ASSERT_TRUE(xvfb.start({"/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0", "320x200x24",
                          "-nolisten", "tcp", "-noreset"},
                         &number))
      << "Xvfb did not start";
  std::string display = ":" + number;
  const session_case cases[] = {
      {"DISPLAY alone (ssh -X)", nullptr, nullptr, true, false},
      {"DISPLAY, WAYLAND_DISPLAY empty", "", nullptr, true, false},
      {"DISPLAY and WAYLAND_DISPLAY", "wayland-0", nullptr, true, true},
      {"DISPLAY and WAYLAND_SOCKET", nullptr, "99", true, true},
      {"neither: the default compositor", nullptr, nullptr, false, true},
  };
  for (const session_case &c : cases) {
    fake_script script;
    script.socket = "wayland-0";
    std::string result = run_in_child([&] {
      fake_log log;
      return run_with_compositor(script, &log, [&]() -> std::string {
        set_env("WAYLAND_DISPLAY", c.wayland_display);
        set_env("WAYLAND_SOCKET", c.wayland_socket);
        set_env("DISPLAY", c.display ? display.c_str() : nullptr);
        const char *json = screenshot_list_monitors_json();
        std::string listed = json ? json : screenshot_last_error();
        const char *size =
            c.wayland ? "\"width\":40,\"height\":30" : "\"width\":320,\"height\":200";
        if (listed.find(size) == std::string::npos) return "listed " + listed;
        if ((log.clients > 0) != c.wayland) {
          return "the compositor had " + std::to_string(log.clients) + " clients";
        }
        return "";
      });
    });
    EXPECT_EQ(result, "") << c.what;
  }
}

// Waits for the child and returns its exit status, or -1 if it did not
// exit by itself within the time.
int wait_child(pid_t pid, double seconds) {
  double until = now_s() + seconds;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (now_s() > until) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      return -1;
    }
    usleep(10000);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Children of a process that captured (Python's multiprocessing forks):
// each inherits the parent's connection, leaves it alone and connects
// afresh; every capture of every child is exact, and the parent's own
// connection still serves it afterwards.
TEST(Fork, ChildrenConnectAfreshAndLeaveTheParentsConnectionAlone) {
  fake_script script;
  std::string result = run_in_child([&] {
    fake_log log;
    return run_with_compositor(script, &log, [&]() -> std::string {
      std::string why = capture_output();
      if (!why.empty()) return "parent, before: " + why;
      const int kChildren = 3, kEach = 15;
      pid_t children[kChildren];
      for (int i = 0; i < kChildren; i++) {
        children[i] = fork();
        if (children[i] == 0) {
          int failed = 0;
          for (int n = 0; n < kEach; n++) failed += !capture_output().empty();
          _exit(failed);
        }
      }
      std::string failures;
      for (int i = 0; i < kChildren; i++) {
        int status = wait_child(children[i], 60);
        if (status != 0) failures += " child " + std::to_string(i) + ": " + std::to_string(status);
      }
      if (!failures.empty()) return "failed captures (or -1: no exit):" + failures;
      why = capture_output();
      if (!why.empty()) return "parent, after: " + why;
      // One connection each: the parent's, kept, and one per child.
      if (log.clients != 1 + kChildren) return "clients " + std::to_string(log.clients);
      return "";
    });
  });
  EXPECT_EQ(result, "");
}

// A fork while another thread waits on the compositor, holding the layer's
// lock: the child has no such thread, and neither waits for the lock nor
// touches the half-used connection; it connects afresh and captures.
TEST(Fork, AChildForkedInTheMiddleOfAnotherThreadsCallCaptures) {
  fake_script script;
  std::string result = run_in_child(
      [&] {
        fake_log log;
        return run_with_compositor(script, &log, [&]() -> std::string {
          std::string why = capture_output();
          if (!why.empty()) return "before: " + why;
          log.withhold = 1;
          int captures = log.captures;
          std::string waited;
          int waited_code = 0;
          std::thread waiting([&] {
            waited = capture_output();
            waited_code = last_code();
          });
          for (int i = 0; i < 500 && log.captures == captures; i++) usleep(10000);
          pid_t child = fork();
          if (child == 0) {
            double start = now_s();
            bool good = capture_output().empty();
            _exit(good && now_s() - start < 3 ? 0 : 1);
          }
          int status = wait_child(child, 20);
          waiting.join();
          if (status != 0) return "the child's capture: status " + std::to_string(status);
          // The withheld copy fails at its bound, and the parent goes on.
          if (waited.empty() || waited_code != 114) return "the waiting thread: " + waited;
          why = capture_output();
          return why.empty() ? std::string() : "after: " + why;
        });
      },
      60);
  EXPECT_EQ(result, "");
}

// The fake compositor's output as a PNG file (what a portal would write).
bool write_output_png(const std::string &path) {
  std::vector<uint8_t> rgb(40 * 30 * 3);
  for (int y = 0; y < 30; y++) {
    for (int x = 0; x < 40; x++) {
      uint32_t p = fake_pixel(0, x, y);
      uint8_t *d = &rgb[(size_t)(y * 40 + x) * 3];
      d[0] = (uint8_t)(p >> 16);
      d[1] = (uint8_t)(p >> 8);
      d[2] = (uint8_t)p;
    }
  }
  return stbi_write_png(path.c_str(), 40, 30, 3, rgb.data(), 40 * 3) != 0;
}

bool write_text(const std::string &path, const std::string &text) {
  FILE *f = fopen(path.c_str(), "w");
  if (!f) return false;
  bool ok = fputs(text.c_str(), f) >= 0;
  return fclose(f) == 0 && ok;
}

// A compositor without screen copy (GNOME's kind) and a portal that the bus
// starts only when asked, taking 3 s to come up: the probe that picks the
// layer waits for it, and the first capture still gets its whole window and
// succeeds (it used to fail with 204, "no answer", for a request never sent).
TEST(PortalBudget, APortalSlowToStartGivesTheFirstCapture) {
  if (access("/usr/bin/dbus-daemon", X_OK) != 0) GTEST_SKIP() << "no dbus-daemon";
  if (system("/usr/bin/python3 -c 'import dbus, gi' 2>/dev/null") != 0) {
    GTEST_SKIP() << "no python3-dbus";
  }
  char pattern[] = "/tmp/vs-portal-budget.XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  std::string dir = pattern;
  ASSERT_EQ(mkdir((dir + "/services").c_str(), 0700), 0);
  ASSERT_TRUE(write_output_png(dir + "/source.png"));
  ASSERT_TRUE(
      write_text(dir + "/control", "write " + dir + "/source.png " + dir + "/Screenshot.png\n"));
  ASSERT_TRUE(
      write_text(dir + "/services/portal.service",
                 "[D-BUS Service]\nName=org.freedesktop.portal.Desktop\nExec=/usr/bin/python3 " +
                     std::string(VS_PORTAL_FAKE) + " --start-delay 3 --pid-file " + dir +
                     "/portal.pid " + dir + "/control\n"));
  ASSERT_TRUE(
      write_text(dir + "/bus.conf",
                 "<busconfig><type>session</type><listen>unix:path=" + dir +
                     "/bus</listen><auth>EXTERNAL</auth><servicedir>" + dir +
                     "/services</servicedir><policy context=\"default\">"
                     "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                     "<allow own=\"*\"/></policy>"
                     "</busconfig>\n"));
  process bus;
  std::string address;
  ASSERT_TRUE(bus.start(
      {"/usr/bin/dbus-daemon", "--config-file=" + dir + "/bus.conf", "--nofork", "--print-address"},
      &address))
      << "dbus-daemon did not start";
  fake_script script;
  script.ext = false;
  std::string result = run_in_child([&] {
    fake_log log;
    return run_with_compositor(script, &log, [&]() -> std::string {
      setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
      setenv("HOME", dir.c_str(), 1);
      double start = now_s();
      std::string why = capture_output();
      double first = now_s() - start;
      if (!why.empty()) return "the first capture after " + std::to_string(first) + " s: " + why;
      if (first < 2.5) return "the portal did not start slowly";
      start = now_s();
      why = capture_output();
      if (!why.empty()) return "the second capture: " + why;
      return "";
    });
  });
  EXPECT_EQ(result, "");
  stop_by_pid_file(dir + "/portal.pid");
  bus.stop();
  for (const char *name : {"/services/portal.service", "/services", "/source.png", "/control",
                           "/bus.conf", "/bus", "/portal.pid", "/Screenshot.png"}) {
    remove((dir + name).c_str());
  }
  EXPECT_EQ(rmdir(dir.c_str()), 0) << "left in " << dir;
}

}  // namespace
