/* Carrying out a capture request: the target resolved against the monitor
 * listing, the pixels taken by the export that fits, the image written.
 *
 * A PNG goes through the library's own PNG exports: the file exports for a
 * file, the in-memory export for standard output (over the rectangle the
 * listing gives for the screen and for a monitor). JPEG and PPM are made here
 * from the raw-pixels export; a window has no in-memory or raw export, so its
 * PNG goes through a temporary file, read back when another format is wanted.
 */
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cli.h"
#include "vantorel_screenshot.h"

typedef struct {
  int x, y, width, height;
} rect;

/* ---- the monitor listing, read back ----------------------------------------
 * The listing is the library's own one-line JSON: an array of flat objects
 * whose only string values are names. Reading it needs no more than a scanner
 * that reads strings (with their escapes) and picks up the members it knows. */

/* Appends code point c to out as UTF-8, if it fits in size - 1 bytes. */
static void append_utf8(char *out, size_t size, size_t *n, unsigned long c) {
  char bytes[3];
  size_t length = 1;
  if (c < 0x80) {
    bytes[0] = (char)c;
  } else if (c < 0x800) {
    bytes[0] = (char)(0xc0 | (c >> 6));
    bytes[1] = (char)(0x80 | (c & 0x3f));
    length = 2;
  } else {
    bytes[0] = (char)(0xe0 | (c >> 12));
    bytes[1] = (char)(0x80 | ((c >> 6) & 0x3f));
    bytes[2] = (char)(0x80 | (c & 0x3f));
    length = 3;
  }
  if (*n + length < size) {
    memcpy(out + *n, bytes, length);
    *n += length;
  }
}

/* Reads the JSON string at p (at its opening quote) into out, as UTF-8, cut
 * to size - 1 bytes; returns the position after its closing quote. */
static const char *read_string(const char *p, char *out, size_t size) {
  size_t n = 0;
  ++p;
  while (*p && *p != '"') {
    if (*p != '\\' || !p[1]) {
      if (n + 1 < size) out[n++] = *p; /* UTF-8 bytes pass as they are */
      ++p;
    } else if (p[1] == 'u') {
      char hex[5] = {0};
      unsigned long c;
      int i;
      for (i = 0; i < 4 && p[2 + i] && strchr("0123456789abcdefABCDEF", p[2 + i]); ++i)
        hex[i] = p[2 + i];
      p += 2 + i;
      c = strtoul(hex, NULL, 16);
      append_utf8(out, size, &n, c == 0 || (c >= 0xd800 && c <= 0xdfff) ? '?' : c);
    } else {
      static const char letters[] = "bfnrt", controls[] = "\b\f\n\r\t";
      const char *letter = strchr(letters, p[1]);
      append_utf8(out, size, &n,
                  letter ? (unsigned char)controls[letter - letters] : (unsigned char)p[1]);
      p += 2;
    }
  }
  out[n] = '\0';
  return *p ? p + 1 : p;
}

int read_monitors(monitor_list *list) {
  const char *json = screenshot_list_monitors_json();
  const char *p;
  monitor_info *current = NULL;
  list->count = 0;
  if (!json) return -1;
  for (p = json; *p;) {
    if (*p == '{') {
      current = list->count < MAX_LISTED_MONITORS ? &list->monitors[list->count++] : NULL;
      if (current) memset(current, 0, sizeof *current);
      ++p;
    } else if (*p == '}') {
      current = NULL;
      ++p;
    } else if (*p == '"') {
      char key[16];
      p = read_string(p, key, sizeof key);
      if (!current || *p != ':') continue;
      ++p;
      if (!strcmp(key, "name") && *p == '"') {
        p = read_string(p, current->name, sizeof current->name);
      } else if (!strcmp(key, "is_primary")) {
        current->is_primary = !strncmp(p, "true", 4);
      } else {
        int *field = NULL;
        if (!strcmp(key, "index")) field = &current->index;
        if (!strcmp(key, "x")) field = &current->x;
        if (!strcmp(key, "y")) field = &current->y;
        if (!strcmp(key, "width")) field = &current->width;
        if (!strcmp(key, "height")) field = &current->height;
        if (field) *field = (int)strtol(p, (char **)&p, 10);
      }
    } else {
      ++p;
    }
  }
  return 0;
}

