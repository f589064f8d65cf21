#include "linux/linux_frame.h"

#include <string.h>

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
