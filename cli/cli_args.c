/* The arguments read into a request (cli.h): the commands, the options and
 * their values, and the usage text. */
#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cli.h"
#include "vantorel_screenshot.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#endif

const char synopsis[] =
    "Usage: " PROGRAM
    " [OPTION]... [FILE]\n"
    "       " PROGRAM
    " [OPTION]... all|focused [FILE]\n"
    "       " PROGRAM
    " [OPTION]... monitor N [FILE]\n"
    "       " PROGRAM
    " [OPTION]... region X Y W H [FILE]\n"
    "       " PROGRAM
    " [OPTION]... window ID|TITLE [FILE]\n"
    "       " PROGRAM " monitors | windows [--table] | version | --help | --version\n";

const char help_text[] =
    "\n"
    "Capture the screen, a monitor, a rectangle or a window to PNG, JPEG or PPM.\n"
    "\n"
    "Without a command the whole virtual screen is captured, or what -g, -o or -u\n"
    "choose. Without FILE the picture goes to a new file named after the time,\n"
    "YYYY-MM-DD-HHMMSS_" PROGRAM
    ".png, in $XDG_PICTURES_DIR (from the\n"
    "environment or ~/.config/user-dirs.dirs), else ~/Pictures when it exists,\n"
    "else the current directory (always on Windows), and its path is printed.\n"
    "FILE '-' writes the image to standard output.\n"
    "\n"
    "Commands:\n"
    "  all [FILE]               the whole virtual screen (the default)\n"
    "  monitor N [FILE]         monitor N, counted from 0 in the order of 'monitors'\n"
    "  region X Y W H [FILE]    a rectangle of the virtual screen, cut to the monitors\n"
    "  window ID|TITLE [FILE]   one window: an id as 'windows' lists it (X11 window id\n"
    "                           or HWND also in decimal), or a title that exactly one\n"
    "                           window has\n"
    "  windows [--table]        print the windows as one line of JSON, topmost first\n"
    "                           (--table: in columns)\n"
    "  focused [FILE]           the focused window, as -u\n"
    "  monitors                 print the monitors as one line of JSON\n"
    "  version                  print the library version\n"
    "\n"
    "Options (before, between or after the arguments above):\n"
    "  -g, --geometry GEOMETRY  a rectangle, \"X,Y WxH\" (as slurp prints it) or\n"
    "                           WxH+X+Y (a minus offset is a negative coordinate);\n"
    "                           '-g -' reads it from standard input\n"
    "  -o, --output OUTPUT      one monitor: its name, its index or 'primary'\n"
    "  -u, --focused            the focused window: X11's _NET_ACTIVE_WINDOW, the\n"
    "                           foreground window on Windows; on Wayland the one\n"
    "                           'windows' says is focused, where it says so (else\n"
    "                           exit status 1)\n"
    "  -c, --cursor             draw the mouse pointer into the picture; refused\n"
    "                           where it cannot be (GNOME's portal, X11 without\n"
    "                           XFixes)\n"
    "  -d, --delay SECONDS      wait this long before the capture (0.5 is allowed)\n"
    "  -t, --type png|jpeg|ppm  the image format (jpg for jpeg too, any case)\n"
    "  -l, --level 0-9          PNG compression: 0 none, 1 fastest, 9 smallest;\n"
    "                           default 7\n"
    "  -q, --quality 1-100      JPEG quality, default 90\n"
    "  -h, --help               print this text\n"
    "      --version            print the library version\n"
    "\n"
    "The format is -t's, else FILE's extension: .png, .jpg or .jpeg, .ppm, in any\n"
    "case; any other is refused. A FILE after a command may have no extension and\n"
    "is then PNG; a FILE alone needs an extension or -t. With -t, an extension\n"
    "must agree with it.\n"
    "\n"
    "Exit status: 0 on success; 1 when the capture or writing its output fails\n"
    "(on standard error the reason in words, then the library's message and its\n"
    "code); 2 on bad arguments (the usage on standard error).\n";

enum { DEFAULT_JPEG_QUALITY = 90, MAX_DELAY_SECONDS = 86400 };

int usage_error(const char *why, const char *arg) {
  if (arg)
    say("%s: '%s'", why, shown(arg));
  else
    say("%s", why);
  fputs(synopsis, stderr);
  return EXIT_USAGE;
}