/* The bounding box of the monitors: what "the whole screen" covers. */
static int screen_rect(rect *out) {
  monitor_list list;
  long long left, top, right, bottom;
  int i;
  if (read_monitors(&list) != 0) return library_failed();
  if (list.count == 0) return failed("no monitors");
  left = list.monitors[0].x;
  top = list.monitors[0].y;
  right = left + list.monitors[0].width;
  bottom = top + list.monitors[0].height;
  for (i = 1; i < list.count; ++i) {
    const monitor_info *m = &list.monitors[i];
    if (m->x < left) left = m->x;
    if (m->y < top) top = m->y;
    if ((long long)m->x + m->width > right) right = (long long)m->x + m->width;
    if ((long long)m->y + m->height > bottom) bottom = (long long)m->y + m->height;
  }
  if (right - left > INT_MAX || bottom - top > INT_MAX) return failed("screen too large");
  out->x = (int)left;
  out->y = (int)top;
  out->width = (int)(right - left);
  out->height = (int)(bottom - top);
  return EXIT_OK;
}

static int monitor_rect(int index, rect *out) {
  monitor_list list;
  const monitor_info *m;
  if (read_monitors(&list) != 0) return library_failed();
  if (index < 0 || index >= list.count) {
    /* The library's wording for the same refusal by the file export. */
    say("monitor index %d out of range (0..%d)", index, list.count - 1);
    return EXIT_FAILED;
  }
  m = &list.monitors[index];
  out->x = m->x;
  out->y = m->y;
  out->width = m->width;
  out->height = m->height;
  return EXIT_OK;
}

/* -o: a monitor's name first (so that no name is shadowed), then "primary",
 * then an index in the order of the listing. */
static int resolve_output(const char *output, int *index) {
  monitor_list list;
  char names[512];
  size_t used = 0;
  int i;
  char *end = NULL;
  long number;
  if (read_monitors(&list) != 0) return library_failed();
  for (i = 0; i < list.count; ++i)
    if (!strcmp(list.monitors[i].name, output)) {
      *index = i;
      return EXIT_OK;
    }
  if (!strcmp(output, "primary")) {
    for (i = 0; i < list.count; ++i)
      if (list.monitors[i].is_primary) {
        *index = i;
        return EXIT_OK;
      }
    return failed("no monitor is flagged primary");
  }
  /* Plain digits only: strtol would take " 0" and "+0" for 0 too. */
  errno = 0;
  number = strspn(output, "0123456789") == strlen(output) ? strtol(output, &end, 10) : -1;
  if (*output && end && !*end && !errno && number >= 0 && number <= INT_MAX) {
    *index = (int)number; /* the capture refuses one out of range */
    return EXIT_OK;
  }
  names[0] = '\0';
  for (i = 0; i < list.count && used < sizeof names; ++i) {
    int n =
        snprintf(names + used, sizeof names - used, "%s%s", i ? ", " : "", list.monitors[i].name);
    if (n < 0) break;
    used += (size_t)n;
  }
  say("no monitor named '%s' (monitors: %s)", shown(output), names);
  return EXIT_FAILED;
}

/* ---- writing ---------------------------------------------------------------- */

static int write_stdout(const uint8_t *bytes, size_t length) {
  if (fwrite(bytes, 1, length, stdout) != length)
    return failed_errno("writing to standard output", NULL);
  return finish_stdout();
}

static int copy_file_to_stdout(const char *path) {
  uint8_t buffer[65536];
  size_t n;
  int status = EXIT_OK;
  FILE *file = open_to_read(path);
  if (!file) return failed_errno("reading", path);
  while (status == EXIT_OK && (n = fread(buffer, 1, sizeof buffer, file)) > 0)
    status = write_stdout(buffer, n);
  if (status == EXIT_OK && ferror(file)) status = failed_errno("reading", path);
  fclose(file);
  return status;
}

