// Every export against peers that misbehave: compositors that close, stay
// silent, send garbage, never accept, hang up mid-reply, change the buffer
// after describing it or shrink the shared memory, and an X server stopped
// before the first call or between two calls. Each call returns within the
// export's budget with a message (built here with a 3 s budget), and two
// threads calling at once both return.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "child_guard.h"
#include "linux/linux_display.h"
#include "vantorel_screenshot.h"

namespace {

#if defined(__SANITIZE_THREAD__)
const bool k_thread_sanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
const bool k_thread_sanitizer = true;
#else
const bool k_thread_sanitizer = false;
#endif
#else
const bool k_thread_sanitizer = false;
#endif

// The budget the layers are built with, and what a sanitizer build may add.
const double k_bound_seconds = VS_CALL_BUDGET_MS / 1000.0 + 2.0;

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A peer process of the test's own, stopped and reaped by pid, and dying with
// the test whatever way it ends.
struct peer {
  pid_t pid = -1;
  FILE *out = nullptr;
  std::string first_line;
  ~peer() { stop(); }
  // Starts the program and reads the first line it prints, which must hold
  // the word.
  bool start(const std::vector<std::string> &argv, const char *ready_word) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return false;
    pid_t parent = getpid();
    pid = fork();
    if (pid == 0) {
      child_dies_with_parent(parent);
      dup2(pipe_fds[1], 1);
      int quiet = open("/dev/null", O_WRONLY);
      if (quiet >= 0) dup2(quiet, 2);
      close(pipe_fds[0]);
      std::vector<char *> args;
      for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    if (pid > 0) guard_child(pid);
    close(pipe_fds[1]);
    out = fdopen(pipe_fds[0], "r");
    char line[64] = {0};
    if (!out || !fgets(line, sizeof line, out)) return false;
    first_line = line;
    return strstr(line, ready_word) != nullptr;
  }
  void stop() {
    if (pid > 0) {
      kill(pid, SIGCONT);
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      unguard_child(pid);
    }
    pid = -1;
    if (out) fclose(out);
    out = nullptr;
  }
};

std::string temp_dir() {
  char pattern[] = "/tmp/vs-hostile.XXXXXX";
  return mkdtemp(pattern) ? pattern : "";
}

bool exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

struct outcome {
  bool failed;
  std::string message;
  double seconds;
};

// One export by name; the files it would write go under dir. The message is
// read unless told not to: two threads that both read it would race on the
// process-wide text, which hosts are told to read under a lock of their own.
outcome call_export(const std::string &name, const std::string &dir, bool read_message = true) {
  auto start = std::chrono::steady_clock::now();
  std::string path = dir + "/" + name + ".png";
  bool failed = true;
  if (name == "list") {
    failed = screenshot_list_monitors_json() == nullptr;
  } else if (name == "all") {
    failed = screenshot_capture_all_png(path.c_str()) != 0;
  } else if (name == "monitor") {
    failed = screenshot_capture_monitor_png(0, path.c_str()) != 0;
  } else if (name == "region") {
    failed = screenshot_capture_region_png(0, 0, 16, 16, path.c_str()) != 0;
  } else if (name == "memory") {
    uint8_t *png = nullptr;
    int length = 0;
    failed = screenshot_capture_region_mem(0, 0, 16, 16, &png, &length) != 0;
    screenshot_free_mem(png);
  } else if (name == "window") {
    failed = screenshot_capture_window_png((void *)(uintptr_t)0x400001, path.c_str()) != 0;
  }
  return {failed, read_message ? screenshot_last_error() : "", seconds_since(start)};
}

const char *const k_exports[] = {"list", "all", "monitor", "region", "memory", "window"};

// Both threads return, whatever they get.
void two_threads_return(const std::string &dir) {
  auto a = std::async(std::launch::async, [&] { return call_export("all", dir, false); });
  auto b = std::async(std::launch::async, [&] { return call_export("list", dir, false); });
  auto limit = std::chrono::duration<double>(2 * k_bound_seconds);
  ASSERT_EQ(a.wait_for(limit), std::future_status::ready) << "a thread hangs";
  ASSERT_EQ(b.wait_for(limit), std::future_status::ready) << "a thread hangs";
  EXPECT_LT(a.get().seconds, 2 * k_bound_seconds);
  EXPECT_LT(b.get().seconds, 2 * k_bound_seconds);
}

struct compositor_case {
  const char *mode;
  const char *forced_code;  // in every message with the Wayland layer forced
  bool lists_work;          // the outputs are listed; the copies fail
  bool copies_work;         // the shared memory case: sealed, so the copy is whole
};

TEST(HostilePeers, CompositorsThatMisbehave) {
  const compositor_case cases[] = {
      {"close", "(error 113)", false, false},  {"silent", "(error 114)", false, false},
      {"garbage", "(error 11", false, false},  {"backlog", "(error 114)", false, false},
      {"hangup", "(error 113)", false, false}, {"changed", "(error 118)", true, false},
      {"shrink", nullptr, true, true},
  };
  std::string dir = temp_dir();
  ASSERT_NE(dir, "");
  unsetenv("DISPLAY");
  for (const compositor_case &c : cases) {
    std::string socket_path = dir + "/" + c.mode + ".sock";
    peer compositor;
    ASSERT_TRUE(compositor.start({VS_FAKE_COMPOSITOR, c.mode, socket_path}, "ready")) << c.mode;
    setenv("WAYLAND_DISPLAY", socket_path.c_str(), 1);
    for (const char *backend : {"", "wayland"}) {
      SCOPED_TRACE(std::string(c.mode) + (backend[0] ? " forced" : " unforced"));
      setenv("VANTOREL_SCREENSHOT_BACKEND", backend, 1);
      for (const char *name : k_exports) {
        SCOPED_TRACE(name);
        outcome o = call_export(name, dir);
        EXPECT_LT(o.seconds, k_bound_seconds);
        // The window export reads X11, and there is none.
        bool may_work = strcmp(name, "window") != 0 &&
                        (c.copies_work || (c.lists_work && strcmp(name, "list") == 0));
        if (!may_work) {
          EXPECT_TRUE(o.failed);
          EXPECT_NE(o.message, "");
        }
        if (backend[0] && c.forced_code && !may_work && strcmp(name, "window") != 0) {
          EXPECT_NE(o.message.find(c.forced_code), std::string::npos) << o.message;
        }
      }
      two_threads_return(dir);
    }
    for (const char *name : k_exports) {
      if (!c.copies_work) {
        EXPECT_FALSE(exists(dir + "/" + name + ".png")) << c.mode << name;
      }
      unlink((dir + "/" + name + ".png").c_str());
    }
    compositor.stop();
    unlink(socket_path.c_str());
  }
  unsetenv("VANTOREL_SCREENSHOT_BACKEND");
  unsetenv("WAYLAND_DISPLAY");
  rmdir(dir.c_str());
}

// A Wayland session where nothing can capture: a compositor without screen
// copy, no portal (no session bus) and no X server. The message must say so,
// not pass on X11's complaint about a DISPLAY that is not there.
TEST(HostilePeers, NoCapturePathIsNamedAsSuch) {
  std::string dir = temp_dir();
  ASSERT_NE(dir, "");
  std::string socket_path = dir + "/nocopy.sock";
  peer compositor;
  ASSERT_TRUE(compositor.start({VS_FAKE_COMPOSITOR, "nocopy", socket_path}, "ready"));
  unsetenv("DISPLAY");
  unsetenv("VANTOREL_SCREENSHOT_BACKEND");
  setenv("WAYLAND_DISPLAY", socket_path.c_str(), 1);
  const char *bus = getenv("DBUS_SESSION_BUS_ADDRESS");
  std::string saved_bus = bus ? bus : "";
  setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + dir + "/no-bus").c_str(), 1);
  // A layer kept from an earlier test finds its compositor gone at this call
  // and is chosen afresh at the next.
  call_export("list", dir);
  for (const char *name : k_exports) {
    SCOPED_TRACE(name);
    outcome o = call_export(name, dir);
    EXPECT_TRUE(o.failed);
    EXPECT_LT(o.seconds, k_bound_seconds);
    if (strcmp(name, "window") != 0) {
      EXPECT_NE(o.message.find("(error 103)"), std::string::npos) << o.message;
    }
    EXPECT_FALSE(exists(dir + "/" + name + ".png"));
  }
  if (bus)
    setenv("DBUS_SESSION_BUS_ADDRESS", saved_bus.c_str(), 1);
  else
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
  unsetenv("WAYLAND_DISPLAY");
  compositor.stop();
  unlink(socket_path.c_str());
  rmdir(dir.c_str());
}

