// The tests of vantorel-screenshot.dll under a real USER32/GDI32 (Wine or
// Windows). They reach the DLL only through the table below, so the same
// tests run whether the host linked the import library or asked
// GetProcAddress.
#ifndef VS_WIN32_SUITE_H
#define VS_WIN32_SUITE_H

#include <stdint.h>

#include "vantorel_screenshot.h"

struct vs_api {
  const char *(*version)(void);
  const char *(*last_error)(void);
  const char *(*list_monitors_json)(void);
  int (*capture_all_png)(const char *path);
  int (*capture_monitor_png)(int index, const char *path);
  int (*capture_region_png)(int x, int y, int width, int height, const char *path);
  int (*capture_window_png)(void *hwnd, const char *path);
  int (*capture_region_mem)(int x, int y, int width, int height, uint8_t **out_png, int *out_len);
  void (*free_mem)(void *mem);
  int (*capture_region_rgba)(int x, int y, int width, int height, int *out_x, int *out_y,
                             int *out_width, int *out_height, unsigned char **out_pixels);
  const char *(*list_windows_json)(void);
  int (*grab_window)(const char *id, unsigned flags, screenshot_picture *out);
  // screenshot_grab_region; its picture is screenshot_picture's five members.
  int (*grab_region)(int x, int y, int width, int height, unsigned flags, void *out);
};

extern vs_api g_api;

// Creates the test windows and a scratch directory, as a test of its own: it
// fails when the desktop is not the rig's two-monitor layout or the windows
// never appear on the screen.
void suite_setup(void);
// The same on whatever desktop there is, for the leak loops.
void suite_setup_any_desktop(void);
// Every test but the leak loops, through g_api.
void suite_run(void);
// 1,000 captures of each kind, counting the process's GDI objects.
void suite_run_leaks(void);
void suite_teardown(void);

#endif
