#include "linux/portal/portal_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "linux/linux_display.h"

namespace {

// A screenshot's PNG is compressed: even a 16384 x 16384 desktop of noise
// stays below this.
const off_t kMaxFileBytes = off_t(1) << 30;

// How much older than the request a fresh file's time may read. The kernel
// stamps files from its coarse clock, the one `sent` is read from, so on a
// local filesystem with fine times a file written after the request never
// reads older. But filesystems keep coarser times and round a fresh one down:
// FAT by up to two seconds, ext3's small inodes and some network filesystems
// by up to one, exFAT by ten milliseconds; and a file server stamps with its
// own clock, which may lag ours. Two seconds cover all of these. A file last
// written earlier than that cannot be the answer to this request: it is the
// user's own (a picture of the past, or any file a portal merely names), and
// is never read, let alone removed.
const time_t kStampMarginSeconds = 2;

int written_before(const struct timespec &stamp, const struct timespec &sent) {
  time_t limit = sent.tv_sec - kStampMarginSeconds;
  return stamp.tv_sec < limit || (stamp.tv_sec == limit && stamp.tv_nsec < sent.tv_nsec);
}

// The file must be a plain file of ours, one name for one file (a hard link
// would let the portal have us read, and remove the name of, a file that lives
// on elsewhere), written since the request, of a picture's size. The owner is
// the effective uid: the one sd-bus authenticates to the session bus with,
// whose portal writes our files.
portal_file_result judge(const struct stat &st, const struct timespec &sent) {
  if (!S_ISREG(st.st_mode)) return PORTAL_FILE_UNTRUSTED;
  if (st.st_uid != geteuid()) return PORTAL_FILE_UNTRUSTED;
  if (st.st_nlink != 1) return PORTAL_FILE_UNTRUSTED;
  if (st.st_size > kMaxFileBytes) return PORTAL_FILE_UNTRUSTED;
  if (written_before(st.st_mtim, sent)) return PORTAL_FILE_STALE;
  return PORTAL_FILE_OK;
}

int same_state(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

portal_file_result open_failed(int e) {
  if (e == ENOENT) return PORTAL_FILE_GONE;
  if (e == ELOOP) return PORTAL_FILE_UNTRUSTED;  // a symbolic link
  if (e == ENOMEM) return PORTAL_FILE_NO_MEMORY;
  return PORTAL_FILE_UNREADABLE;
}

int changed_since(const char *path, const struct stat &state) {
  struct stat now;
  return lstat(path, &now) != 0 || !same_state(now, state);
}

}  // namespace

portal_file_result portal_file_read(const char *path, const struct timespec *sent,
                                    portal_file *out) {
  memset(out, 0, sizeof *out);
  // Opening some devices does something, and a FIFO must not be opened at
  // all: only a path that names a file we would read is opened.
  struct stat seen;
  if (lstat(path, &seen) != 0) return open_failed(errno);
  portal_file_result verdict = judge(seen, *sent);
  if (verdict != PORTAL_FILE_OK) return verdict;

  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return open_failed(errno);
  struct stat before, after;
  if (fstat(fd, &before) != 0) {
    close(fd);
    return PORTAL_FILE_UNREADABLE;
  }
  // Removed, or another file renamed over it, since we looked: another
  // capture's turn on the same name.
  if (before.st_nlink == 0 || before.st_dev != seen.st_dev || before.st_ino != seen.st_ino) {
    close(fd);
    return PORTAL_FILE_CHANGED;
  }
  // What was opened is what counts.
  verdict = judge(before, *sent);
  if (verdict != PORTAL_FILE_OK) {
    close(fd);
    return verdict;
  }
  out->ours = 1;
  out->state = before;

  size_t want = size_t(before.st_size);
  uint8_t *buf = static_cast<uint8_t *>(malloc(want ? want : 1));
  if (!buf) {
    close(fd);
    return PORTAL_FILE_NO_MEMORY;
  }
  size_t got = 0;
  portal_file_result result = PORTAL_FILE_OK;
  while (got < want) {
    ssize_t n = read(fd, buf + got, want - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      result = PORTAL_FILE_UNREADABLE;
      break;
    }
    if (n == 0) {
      result = PORTAL_FILE_CHANGED;  // shrank while we read: someone is rewriting it
      break;
    }
    got += size_t(n);
  }
  if (result == PORTAL_FILE_OK && (fstat(fd, &after) != 0 || !same_state(before, after))) {
    result = PORTAL_FILE_CHANGED;
  }
  close(fd);
  // A file that changed under us is someone else's by now.
  if (result == PORTAL_FILE_CHANGED) out->ours = 0;
  if (result != PORTAL_FILE_OK) {
    free(buf);
    return result;
  }
  out->data = buf;
  out->size = want;
  return PORTAL_FILE_OK;
}

int portal_file_changes_soon(const char *path, const struct stat *state, int64_t deadline) {
  for (int i = 0; i < 10; i++) {
    if (changed_since(path, *state)) return 1;
    if (vs_now_ms() + 5 >= deadline) return 0;
    struct timespec pause = {0, 5000000};
    nanosleep(&pause, nullptr);
  }
  return changed_since(path, *state);
}

void portal_file_remove_if_unchanged(const char *path, const struct stat *state) {
  struct stat now;
  if (lstat(path, &now) == 0 && same_state(now, *state)) unlink(path);
}
