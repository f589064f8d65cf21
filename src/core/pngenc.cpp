// The only user of stb_image_write. Its functions are compiled static into this
// file, so none of them can leave the library, and its settings keep their
// initial values: compression level 8, filter chosen per row, no flip. stb
// filters the rows, frames the chunks and computes their CRCs; the zlib
// stream comes from pngenc_deflate, which writes exactly the bytes of stb's
// built-in compressor in a fraction of its time.
#include "core/pngenc.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#if defined(_WIN32)
#include <io.h>
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "win32/win32_path.h"
#else
#include <unistd.h>
#endif

#include "core/pngenc_deflate.h"

#define STBIW_ZLIB_COMPRESS pngenc_deflate
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#define STBI_WRITE_NO_STDIO
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wconversion"
#endif
#include <stb/stb_image_write.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

// stb sizes the filtered image, (width * 4 + 1) * height bytes, in int.
static int frame_fits_encoder(int width, int height) {
  int64_t row = (int64_t)width * 4 + 1;  // at most 2^33, so the product stays in range
  return row <= 2147483647 && row * (int64_t)height <= 2147483647;
}

uint64_t pngenc_capacity(uint64_t len) {
  uint64_t capacity = 65536;
  while (capacity < len) capacity *= 2;
  return capacity;
}

int pngenc_encode_rgba(const uint8_t *rgba, int width, int height, uint8_t **out_png,
                       size_t *out_len) {
  if (!rgba || !out_png || !out_len || width <= 0 || height <= 0) return -1;
  *out_png = NULL;
  *out_len = 0;
  if (!frame_fits_encoder(width, height)) {
    errno = EFBIG;
    return -1;
  }

  int len = 0;
  unsigned char *png = stbi_write_png_to_mem(rgba, width * 4, width, height, 4, &len);
  if (!png) return -1;
  if (len <= 0) {
    free(png);
    return -1;
  }

  uint64_t capacity = pngenc_capacity((uint64_t)len);
  uint8_t *block = (uint8_t *)malloc((size_t)capacity);
  if (!block) {
    free(png);
    return -1;
  }
  memcpy(block, png, (size_t)len);
  free(png);
  *out_png = block;
  *out_len = (size_t)len;
  return 0;
}

// Writing over a file that is there must never cost its old picture: the
// PNG is complete before the file is touched, the file is opened without
// being emptied, and the room for the new bytes is taken before any old byte
// is replaced. A full disk then fails the call with the old contents intact.
// The file is never deleted or renamed, only a file this call created is
// removed again, and it keeps its identity (links, owner, mode).

#if defined(_WIN32)

// The file's own errors, worded as the C runtime's errno would word them.
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

// Sets the end of a disk file; NTFS allocates the room as it does so.
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

// A disk file gets its new end before the first byte is written, and on a
// failure there its old end back; a device or pipe takes the bytes in order.
// Returns 0, or -1 with errno set.
static int replace_contents(int fd, const uint8_t *png, size_t len) {
  HANDLE file = (HANDLE)_get_osfhandle(fd);
  if (file == INVALID_HANDLE_VALUE) {
    errno = EBADF;
    return -1;
  }
  if (GetFileType(file) != FILE_TYPE_DISK) {
    if (write_all(file, png, len) == 0) return 0;
    errno = errno_of_win32(GetLastError());
    return -1;
  }
  LARGE_INTEGER old_size;
  if (!GetFileSizeEx(file, &old_size)) {
    errno = errno_of_win32(GetLastError());
    return -1;
  }
  uint64_t old = (uint64_t)old_size.QuadPart;
  if (len > old && set_end(file, len) != 0) {
    int err = errno_of_win32(GetLastError());
    set_end(file, old);
    errno = err;
    return -1;
  }
  if (seek_to(file, 0) != 0 || write_all(file, png, len) != 0 ||
      (old > len && !SetEndOfFile(file))) {
    errno = errno_of_win32(GetLastError());
    return -1;
  }
  return 0;
}

#else

static int write_at(int fd, const uint8_t *data, size_t len, off_t offset) {
  while (len > 0) {
    size_t chunk = len > ((size_t)1 << 30) ? (size_t)1 << 30 : len;
    ssize_t done = pwrite(fd, data, chunk, offset);
    if (done < 0 && errno == EINTR) continue;
    if (done < 0) return -1;
    if (done == 0) {
      errno = ENOSPC;
      return -1;
    }
    data += done;
    len -= (size_t)done;
    offset += done;
  }
  return 0;
}

