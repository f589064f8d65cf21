// Bounded waits on peers outside the process that more than one layer makes.
#include <errno.h>
#include <poll.h>
#include <sys/socket.h>

#include "linux/linux_display.h"

static int left_ms(int64_t deadline) {
  int64_t left = deadline - vs_now_ms();
  if (left <= 0) return 0;
  return left > 60000 ? 60000 : (int)left;
}

int vs_connect_by(int fd, const struct sockaddr *address, socklen_t length, int64_t deadline) {
  for (;;) {
    if (connect(fd, address, length) == 0) return 0;
    // A signal that interrupts a connect leaves it going on: a second
    // connect would only say EALREADY. Its end is waited for like one in
    // progress.
    if (errno == EINPROGRESS || errno == EINTR) break;
    // A local peer that listens but does not accept (its backlog full)
    // refuses a non-blocking connect with EAGAIN and starts nothing: try
    // again until the deadline.
    if (errno != EAGAIN) return -1;
    int left = left_ms(deadline);
    if (left == 0) {
      errno = ETIMEDOUT;
      return -1;
    }
    poll(NULL, 0, left < 10 ? left : 10);
  }
  for (;;) {
    int left = left_ms(deadline);
    if (left == 0) {
      errno = ETIMEDOUT;
      return -1;
    }
    struct pollfd pfd = {fd, POLLOUT, 0};
    int ready = poll(&pfd, 1, left);
    if (ready > 0) break;
    if (ready < 0 && errno != EINTR) return -1;
  }
  int error = 0;
  socklen_t size = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return -1;
  if (error != 0) {
    errno = error;
    return -1;
  }
  return 0;
}