// Whether anything answers at the display's abstract or file socket (a
// server of another mount namespace may hold only the abstract one).
bool display_taken(int number) {
  for (int abstract = 1; abstract >= 0; abstract--) {
    sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    int n = snprintf(address.sun_path + abstract, sizeof address.sun_path - 1, "/tmp/.X11-unix/X%d",
                     number);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    bool answered = connect(fd, (sockaddr *)&address,
                            (socklen_t)(offsetof(sockaddr_un, sun_path) + abstract + n)) == 0;
    close(fd);
    if (answered) return true;
  }
  std::string lock = "/tmp/.X" + std::to_string(number) + "-lock";
  return access(lock.c_str(), F_OK) == 0;
}

// Xvfb on a display nobody uses, stopped at the test's word.
TEST(HostilePeers, StoppedXServer) {
  if (access("/usr/bin/Xvfb", X_OK) != 0) GTEST_SKIP() << "no Xvfb";
  std::string dir = temp_dir();
  ASSERT_NE(dir, "");
  unsetenv("WAYLAND_DISPLAY");
  setenv("VANTOREL_SCREENSHOT_BACKEND", "x11", 1);
  // A layer kept from an earlier test of this process finds its connection
  // gone here, and the next call chooses X11.
  unsetenv("DISPLAY");
  call_export("list", dir);
  for (bool before_first_call : {true, false}) {
    SCOPED_TRACE(before_first_call ? "stopped before the first call" : "stopped between calls");
    int number = 150;
    while (number < 400 && display_taken(number)) number++;
    peer server;
    // -displayfd writes the display number on its own line once it listens.
    ASSERT_TRUE(server.start({"/usr/bin/Xvfb", ":" + std::to_string(number), "-displayfd", "1",
                              "-screen", "0", "320x200x24", "-nolisten", "tcp", "-noreset"},
                             std::to_string(number).c_str()));
    setenv("DISPLAY", (":" + std::to_string(number)).c_str(), 1);
    if (!before_first_call) {
      outcome first = call_export("list", dir);
      EXPECT_FALSE(first.failed) << first.message;
    }
    kill(server.pid, SIGSTOP);
    for (const char *name : k_exports) {
      SCOPED_TRACE(name);
      outcome o = call_export(name, dir);
      EXPECT_TRUE(o.failed);
      EXPECT_LT(o.seconds, k_bound_seconds);
      EXPECT_NE(o.message.find("(error 102)"), std::string::npos) << o.message;
      EXPECT_FALSE(exists(dir + "/" + name + ".png"));
    }
    two_threads_return(dir);
    // Once it runs again, the next export is served.
    kill(server.pid, SIGCONT);
    outcome again = call_export("list", dir);
    EXPECT_FALSE(again.failed) << again.message;
    server.stop();
  }
  unsetenv("VANTOREL_SCREENSHOT_BACKEND");
  unsetenv("DISPLAY");
  rmdir(dir.c_str());
}

