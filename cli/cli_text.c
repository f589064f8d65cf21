/* The program's text in and out: UTF-8 on every platform, UTF-16 to a
 * Windows console, and its messages on standard error. */
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
#else
#include "cli_reasons.h"
#endif

/* ---- text in and out ------------------------------------------------------- */

#if defined(_WIN32)
wchar_t *utf8_to_wide(const char *text) {
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
void put_text(FILE *stream, const char *text) {
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

void say(const char *format, ...) {
  char text[8192];
  va_list args;
  int n = snprintf(text, sizeof text, PROGRAM ": ");
  va_start(args, format);
  vsnprintf(text + n, sizeof text - (size_t)n - 1, format, args);
  va_end(args);
  strcat(text, "\n");
  put_text(stderr, text);
}

void remove_file(const char *path) {
#if defined(_WIN32)
  wchar_t *wide = utf8_to_wide(path);
  if (wide) _wremove(wide);
  free(wide);
#else
  remove(path);
#endif
}
/* The length of the UTF-8 sequence at p that a terminal shows as a
 * character (not a C1 control), or 0. */
static size_t printable_utf8(const unsigned char *p) {
  size_t length, i;
  uint32_t code;
  if (p[0] >= 0xc2 && p[0] <= 0xdf) {
    length = 2, code = p[0] & 0x1fu;
  } else if (p[0] >= 0xe0 && p[0] <= 0xef) {
    length = 3, code = p[0] & 0x0fu;
  } else if (p[0] >= 0xf0 && p[0] <= 0xf4) {
    length = 4, code = p[0] & 0x07u;
  } else {
    return 0;
  }
  for (i = 1; i < length; ++i) {
    if ((p[i] & 0xc0) != 0x80) return 0;
    code = code << 6 | (p[i] & 0x3fu);
  }
  if (code < 0xa0 || (length == 3 && code < 0x800) || (length == 4 && code < 0x10000) ||
      code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff))
    return 0;
  return length;
}

const char *shown(const char *text) {
  static char out[1024];
  static const char ellipsis[] = "...";
  size_t n = 0;
  const unsigned char *p = (const unsigned char *)text;
  while (*p) {
    char piece[8];
    size_t length = 1;
    if (*p == '\\') {
      strcpy(piece, "\\\\");
    } else if (*p == '\n' || *p == '\t' || *p == '\r') {
      piece[0] = '\\', piece[1] = *p == '\n' ? 'n' : *p == '\t' ? 't' : 'r', piece[2] = '\0';
    } else if (*p >= 0x20 && *p < 0x7f) {
      piece[0] = (char)*p, piece[1] = '\0';
    } else if (*p >= 0x80 && (length = printable_utf8(p)) > 0) {
      memcpy(piece, p, length);
      piece[length] = '\0';
    } else {
      length = 1;
      snprintf(piece, sizeof piece, "\\x%02x", *p);
    }
    if (n + strlen(piece) + sizeof ellipsis > sizeof out) {
      memcpy(out + n, ellipsis, sizeof ellipsis);
      return out;
    }
    memcpy(out + n, piece, strlen(piece));
    n += strlen(piece);
    p += length;
  }
  out[n] = '\0';
  return out;
}

int finish_stdout(void) {
  if (fflush(stdout) != 0 || ferror(stdout)) {
    if (!errno) errno = EIO;
    return failed_errno("writing to standard output", NULL);
  }
  return EXIT_OK;
}

int failed(const char *message) {
  say("%s", message);
  return EXIT_FAILED;
}

int failed_errno(const char *what, const char *path) {
  if (path)
    say("%s %s: %s", what, path, strerror(errno));
  else
    say("%s: %s", what, strerror(errno));
  return EXIT_FAILED;
}

/* The reason in words first, as a user reads it, then the library's message
 * exactly as it is, with its code:
 *
 *   vantorel-screenshot: no display: DISPLAY is unset ... (EnumDisplayMonitors failed, error 5)
 *
 * The peer's own words, where it gave any (an X server's reason for refusing
 * the connection), follow the reason. A message without a code, or with one
 * that has no words, is printed as it is. */
int library_failed(void) {
  report_failure(screenshot_last_error(), screenshot_last_error_detail());
  return EXIT_FAILED;
}

void report_failure(const char *message, const char *words) {
  const char *marker = strstr(message, " (error ");
  const char *reason = NULL;
  const char *next;
  unsigned long code = 0;
  while (marker && (next = strstr(marker + 1, " (error ")) != NULL) marker = next;
  if (marker) {
    const char *digits = marker + 8;
    char *end = NULL;
    errno = 0;
    code = strtoul(digits, &end, 10);
    if (*digits >= '0' && *digits <= '9' && !errno && end[0] == ')' && end[1] == '\0')
      reason = error_reason(code);
  }
  if (!reason)
    say("%s", message);
  else if (words && words[0])
    say("%s: %s (%.*s, error %lu)", reason, words, (int)(marker - message), message, code);
  else
    say("%s (%.*s, error %lu)", reason, (int)(marker - message), message, code);
}

/* ---- reasons in words ------------------------------------------------------ */

const char *error_reason(unsigned long code) {
#if defined(_WIN32)
  static char text[1024];
  wchar_t wide[512];
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                           (DWORD)code, 0, wide, (DWORD)(sizeof wide / sizeof wide[0]), NULL);
  int length;
  if (n == 0) return NULL;
  length = WideCharToMultiByte(CP_UTF8, 0, wide, (int)n, text, (int)sizeof text - 1, NULL, NULL);
  if (length <= 0) return NULL;
  /* The system's text ends in a full stop and a line break; the program's
   * line ends itself. */
  while (length > 0 && strchr(" .\r\n", text[length - 1])) --length;
  text[length] = '\0';
  return length ? text : NULL;
#else
  return cli_linux_reason(code);
#endif
}
