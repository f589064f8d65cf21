/* Writing a finished JPEG or PPM to its file, by the rules the library keeps
 * for its PNG files: writing over a file that is there never costs its old
 * picture. The image is complete before the file is touched, the file is
 * opened without being emptied, and the room for the new bytes is taken
 * before any old byte is replaced, so a full disk fails the write with the
 * old contents intact. The file is never deleted or renamed (it keeps its
 * links, owner and mode); only a file this write created is removed again. */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 200809L /* open flags, pwrite, posix_fallocate, ... */
#endif
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "cli.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#if defined(_WIN32)

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
    default:
      return EIO;
  }
}

static int set_end(HANDLE file, uint64_t size) {
  LARGE_INTEGER to;
  to.QuadPart = (LONGLONG)size;
  return SetFilePointerEx(file, to, NULL, FILE_BEGIN) && SetEndOfFile(file) ? 0 : -1;
}

static int write_all(HANDLE file, const uint8_t *bytes, size_t length) {
  while (length > 0) {
    DWORD chunk = length > 0x40000000u ? 0x40000000u : (DWORD)length;
    DWORD done = 0;
    if (!WriteFile(file, bytes, chunk, &done, NULL)) return -1;
    if (done == 0) {
      SetLastError(ERROR_DISK_FULL);
      return -1;
    }
    bytes += done;
    length -= done;
  }
  return 0;
}

/* A disk file gets its new end (NTFS allocates the room) before the first
 * byte is written, and its old end back when that fails; a device or pipe
 * takes the bytes in order. 0, or an errno value. */
static int replace_contents(int fd, const uint8_t *bytes, size_t length) {
  HANDLE file = (HANDLE)_get_osfhandle(fd);
  LARGE_INTEGER size;
  uint64_t old;
  LARGE_INTEGER start;
  if (file == INVALID_HANDLE_VALUE) return EBADF;
  if (GetFileType(file) != FILE_TYPE_DISK)
    return write_all(file, bytes, length) == 0 ? 0 : errno_of_win32(GetLastError());
  if (!GetFileSizeEx(file, &size)) return errno_of_win32(GetLastError());
  old = (uint64_t)size.QuadPart;
  if (length > old && set_end(file, length) != 0) {
    int error = errno_of_win32(GetLastError());
    set_end(file, old);
    return error;
  }
  start.QuadPart = 0;
  if (!SetFilePointerEx(file, start, NULL, FILE_BEGIN) || write_all(file, bytes, length) != 0 ||
      (old > length && !SetEndOfFile(file)))
    return errno_of_win32(GetLastError());
  return 0;
}

static int open_output(const char *path, int *created) {
  wchar_t *wide = utf8_to_wide(path);
  int fd = -1;
  *created = 0;
  if (!wide) return -1;
  fd = _wopen(wide, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (fd >= 0)
    *created = 1;
  else if (errno == EEXIST)
    fd = _wopen(wide, _O_WRONLY | _O_BINARY);
  free(wide);
  return fd;
}

static int close_output(int fd) { return _close(fd); }

#else

static int write_at(int fd, const uint8_t *bytes, size_t length, off_t offset) {
  while (length > 0) {
    size_t chunk = length > ((size_t)1 << 30) ? (size_t)1 << 30 : length;
    ssize_t done = pwrite(fd, bytes, chunk, offset);
    if (done < 0 && errno == EINTR) continue;
    if (done < 0) return errno;
    if (done == 0) return ENOSPC;
    bytes += done;
    length -= (size_t)done;
    offset += done;
  }
  return 0;
}

static int write_in_order(int fd, const uint8_t *bytes, size_t length) {
  while (length > 0) {
    size_t chunk = length > ((size_t)1 << 30) ? (size_t)1 << 30 : length;
    ssize_t done = write(fd, bytes, chunk);
    if (done < 0 && errno == EINTR) continue;
    if (done < 0) return errno;
    if (done == 0) return ENOSPC;
    bytes += done;
    length -= (size_t)done;
  }
  return 0;
}

/* The room for length bytes from the start of a regular file, then the bytes,
 * then the old end cut off. Where the file system has no fallocate, the new
 * bytes beyond the old end go first: they need all the new room and replace
 * nothing. On a failure to find room the file has its old size back.
 * 0, or an errno value. */
static int replace_contents(int fd, const uint8_t *bytes, size_t length) {
  struct stat info;
  off_t old;
  int error;
  if (fstat(fd, &info) != 0) return errno;
  if (!S_ISREG(info.st_mode)) return write_in_order(fd, bytes, length);
  old = info.st_size;
  do {
    error = posix_fallocate(fd, 0, (off_t)length);
  } while (error == EINTR);
  if (error == ENOSPC || error == EDQUOT || error == EFBIG || error == EIO) {
    if (ftruncate(fd, old) != 0) {
    }
    return error;
  }
  if (error != 0 && (uint64_t)old < (uint64_t)length) {
    error = write_at(fd, bytes + old, length - (size_t)old, old);
    if (error) {
      if (ftruncate(fd, old) != 0) {
      }
      return error;
    }
  }
  error = write_at(fd, bytes, length, 0);
  if (!error && (uint64_t)old > (uint64_t)length && ftruncate(fd, (off_t)length) != 0)
    error = errno;
  return error;
}

static int open_output(const char *path, int *created) {
  int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  *created = fd >= 0;
  if (fd < 0 && errno == EEXIST) fd = open(path, O_WRONLY | O_CLOEXEC);
  return fd;
}

static int close_output(int fd) { return close(fd); }

#endif

int write_image_file(const uint8_t *bytes, size_t length, const char *path, const char *format,
                     int width, int height) {
  int created = 0;
  int error = 0;
  int fd = open_output(path, &created);
  if (fd < 0) {
    error = errno ? errno : EIO;
  } else {
    error = replace_contents(fd, bytes, length);
    if (close_output(fd) != 0 && !error) error = errno ? errno : EIO;
    if (error && created) remove_file(path);
  }
  if (!error) return EXIT_OK;
  say("%s write failed for %dx%d frame to '%s' (%s)", format, width, height, path, strerror(error));
  return EXIT_FAILED;
}
