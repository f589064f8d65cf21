/* vantorel-screenshot: the command-line host of the library.
 *
 * A thin layer over the nine exports: argument parsing, one call, and the
 * library's message on standard error when the call fails. FILE "-" sends the
 * PNG to standard output through the in-memory export, over the rectangle the
 * monitor listing gives for "all" and "monitor"; a window has no in-memory
 * export, so "window ID -" goes through a temporary file.
 */
#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vantorel_screenshot.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#define PROGRAM "vantorel-screenshot"

enum { EXIT_OK = 0, EXIT_FAILED = 1, EXIT_USAGE = 2 };

static const char synopsis[] = "Usage: " PROGRAM
                               " all FILE\n"
                               "       " PROGRAM
                               " monitor N FILE\n"
                               "       " PROGRAM
                               " region X Y W H FILE\n"
                               "       " PROGRAM
                               " window ID FILE\n"
                               "       " PROGRAM " monitors | version | --help\n";

static const char help_text[] =
    "\n"
    "Capture the screen to PNG.\n"
    "\n"
    "  all FILE               the whole virtual screen\n"
    "  monitor N FILE         monitor N, counted from 0 in the order of 'monitors'\n"
    "  region X Y W H FILE    a rectangle of the virtual screen, cut to the monitors\n"
    "  window ID FILE         one window; ID in decimal or 0x hex (X11 window id, HWND)\n"
    "  monitors               print the monitors as one line of JSON\n"
    "  version                print the library version\n"
    "  --help                 print this text\n"
    "\n"
    "FILE '-' writes the PNG to standard output.\n"
    "Exit status: 0 on success, 1 when the capture fails (the reason on standard\n"
    "error), 2 on bad arguments.\n";

/* ---- text in and out on Windows --------------------------------------------
 * The program's text is UTF-8 on every platform: its arguments (wmain below),
 * the paths it hands the library, and so the library's messages. */

#if defined(_WIN32)
/* UTF-8 to UTF-16 in a malloc'd block, or NULL. */
static wchar_t *utf8_to_wide(const char *text) {
  int count = MultiByteToWideChar(CP_UTF8, 0, text, -1, NULL, 0);
  wchar_t *wide = count > 0 ? (wchar_t *)malloc((size_t)count * sizeof(wchar_t)) : NULL;
  if (wide && MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, count) != count) {
    free(wide);
    wide = NULL;
  }
  return wide;
}
#endif

/* A console shows UTF-16 as it is, where bytes would pass through its code
 * page; a file or pipe gets the UTF-8 bytes. */
static void put_text(FILE *stream, const char *text) {
#if defined(_WIN32)
  HANDLE handle = (HANDLE)_get_osfhandle(_fileno(stream));
  DWORD mode;
  if (handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
    wchar_t *wide = utf8_to_wide(text);
    DWORD written;
    if (wide) {
      fflush(stream);
      WriteConsoleW(handle, wide, (DWORD)wcslen(wide), &written, NULL);
      free(wide);
      return;
    }
  }
#endif
  fputs(text, stream);
}

/* One message line on standard error: "vantorel-screenshot: ...". */
static void say(const char *format, ...) {
  char text[8192];
  va_list args;
  int n = snprintf(text, sizeof text, PROGRAM ": ");
  va_start(args, format);
  vsnprintf(text + n, sizeof text - (size_t)n - 1, format, args);
  va_end(args);
  strcat(text, "\n");
  put_text(stderr, text);
}

static int usage_error(const char *why, const char *arg) {
  if (arg)
    say("%s: '%s'", why, arg);
  else
    say("%s", why);
  fputs(synopsis, stderr);
  return EXIT_USAGE;
}

static int failed(const char *message) {
  say("%s", message);
  return EXIT_FAILED;
}

static int library_failed(void) { return failed(screenshot_last_error()); }

/* A whole decimal int with an optional sign; nothing else may follow. */
static int parse_int(const char *text, int *out) {
  char *end = NULL;
  long long value;
  if (!*text) return -1;
  errno = 0;
  value = strtoll(text, &end, 10);
  if (errno || *end || value < INT_MIN || value > INT_MAX) return -1;
  *out = (int)value;
  return 0;
}

/* A window id: decimal, or hexadecimal after 0x. strtoull would take a
 * leading minus or treat a leading 0 as octal, so both are refused first. */
static int parse_window_id(const char *text, uintptr_t *out) {
  int base = 10;
  char *end = NULL;
  unsigned long long value;
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text += 2;
  }
  if (!*text ||
      !(base == 16 ? strchr("0123456789abcdefABCDEF", *text) : strchr("0123456789", *text)))
    return -1;
  errno = 0;
  value = strtoull(text, &end, base);
  if (errno || *end || value > UINTPTR_MAX) return -1;
  *out = (uintptr_t)value;
  return 0;
}

static int write_stdout(const uint8_t *bytes, size_t length) {
  if (fwrite(bytes, 1, length, stdout) != length || fflush(stdout) != 0) {
    say("writing to standard output: %s", strerror(errno));
    return EXIT_FAILED;
  }
  return EXIT_OK;
}

