// An X server that regenerates when its last client leaves (Xvfb without
// -noreset, as xvfb-run starts it) closes the connections that come
// meanwhile before its setup reply. A capture made right after the last
// other client left must still succeed: the library connects again within
// the call's deadline. Needs Xvfb, not the rig: the server is the test's own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <string>

#include "child_guard.h"
#include "vantorel_screenshot.h"

namespace {

// Xvfb on a display it picks itself (-displayfd), without -noreset.
struct resetting_server {
  pid_t pid = -1;
  std::string display;
  bool start() {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return false;
    pid_t parent = getpid();
    pid = fork();
    if (pid == 0) {
      child_dies_with_parent(parent);
      int quiet = open("/dev/null", O_WRONLY);
      if (quiet >= 0) dup2(quiet, 2);
      dup2(pipe_fds[1], 3);
      execl("/usr/bin/Xvfb", "Xvfb", "-displayfd", "3", "-screen", "0", "320x200x24", "-nolisten",
            "tcp", (char *)NULL);
      _exit(127);
    }
    close(pipe_fds[1]);
    if (pid < 0) return false;
    guard_child(pid);
    char line[32] = {0};
    FILE *in = fdopen(pipe_fds[0], "r");
    bool ok = in && fgets(line, sizeof line, in) && line[0] >= '0' && line[0] <= '9';
    if (in) fclose(in);
    line[strcspn(line, "\n")] = '\0';
    display = std::string(":") + line;
    return ok;
  }
  ~resetting_server() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      unguard_child(pid);
    }
  }
};

// In a fresh process: connects as another client would (again and again
// while the server resets after the round before), leaves, and captures at
// once, while the server regenerates. 0 when the capture worked.
int capture_after_last_client_leaves(const std::string &display) {
  setenv("DISPLAY", display.c_str(), 1);
  unsetenv("WAYLAND_DISPLAY");
  setenv("VANTOREL_SCREENSHOT_BACKEND", "x11", 1);
  for (int i = 0;; i++) {
    xcb_connection_t *other = xcb_connect(display.c_str(), NULL);
    int failed = xcb_connection_has_error(other);
    xcb_disconnect(other);
    if (!failed) break;
    if (i == 2500) return 2;
    struct timespec pause = {0, 2 * 1000 * 1000};
    nanosleep(&pause, NULL);
  }
  uint8_t *png = NULL;
  int length = 0;
  if (screenshot_capture_region_mem(0, 0, 16, 16, &png, &length) != 0) {
    fprintf(stderr, "%s\n", screenshot_last_error());
    return 1;
  }
  screenshot_free_mem(png);
  return 0;
}

TEST(X11Reset, ThirtyCapturesRightAfterTheLastClientLeaves) {
  if (access("/usr/bin/Xvfb", X_OK) != 0) GTEST_SKIP() << "no Xvfb";
  resetting_server server;
  ASSERT_TRUE(server.start()) << "Xvfb did not start";
  int worked = 0;
  for (int round = 0; round < 30; round++) {
    pid_t child = fork();
    if (child == 0) _exit(capture_after_last_client_leaves(server.display));
    ASSERT_GT(child, 0);
    int status = -1;
    waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) worked++;
    EXPECT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << "the other client never got in";
  }
  EXPECT_EQ(worked, 30);
}

}  // namespace
