/* What the parts of the command-line program share: the request the
 * arguments make, and the steps that carry it out. */
#ifndef VANTOREL_CLI_H
#define VANTOREL_CLI_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#define PROGRAM "vantorel-screenshot"

enum { EXIT_OK = 0, EXIT_FAILED = 1, EXIT_USAGE = 2 };

typedef enum { FORMAT_PNG, FORMAT_JPEG, FORMAT_PPM } image_format;

typedef enum {
  TARGET_SCREEN,  /* the whole virtual screen */
  TARGET_MONITOR, /* monitor_index, or the monitor that output names */
  TARGET_REGION,
  TARGET_WINDOW,
  TARGET_FOCUSED
} target_kind;

typedef struct {
  target_kind target;
  int monitor_index;
  const char *output; /* -o NAME|INDEX|primary, resolved against the listing */
  int x, y, width, height;
  uintptr_t window;
  const char *window_text; /* 'window' ID|TITLE that is no number */
  const char *file;        /* NULL: a timestamped name; "-": standard output */
  image_format format;
  int quality;       /* JPEG, 1 to 100 */
  int level;         /* PNG, 0 to 9, or -1 for the library's default */
  unsigned delay_ms; /* -d */
  int cursor;        /* -c: the mouse pointer drawn into the picture */
} request;

/* One monitor of the library's JSON listing. */
typedef struct {
  int index, x, y, width, height, is_primary;
  char name[129];
} monitor_info;

enum { MAX_LISTED_MONITORS = 64 };

typedef struct {
  monitor_info monitors[MAX_LISTED_MONITORS];
  int count;
} monitor_list;

/* cli_text.c: text and files, UTF-8 on every platform. */
#if defined(__GNUC__)
#define VS_PRINTF_LIKE __attribute__((format(printf, 1, 2)))
#else
#define VS_PRINTF_LIKE
#endif
/* One message line on standard error: "vantorel-screenshot: ...". */
void say(const char *format, ...) VS_PRINTF_LIKE;
/* Text to a stream: UTF-16 to a Windows console, the UTF-8 bytes elsewhere. */
void put_text(FILE *stream, const char *text);
/* Text from outside (an argument, standard input) as a message may show it:
 * control characters, DEL, C1 controls and bytes that are no UTF-8 as \n,
 * \t, \r or \xNN, a backslash as \\. Valid until the next call. */
const char *shown(const char *text);
/* Flushes standard output: EXIT_OK, or EXIT_FAILED with the message when
 * anything written to it was lost (a full disk, a closed pipe). */
int finish_stdout(void);
void remove_file(const char *path);
#if defined(_WIN32)
/* UTF-8 to UTF-16 in a malloc'd block, or NULL. */
wchar_t *utf8_to_wide(const char *text);
#endif

/* Each of these prints its message and returns EXIT_FAILED. library_failed
 * prints the library's last message as report_failure does. */
int failed(const char *message);
int failed_errno(const char *what, const char *path);
int library_failed(void);
/* A message that may end in "(error N)": led by N's reason in words (and
 * the peer's words, when not NULL or empty), then the message and N. */
void report_failure(const char *message, const char *words);
/* The reason in words for a platform error code, or NULL when there is none
 * to give. The text is valid until the next call. */
const char *error_reason(unsigned long code);

/* cli_args.c: the usage texts, and the arguments read into a request; both
 * return EXIT_OK or, with the message and the usage printed, EXIT_USAGE. */
extern const char synopsis[];
extern const char help_text[];
int usage_error(const char *why, const char *arg);
int parse_arguments(int argc, char **argv, request *req);

/* cli_capture.c */
int read_monitors(monitor_list *list);
int run_capture(const request *req);

/* cli_windows.c: `windows [--table]`; the id of the window that text names
 * (an id the list gives, else the one title it matches exactly); the id of
 * the window the list says has the focus (EXIT_FAILED, silently, when it
 * says of none or cannot be had). On failure the first two print why. */
int run_windows(int argc, char **argv);
int find_window(const char *text, char *id, size_t size);
int focused_in_list(char *id, size_t size);

/* cli_system.c */
void sleep_ms(unsigned ms);
/* Finds the focused window: its handle, or on Wayland its id in the window
 * list (id, size bytes); on failure prints why and returns EXIT_FAILED. */
int focused_window(uintptr_t *window, char *id, size_t size);
/* Makes (empty, so no other run takes it) a file named after the current time
 * in the pictures directory or the current one, and gives its path. */
int reserve_timestamped_file(const char *extension, char *path, size_t size);
/* Until removed or kept, SIGINT, SIGTERM and SIGHUP remove it (while the
 * path still names it) before they end the program. */
/* Removes the file reserve_timestamped_file made, while the path still names
 * it. */
void remove_reserved_file(const char *path);
/* The picture is in it: the file stays, whatever comes. */
void keep_reserved_file(void);

#endif
