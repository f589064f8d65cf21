/* The window list: `windows` prints it (as the library's JSON, or as columns
 * for people with --table), and a window named by id or title, or the
 * focused one on a desktop whose list says which it is, is found in it.
 *
 * The listing is the library's own one-line JSON: an array of flat objects
 * whose string values the library wrote as UTF-8, escaping only quotation
 * marks, backslashes and control characters. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cli.h"
#include "vantorel_screenshot.h"

/* The library cuts titles at 256 bytes and application names at 128; ids are
 * shorter than 64. */
typedef struct {
  char id[64];
  char title[257];
  char app[129];
  /* Numbers as the JSON has them, or "null". */
  char pid[24], x[24], y[24], width[24], height[24];
  int focused;   /* 1, 0, or -1 for null */
  int minimized; /* likewise */
} listed_window;

typedef struct {
  listed_window *windows;
  int count;
} window_list;

/* The JSON string at p (its opening quote) into out, cut to size - 1 bytes;
 * the position after its closing quote. */
static const char *read_text(const char *p, char *out, size_t size) {
  size_t n = 0;
  ++p;
  while (*p && *p != '"') {
    char c = *p++;
    if (c == '\\' && *p) {
      char e = *p++;
      if (e == 'u') {
        unsigned value = 0;
        int i;
        for (i = 0; i < 4 && *p && strchr("0123456789abcdefABCDEF", *p); ++i, ++p)
          value = value * 16 + (unsigned)(*p <= '9' ? *p - '0' : (*p | 0x20) - 'a' + 10);
        c = value < 0x80 && value ? (char)value : '?';
      } else {
        static const char letters[] = "bfnrt", controls[] = "\b\f\n\r\t";
        const char *letter = strchr(letters, e);
        c = letter ? controls[letter - letters] : e;
      }
    }
    if (n + 1 < size) out[n++] = c;
  }
  out[n] = '\0';
  return *p ? p + 1 : p;
}

/* A value that is no string: a number, true, false or null, as its text. */
static const char *read_word(const char *p, char *out, size_t size) {
  size_t n = 0;
  while (*p && *p != ',' && *p != '}' && *p != ']') {
    if (n + 1 < size) out[n++] = *p;
    ++p;
  }
  out[n] = '\0';
  return p;
}

static int flag_of(const char *word) {
  return !strcmp(word, "true") ? 1 : !strcmp(word, "false") ? 0 : -1;
}

static void free_windows(window_list *list) {
  free(list->windows);
  list->windows = NULL;
  list->count = 0;
}

/* The library's list read back; on failure its message is printed unless
 * quiet. */
static int read_windows(window_list *list, const char **json_out, int quiet) {
  const char *json = screenshot_list_windows_json();
  const char *p;
  size_t capacity = 1;
  listed_window *current = NULL;
  list->windows = NULL;
  list->count = 0;
  if (!json) return quiet ? EXIT_FAILED : library_failed();
  if (json_out) *json_out = json;
  for (p = json; *p; ++p)
    if (*p == '{') ++capacity;
  list->windows = (listed_window *)calloc(capacity, sizeof *list->windows);
  if (!list->windows) return failed("out of memory for the window list");
  for (p = json; *p;) {
    if (*p == '{') {
      current = &list->windows[list->count++];
      current->focused = current->minimized = -1;
      ++p;
    } else if (*p == '}') {
      current = NULL;
      ++p;
    } else if (*p == '"' && current) {
      char key[16];
      char word[24];
      p = read_text(p, key, sizeof key);
      if (*p != ':') continue;
      ++p;
      if (*p == '"') {
        char scratch[8];
        char *out = scratch;
        size_t size = sizeof scratch;
        if (!strcmp(key, "id")) out = current->id, size = sizeof current->id;
        if (!strcmp(key, "title")) out = current->title, size = sizeof current->title;
        if (!strcmp(key, "app")) out = current->app, size = sizeof current->app;
        p = read_text(p, out, size);
        continue;
      }
      p = read_word(p, word, sizeof word);
      if (!strcmp(key, "focused")) current->focused = flag_of(word);
      if (!strcmp(key, "minimized")) current->minimized = flag_of(word);
      if (!strcmp(key, "pid")) snprintf(current->pid, sizeof current->pid, "%s", word);
      if (!strcmp(key, "x")) snprintf(current->x, sizeof current->x, "%s", word);
      if (!strcmp(key, "y")) snprintf(current->y, sizeof current->y, "%s", word);
      if (!strcmp(key, "width")) snprintf(current->width, sizeof current->width, "%s", word);
      if (!strcmp(key, "height")) snprintf(current->height, sizeof current->height, "%s", word);
    } else {
      ++p;
    }
  }
  return EXIT_OK;
}

