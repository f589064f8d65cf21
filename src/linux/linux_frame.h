// Frame sampling, shared by every layer that receives a picture in memory
// (the Wayland screen copy, the portal's picture): a source buffer that stands
// for a logical rectangle of the screen, cut and scaled into a frame of
// B, G, R, X pixels by one rule.
//
// The rule: the source, once its transform is undone, covers the logical
// area; each logical pixel takes the source pixel under its centre (column
// floor((x + 0.5) * picture_width / area_width), likewise for rows). A
// scaled output's buffer (twice the pixels each way at scale 2) and a turned
// one (the panel's orientation) both come out in logical pixels, upright.
#ifndef VANTOREL_LINUX_FRAME_H
#define VANTOREL_LINUX_FRAME_H

#include <stdint.h>

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

// Fills the part (x, y, width, height) of the source's logical area
// (area_width x area_height) into the frame at (dest_x, dest_y); the fourth
// byte is 255. 0, or -1 (nothing written) when the source's description does
// not fit its size or a rectangle does not fit where it goes: every figure is
// checked in 64 bits before a byte is read.
int vs_sample(const vs_source *source, int area_width, int area_height, int x, int y, int width,
              int height, vs_frame *frame, int dest_x, int dest_y);

#endif
