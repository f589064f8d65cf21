// A scripted stand-in for the display services of display.h, linked next to
// the core in the unit tests. A test lays out monitors, a framebuffer and
// windows, chooses which calls fail and with what last-error code, runs the
// code under test, then reads the journal of calls and the live handle counts.
//
// Bitmaps hold no pixels: they remember only their size and what was last
// drawn into them (a block of the screen or a window's fill colour), and
// GetDIBits renders from that. So a frame of any size can be "captured" up to
// the point where the core allocates its own buffer.
//
// All state sits behind one mutex, so the layer may be driven from several
// threads. The last-error code is per thread, as on Windows.
#ifndef VANTOREL_TESTS_SCRIPTED_DISPLAY_H
#define VANTOREL_TESTS_SCRIPTED_DISPLAY_H

#include <stdint.h>

#include <string>
#include <vector>

#include "core/display.h"

enum sd_call {
  SD_ENUM_DISPLAY_MONITORS,
  SD_GET_MONITOR_INFO,
  SD_GET_SYSTEM_METRICS,
  SD_GET_WINDOW_RECT,
  SD_PRINT_WINDOW,
  SD_GET_DC,
  SD_RELEASE_DC,
  SD_CREATE_COMPATIBLE_DC,
  SD_CREATE_COMPATIBLE_BITMAP,
  SD_SELECT_OBJECT,
  SD_BITBLT,
  SD_GET_DIBITS,
  SD_DELETE_OBJECT,
  SD_DELETE_DC,
  SD_ASK_POINTER,
  SD_CALL_KINDS
};

// A pixel as the read-back delivers it: B, G, R and the fourth byte.
struct sd_pixel {
  uint8_t b, g, r, x;
};

struct sd_live_counts {
  int screen_dcs;
  int memory_dcs;
  int bitmaps;
  int selections;  // memory DCs holding something other than their stock bitmap
};

// Back to nothing: no monitors, no framebuffer, no windows, no failures, an
// empty journal, the calling thread's last error 0.
void sd_reset(void);

// Monitors, reported by EnumDisplayMonitors in the order added. device is at
// most 32 bytes (szDevice); primary sets MONITORINFOF_PRIMARY. Returns the
// monitor's number.
int sd_add_monitor(int left, int top, int right, int bottom, const char *device, int primary);
// GetMonitorInfoA for this monitor returns 0 with the given last error.
void sd_fail_monitor_info(int monitor, DWORD error);
// EnumDisplayMonitors reports every monitor to the callback and then returns
// 0 (with the failure set by sd_fail) instead of failing straight away.
void sd_enum_fails_after_callbacks(int on);

// GetSystemMetrics 76..79. Without this they give the bounding box of every
// monitor added, as Windows does.
void sd_set_virtual_screen(int left, int top, int width, int height);

// The framebuffer, in virtual-screen coordinates, all pixels set to fill.
// Reads outside it give the outside pixel (default all zero).
void sd_set_screen(int left, int top, int width, int height, sd_pixel fill);
void sd_set_screen_pixel(int x, int y, sd_pixel p);
void sd_fill_screen_rect(int left, int top, int width, int height, sd_pixel p);
void sd_set_outside_pixel(sd_pixel p);

// Windows. PrintWindow with flags 2 or 0 succeeds by default and fills the
// bitmap with that flag's colour; sd_window_print changes it.
HWND sd_add_window(int left, int top, int right, int bottom);
void sd_window_print(HWND window, UINT flags, int ok, sd_pixel fill, DWORD error);

// The window list vs_list_windows gives, topmost first; a non-zero error
// makes it fail with that last error instead.
void sd_set_window_list(const std::vector<vs_window_entry> &windows, DWORD error);
// The one window vs_capture_window_text knows: that id, that size, every
// pixel fill.
void sd_set_text_window(const char *id, int width, int height, sd_pixel fill);

// The nth call (1-based; 0 means every call) of the given kind fails: it
// returns 0 or NULL, changes nothing and sets the last error. For
// SD_SELECT_OBJECT the failed call returns NULL without selecting anything.
void sd_fail(sd_call call, int nth, DWORD error);
void sd_set_last_error(DWORD error);

// The calls so far, in order, one text each, such as
// "BitBlt(M1,0,0,4,3,S1,-2,-1,0xcc0020)=1". Handles are named S1.. (screen
// DCs), M1.. (memory DCs), B1.. (bitmaps), STOCK (a memory DC's own bitmap),
// W1.. (windows), H1.. (monitors); the GetDIBits buffer is not shown.
std::vector<std::string> sd_journal(void);
// Number of journal entries whose text starts with prefix.
int sd_journal_count(const char *prefix);
void sd_clear_journal(void);

sd_live_counts sd_live(void);
// Protocol faults seen: a dead or foreign handle, a bitmap deleted while
// selected, a wrong argument in a call whose arguments are fixed.
std::vector<std::string> sd_misuse(void);

#endif