/* ---- reading the arguments -------------------------------------------------- */

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

/* One number of a geometry at *p: digits, after a sign when allowed. */
static int scan_number(const char **p, int sign_allowed, int *out) {
  long long value = 0;
  int negative = 0;
  if (sign_allowed && (**p == '+' || **p == '-')) negative = *(*p)++ == '-';
  if (**p < '0' || **p > '9') return -1;
  while (**p >= '0' && **p <= '9') {
    value = value * 10 + (*(*p)++ - '0');
    if (value > (long long)INT_MAX + 1) return -1;
  }
  if (negative) value = -value;
  if (value < INT_MIN || value > INT_MAX) return -1;
  *out = (int)value;
  return 0;
}

static const char *skip_blanks(const char *p) {
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r') ++p;
  return p;
}

/* "X,Y WxH", as slurp prints it, or "WxH+X+Y" with signed offsets. */
static int parse_geometry(const char *text, request *req) {
  const char *first = skip_blanks(text);
  const char *p = first;
  int a, b, c, d;
  if (scan_number(&p, 1, &a) != 0) return -1;
  if (*p == ',') {
    ++p;
    p = skip_blanks(p);
    if (scan_number(&p, 1, &b) != 0 || (*p != ' ' && *p != '\t')) return -1;
    p = skip_blanks(p);
    if (scan_number(&p, 0, &c) != 0 || *p++ != 'x' || scan_number(&p, 0, &d) != 0) return -1;
    req->x = a, req->y = b, req->width = c, req->height = d;
  } else {
    if (*first == '+' || *first == '-' || *p++ != 'x' || scan_number(&p, 0, &b) != 0) return -1;
    if ((*p != '+' && *p != '-') || scan_number(&p, 1, &c) != 0) return -1;
    if ((*p != '+' && *p != '-') || scan_number(&p, 1, &d) != 0) return -1;
    req->width = a, req->height = b, req->x = c, req->y = d;
  }
  return *skip_blanks(p) ? -1 : 0;
}

/* -g -: one line from standard input, as `slurp | ... -g -` gives it, and
 * then the input's end. NULL, or why the input is refused: a NUL would cut
 * the line short unseen, and bytes after it would be a second answer. */
static const char *read_geometry_line(char *line, size_t size) {
  size_t n = 0;
  int c;
  while ((c = getchar()) != EOF && c != '\n') {
    if (c == '\0') return "a NUL byte in the geometry on standard input";
    if (n + 1 >= size) return "the geometry on standard input is too long";
    line[n++] = (char)c;
  }
  line[n] = '\0';
  if (ferror(stdin)) return "standard input cannot be read";
  if (n == 0 && c == EOF) return "no geometry on standard input";
  if (c != EOF && getchar() != EOF) return "more than one line on standard input";
  return NULL;
}

static int parse_delay(const char *text, unsigned *ms) {
  char *end = NULL;
  double seconds;
  if (!*text || strchr(text, 'x') || strchr(text, 'X')) return -1; /* no hex floats */
  errno = 0;
  seconds = strtod(text, &end);
  if (errno || *end || !(seconds >= 0) || seconds > MAX_DELAY_SECONDS) return -1;
  *ms = (unsigned)(seconds * 1000.0 + 0.5);
  return 0;
}

/* png, jpeg or jpg, ppm, in any case: the library's names. */
static int parse_format(const char *text, image_format *format) {
  static const struct {
    const char *name;
    image_format format;
  } names[] = {
      {"png", FORMAT_PNG}, {"jpeg", FORMAT_JPEG}, {"jpg", FORMAT_JPEG}, {"ppm", FORMAT_PPM}};
  size_t i, j;
  for (i = 0; i < sizeof names / sizeof names[0]; ++i) {
    for (j = 0; text[j] && names[i].name[j]; ++j)
      if ((text[j] >= 'A' && text[j] <= 'Z' ? text[j] + 32 : text[j]) != names[i].name[j]) break;
    if (!text[j] && !names[i].name[j]) {
      *format = names[i].format;
      return 0;
    }
  }
  return -1;
}

/* The refusal the library gives for a format it does not know, word for
 * word, then the usage. */
