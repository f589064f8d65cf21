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

// Opens the file for writing: a new one when it can (the call then owns it
// and may remove it), else the one that is there, truncated, as fopen "wb"
// would. *created says which. Made in one step (O_EXCL), so no file that
// another process creates in the meantime is ever taken for ours.
static FILE *open_output(const char *path, int *created, struct stat *made) {
  *created = 0;
#if defined(_WIN32)
  (void)made;
  int fd = _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (fd >= 0) {
    FILE *file = _fdopen(fd, "wb");
    if (file) {
      *created = 1;
      return file;
    }
    _close(fd);
    remove(path);
    return NULL;
  }
  if (errno != EEXIST) return NULL;
  return fopen(path, "wb");
#else
  int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd >= 0) {
    *created = 1;
    if (fstat(fd, made) != 0) memset(made, 0, sizeof *made);
  } else if (errno == EEXIST) {
    fd = open(path, O_WRONLY | O_TRUNC | O_CLOEXEC);
  }
  if (fd < 0) return NULL;
  FILE *file = fdopen(fd, "wb");
  if (!file) {
    int err = errno;
    close(fd);
    if (*created) unlink(path);
    errno = err;
  }
  return file;
#endif
}

// Removes the file this call created, and only while the path still names it.
static void remove_created(const char *path, const struct stat *made) {
#if defined(_WIN32)
  (void)made;
  remove(path);
#else
  struct stat now;
  if (made->st_ino != 0 && lstat(path, &now) == 0 && now.st_dev == made->st_dev &&
      now.st_ino == made->st_ino) {
    unlink(path);
  }
#endif
}

// The file is opened only once the PNG is complete, and every write and the
// close are checked: a full disk must not end in a truncated file and success.
int pngenc_write_rgba_file(const uint8_t *rgba, int width, int height, const char *path) {
  if (!rgba || !path || width <= 0 || height <= 0) return -1;

  uint8_t *png = NULL;
  size_t len = 0;
  if (pngenc_encode_rgba(rgba, width, height, &png, &len) != 0) return -1;

  int created = 0;
  struct stat made;
  memset(&made, 0, sizeof made);
  FILE *file = open_output(path, &created, &made);
  if (!file) {
    int err = errno;
    free(png);
    errno = err;
    return -1;
  }

  int err = 0;
  errno = 0;
  if (fwrite(png, 1, len, file) != len) err = errno ? errno : EIO;
  if (fflush(file) != 0 && !err) err = errno ? errno : EIO;
  if (fclose(file) != 0 && !err) err = errno ? errno : EIO;
  free(png);
  if (err) {
    if (created) remove_created(path, &made);
    errno = err;
    return -1;
  }
  return 0;
}
