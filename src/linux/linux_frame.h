// Frames, shared by every layer that receives a picture in memory (the
// Wayland screen copy, the portal's picture): a heap frame of B, G, R, X
// pixels for the rectangle asked for, black until a source fills its part of
// it, then held by the bitmap. A source buffer stands for a logical rectangle
// of the screen and is cut and scaled into the frame by one rule.
//
// The rule: the source, once its transform is undone, covers the logical
// area; each logical pixel takes the source pixel under its centre (column
// floor((x + 0.5) * picture_width / area_width), likewise for rows). A
// scaled output's buffer (twice the pixels each way at scale 2) and a turned
// one (the panel's orientation) both come out in logical pixels, upright.
#ifndef VANTOREL_LINUX_FRAME_H
#define VANTOREL_LINUX_FRAME_H

#include <stdint.h>

#include "core/display.h"

struct vs_bitmap;

struct vs_source {
  const uint8_t *pixels;  // the buffer's first byte
  uint64_t size;          // bytes readable from there
  uint32_t width;         // in the buffer's own pixels, 32 bits each
  uint32_t height;
  uint32_t stride;        // bytes from one row to the next
  uint8_t swap_red_blue;  // little-endian words X,B,G,R rather than X,R,G,B
  uint8_t transform;      // wl_output_transform that turns the buffer as it is seen
  uint8_t y_invert;       // rows stored bottom first
};

// B, G, R, X bytes a pixel, rows width pixels apart.
struct vs_frame {
  uint32_t *pixels;
  int width;
  int height;
};

// A heap frame of width x height opaque black pixels: what a capture shows
// where no source covers it. 0, or -1 (pixels NULL) when the memory cannot be
// had; the caller sets its own code.
int vs_frame_alloc(vs_frame *frame, int width, int height);

// Lets go of the frame's pixels, if it still has them.
void vs_frame_free(vs_frame *frame);

// The bitmap takes the frame's pixels as its whole content, and frees them
// when it lets go; the frame is left empty.
void vs_frame_hold(vs_frame *frame, vs_bitmap *bitmap);

// Where a source's area (a rectangle of the virtual screen) meets the frame
// of the rectangle (x, y, width, height): the part in the area's own
// coordinates, and where it goes in the frame.
struct vs_cut {
  int x;  // in the area
  int y;
  int width;
  int height;
  int dest_x;  // in the frame
  int dest_y;
};

// 1 with *cut filled when they meet, 0 when they do not. The edges are
// summed in 64 bits; the area is no wider or higher than an int holds.
int vs_frame_cut(const RECT *area, int x, int y, int width, int height, vs_cut *cut);

// Fills the part (x, y, width, height) of the source's logical area
// (area_width x area_height) into the frame at (dest_x, dest_y); the fourth
// byte is 255. 0, or -1 (nothing written) when the source's description does
// not fit its size or a rectangle does not fit where it goes: every figure is
// checked in 64 bits before a byte is read.
int vs_sample(const vs_source *source, int area_width, int area_height, int x, int y, int width,
              int height, vs_frame *frame, int dest_x, int dest_y);

#endif
