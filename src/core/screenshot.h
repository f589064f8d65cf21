// Internal records and steps of the screenshot core, shared with the tests.
#ifndef VANTOREL_SCREENSHOT_INTERNAL_H
#define VANTOREL_SCREENSHOT_INTERNAL_H

#include <stdint.h>

#include "vantorel_screenshot.h"

#define ERROR_TEXT_SIZE 512
#define ERROR_REASON_SIZE 256
#define MONITOR_JSON_SIZE 65536
#define MAX_MONITORS 16
#define MONITOR_NAME_SIZE 128
#define JSON_NAME_SCRATCH_SIZE 256

struct monitor_entry {
  int32_t x;
  int32_t y;
  int32_t width;
  int32_t height;
  int32_t index;
  uint8_t is_primary;
  char name[MONITOR_NAME_SIZE];
};

struct monitor_table {
  monitor_entry entries[MAX_MONITORS];
  int32_t count;
};

struct rgba_frame {
  uint8_t *pixels;
  int32_t width;
  int32_t height;
  int32_t stride;
};

void set_error(const char *format, ...)
#if defined(__MINGW32__)
    // The core formats with MinGW's C99 printf, not msvcrt's ("%zu").
    __attribute__((format(gnu_printf, 1, 2)))
#elif defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
int enumerate_monitors(monitor_table *table);
int clamp_to_screen(const monitor_entry *entries, int count, int *x, int *y, int *width,
                    int *height);
int capture_rect_rgba(int x, int y, int width, int height, rgba_frame *frame);
int write_png_file(const char *path, const rgba_frame *frame);
int capture_region_to_file(int x, int y, int width, int height, const char *path);
// The region as the monitors cut it, captured; *x and *y become the frame's
// place on the screen. flags: the grab exports' (SCREENSHOT_WITH_CURSOR).
int capture_clamped(int *x, int *y, int width, int height, unsigned flags, rgba_frame *frame);
// A window (its HWND) into a new frame: its rectangle, then the print or the
// copy, with the window capture's messages; flags as for capture_clamped.
int capture_window_rgba(void *window, unsigned flags, rgba_frame *frame);

// Escapes a monitor name for the JSON listing into out (JSON_NAME_SCRATCH_SIZE
// bytes, always terminated) and returns the escaped length.
int escape_json_name(const char *name, char *out);

// Swaps R and B of every pixel in place and makes the frame opaque when the
// platform left the fourth byte 0 everywhere (GDI does); any non-zero fourth
// byte means real alpha, and then all of them pass through.
void bgrx_to_rgba(uint8_t *pixels, uint64_t pixel_count);

#endif
