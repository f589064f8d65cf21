#include "linux/linux_frame.h"

#include <stdlib.h>
#include <string.h>

#include "linux/linux_display.h"

// A byte count that does not fit the address space (a 32-bit process) is a
// frame that cannot be had, never a shorter one.
int vs_frame_alloc(vs_frame *frame, int width, int height) {
  frame->pixels = NULL;
  frame->width = width;
  frame->height = height;
  if (width <= 0 || height <= 0) return -1;
  uint64_t count = (uint64_t)width * (uint64_t)height;
  if (count > SIZE_MAX / 4) return -1;
  frame->pixels = (uint32_t *)malloc((size_t)count * 4);
  if (!frame->pixels) return -1;
  for (uint64_t i = 0; i < count; i++) frame->pixels[i] = 0xff000000u;
  return 0;
}

void vs_frame_free(vs_frame *frame) {
  free(frame->pixels);
  frame->pixels = NULL;
}

static void release_frame(vs_bitmap *bitmap) { free(bitmap->hold); }

void vs_frame_hold(vs_frame *frame, vs_bitmap *bitmap) {
  vs_clear_content(bitmap);
  bitmap->pixels = (const uint8_t *)frame->pixels;
  bitmap->hold = frame->pixels;
  bitmap->release = release_frame;
  bitmap->stride = (uint32_t)frame->width * 4u;
  bitmap->content_x = 0;
  bitmap->content_y = 0;
  bitmap->content_width = frame->width;
  bitmap->content_height = frame->height;
  // A zeroed format with these shifts is 32-bit little-endian X, R, G, B.
  memset(&bitmap->format, 0, sizeof bitmap->format);
  bitmap->format.red_shift = 16;
  bitmap->format.green_shift = 8;
  bitmap->format.blue_shift = 0;
  frame->pixels = NULL;
}

int vs_frame_cut(const RECT *area, int x, int y, int width, int height, vs_cut *cut) {
  int64_t left = x > area->left ? x : area->left;
  int64_t top = y > area->top ? y : area->top;
  int64_t right = (int64_t)x + width < area->right ? (int64_t)x + width : area->right;
  int64_t bottom = (int64_t)y + height < area->bottom ? (int64_t)y + height : area->bottom;
  if (left >= right || top >= bottom) return 0;
  cut->x = (int)(left - area->left);
  cut->y = (int)(top - area->top);
  cut->width = (int)(right - left);
  cut->height = (int)(bottom - top);
  cut->dest_x = (int)(left - x);
  cut->dest_y = (int)(top - y);
  return 1;
}

// The buffer may come from another process with any stride, so a pixel is
// read without assuming alignment.
static inline uint32_t load_pixel(const uint8_t *p) {
  uint32_t value;
  memcpy(&value, p, sizeof value);
  return value;
}

static inline uint32_t to_bgrx(uint32_t value, int swap_red_blue) {
  if (swap_red_blue) {
    value = (value & 0x0000ff00u) | ((value >> 16) & 0xffu) | ((value & 0xffu) << 16);
  }
  return value | 0xff000000u;
}

// Where the pixel (u, v) of the picture as seen lies in a buffer of width bw
// and height bh, for wl_output's eight transforms.
static void buffer_point(int transform, int64_t u, int64_t v, int64_t bw, int64_t bh, int64_t *bx,
                         int64_t *by) {
  switch (transform & 7) {
    case 1:  // 90
      *bx = v;
      *by = bh - 1 - u;
      break;
    case 2:  // 180
      *bx = bw - 1 - u;
      *by = bh - 1 - v;
      break;
    case 3:  // 270
      *bx = bw - 1 - v;
      *by = u;
      break;
    case 4:  // flipped
      *bx = bw - 1 - u;
      *by = v;
      break;
    case 5:  // flipped 90
      *bx = v;
      *by = u;
      break;
    case 6:  // flipped 180
      *bx = u;
      *by = bh - 1 - v;
      break;
    case 7:  // flipped 270
      *bx = bw - 1 - v;
      *by = bh - 1 - u;
      break;
    default:
      *bx = u;
      *by = v;
      break;
  }
}

static int fits(int64_t start, int64_t length, int64_t limit) {
  return start >= 0 && length > 0 && start + length <= limit;
}

int vs_sample(const vs_source *source, int area_width, int area_height, int x, int y, int width,
              int height, vs_frame *frame, int dest_x, int dest_y) {
  const int64_t bw = source->width;
  const int64_t bh = source->height;
  const uint64_t row_bytes = (uint64_t)source->width * 4u;
  if (!source->pixels || bw == 0 || bh == 0 || source->stride < row_bytes ||
      (uint64_t)source->stride * (uint64_t)(bh - 1) + row_bytes > source->size) {
    return -1;
  }
  if (area_width <= 0 || area_height <= 0 || !fits(x, width, area_width) ||
      !fits(y, height, area_height) || !frame->pixels || !fits(dest_x, width, frame->width) ||
      !fits(dest_y, height, frame->height)) {
    return -1;
  }
  const int transform = source->transform & 7;
  const int swap = source->swap_red_blue != 0;
  const int64_t tw = (transform & 1) ? bh : bw;
  const int64_t th = (transform & 1) ? bw : bh;
  const int identity = transform == 0 && tw == area_width && th == area_height;
  const uint8_t *pixels = source->pixels;
  const uint64_t stride = source->stride;
  for (int v = 0; v < height; v++) {
    uint32_t *out = frame->pixels + (size_t)(dest_y + v) * (size_t)frame->width + (size_t)dest_x;
    if (identity) {
      int64_t row = (int64_t)y + v;
      if (source->y_invert) row = bh - 1 - row;
      const uint8_t *in = pixels + (uint64_t)row * stride + (uint64_t)x * 4u;
      if (swap) {
        for (int u = 0; u < width; u++) out[u] = to_bgrx(load_pixel(in + (size_t)u * 4), 1);
      } else {
        for (int u = 0; u < width; u++) out[u] = load_pixel(in + (size_t)u * 4) | 0xff000000u;
      }
      continue;
    }
    int64_t tv = (2 * ((int64_t)y + v) + 1) * th / (2 * (int64_t)area_height);
    for (int u = 0; u < width; u++) {
      int64_t tu = (2 * ((int64_t)x + u) + 1) * tw / (2 * (int64_t)area_width);
      int64_t bx, by;
      buffer_point(transform, tu, tv, bw, bh, &bx, &by);
      if (source->y_invert) by = bh - 1 - by;
      out[u] = to_bgrx(load_pixel(pixels + (uint64_t)by * stride + (uint64_t)bx * 4u), swap);
    }
  }
  return 0;
}
