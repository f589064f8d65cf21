/* Writing over a file that is there must never cost its old contents: the
 * bytes are complete before the file is touched, the file is opened without
 * being emptied, and the room for the new bytes is taken before any old byte
 * is replaced. A full disk then fails the write with the old contents intact.
 * The file is never deleted or renamed, only a file this write created is
 * removed again, and it keeps its identity (links, owner, mode).
 *
 * The path may name no file at all: a FIFO, a terminal, a device. Opening
 * never waits (a FIFO nobody reads fails at once with ENXIO), and a reader
 * that goes away fails the write with EPIPE instead of ending the host with
 * SIGPIPE. */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 200809L /* O_CLOEXEC, pwrite, posix_fallocate, lstat, sigtimedwait */
#endif
#include "core/file_replace.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#if !defined(_WIN32)
#include <signal.h>
#endif
#include <sys/stat.h>
#if defined(_WIN32)
#include <io.h>
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <unistd.h>
#endif

#if defined(_WIN32)

/* The file's own errors, worded as the C runtime's errno would word them. */
static int errno_of_win32(DWORD code) {
  switch (code) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_ACCESS_DENIED:
    case ERROR_LOCK_VIOLATION:
    case ERROR_SHARING_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return EACCES;
    case ERROR_FILE_TOO_LARGE:
      return EFBIG;
    default:
      return EIO;
  }
}

static int seek_to(HANDLE file, uint64_t offset) {
  LARGE_INTEGER to;
  to.QuadPart = (LONGLONG)offset;
  return SetFilePointerEx(file, to, NULL, FILE_BEGIN) ? 0 : -1;
}

/* Sets the end of a disk file; NTFS allocates the room as it does so. */
static int set_end(HANDLE file, uint64_t size) {
  return seek_to(file, size) == 0 && SetEndOfFile(file) ? 0 : -1;
}

static int write_all(HANDLE file, const uint8_t *data, size_t len) {
  while (len > 0) {
    DWORD chunk = len > 0x40000000u ? 0x40000000u : (DWORD)len;
    DWORD done = 0;
    if (!WriteFile(file, data, chunk, &done, NULL)) return -1;
    if (done == 0) {
      SetLastError(ERROR_DISK_FULL);
      return -1;
    }
    data += done;
    len -= done;
  }
  return 0;
}

/* A disk file gets its new end before the first byte is written, and on a
 * failure there its old end back; a device or pipe takes the bytes in order.
 * 0, or an errno value. */
static int replace_contents(int fd, const uint8_t *bytes, size_t len) {
  HANDLE file = (HANDLE)_get_osfhandle(fd);
  LARGE_INTEGER old_size;
  uint64_t old;
  if (file == INVALID_HANDLE_VALUE) return EBADF;
  if (GetFileType(file) != FILE_TYPE_DISK)
    return write_all(file, bytes, len) == 0 ? 0 : errno_of_win32(GetLastError());
  if (!GetFileSizeEx(file, &old_size)) return errno_of_win32(GetLastError());
  old = (uint64_t)old_size.QuadPart;
  if (len > old && set_end(file, len) != 0) {
    int err = errno_of_win32(GetLastError());
    set_end(file, old);
    return err;
  }
  if (seek_to(file, 0) != 0 || write_all(file, bytes, len) != 0 ||
      (old > len && !SetEndOfFile(file)))
    return errno_of_win32(GetLastError());
  return 0;
}

#else

/* The bytes at offset, or where the descriptor stands when offset is -1 (a
 * device or pipe, which takes them in order). 0, or an errno value. */
static int write_out(int fd, const uint8_t *data, size_t len, off_t offset) {
  while (len > 0) {
    size_t chunk = len > ((size_t)1 << 30) ? (size_t)1 << 30 : len;
    ssize_t done = offset < 0 ? write(fd, data, chunk) : pwrite(fd, data, chunk, offset);
    if (done < 0 && errno == EINTR) continue;
    if (done < 0) return errno;
    if (done == 0) return ENOSPC;
    data += done;
    len -= (size_t)done;
    if (offset >= 0) offset += done;
  }
  return 0;
}

/* Takes the room for len bytes from the start of a regular file. Where the
 * file system has no fallocate (posix_fallocate then answers EOPNOTSUPP, or
 * EBADF from the C library's stand-in, which reads through the descriptor),
 * the new bytes beyond the old end are written first: they need all the new
 * room, and replace nothing. */
static int reserve_room(int fd, const uint8_t *bytes, size_t len, off_t old) {
  int err;
  do {
    err = posix_fallocate(fd, 0, (off_t)len);
  } while (err == EINTR);
  if (err == 0) return 0;
  if (err == ENOSPC || err == EDQUOT || err == EFBIG || err == EIO) return err;
  if ((uint64_t)old >= (uint64_t)len) return 0;
  return write_out(fd, bytes + old, len - (size_t)old, old);
}