// Xvfb on the first display from `from` nobody uses; its number in *number.
bool start_xvfb(peer *server, int from, int *number) {
  *number = from;
  while (*number < from + 200 && display_taken(*number)) (*number)++;
  return server->start({"/usr/bin/Xvfb", ":" + std::to_string(*number), "-displayfd", "1",
                        "-screen", "0", "320x200x24", "-nolisten", "tcp", "-noreset"},
                       std::to_string(*number).c_str());
}

int open_descriptors() {
  int count = 0;
  DIR *dir = opendir("/proc/self/fd");
  if (!dir) return -1;
  while (readdir(dir)) count++;
  closedir(dir);
  return count;
}

// A connect that finishes after its call gave up: the next call takes the
// connection it made when it is for the same DISPLAY, and drops it (closing
// its socket) when DISPLAY changed meanwhile.
TEST(HostilePeers, ConnectionThatComesLate) {
  if (access("/usr/bin/Xvfb", X_OK) != 0) GTEST_SKIP() << "no Xvfb";
  std::string dir = temp_dir();
  ASSERT_NE(dir, "");
  unsetenv("WAYLAND_DISPLAY");
  setenv("VANTOREL_SCREENSHOT_BACKEND", "x11", 1);
  unsetenv("DISPLAY");
  call_export("list", dir);
  peer first, second;
  int first_number = 0, second_number = 0;
  ASSERT_TRUE(start_xvfb(&first, 420, &first_number));
  ASSERT_TRUE(start_xvfb(&second, first_number + 1, &second_number));
  std::string first_display = ":" + std::to_string(first_number);
  setenv("DISPLAY", first_display.c_str(), 1);

  // Stopped before the first call: the call gives up with the connect
  // still going; once the server runs again it finishes on its own.
  kill(first.pid, SIGSTOP);
  outcome gave_up = call_export("list", dir);
  EXPECT_TRUE(gave_up.failed);
  EXPECT_NE(gave_up.message.find("(error 102)"), std::string::npos) << gave_up.message;
  kill(first.pid, SIGCONT);
  usleep(300 * 1000);
  outcome taken = call_export("list", dir);
  EXPECT_FALSE(taken.failed) << taken.message;
  EXPECT_LT(taken.seconds, 1.0);
  int with_one_connection = open_descriptors();

  // Stopped again: the connection goes quiet and is dropped, the next
  // connect waits on the stopped server. DISPLAY moves to another server
  // while that connect hangs: the call connects to the new DISPLAY at once,
  // and what the old attempt makes once its server runs again is dropped.
  kill(first.pid, SIGSTOP);
  EXPECT_TRUE(call_export("list", dir).failed);
  EXPECT_TRUE(call_export("list", dir).failed);
  setenv("DISPLAY", (":" + std::to_string(second_number)).c_str(), 1);
  outcome moved = call_export("list", dir);
  EXPECT_FALSE(moved.failed) << moved.message;
  EXPECT_LT(moved.seconds, 1.0);
  kill(first.pid, SIGCONT);
  usleep(300 * 1000);
  outcome after = call_export("list", dir);
  EXPECT_FALSE(after.failed) << after.message;
  EXPECT_EQ(open_descriptors(), with_one_connection) << "the late connection's socket was kept";

  // Two attempts hang, on two stopped servers: a call for a third display
  // waits for one of them within its bound and fails, and once a server
  // runs again the calls for the third are served.
  peer third;
  int third_number = 0;
  ASSERT_TRUE(start_xvfb(&third, second_number + 1, &third_number));
  kill(first.pid, SIGSTOP);
  kill(second.pid, SIGSTOP);
  EXPECT_TRUE(call_export("list", dir).failed);  // the quiet connection goes
  EXPECT_TRUE(call_export("list", dir).failed);  // the connect to :second hangs
  setenv("DISPLAY", first_display.c_str(), 1);
  EXPECT_TRUE(call_export("list", dir).failed);  // the connect to :first hangs
  setenv("DISPLAY", (":" + std::to_string(third_number)).c_str(), 1);
  outcome crowded = call_export("list", dir);
  EXPECT_TRUE(crowded.failed);
  EXPECT_NE(crowded.message.find("(error 102)"), std::string::npos) << crowded.message;
  EXPECT_LT(crowded.seconds, k_bound_seconds);
  kill(first.pid, SIGCONT);
  usleep(300 * 1000);
  outcome third_served = call_export("list", dir);
  EXPECT_FALSE(third_served.failed) << third_served.message;
  kill(second.pid, SIGCONT);
  third.stop();

  first.stop();
  second.stop();
  unsetenv("VANTOREL_SCREENSHOT_BACKEND");
  unsetenv("DISPLAY");
  call_export("list", dir);
  rmdir(dir.c_str());
}

