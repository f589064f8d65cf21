// The display services of display.h on Linux. One dispatch (linux_dispatch)
// picks a display layer for the process at the first call that needs the
// display: X11, Wayland or the desktop portal, and picks again once the chosen
// connection broke. The core never learns which layer runs.
//
// Device contexts and bitmaps are plain records shared by all layers, so a
// window printed by X11 and a screen copied by Wayland can meet in one window
// capture. A bitmap holds no pixels of its own: its content refers to pixels
// that the last copy left somewhere (an X11 image reply, the X11 shared
// segment, a frame assembled by the Wayland layer), described by a pixel
// format, and GetDIBits converts from there into the caller's buffer.
//
// Errors: GetLastError gives the thread's last code. The X11 layer reports X
// error codes and XCB's connection errors (all below 20 or from 128 on);
// the codes of the dispatch and of the other layers are the VS_ERROR_* below.
#ifndef VANTOREL_LINUX_DISPLAY_H
#define VANTOREL_LINUX_DISPLAY_H

#include <stddef.h>
#include <stdint.h>

#include "display.h"

// The dispatch's own refusals.
#define VS_ERROR_BAD_BACKEND 100  // VANTOREL_SCREENSHOT_BACKEND names no layer
#define VS_ERROR_XWAYLAND 101     // an Xwayland root shows no Wayland pixels

// Enough for every monitor the core can take, with room to spare.
#define VS_MAX_MONITORS 64

enum vs_layer_id { VS_LAYER_NONE = 0, VS_LAYER_X11, VS_LAYER_WAYLAND, VS_LAYER_PORTAL };

struct vs_monitor {
  RECT rect;
  uint8_t primary;
  char name[CCHDEVICENAME];
};

struct vs_monitor_list {
  vs_monitor monitors[VS_MAX_MONITORS];
  int count;
};

// How a 32-bit pixel of the content maps to the B, G, R, X bytes that
// GetDIBits delivers.
struct vs_pixel_format {
  uint8_t msb_first;  // pixels stored most significant byte first
  uint8_t red_shift;
  uint8_t green_shift;
  uint8_t blue_shift;
  uint8_t has_alpha;  // the fourth byte is the pixel's alpha, not padding
  uint8_t alpha_shift;
};

struct vs_bitmap {
  uint32_t magic;
  int32_t width;
  int32_t height;
  // The last copy filled this rectangle of the bitmap; the rest reads black.
  int32_t content_x;
  int32_t content_y;
  int32_t content_width;
  int32_t content_height;
  const uint8_t *pixels;  // first pixel of the content, rows stride bytes apart
  uint32_t stride;
  vs_pixel_format format;
  void *hold;      // heap block that holds pixels (image reply, assembled frame), or NULL
  uint8_t leased;  // pixels lie in the X11 shared segment, reserved for this bitmap
};

struct vs_dc {
  uint32_t magic;
  uint8_t is_screen;
  vs_bitmap *bitmap;  // selected bitmap, or NULL
};

void vs_set_last_error(DWORD code);

vs_dc *vs_memory_dc(HDC hdc);
vs_bitmap *vs_bitmap_of(HGDIOBJ object);

// Drops what the bitmap's content refers to; it then reads black.
void vs_clear_content(vs_bitmap *bitmap);

// The dispatch forgets a layer whose connection broke, so the next call that
// needs the display chooses afresh (a new compositor, or X11 after all).
void vs_forget_layer(vs_layer_id layer);

// Makes the list's primary flags sound: exactly one monitor is primary, the
// one the layer flagged, else the one at (0,0), else the first.
void vs_settle_primary(vs_monitor_list *list);

#endif