static int unknown_format(const char *name) {
  say("unknown image format '%.32s' (png, jpeg or ppm)", name);
  fputs(synopsis, stderr);
  return EXIT_USAGE;
}

/* FILE's extension, or NULL when it has none. */
static const char *extension_of_name(const char *file) {
  const char *base = file;
  const char *dot;
  for (const char *p = file; *p; ++p)
#if defined(_WIN32)
    if (*p == '/' || *p == '\\' || *p == ':') base = p + 1;
#else
    if (*p == '/') base = p + 1;
#endif
  dot = strrchr(base, '.');
  return dot && dot != base ? dot + 1 : NULL;
}

typedef struct {
  const char *word;
  target_kind target;
  int operands;
  const char *usage;
} command;

static const command commands[] = {
    {"all", TARGET_SCREEN, 0, "'all' takes [FILE]"},
    {"monitor", TARGET_MONITOR, 1, "'monitor' takes N [FILE]"},
    {"region", TARGET_REGION, 4, "'region' takes X Y W H [FILE]"},
    {"window", TARGET_WINDOW, 1, "'window' takes ID [FILE]"},
    {"focused", TARGET_FOCUSED, 0, "'focused' takes [FILE]"},
};

/* An option's value: "-dVALUE", "--delay=VALUE" or the next argument. */
static const char *option_value(int argc, char **argv, int *i, const char *attached) {
  if (attached) return attached;
  if (*i + 1 >= argc) return NULL;
  return argv[++*i];
}

static int is_option(const char *arg, char short_name, const char *long_name,
                     const char **attached) {
  size_t n = strlen(long_name);
  *attached = NULL;
  if (arg[0] == '-' && arg[1] == short_name && short_name) {
    if (arg[2]) *attached = arg + 2;
    return 1;
  }
  if (!strncmp(arg, "--", 2) && !strncmp(arg + 2, long_name, n) &&
      (arg[2 + n] == '\0' || arg[2 + n] == '=')) {
    if (arg[2 + n] == '=') *attached = arg + 3 + n;
    return 1;
  }
  return 0;
}

/* The arguments into *req. Options may come anywhere; a command's operands
 * are taken as they are, so that "region -10 -20 100 100" has negative
 * coordinates, not options. */