// A child forked while a thread of its parent is inside a call, holding the
// layer's lock while it waits on a server that stopped (for a reply, or for
// the connect): the child's own calls neither wait for that lock nor use
// what the parent has or makes.
TEST(HostilePeers, ForkDuringAnotherThreadsCall) {
  if (access("/usr/bin/Xvfb", X_OK) != 0) GTEST_SKIP() << "no Xvfb";
  if (k_thread_sanitizer) {
    // The child connects on a thread of its own, and ThreadSanitizer ends a
    // child of a multi-threaded process that starts one.
    GTEST_SKIP() << "ThreadSanitizer: no threads after a multi-threaded fork";
  }
  std::string dir = temp_dir();
  ASSERT_NE(dir, "");
  unsetenv("WAYLAND_DISPLAY");
  setenv("VANTOREL_SCREENSHOT_BACKEND", "x11", 1);
  peer stopped, running;
  int stopped_number = 0, running_number = 0;
  ASSERT_TRUE(start_xvfb(&stopped, 460, &stopped_number));
  ASSERT_TRUE(start_xvfb(&running, stopped_number + 1, &running_number));
  for (bool on_connect : {false, true}) {
    SCOPED_TRACE(on_connect ? "waiting for the connect" : "waiting for a reply");
    setenv("DISPLAY", (":" + std::to_string(stopped_number)).c_str(), 1);
    outcome first = call_export("list", dir);
    ASSERT_FALSE(first.failed) << first.message;
    kill(stopped.pid, SIGSTOP);
    // The connection goes quiet and is dropped: the next call connects.
    if (on_connect) {
      EXPECT_TRUE(call_export("list", dir).failed);
    }
    auto waiting = std::async(std::launch::async, [&] { return call_export("list", dir, false); });
    usleep(300 * 1000);
    pid_t child = fork();
    if (child == 0) {
      setenv("DISPLAY", (":" + std::to_string(running_number)).c_str(), 1);
      const char *json = screenshot_list_monitors_json();
      _exit(json && strstr(json, "\"width\":320") ? 0 : 1);
    }
    ASSERT_GT(child, 0);
    int status = -1;
    for (int i = 0; i < 100 && waitpid(child, &status, WNOHANG) == 0; i++) usleep(50 * 1000);
    if (waitpid(child, &status, WNOHANG) == 0) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      ADD_FAILURE() << "the child hangs";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child's capture failed";
    EXPECT_TRUE(waiting.get().failed);
    kill(stopped.pid, SIGCONT);
    outcome again = call_export("list", dir);
    EXPECT_FALSE(again.failed) << again.message;
  }
  stopped.stop();
  running.stop();
  unsetenv("VANTOREL_SCREENSHOT_BACKEND");
  unsetenv("DISPLAY");
  call_export("list", dir);
  rmdir(dir.c_str());
}

}  // namespace