static const char *format_name(image_format format) {
  return format == FORMAT_JPEG ? "JPEG" : format == FORMAT_PPM ? "PPM" : "PNG";
}

/* ---- the routes ------------------------------------------------------------ */

typedef struct {
  target_kind kind; /* TARGET_SCREEN, TARGET_MONITOR, TARGET_REGION or TARGET_WINDOW */
  int monitor_index;
  rect region;
  uintptr_t window;
} target;

/* The rectangle a screen, monitor or region target covers. */
static int target_rect(const target *t, rect *r) {
  *r = t->region;
  if (t->kind == TARGET_SCREEN) return screen_rect(r);
  if (t->kind == TARGET_MONITOR) return monitor_rect(t->monitor_index, r);
  return EXIT_OK;
}

/* The window's PNG in a new temporary file at path. A NULL handle gets the
 * library's own refusal, which comes before any file is touched, and no
 * temporary file. */
static int window_png_to_temp(uintptr_t window, char *path, size_t size) {
  if (!window) {
    screenshot_capture_window_png(NULL, "-");
    return library_failed();
  }
  if (make_temp_path(path, size) != 0) {
    say("cannot create a temporary file: %s", strerror(errno));
    return EXIT_FAILED;
  }
  if (screenshot_capture_window_png((void *)window, path) != 0) {
    remove_file(path);
    return library_failed();
  }
  return EXIT_OK;
}

static int png_to_stdout(const target *t) {
  rect r;
  uint8_t *png = NULL;
  int length = 0;
  int status;
  if (t->kind == TARGET_WINDOW) {
    char path[4096];
    status = window_png_to_temp(t->window, path, sizeof path);
    if (status != EXIT_OK) return status;
    status = copy_file_to_stdout(path);
    remove_file(path);
    return status;
  }
  status = target_rect(t, &r);
  if (status != EXIT_OK) return status;
  if (screenshot_capture_region_mem(r.x, r.y, r.width, r.height, &png, &length) != 0)
    return library_failed();
  status = write_stdout(png, (size_t)length);
  screenshot_free_mem(png);
  return status;
}

static int png_to_file(const target *t, const char *path) {
  int result = -1;
  switch (t->kind) {
    case TARGET_SCREEN:
      result = screenshot_capture_all_png(path);
      break;
    case TARGET_MONITOR:
      result = screenshot_capture_monitor_png(t->monitor_index, path);
      break;
    case TARGET_REGION:
      result = screenshot_capture_region_png(t->region.x, t->region.y, t->region.width,
                                             t->region.height, path);
      break;
    default:
      result = screenshot_capture_window_png((void *)t->window, path);
      break;
  }
  return result == 0 ? EXIT_OK : library_failed();
}

/* RGBA pixels of the target; *from_library says which release they need. */
static int target_pixels(const target *t, uint8_t **pixels, int *width, int *height,
                         int *from_library) {
  rect r;
  int status;
  int x, y;
  FILE *file;
  *from_library = t->kind != TARGET_WINDOW;
  if (t->kind == TARGET_WINDOW) {
    char path[4096];
    status = window_png_to_temp(t->window, path, sizeof path);
    if (status != EXIT_OK) return status;
    file = open_to_read(path);
    *pixels = file ? decode_png(file, width, height) : NULL;
    if (file) fclose(file);
    remove_file(path);
    return *pixels ? EXIT_OK : failed("cannot read back the window's PNG");
  }
  status = target_rect(t, &r);
  if (status != EXIT_OK) return status;
  if (screenshot_capture_region_rgba(r.x, r.y, r.width, r.height, &x, &y, width, height, pixels) !=
      0)
    return library_failed();
  return EXIT_OK;
}

/* -c: the grab exports, which alone take the pointer, and the image made
 * from their picture. */
