// The encoders behind screenshot_encode and screenshot_save: a host's or a
// grab's picture to PNG, JPEG or PPM bytes, and to a file through the
// library's one file writer.
#include <stdlib.h>
#include <string.h>

#include "core/file_replace.h"
#include "core/pngenc.h"
#include "core/screenshot.h"

enum picture_format { FORMAT_NONE = -1, FORMAT_PNG, FORMAT_JPEG, FORMAT_PPM };

static int ascii_lower(int c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

static int same_word(const char *a, const char *b) {
  for (; *a && *b; a++, b++)
    if (ascii_lower((unsigned char)*a) != ascii_lower((unsigned char)*b)) return 0;
  return *a == *b;
}

static picture_format format_named(const char *name) {
  if (same_word(name, "png")) return FORMAT_PNG;
  if (same_word(name, "jpeg") || same_word(name, "jpg")) return FORMAT_JPEG;
  if (same_word(name, "ppm")) return FORMAT_PPM;
  return FORMAT_NONE;
}

static int check_picture(const screenshot_picture *picture) {
  if (!picture || !picture->rgba) {
    set_error("picture is NULL");
    return -1;
  }
  if (picture->width <= 0 || picture->height <= 0) {
    set_error("invalid picture size %dx%d", picture->width, picture->height);
    return -1;
  }
  return 0;
}

static int encode_picture(const screenshot_picture *picture, picture_format format, int level,
                          uint8_t **out, size_t *out_len) {
  (void)level;
  if (format != FORMAT_PNG) {
    set_error("this format cannot be written yet");
    return -1;
  }
  if (pngenc_encode_rgba(picture->rgba, picture->width, picture->height, out, out_len) != 0) {
    set_error("PNG encode failed for %dx%d frame", picture->width, picture->height);
    return -1;
  }
  return 0;
}

int screenshot_encode(const screenshot_picture *picture, const char *format, int level,
                      unsigned char **out_bytes, int *out_len) {
  if (!out_bytes || !out_len) {
    set_error("out params are NULL");
    return -1;
  }
  *out_bytes = NULL;
  *out_len = 0;
  if (check_picture(picture) != 0) return -1;
  picture_format kind = format && format[0] ? format_named(format) : FORMAT_PNG;
  if (kind == FORMAT_NONE) {
    set_error("unknown format '%.32s' (png, jpeg or ppm)", format);
    return -1;
  }
  uint8_t *bytes = NULL;
  size_t len = 0;
  if (encode_picture(picture, kind, level, &bytes, &len) != 0) return -1;
  if (len > (size_t)2147483647) {
    set_error("PNG too large for int length (%zu bytes)", len);
    free(bytes);
    return -1;
  }
  *out_bytes = bytes;
  *out_len = (int)len;
  return 0;
}

int screenshot_save(const screenshot_picture *picture, const char *path, const char *format,
                    int level) {
  (void)picture;
  (void)path;
  (void)format;
  (void)level;
  set_error("saving a picture is not built yet");
  return -1;
}
