// The grab exports: a rectangle or a window into a screenshot_picture, with
// what the caller's flags ask for. They share the capture steps of the nine.
#include <stdlib.h>
#include <string.h>

#include "core/display.h"
#include "core/screenshot.h"
#include "win32/win32_dpi.h"

static const unsigned k_known_flags = SCREENSHOT_WITH_CURSOR;

// Refuses what the grab cannot honour, before anything reaches the display.
static int check_flags(unsigned flags) {
  if (flags & ~k_known_flags) {
    set_error("unknown flags 0x%x", flags & ~k_known_flags);
    return -1;
  }
  return 0;
}

// A window id as text: the number of an HWND or an X11 window, decimal or
// 0x-hex, nothing before or after it.
static int parse_window_number(const char *id, uintptr_t *out) {
  const char *p = id;
  int base = 10;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    base = 16;
    p += 2;
  }
  if (!*p) return -1;
  uint64_t value = 0;
  for (; *p; p++) {
    int digit;
    if (*p >= '0' && *p <= '9')
      digit = *p - '0';
    else if (base == 16 && *p >= 'a' && *p <= 'f')
      digit = *p - 'a' + 10;
    else if (base == 16 && *p >= 'A' && *p <= 'F')
      digit = *p - 'A' + 10;
    else
      return -1;
    if (value > (UINTPTR_MAX - (uint64_t)digit) / (uint64_t)base) return -1;
    value = value * (uint64_t)base + (uint64_t)digit;
  }
  if (value == 0) return -1;
  *out = (uintptr_t)value;
  return 0;
}

static int grab_region(int x, int y, int width, int height, unsigned flags,
                       screenshot_picture *out) {
  if (!out) {
    set_error("out params are NULL");
    return -1;
  }
  memset(out, 0, sizeof *out);
  if (check_flags(flags) != 0) return -1;
  rgba_frame frame;
  if (capture_clamped(&x, &y, width, height, flags, &frame) != 0) return -1;
  out->x = x;
  out->y = y;
  out->width = frame.width;
  out->height = frame.height;
  out->rgba = frame.pixels;
  return 0;
}

static int grab_window(const char *id, unsigned flags, screenshot_picture *out) {
  if (!out) {
    set_error("out params are NULL");
    return -1;
  }
  memset(out, 0, sizeof *out);
  if (!id || !id[0]) {
    set_error("window id is empty");
    return -1;
  }
  if (check_flags(flags) != 0) return -1;
  uintptr_t number = 0;
  if (parse_window_number(id, &number) != 0) {
    set_error("no window has the id '%.64s'", id);
    return -1;
  }
  rgba_frame frame;
  memset(&frame, 0, sizeof frame);
  if (capture_window_rgba((void *)number, flags, &frame) != 0) return -1;
  out->width = frame.width;
  out->height = frame.height;
  out->rgba = frame.pixels;
  return 0;
}

int screenshot_grab_region(int x, int y, int width, int height, unsigned flags,
                           screenshot_picture *out) {
  dpi_scope scope;
  enter_physical_pixels(&scope);
  int result = grab_region(x, y, width, height, flags, out);
  leave_physical_pixels(&scope);
  return result;
}

int screenshot_grab_window(const char *id, unsigned flags, screenshot_picture *out) {
  dpi_scope scope;
  enter_physical_pixels(&scope);
  int result = grab_window(id, flags, out);
  leave_physical_pixels(&scope);
  return result;
}

const char *screenshot_list_windows_json(void) {
  set_error("the windows cannot be listed here");
  return NULL;
}