/* On a failure to find room the file has its old size again, and none of its
 * old bytes has been written over. */
static int replace_contents(int fd, const uint8_t *bytes, size_t len) {
  struct stat st;
  int err;
  if (fstat(fd, &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return write_out(fd, bytes, len, -1);
  err = reserve_room(fd, bytes, len, st.st_size);
  if (err) {
    struct stat now;
    if (fstat(fd, &now) == 0 && now.st_size != st.st_size) {
      while (ftruncate(fd, st.st_size) != 0 && errno == EINTR) {
      }
    }
    return err;
  }
  err = write_out(fd, bytes, len, 0);
  if (err) return err;
  if ((uint64_t)st.st_size > (uint64_t)len) {
    while (ftruncate(fd, (off_t)len) != 0) {
      if (errno != EINTR) return errno;
    }
  }
  return 0;
}

#endif

/* A new file when it can be made (the write then owns it and may remove it),
 * else the file that is there, not emptied. *created says which. Made in one
 * step (O_EXCL), so no file that another process creates in the meantime is
 * ever taken for ours. */
#if defined(_WIN32)
static int open_output(const wchar_t *path, int *created, struct stat *made) {
  int fd;
  (void)made;
  *created = 0;
  fd =
      _wopen(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
  if (fd >= 0) {
    *created = 1;
    return fd;
  }
  if (errno != EEXIST) return -1;
  return _wopen(path, _O_WRONLY | _O_BINARY | _O_NOINHERIT);
}

static void remove_created(const wchar_t *path, const struct stat *made) {
  (void)made;
  _wremove(path);
}

static int close_output(int fd) { return _close(fd); }
#else
/* Opened without waiting (O_NONBLOCK: a FIFO without a reader would block
 * the open for good), then made blocking again, so that a pipe with a slow
 * reader takes every byte. */
static int open_output(const char *path, int *created, struct stat *made) {
  int fd;
  int flags;
  *created = 0;
  fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NONBLOCK, 0666);
  if (fd >= 0) {
    *created = 1;
    if (fstat(fd, made) != 0) memset(made, 0, sizeof *made);
  } else if (errno == EEXIST) {
    fd = open(path, O_WRONLY | O_CLOEXEC | O_NONBLOCK);
  }
  if (fd < 0) return -1;
  flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    int err = errno;
    close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

/* A write to a pipe whose reader has gone raises SIGPIPE, whose default
 * action ends the host. Blocked on this thread while the bytes go out, it
 * stays pending and is taken back, unless it was pending before: the write
 * fails with EPIPE instead. */
typedef struct {
  sigset_t old_mask;
  int was_pending;
} pipe_guard;

static void block_sigpipe(pipe_guard *guard) {
  sigset_t pipe_set, pending;
  sigemptyset(&pipe_set);
  sigaddset(&pipe_set, SIGPIPE);
  sigemptyset(&pending);
  sigpending(&pending);
  guard->was_pending = sigismember(&pending, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_set, &guard->old_mask);
}

static void unblock_sigpipe(const pipe_guard *guard) {
  sigset_t pipe_set, pending;
  sigemptyset(&pipe_set);
  sigaddset(&pipe_set, SIGPIPE);
  if (!guard->was_pending) {
    sigemptyset(&pending);
    sigpending(&pending);
    if (sigismember(&pending, SIGPIPE)) {
      struct timespec no_wait = {0, 0};
      sigtimedwait(&pipe_set, NULL, &no_wait);
    }
  }
  pthread_sigmask(SIG_SETMASK, &guard->old_mask, NULL);
}

/* Removes the file this write created, and only while the path still names it. */
static void remove_created(const char *path, const struct stat *made) {
  struct stat now;
  if (made->st_ino != 0 && lstat(path, &now) == 0 && now.st_dev == made->st_dev &&
      now.st_ino == made->st_ino) {
    unlink(path);
  }
}

/* Linux has closed the descriptor even when close reports EINTR. */
static int close_output(int fd) { return close(fd) == 0 || errno == EINTR ? 0 : -1; }
#endif

/* Every write and the close are checked: a full disk must not end in a
 * truncated file and success. */
int file_replace(const file_path_char *path, const uint8_t *bytes, size_t length) {
  int created = 0;
  int err;
  int fd;
  struct stat made;
#if !defined(_WIN32)
  pipe_guard guard;
#endif
  memset(&made, 0, sizeof made);
  fd = open_output(path, &created, &made);
  if (fd < 0) return errno ? errno : EIO;
#if defined(_WIN32)
  err = replace_contents(fd, bytes, length);
#else
  block_sigpipe(&guard);
  err = replace_contents(fd, bytes, length);
  unblock_sigpipe(&guard);
#endif
  if (close_output(fd) != 0 && !err) err = errno ? errno : EIO;
  if (err && created) remove_created(path, &made);
  return err;
}
