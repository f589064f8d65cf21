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

// A window named by text that is no number (a native Wayland toplevel's
// id), whole, as its platform captures it, with the pointer where asked.
static int capture_window_text(const char *id, unsigned flags, rgba_frame *frame) {
  int width = 0;
  int height = 0;
  BYTE *pixels = NULL;
  BOOL pointer = (flags & SCREENSHOT_WITH_CURSOR) ? TRUE : FALSE;
  if (!vs_capture_window_text(id, pointer, &width, &height, &pixels)) {
    set_error("window '%.64s' could not be captured (error %lu)", id,
              (unsigned long)GetLastError());
    return -1;
  }
  if (!pixels || width <= 0 || height <= 0) {
    free(pixels);
    set_error("window '%.64s' has empty rect", id);
    return -1;
  }
  bgrx_to_rgba(pixels, (uint64_t)width * (uint64_t)height);
  frame->pixels = pixels;
  frame->width = width;
  frame->height = height;
  frame->stride = (int32_t)((uint32_t)width * 4u);  // no consumer reads it; never overflow
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
  rgba_frame frame;
  memset(&frame, 0, sizeof frame);
  // What starts with a digit is a window number or names no window; other
  // text is an id of the platform's own (a native Wayland window's).
  if (id[0] >= '0' && id[0] <= '9') {
    if (parse_window_number(id, &number) != 0) {
      set_error("no window has the id '%.64s'", id);
      return -1;
    }
    if (capture_window_rgba((void *)number, flags, &frame) != 0) return -1;
  } else if (capture_window_text(id, flags, &frame) != 0) {
    return -1;
  }
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
