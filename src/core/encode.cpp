// The encoders behind screenshot_encode and screenshot_save: a host's or a
// grab's picture to PNG, JPEG or PPM bytes, and to a file through the
// library's one file writer.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "core/compact_png.h"
#include "core/file_replace.h"
#include "core/jpeg_encode.h"
#include "core/screenshot.h"
#include "win32/win32_path.h"

namespace {

enum picture_format { FORMAT_NONE = -1, FORMAT_PNG, FORMAT_JPEG, FORMAT_PPM };

const char *const k_format_names[] = {"PNG", "JPEG", "PPM"};

int ascii_lower(int c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

int same_word(const char *a, const char *b) {
  for (; *a && *b; a++, b++)
    if (ascii_lower((unsigned char)*a) != ascii_lower((unsigned char)*b)) return 0;
  return *a == *b;
}

picture_format format_named(const char *name) {
  if (same_word(name, "png")) return FORMAT_PNG;
  if (same_word(name, "jpeg") || same_word(name, "jpg")) return FORMAT_JPEG;
  if (same_word(name, "ppm")) return FORMAT_PPM;
  return FORMAT_NONE;
}

// The refusal the program and the Python package print too, word for word.
void refuse_format(const char *name) {
  set_error("unknown image format '%.32s' (png, jpeg or ppm)", name);
}

// The extension after the last dot of the path's last component, or "".
const char *extension_of(const char *path) {
  const char *base = path;
  for (const char *p = path; *p; p++)
#if defined(_WIN32)
    if (*p == '/' || *p == '\\' || *p == ':') base = p + 1;
#else
    if (*p == '/') base = p + 1;
#endif
  const char *dot = strrchr(base, '.');
  return dot && dot != base ? dot + 1 : "";
}

int check_picture(const screenshot_picture *picture) {
  if (!picture || !picture->rgba) {
    set_error("picture is NULL");
    return -1;
  }
  if (picture->width <= 0 || picture->height <= 0) {
    set_error("invalid picture size %dx%d", picture->width, picture->height);
    return -1;
  }
  if ((uint64_t)picture->width * (uint64_t)picture->height > SIZE_MAX / 4) {
    set_error("picture too large (%dx%d)", picture->width, picture->height);
    return -1;
  }
  return 0;
}

int check_level(picture_format format, int level) {
  if (level == -1 || format == FORMAT_PPM) return 0;
  if (format == FORMAT_PNG && (level < 0 || level > 9)) {
    set_error("PNG level %d out of range (0-9, or -1 for the default)", level);
    return -1;
  }
  if (format == FORMAT_JPEG && (level < 1 || level > 100)) {
    set_error("JPEG quality %d out of range (1-100, or -1 for the default)", level);
    return -1;
  }
  return 0;
}

int encode_ppm(const screenshot_picture *picture, uint8_t **out, size_t *out_length) {
  char header[40];
  int header_length =
      snprintf(header, sizeof header, "P6\n%d %d\n255\n", picture->width, picture->height);
  size_t pixels = (size_t)picture->width * (size_t)picture->height;
  if (header_length < 0 || pixels > (SIZE_MAX - sizeof header) / 3) return -1;
  uint8_t *bytes = (uint8_t *)malloc((size_t)header_length + pixels * 3);
  if (!bytes) return -1;
  memcpy(bytes, header, (size_t)header_length);
  uint8_t *o = bytes + header_length;
  const uint8_t *rgba = picture->rgba;
  for (size_t i = 0; i < pixels; i++, rgba += 4, o += 3) {
    o[0] = rgba[0];
    o[1] = rgba[1];
    o[2] = rgba[2];
  }
  *out = bytes;
  *out_length = (size_t)header_length + pixels * 3;
  return 0;
}

int encode_picture(const screenshot_picture *picture, picture_format format, int level,
                   uint8_t **out, size_t *out_length) {
  int status;
  if (format == FORMAT_PNG)
    status =
        compact_png_encode(picture->rgba, picture->width, picture->height, level, out, out_length);
  else if (format == FORMAT_JPEG)
    status = jpeg_encode_rgba(picture->rgba, picture->width, picture->height,
                              level < 0 ? JPEG_DEFAULT_QUALITY : level, out, out_length);
  else
    status = encode_ppm(picture, out, out_length);
  if (status != 0)
    set_error("%s encode failed for %dx%d frame", k_format_names[format], picture->width,
              picture->height);
  return status;
}

// The checks both exports share; the format given, else (for a file) the
// path's extension, else PNG for bytes.
int prepare(const screenshot_picture *picture, const char *format, const char *path, int level,
            picture_format *kind) {
  if (check_picture(picture) != 0) return -1;
  if (format && format[0]) {
    *kind = format_named(format);
    if (*kind == FORMAT_NONE) {
      refuse_format(format);
      return -1;
    }
  } else if (path) {
    const char *extension = extension_of(path);
    *kind = format_named(extension);
    if (*kind == FORMAT_NONE) {
      if (extension[0])
        refuse_format(extension);
      else
        set_error("no image format: '%s' has no extension (png, jpeg or ppm)", path);
      return -1;
    }
  } else {
    *kind = FORMAT_PNG;
  }
  return check_level(*kind, level);
}

}  // namespace

int screenshot_encode(const screenshot_picture *picture, const char *format, int level,
                      unsigned char **out_bytes, int *out_len) {
  if (!out_bytes || !out_len) {
    set_error("out params are NULL");
    return -1;
  }
  *out_bytes = NULL;
  *out_len = 0;
  picture_format kind;
  if (prepare(picture, format, NULL, level, &kind) != 0) return -1;
  uint8_t *bytes = NULL;
  size_t length = 0;
  if (encode_picture(picture, kind, level, &bytes, &length) != 0) return -1;
  if (length > (size_t)2147483647) {
    set_error("%s too large for int length (%zu bytes)", k_format_names[kind], length);
    free(bytes);
    return -1;
  }
  *out_bytes = bytes;
  *out_len = (int)length;
  return 0;
}

int screenshot_save(const screenshot_picture *picture, const char *path, const char *format,
                    int level) {
  if (!path || !path[0]) {
    set_error("output file is empty");
    return -1;
  }
  picture_format kind;
  if (prepare(picture, format, path, level, &kind) != 0) return -1;
  uint8_t *bytes = NULL;
  size_t length = 0;
  if (encode_picture(picture, kind, level, &bytes, &length) != 0) return -1;
#if defined(_WIN32)
  wchar_t *name = path_to_wide(path);
  int err = name ? file_replace(name, bytes, length) : (errno ? errno : EINVAL);
  free(name);
#else
  int err = file_replace(path, bytes, length);
#endif
  free(bytes);
  if (err) {
    set_error("%s write failed for %dx%d frame to '%s' (%s)", k_format_names[kind], picture->width,
              picture->height, path, strerror(err));
    return -1;
  }
  return 0;
}