/* Characters, not bytes, for the columns: UTF-8 continuation bytes do not
 * count. */
static int text_width(const char *text) {
  int n = 0;
  for (; *text; ++text)
    if (((unsigned char)*text & 0xc0) != 0x80) ++n;
  return n;
}

static void put_padded(const char *text, int width) {
  int pad = width - text_width(text);
  put_text(stdout, text);
  while (pad-- > 0) fputc(' ', stdout);
}

/* Control characters in a title would break the table's lines. */
static void blank_controls(char *text) {
  for (; *text; ++text)
    if ((unsigned char)*text < 0x20) *text = ' ';
}

static void print_table(window_list *list) {
  static const char *const heads[] = {"ID", "X", "Y", "WIDTH", "HEIGHT", "PID", "STATE", "APP"};
  int widths[8];
  int i, c;
  for (c = 0; c < 8; ++c) widths[c] = text_width(heads[c]);
  for (i = 0; i < list->count; ++i) {
    listed_window *w = &list->windows[i];
    const char *cells[8];
    blank_controls(w->title);
    blank_controls(w->app);
    cells[0] = w->id, cells[1] = w->x, cells[2] = w->y, cells[3] = w->width;
    cells[4] = w->height, cells[5] = w->pid, cells[6] = "focused", cells[7] = w->app;
    for (c = 0; c < 8; ++c)
      if (text_width(cells[c]) > widths[c]) widths[c] = text_width(cells[c]);
  }
  for (c = 0; c < 8; ++c) {
    put_padded(heads[c], widths[c]);
    fputs("  ", stdout);
  }
  put_text(stdout, "TITLE\n");
  for (i = 0; i < list->count; ++i) {
    const listed_window *w = &list->windows[i];
    const char *state = w->minimized == 1 ? "minimized" : w->focused == 1 ? "focused" : "";
    const char *cells[8];
    cells[0] = w->id, cells[1] = w->x, cells[2] = w->y, cells[3] = w->width;
    cells[4] = w->height, cells[5] = w->pid, cells[6] = state, cells[7] = w->app;
    for (c = 0; c < 8; ++c) {
      put_padded(!strcmp(cells[c], "null") ? "-" : cells[c], widths[c]);
      fputs("  ", stdout);
    }
    put_text(stdout, w->title);
    put_text(stdout, "\n");
  }
}

int run_windows(int argc, char **argv) {
  window_list list;
  const char *json = NULL;
  int table = 0;
  int i, status;
  for (i = 2; i < argc; ++i) {
    if (!strcmp(argv[i], "--table"))
      table = 1;
    else
      return usage_error("'windows' takes only --table", argv[i]);
  }
  status = read_windows(&list, &json, 0);
  if (status != EXIT_OK) return status;
  if (table) {
    print_table(&list);
  } else {
    put_text(stdout, json);
    put_text(stdout, "\n");
  }
  free_windows(&list);
  if (fflush(stdout) != 0) return failed_errno("writing to standard output", NULL);
  return EXIT_OK;
}

int find_window(const char *text, char *id, size_t size) {
  window_list list;
  int matches = 0, i;
  int status = read_windows(&list, NULL, 0);
  if (status != EXIT_OK) return status;
  for (i = 0; i < list.count; ++i) {
    if (!strcmp(list.windows[i].id, text)) {
      snprintf(id, size, "%s", list.windows[i].id);
      free_windows(&list);
      return EXIT_OK;
    }
  }
  for (i = 0; i < list.count; ++i) {
    if (!strcmp(list.windows[i].title, text)) {
      if (!matches) snprintf(id, size, "%s", list.windows[i].id);
      ++matches;
    }
  }
  free_windows(&list);
  if (matches == 1) return EXIT_OK;
  if (matches == 0) {
    say("no window has the id or the title '%s' (see '" PROGRAM " windows')", text);
  } else {
    say("%d windows have the title '%s': name one by its id (see '" PROGRAM " windows')", matches,
        text);
  }
  return EXIT_FAILED;
}

int focused_in_list(char *id, size_t size) {
  window_list list;
  int i, found = 0;
  /* A list that cannot be had says no more than one without a focused
   * window: the caller gives its own reason. */
  int status = read_windows(&list, NULL, 1);
  if (status != EXIT_OK) return status;
  for (i = 0; i < list.count && !found; ++i) {
    if (list.windows[i].focused == 1) {
      snprintf(id, size, "%s", list.windows[i].id);
      found = 1;
    }
  }
  free_windows(&list);
  return found ? EXIT_OK : EXIT_FAILED;
}