static int write_in_order(int fd, const uint8_t *data, size_t len) {
  while (len > 0) {
    size_t chunk = len > ((size_t)1 << 30) ? (size_t)1 << 30 : len;
    ssize_t done = write(fd, data, chunk);
    if (done < 0 && errno == EINTR) continue;
    if (done < 0) return -1;
    if (done == 0) {
      errno = ENOSPC;
      return -1;
    }
    data += done;
    len -= (size_t)done;
  }
  return 0;
}

// Takes the room for len bytes from the start of a regular file. Where the
// file system has no fallocate (posix_fallocate then answers EOPNOTSUPP, or
// EBADF from the C library's stand-in, which reads through the descriptor),
// the new bytes beyond the old end are written first: they need all the new
// room, and replace nothing.
static int reserve_room(int fd, const uint8_t *png, size_t len, off_t old) {
  int err;
  do {
    err = posix_fallocate(fd, 0, (off_t)len);
  } while (err == EINTR);
  if (err == 0) return 0;
  if (err == ENOSPC || err == EDQUOT || err == EFBIG || err == EIO) {
    errno = err;
    return -1;
  }
  if ((uint64_t)old >= (uint64_t)len) return 0;
  return write_at(fd, png + old, len - (size_t)old, old);
}

// Returns 0, or -1 with errno set; on a failure to find room the file has its
// old size again, and none of its old bytes has been written over.
static int replace_contents(int fd, const uint8_t *png, size_t len) {
  struct stat st;
  if (fstat(fd, &st) != 0) return -1;
  if (!S_ISREG(st.st_mode)) return write_in_order(fd, png, len);
  if (reserve_room(fd, png, len, st.st_size) != 0) {
    int err = errno;
    struct stat now;
    if (fstat(fd, &now) == 0 && now.st_size != st.st_size) {
      while (ftruncate(fd, st.st_size) != 0 && errno == EINTR) {
      }
    }
    errno = err;
    return -1;
  }
  if (write_at(fd, png, len, 0) != 0) return -1;
  if ((uint64_t)st.st_size > (uint64_t)len) {
    while (ftruncate(fd, (off_t)len) != 0) {
      if (errno != EINTR) return -1;
    }
  }
  return 0;
}

#endif

// A new file when it can be made (the call then owns it and may remove it),
// else the file that is there, not emptied. *created says which. Made in one
// step (O_EXCL), so no file that another process creates in the meantime is
// ever taken for ours.
#if defined(_WIN32)
static int open_output(const wchar_t *path, int *created, struct stat *made) {
  (void)made;
  *created = 0;
  int fd =
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
static int open_output(const char *path, int *created, struct stat *made) {
  *created = 0;
  int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd >= 0) {
    *created = 1;
    if (fstat(fd, made) != 0) memset(made, 0, sizeof *made);
    return fd;
  }
  if (errno != EEXIST) return -1;
  return open(path, O_WRONLY | O_CLOEXEC);
}

// Removes the file this call created, and only while the path still names it.
static void remove_created(const char *path, const struct stat *made) {
  struct stat now;
  if (made->st_ino != 0 && lstat(path, &now) == 0 && now.st_dev == made->st_dev &&
      now.st_ino == made->st_ino) {
    unlink(path);
  }
}

// Linux has closed the descriptor even when close reports EINTR.
static int close_output(int fd) { return close(fd) == 0 || errno == EINTR ? 0 : -1; }
#endif

// Every write and the close are checked: a full disk must not end in a
// truncated file and success.
int pngenc_write_rgba_file(const uint8_t *rgba, int width, int height, const char *path) {
  if (!rgba || !path || width <= 0 || height <= 0) return -1;

  uint8_t *png = NULL;
  size_t len = 0;
  if (pngenc_encode_rgba(rgba, width, height, &png, &len) != 0) return -1;

#if defined(_WIN32)
  wchar_t *name = path_to_wide(path);
  if (!name) {
    int err = errno;
    free(png);
    errno = err;
    return -1;
  }
#else
  const char *name = path;
#endif

  int created = 0;
  struct stat made;
  memset(&made, 0, sizeof made);
  int fd = open_output(name, &created, &made);
  int err = fd < 0 ? errno : 0;
  if (fd >= 0) {
    if (replace_contents(fd, png, len) != 0) err = errno ? errno : EIO;
    if (close_output(fd) != 0 && !err) err = errno ? errno : EIO;
    if (err && created) remove_created(name, &made);
  }
  free(png);
#if defined(_WIN32)
  free(name);
#endif
  if (err) {
    errno = err;
    return -1;
  }
  return 0;
}
