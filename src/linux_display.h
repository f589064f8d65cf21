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

// How the content's pixels map to the B, G, R, X bytes that GetDIBits
// delivers. A zeroed record with shifts 16, 8 and 0 is the common case: 32
// bits a pixel, least significant byte first, 8-bit channels, X,R,G,B.
enum vs_pixel_kind {
  VS_PIXELS_DIRECT = 0,  // 32 bits, 8-bit channels taken as they are
  VS_PIXELS_MAPPED,      // 16, 24 or 32 bits, each channel through its level table
  VS_PIXELS_INDEXED,     // 1, 4 or 8 bits, the value through the palette
};

// Channels up to this wide have a level table; no X server offers wider ones.
#define VS_MAX_CHANNEL_BITS 10

struct vs_pixel_format {
  uint8_t msb_first;  // pixels stored most significant byte (or nibble, or bit) first
  uint8_t red_shift;
  uint8_t green_shift;
  uint8_t blue_shift;
  uint8_t has_alpha;  // the pixel's alpha byte sits at alpha_shift; without it X is 255
  uint8_t alpha_shift;
  uint8_t kind;            // vs_pixel_kind
  uint8_t bits_per_pixel;  // mapped and indexed pixels
  // Mapped: a channel's output is levels[(pixel >> shift) & mask].
  uint16_t red_mask;
  uint16_t green_mask;
  uint16_t blue_mask;
  uint8_t red_levels[1 << VS_MAX_CHANNEL_BITS];
  uint8_t green_levels[1 << VS_MAX_CHANNEL_BITS];
  uint8_t blue_levels[1 << VS_MAX_CHANNEL_BITS];
  uint8_t palette[256][4];  // indexed: B, G, R, X of every value
};

// A channel value of the given width (1 to 16 bits) scaled to 8 bits,
// rounded to nearest: 0 stays 0 and full intensity becomes 255.
static inline uint8_t vs_scale_channel(uint32_t value, int bits) {
  uint32_t max = (1u << bits) - 1;
  return (uint8_t)((value * 255u + max / 2) / max);
}

// Describes pixels of bits_per_pixel bits whose channels lie under the three
// masks (contiguous bits, at most VS_MAX_CHANNEL_BITS wide), each scaled by
// vs_scale_channel; an 8-bit alpha_mask (32-bit pixels only) passes the
// alpha through. Up to 8 bits a pixel, the palette holds every value. 0, or
// -1 for a layout the conversion cannot take.
int vs_format_from_masks(vs_pixel_format *format, int bits_per_pixel, int msb_first,
                         uint32_t red_mask, uint32_t green_mask, uint32_t blue_mask,
                         uint32_t alpha_mask);

// Makes an indexed format of 1, 4 or 8 bits a pixel, its palette black.
int vs_format_indexed(vs_pixel_format *format, int bits_per_pixel, int msb_first);

// After the level tables of a format from vs_format_from_masks changed
// (a DirectColor colormap), brings an indexed format's palette in line.
void vs_format_refresh_palette(vs_pixel_format *format);

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

// Makes a heap frame of width x height B, G, R, X pixels the bitmap's whole
// content; the bitmap owns it from then on.
void vs_hold_frame(vs_bitmap *bitmap, uint32_t *frame, int width, int height);

// The dispatch forgets a layer whose connection broke, so the next call that
// needs the display chooses afresh (a new compositor, or X11 after all).
void vs_forget_layer(vs_layer_id layer);

// Makes the list's primary flags sound: exactly one monitor is primary, the
// one the layer flagged, else the one at (0,0), else the first.
void vs_settle_primary(vs_monitor_list *list);

#endif
