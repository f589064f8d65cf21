// The window list as one line of JSON, from the records the platform gives
// (vs_list_windows). Titles and application names come from other programs
// (an X property any client may set, a Wayland client's title): they are
// checked as UTF-8 here, whatever the platform promised, and cut to a length
// the listing documents, so a hostile title can neither break the JSON nor
// make it unbounded.
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "core/display.h"
#include "core/screenshot.h"
#include "win32/win32_dpi.h"

// Longest title and application name kept, in bytes of UTF-8 (cut at a
// character boundary); README and docs/reference.md say the same.
#define TITLE_BYTES 256
#define APP_BYTES 128

// The longest one window's JSON can be: every kept byte escaped to six
// (\u00XX), every number at its widest, names and punctuation.
#define ENTRY_JSON_MAX (6 * (VS_WINDOW_ID_SIZE + TITLE_BYTES + APP_BYTES) + 256)
#define WINDOW_JSON_SIZE (VS_MAX_WINDOWS * ENTRY_JSON_MAX + 4)

static char s_window_json[WINDOW_JSON_SIZE];

// Length of the well-formed UTF-8 character at p (at most left bytes), or 0
// when the bytes there are none: overlong forms, surrogates and code points
// past U+10FFFF count as malformed.
static int utf8_char_length(const unsigned char *p, size_t left) {
  unsigned char c = p[0];
  if (c < 0x80) return 1;
  int length;
  uint32_t min;
  uint32_t cp;
  if (c >= 0xc2 && c <= 0xdf) {
    length = 2;
    min = 0x80;
    cp = c & 0x1f;
  } else if (c >= 0xe0 && c <= 0xef) {
    length = 3;
    min = 0x800;
    cp = c & 0x0f;
  } else if (c >= 0xf0 && c <= 0xf4) {
    length = 4;
    min = 0x10000;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if ((size_t)length > left) return 0;
  for (int i = 1; i < length; i++) {
    if ((p[i] & 0xc0) != 0x80) return 0;
    cp = (cp << 6) | (p[i] & 0x3fu);
  }
  if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return 0;
  return length;
}

// Appends text (at most size bytes, to its first NUL) to out as a JSON
// string: malformed bytes become U+FFFD, quotation mark, backslash and
// control characters are escaped, and the text is cut before the character
// that would take it past limit bytes of UTF-8. Returns the new end.
static char *append_json_text(char *out, const char *text, size_t size, size_t limit) {
  static const char hex[] = "0123456789abcdef";
  const unsigned char *p = (const unsigned char *)text;
  size_t left = strnlen(text, size);
  size_t kept = 0;
  *out++ = '"';
  while (left > 0) {
    int length = utf8_char_length(p, left);
    int consumed = length ? length : 1;
    int produced = length ? length : 3;
    if (kept + (size_t)produced > limit) break;
    kept += (size_t)produced;
    if (!length) {
      memcpy(out, "\xef\xbf\xbd", 3);
      out += 3;
    } else if (p[0] == '"' || p[0] == '\\') {
      *out++ = '\\';
      *out++ = (char)p[0];
    } else if (p[0] < 0x20) {
      memcpy(out, "\\u00", 4);
      out[4] = hex[p[0] >> 4];
      out[5] = hex[p[0] & 15];
      out += 6;
    } else {
      memcpy(out, p, (size_t)length);
      out += length;
    }
    p += consumed;
    left -= (size_t)consumed;
  }
  *out++ = '"';
  return out;
}

static char *append_literal(char *out, const char *text) {
  size_t n = strlen(text);
  memcpy(out, text, n);
  return out + n;
}

static char *append_flag(char *out, const char *name, int value) {
  out = append_literal(out, name);
  return append_literal(out, value < 0 ? "null" : value ? "true" : "false");
}

static char *append_window(char *out, const vs_window_entry *w) {
  out = append_literal(out, "{\"id\":");
  out = append_json_text(out, w->id, sizeof w->id, sizeof w->id);
  out = append_literal(out, ",\"title\":");
  out = append_json_text(out, w->title, sizeof w->title, TITLE_BYTES);
  out = append_literal(out, ",\"app\":");
  out = append_json_text(out, w->app, sizeof w->app, APP_BYTES);
  char numbers[160];
  int n;
  if (w->pid >= 0)
    n = snprintf(numbers, sizeof numbers, ",\"pid\":%" PRId64, w->pid);
  else
    n = snprintf(numbers, sizeof numbers, ",\"pid\":null");
  if (n > 0) out = append_literal(out, numbers);
  if (w->has_rect) {
    n = snprintf(numbers, sizeof numbers, ",\"x\":%d,\"y\":%d,\"width\":%d,\"height\":%d",
                 (int)w->x, (int)w->y, (int)w->width, (int)w->height);
    if (n > 0) out = append_literal(out, numbers);
  } else {
    out = append_literal(out, ",\"x\":null,\"y\":null,\"width\":null,\"height\":null");
  }
  out = append_flag(out, ",\"focused\":", w->focused);
  out = append_flag(out, ",\"minimized\":", w->minimized);
  *out++ = '}';
  return out;
}

static const char *format_window_json(void) {
  vs_window_entry *windows = (vs_window_entry *)calloc(VS_MAX_WINDOWS, sizeof *windows);
  if (!windows) {
    set_error("out of memory for the window list");
    return NULL;
  }
  int count = 0;
  if (!vs_list_windows(windows, VS_MAX_WINDOWS, &count)) {
    set_error("the windows could not be listed (error %lu)", (unsigned long)GetLastError());
    free(windows);
    return NULL;
  }
  if (count < 0) count = 0;
  if (count > VS_MAX_WINDOWS) count = VS_MAX_WINDOWS;
  char *out = s_window_json;
  *out++ = '[';
  for (int i = 0; i < count; i++) {
    if (i) *out++ = ',';
    out = append_window(out, &windows[i]);
  }
  *out++ = ']';
  *out = '\0';
  free(windows);
  return s_window_json;
}

const char *screenshot_list_windows_json(void) {
  dpi_scope scope;
  enter_physical_pixels(&scope);
  const char *json = format_window_json();
  leave_physical_pixels(&scope);
  return json;
}