static int region_to_stdout(int x, int y, int width, int height) {
  uint8_t *png = NULL;
  int length = 0;
  int status;
  if (screenshot_capture_region_mem(x, y, width, height, &png, &length) != 0)
    return library_failed();
  status = write_stdout(png, (size_t)length);
  screenshot_free_mem(png);
  return status;
}

/* ---- the monitor listing, read back ----------------------------------------
 * The listing is the library's own one-line JSON: an array of flat objects
 * whose only string values are names. Reading it needs no more than a scanner
 * that skips strings (with their escapes) and picks up the integer members. */

typedef struct {
  int x, y, width, height;
} rect;

typedef struct {
  rect monitors[64];
  int count;
} monitor_list;

static const char *skip_string(const char *p) {
  ++p; /* opening quote */
  while (*p && *p != '"') p += (*p == '\\' && p[1]) ? 2 : 1;
  return *p ? p + 1 : p;
}

static int read_monitors(monitor_list *list) {
  const char *json = screenshot_list_monitors_json();
  const char *p;
  rect *current = NULL;
  list->count = 0;
  if (!json) return -1;
  for (p = json; *p;) {
    if (*p == '{') {
      current = list->count < 64 ? &list->monitors[list->count++] : NULL;
      if (current) memset(current, 0, sizeof *current);
      ++p;
    } else if (*p == '}') {
      current = NULL;
      ++p;
    } else if (*p == '"') {
      const char *key = p + 1;
      const char *after = skip_string(p);
      size_t key_length = (size_t)(after - key) - 1;
      p = after;
      if (current && *p == ':') {
        int *field = NULL;
        ++p;
        if (key_length == 1 && key[0] == 'x') field = &current->x;
        if (key_length == 1 && key[0] == 'y') field = &current->y;
        if (key_length == 5 && !strncmp(key, "width", 5)) field = &current->width;
        if (key_length == 6 && !strncmp(key, "height", 6)) field = &current->height;
        if (field) *field = (int)strtol(p, (char **)&p, 10);
      }
    } else {
      ++p;
    }
  }
  return 0;
}

static int all_to_stdout(void) {
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
    const rect *m = &list.monitors[i];
    if (m->x < left) left = m->x;
    if (m->y < top) top = m->y;
    if ((long long)m->x + m->width > right) right = (long long)m->x + m->width;
    if ((long long)m->y + m->height > bottom) bottom = (long long)m->y + m->height;
  }
  if (right - left > INT_MAX || bottom - top > INT_MAX) return failed("screen too large");
  return region_to_stdout((int)left, (int)top, (int)(right - left), (int)(bottom - top));
}

static int monitor_to_stdout(int index) {
  monitor_list list;
  const rect *m;
  if (read_monitors(&list) != 0) return library_failed();
  if (index < 0 || index >= list.count) {
    /* The library's wording for the same refusal by the file export. */
    say("monitor index %d out of range (0..%d)", index, list.count - 1);
    return EXIT_FAILED;
  }
  m = &list.monitors[index];
  return region_to_stdout(m->x, m->y, m->width, m->height);
}

/* ---- window to standard output through a temporary file ------------------- */

/* A new empty file's path, in UTF-8. */
static int make_temp_path(char *path, size_t size) {
#if defined(_WIN32)
  wchar_t dir[MAX_PATH + 1];
  wchar_t name[MAX_PATH + 1];
  DWORD n = GetTempPathW(MAX_PATH + 1, dir);
  if (n == 0 || n > MAX_PATH || !GetTempFileNameW(dir, L"vss", 0, name)) return -1;
  if (WideCharToMultiByte(CP_UTF8, 0, name, -1, path, (int)size, NULL, NULL) > 0) return 0;
  _wremove(name);
  return -1;
#else
  const char *dir = getenv("TMPDIR");
  int fd;
  if (!dir || !*dir) dir = "/tmp";
  if ((size_t)snprintf(path, size, "%s/" PROGRAM "-XXXXXX", dir) >= size) return -1;
  fd = mkstemp(path);
  if (fd < 0) return -1;
  close(fd);
  return 0;
#endif
}

static FILE *open_to_read(const char *path) {
#if defined(_WIN32)
  wchar_t *wide = utf8_to_wide(path);
  FILE *file = wide ? _wfopen(wide, L"rb") : NULL;
  free(wide);
  return file;
#else
  return fopen(path, "rb");
#endif
}

static void remove_file(const char *path) {
#if defined(_WIN32)
  wchar_t *wide = utf8_to_wide(path);
  if (wide) _wremove(wide);
  free(wide);
#else
  remove(path);
#endif
}

