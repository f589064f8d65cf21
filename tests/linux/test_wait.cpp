// The bounded connect the layers share: a peer that listens but never
// accepts holds it no longer than the deadline, also while signals interrupt
// the wait, and a place where nothing listens fails at once.
#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <vector>

#include "linux/linux_display.h"

namespace {

const int64_t kWaitMs = 300;

// A listener whose queue is full: every further connect is left waiting.
struct full_listener {
  int fd = -1;
  std::vector<int> queued;
  sockaddr_storage address{};
  socklen_t length = 0;

  ~full_listener() {
    for (int q : queued) close(q);
    if (fd >= 0) close(fd);
  }

  // Fills the queue with non-blocking connects until one is left waiting
  // (TCP) or refused with EAGAIN (a Unix socket); that one is closed again.
  void fill(int family) {
    for (int i = 0; i < 64; i++) {
      int c = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      ASSERT_GE(c, 0);
      if (connect(c, (const sockaddr *)&address, length) != 0 && errno != EINPROGRESS) {
        ASSERT_EQ(errno, EAGAIN);
        close(c);
        return;
      }
      pollfd p = {c, POLLOUT, 0};
      int connected = poll(&p, 1, 100);
      queued.push_back(c);
      if (connected == 0) return;
    }
    FAIL() << "the queue never filled";
  }
};

void listen_unix(full_listener *l, const char *path) {
  l->fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un *a = (sockaddr_un *)&l->address;
  a->sun_family = AF_UNIX;
  snprintf(a->sun_path, sizeof a->sun_path, "%s", path);
  l->length = sizeof *a;
  unlink(path);
  ASSERT_EQ(bind(l->fd, (const sockaddr *)a, l->length), 0);
  ASSERT_EQ(listen(l->fd, 0), 0);
}

void listen_tcp(full_listener *l) {
  l->fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in *a = (sockaddr_in *)&l->address;
  a->sin_family = AF_INET;
  a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  l->length = sizeof *a;
  ASSERT_EQ(bind(l->fd, (const sockaddr *)a, l->length), 0);
  ASSERT_EQ(getsockname(l->fd, (sockaddr *)a, &l->length), 0);
  ASSERT_EQ(listen(l->fd, 0), 0);
}

// What one vs_connect_by gave, and how long it took.
struct outcome {
  int result;
  int error;
  int64_t ms;
};

outcome connect_once(const full_listener &l, int family) {
  int fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int64_t start = vs_now_ms();
  errno = 0;
  int result = vs_connect_by(fd, (const sockaddr *)&l.address, l.length, start + kWaitMs);
  outcome o = {result, errno, vs_now_ms() - start};
  close(fd);
  return o;
}

void on_alarm(int) {}

TEST(Wait, ConnectEndsByTheDeadline) {
  char path[64];
  snprintf(path, sizeof path, "/tmp/vs-wait-%d", (int)getpid());

  full_listener open_unix;
  listen_unix(&open_unix, path);
  outcome o = connect_once(open_unix, AF_UNIX);
  EXPECT_EQ(o.result, 0) << strerror(o.error);

  // A Unix listener refuses at once (EAGAIN): tried again until the deadline.
  open_unix.fill(AF_UNIX);
  o = connect_once(open_unix, AF_UNIX);
  EXPECT_EQ(o.result, -1);
  EXPECT_EQ(o.error, ETIMEDOUT);
  EXPECT_GE(o.ms, kWaitMs - 5);
  EXPECT_LT(o.ms, kWaitMs + 1000);

  unlink(path);
  o = connect_once(open_unix, AF_UNIX);
  EXPECT_EQ(o.result, -1);
  EXPECT_EQ(o.error, ENOENT);
  EXPECT_LT(o.ms, kWaitMs);

  // TCP leaves the connect in progress; signals every 20 ms interrupt the
  // wait for it, which goes on to the deadline all the same.
  full_listener tcp;
  listen_tcp(&tcp);
  tcp.fill(AF_INET);
  struct sigaction action = {}, old_action = {};
  action.sa_handler = on_alarm;  // no SA_RESTART: poll returns EINTR
  ASSERT_EQ(sigaction(SIGALRM, &action, &old_action), 0);
  itimerval every = {{0, 20000}, {0, 20000}}, off = {}, old_timer = {};
  setitimer(ITIMER_REAL, &every, &old_timer);
  o = connect_once(tcp, AF_INET);
  setitimer(ITIMER_REAL, &off, NULL);
  sigaction(SIGALRM, &old_action, NULL);
  EXPECT_EQ(o.result, -1);
  EXPECT_EQ(o.error, ETIMEDOUT) << strerror(o.error);
  EXPECT_GE(o.ms, kWaitMs - 5);
  EXPECT_LT(o.ms, kWaitMs + 1000);
}

}  // namespace
