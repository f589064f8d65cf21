/* Carrying out a capture request: the target resolved against the monitor
 * listing, the picture grabbed (a rectangle, or a window), then encoded and
 * written by the library: PNG, JPEG or PPM alike, to a file or to standard
 * output.
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

/* ---- the routes ------------------------------------------------------------ */

typedef struct {
  target_kind kind; /* TARGET_SCREEN, TARGET_MONITOR, TARGET_REGION or TARGET_WINDOW */
  int monitor_index;
  rect region;
  uintptr_t window;
  char window_id[64]; /* a window named by its id in the window list, not its number */
} target;

/* The rectangle a screen, monitor or region target covers. */
static int target_rect(const target *t, rect *r) {
  *r = t->region;
  if (t->kind == TARGET_SCREEN) return screen_rect(r);
  if (t->kind == TARGET_MONITOR) return monitor_rect(t->monitor_index, r);
  return EXIT_OK;
}

/* The target's picture, with the pointer drawn in when -c asks. */
static int grab(const target *t, unsigned flags, screenshot_picture *picture) {
  rect r;
  int status;
  if (t->kind == TARGET_WINDOW) {
    char id[32];
    snprintf(id, sizeof id, "0x%llx", (unsigned long long)t->window);
    return screenshot_grab_window(t->window_id[0] ? t->window_id : id, flags, picture) == 0
               ? EXIT_OK
               : library_failed();
  }
  status = target_rect(t, &r);
  if (status != EXIT_OK) return status;
  return screenshot_grab_region(r.x, r.y, r.width, r.height, flags, picture) == 0
             ? EXIT_OK
             : library_failed();
}

static int write_stdout(const uint8_t *bytes, size_t length) {
  if (fwrite(bytes, 1, length, stdout) != length)
    return failed_errno("writing to standard output", NULL);
  return finish_stdout();
}

static const char *format_word(image_format format) {
  return format == FORMAT_JPEG ? "jpeg" : format == FORMAT_PPM ? "ppm" : "png";
}

/* The picture through the library's encoder: to its file by the library's
 * file writer (an old file keeps its contents when the new ones do not
 * fit), or to standard output. */
static int to_output(const target *t, const request *req, const char *path) {
  screenshot_picture picture;
  int level = req->format == FORMAT_JPEG ? req->quality : req->level;
  int status = grab(t, req->cursor ? SCREENSHOT_WITH_CURSOR : 0, &picture);
  if (status != EXIT_OK) return status;
  if (strcmp(path, "-") != 0) {
    if (screenshot_save(&picture, path, format_word(req->format), level) != 0)
      status = library_failed();
  } else {
    unsigned char *bytes = NULL;
    int length = 0;
    if (screenshot_encode(&picture, format_word(req->format), level, &bytes, &length) != 0) {
      status = library_failed();
    } else {
      status = write_stdout(bytes, (size_t)length);
      screenshot_free_mem(bytes);
    }
  }
  screenshot_free_mem(picture.rgba);
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
    status = focused_window(&t.window, t.window_id, sizeof t.window_id);
    t.kind = TARGET_WINDOW;
  } else if (req->target == TARGET_WINDOW && req->window_text) {
    status = find_window(req->window_text, t.window_id, sizeof t.window_id);
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