static int pointer_output(const target *t, const request *req, const char *path) {
  screenshot_picture picture;
  uint8_t *image = NULL;
  size_t length = 0;
  int status;
  if (t->kind == TARGET_WINDOW) {
    char id[32];
    snprintf(id, sizeof id, "%lu", (unsigned long)t->window);
    if (screenshot_grab_window(t->window ? id : "", SCREENSHOT_WITH_CURSOR, &picture) != 0)
      return library_failed();
  } else {
    rect r;
    status = target_rect(t, &r);
    if (status != EXIT_OK) return status;
    if (screenshot_grab_region(r.x, r.y, r.width, r.height, SCREENSHOT_WITH_CURSOR, &picture) != 0)
      return library_failed();
  }
  if (req->format == FORMAT_PNG) {
    unsigned char *png = NULL;
    int png_length = 0;
    if (screenshot_encode(&picture, "png", -1, &png, &png_length) != 0) {
      screenshot_free_mem(picture.rgba);
      return library_failed();
    }
    image = png;
    length = (size_t)png_length;
  } else {
    image = encode_image(req->format, req->quality, picture.rgba, picture.width, picture.height,
                         &length);
  }
  if (!image) {
    say("%s encoding failed for %dx%d frame", format_name(req->format), picture.width,
        picture.height);
    screenshot_free_mem(picture.rgba);
    return EXIT_FAILED;
  }
  status = strcmp(path, "-") ? write_image_file(image, length, path, format_name(req->format),
                                                picture.width, picture.height)
                             : write_stdout(image, length);
  if (req->format == FORMAT_PNG)
    screenshot_free_mem(image);
  else
    free(image);
  screenshot_free_mem(picture.rgba);
  return status;
}

static int to_output(const target *t, const request *req, const char *path) {
  uint8_t *pixels = NULL;
  uint8_t *image;
  size_t length = 0;
  int width = 0, height = 0, from_library = 0;
  int status;
  if (req->cursor) return pointer_output(t, req, path);
  if (req->format == FORMAT_PNG) return strcmp(path, "-") ? png_to_file(t, path) : png_to_stdout(t);
  status = target_pixels(t, &pixels, &width, &height, &from_library);
  if (status != EXIT_OK) return status;
  image = encode_image(req->format, req->quality, pixels, width, height, &length);
  if (from_library)
    screenshot_free_mem(pixels);
  else
    free_decoded(pixels);
  if (!image) {
    say("%s encoding failed for %dx%d frame", format_name(req->format), width, height);
    return EXIT_FAILED;
  }
  status = strcmp(path, "-")
               ? write_image_file(image, length, path, format_name(req->format), width, height)
               : write_stdout(image, length);
  free(image);
  return status;
}

static const char *extension_of(image_format format) {
  return format == FORMAT_JPEG ? "jpg" : format == FORMAT_PPM ? "ppm" : "png";
}

int run_capture(const request *req) {
  target t;
  char reserved[4096];
  const char *path = req->file;
  int status = EXIT_OK;

  memset(&t, 0, sizeof t);
  t.kind = req->target;
  t.monitor_index = req->monitor_index;
  t.region.x = req->x;
  t.region.y = req->y;
  t.region.width = req->width;
  t.region.height = req->height;
  t.window = req->window;
  if (req->target == TARGET_FOCUSED) {
    status = focused_window(&t.window);
    t.kind = TARGET_WINDOW;
  } else if (req->target == TARGET_MONITOR && req->output) {
    status = resolve_output(req->output, &t.monitor_index);
  }
  if (status != EXIT_OK) return status;

  if (!path) {
    status = reserve_timestamped_file(extension_of(req->format), reserved, sizeof reserved);
    if (status != EXIT_OK) return status;
    path = reserved;
  }
  status = to_output(&t, req, path);
  if (!req->file) {
    /* A path nobody hears of is a file nobody finds: it goes too. */
    if (status == EXIT_OK) {
      put_text(stdout, path);
      put_text(stdout, "\n");
      status = finish_stdout();
    }
    if (status == EXIT_OK)
      keep_reserved_file();
    else
      remove_reserved_file(path);
  }
  return status;
}