static int copy_file_to_stdout(const char *path) {
  uint8_t buffer[65536];
  size_t n;
  int status = EXIT_OK;
  FILE *file = open_to_read(path);
  if (!file) {
    say("reading %s: %s", path, strerror(errno));
    return EXIT_FAILED;
  }
  while (status == EXIT_OK && (n = fread(buffer, 1, sizeof buffer, file)) > 0)
    status = write_stdout(buffer, n);
  if (status == EXIT_OK && ferror(file)) {
    say("reading %s: %s", path, strerror(errno));
    status = EXIT_FAILED;
  }
  fclose(file);
  return status;
}

static int window_to_stdout(void *window) {
  char path[4096];
  int status;
  if (!window) return screenshot_capture_window_png(window, "-") == 0 ? EXIT_OK : library_failed();
  if (make_temp_path(path, sizeof path) != 0) {
    say("cannot create a temporary file: %s", strerror(errno));
    return EXIT_FAILED;
  }
  if (screenshot_capture_window_png(window, path) != 0)
    status = library_failed();
  else
    status = copy_file_to_stdout(path);
  remove_file(path);
  return status;
}

static int is_stdout(const char *file) { return strcmp(file, "-") == 0; }

static int run(int argc, char **argv) {
  const char *command;
  if (argc < 2) return usage_error("no command given", NULL);
  command = argv[1];

  if (!strcmp(command, "--help") || !strcmp(command, "-h") || !strcmp(command, "help")) {
    if (argc != 2) return usage_error("too many arguments", NULL);
    fputs(synopsis, stdout);
    fputs(help_text, stdout);
    return EXIT_OK;
  }
  if (!strcmp(command, "version") || !strcmp(command, "--version")) {
    if (argc != 2) return usage_error("too many arguments", NULL);
    printf("%s\n", screenshot_version());
    return EXIT_OK;
  }
  if (!strcmp(command, "monitors")) {
    const char *json;
    if (argc != 2) return usage_error("too many arguments", NULL);
    json = screenshot_list_monitors_json();
    if (!json) return library_failed();
    printf("%s\n", json);
    return EXIT_OK;
  }
  if (!strcmp(command, "all")) {
    if (argc != 3) return usage_error("'all' takes FILE", NULL);
    if (is_stdout(argv[2])) return all_to_stdout();
    return screenshot_capture_all_png(argv[2]) == 0 ? EXIT_OK : library_failed();
  }
  if (!strcmp(command, "monitor")) {
    int index;
    if (argc != 4) return usage_error("'monitor' takes N FILE", NULL);
    if (parse_int(argv[2], &index) != 0) return usage_error("not a monitor number", argv[2]);
    if (is_stdout(argv[3])) return monitor_to_stdout(index);
    return screenshot_capture_monitor_png(index, argv[3]) == 0 ? EXIT_OK : library_failed();
  }
  if (!strcmp(command, "region")) {
    int values[4];
    int i;
    if (argc != 7) return usage_error("'region' takes X Y W H FILE", NULL);
    for (i = 0; i < 4; ++i)
      if (parse_int(argv[2 + i], &values[i]) != 0)
        return usage_error("not an integer", argv[2 + i]);
    if (is_stdout(argv[6])) return region_to_stdout(values[0], values[1], values[2], values[3]);
    return screenshot_capture_region_png(values[0], values[1], values[2], values[3], argv[6]) == 0
               ? EXIT_OK
               : library_failed();
  }
  if (!strcmp(command, "window")) {
    uintptr_t id;
    if (argc != 4) return usage_error("'window' takes ID FILE", NULL);
    if (parse_window_id(argv[2], &id) != 0) return usage_error("not a window id", argv[2]);
    if (is_stdout(argv[3])) return window_to_stdout((void *)id);
    return screenshot_capture_window_png((void *)id, argv[3]) == 0 ? EXIT_OK : library_failed();
  }
  return usage_error("unknown command", command);
}

#if defined(_WIN32)
/* A narrow main would get its arguments in the ANSI code page, where
 * "José-日本.png" turns into "Jos?-??.png"; the wide ones are exact, and go
 * on as UTF-8, which the library takes. */
int wmain(int argc, wchar_t **wargv) {
  char **argv = (char **)calloc((size_t)argc + 1, sizeof *argv);
  int i, status = EXIT_FAILED;
  /* PNG bytes must reach a pipe untouched, not with LF turned into CR LF. */
  _setmode(_fileno(stdout), _O_BINARY);
  for (i = 0; argv && i < argc; ++i) {
    int size = WideCharToMultiByte(CP_UTF8, 0, wargv[i], -1, NULL, 0, NULL, NULL);
    argv[i] = size > 0 ? (char *)malloc((size_t)size) : NULL;
    if (!argv[i] ||
        WideCharToMultiByte(CP_UTF8, 0, wargv[i], -1, argv[i], size, NULL, NULL) != size)
      break;
  }
  if (argv && i == argc)
    status = run(argc, argv);
  else
    failed("out of memory for the arguments");
  for (i = 0; argv && i < argc; ++i) free(argv[i]);
  free(argv);
  return status;
}
#else
int main(int argc, char **argv) { return run(argc, argv); }
#endif
