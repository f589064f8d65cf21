/* Writing a finished JPEG or PPM to its file, by the rules the library keeps
 * for its PNG files (the same source, src/core/file_replace.c, is compiled
 * into both): writing over a file that is there never costs its old picture,
 * and only a file this write created is removed again. */
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "cli.h"
#include "core/file_replace.h"

int write_image_file(const uint8_t *bytes, size_t length, const char *path, const char *format,
                     int width, int height) {
  int error;
#if defined(_WIN32)
  wchar_t *wide = utf8_to_wide(path);
  if (!wide) {
    error = errno ? errno : EIO;
  } else {
    error = file_replace(wide, bytes, length);
    free(wide);
  }
#else
  error = file_replace(path, bytes, length);
#endif
  if (!error) return EXIT_OK;
  say("%s write failed for %dx%d frame to '%s' (%s)", format, width, height, path, strerror(error));
  return EXIT_FAILED;
}