int parse_arguments(int argc, char **argv, request *req) {
  const command *chosen = NULL;
  const char *files[2] = {NULL, NULL};
  const char *chooser = NULL; /* the option that chose the target */
  int file_count = 0;
  int format_given = 0, quality_given = 0, level_given = 0, options_done = 0;
  int i, j;
  image_format by_name;

  memset(req, 0, sizeof *req);
  req->target = TARGET_SCREEN;
  req->format = FORMAT_PNG;
  req->quality = DEFAULT_JPEG_QUALITY;
  req->level = -1;

  for (i = 1; i < argc; ++i) {
    const char *arg = argv[i];
    const char *value = NULL;
    if (!options_done && !strcmp(arg, "--")) {
      options_done = 1;
    } else if (!options_done && arg[0] == '-' && arg[1]) {
      if (is_option(arg, 'd', "delay", &value)) {
        if (!(value = option_value(argc, argv, &i, value)))
          return usage_error("-d takes SECONDS", NULL);
        if (parse_delay(value, &req->delay_ms) != 0)
          return usage_error("not a delay in seconds (0 to 86400)", value);
      } else if (is_option(arg, 't', "type", &value)) {
        if (!(value = option_value(argc, argv, &i, value)))
          return usage_error("-t takes png, jpeg or ppm", NULL);
        if (parse_format(value, &req->format) != 0) return unknown_format(value);
        format_given = 1;
      } else if (is_option(arg, 'q', "quality", &value)) {
        if (!(value = option_value(argc, argv, &i, value)))
          return usage_error("-q takes 1 to 100", NULL);
        if (parse_int(value, &req->quality) != 0 || req->quality < 1 || req->quality > 100)
          return usage_error("not a JPEG quality (1 to 100)", value);
        quality_given = 1;
      } else if (is_option(arg, 'l', "level", &value)) {
        if (!(value = option_value(argc, argv, &i, value)))
          return usage_error("-l takes 0 to 9", NULL);
        if (parse_int(value, &req->level) != 0 || req->level < 0 || req->level > 9)
          return usage_error("not a PNG compression level (0 to 9)", value);
        level_given = 1;
      } else if (is_option(arg, 'c', "cursor", &value)) {
        if (value) return usage_error("-c takes no value", arg);
        req->cursor = 1;
      } else if (is_option(arg, 'g', "geometry", &value) || is_option(arg, 'o', "output", &value) ||
                 is_option(arg, 'u', "focused", &value)) {
        char which = arg[1] == '-' ? arg[2] : arg[1];
        if (which == 'f') which = 'u';
        if (chooser) return usage_error("only one of -g, -o and -u may be given", arg);
        chooser = arg;
        if (which == 'u') {
          if (value) return usage_error("-u takes no value", arg);
          req->target = TARGET_FOCUSED;
        } else if (!(value = option_value(argc, argv, &i, value))) {
          return usage_error(which == 'g' ? "-g takes GEOMETRY" : "-o takes OUTPUT", NULL);
        } else if (which == 'o') {
          if (!*value) return usage_error("-o takes a name, an index or 'primary'", NULL);
          req->target = TARGET_MONITOR;
          req->output = value;
        } else {
          char line[256];
          if (!strcmp(value, "-")) {
            const char *refused = read_geometry_line(line, sizeof line);
            if (refused) return usage_error(refused, NULL);
            value = line;
          }
          if (parse_geometry(value, req) != 0)
            return usage_error("not a geometry (\"X,Y WxH\" or WxH+X+Y)", value);
          req->target = TARGET_REGION;
        }
      } else if (!strcmp(arg, "-h") || !strcmp(arg, "--help") || !strcmp(arg, "--version")) {
        return usage_error("too many arguments", NULL); /* alone is handled by run() */
      } else {
        return usage_error("unknown option", arg);
      }
    } else if (!chosen && file_count == 0) {
      for (j = 0; j < (int)(sizeof commands / sizeof commands[0]); ++j)
        if (!strcmp(arg, commands[j].word)) chosen = &commands[j];
      if (!chosen) {
        files[file_count++] = arg;
        continue;
      }
      if (i + chosen->operands >= argc) return usage_error(chosen->usage, NULL);
      if (chosen->target == TARGET_MONITOR && parse_int(argv[i + 1], &req->monitor_index) != 0)
        return usage_error("not a monitor number", argv[i + 1]);
      /* What starts like a number must be one; other text is an id of the
       * window list or a title. */
      if (chosen->target == TARGET_WINDOW && !strchr("+-0123456789", argv[i + 1][0]))
        req->window_text = argv[i + 1];
      else if (chosen->target == TARGET_WINDOW && parse_window_id(argv[i + 1], &req->window) != 0)
        return usage_error("not a window id", argv[i + 1]);
      if (chosen->target == TARGET_REGION) {
        int *values[4] = {&req->x, &req->y, &req->width, &req->height};
        for (j = 0; j < 4; ++j)
          if (parse_int(argv[i + 1 + j], values[j]) != 0)
            return usage_error("not an integer", argv[i + 1 + j]);
      }
      i += chosen->operands;
    } else if (file_count < 2) {
      files[file_count++] = arg;
    } else {
      return usage_error("too many arguments", arg);
    }
  }

  if (file_count > 1) return usage_error("too many arguments", files[1]);
  if (chosen && chooser)
    return usage_error("a command and -g, -o or -u both choose what to capture", chooser);
  if (chosen) req->target = chosen->target;
  req->file = files[0];

  if (req->file && strcmp(req->file, "-") != 0) {
    const char *extension = extension_of_name(req->file);
    if (extension && parse_format(extension, &by_name) != 0) return unknown_format(extension);
    if (extension && format_given && by_name != req->format)
      return usage_error("-t and the file's extension disagree", req->file);
    if (!extension && !format_given && !chosen)
      return usage_error("neither a command nor a file name with an image extension", req->file);
    if (extension) req->format = by_name;
  }
  if (quality_given && req->format != FORMAT_JPEG) return usage_error("-q is for JPEG only", NULL);
  if (level_given && req->format != FORMAT_PNG) return usage_error("-l is for PNG only", NULL);
  return EXIT_OK;
}
