// Screen copies on Wayland: one copy per output that the rectangle touches
// (ext-image-copy-capture where offered, wl_ext_capture.cpp; else wlroots'
// screen copy, here), into a wl_shm buffer of our own, assembled into one
// frame of B, G, R, X pixels that the bitmap then holds. What no output
// covers reads opaque black.
//
// Scaled and transformed outputs: a capture is always in logical pixels, the
// coordinates the monitors are listed in. A compositor hands a scaled output's
// region over in its buffer pixels (twice as many each way at scale 2) and a
// rotated one in the panel's orientation; each logical pixel takes the buffer
// pixel under its centre after the output's transform is undone.
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include "wl_display.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"

// wl_shm's format codes for the four layouts of 8-bit channels we read.
#define SHM_ARGB8888 0u
#define SHM_XRGB8888 1u
#define SHM_ABGR8888 0x34324241u
#define SHM_XBGR8888 0x34324258u

struct copy_state {
  uint32_t format;  // the chosen one; valid when has_format
  uint32_t width;
  uint32_t height;
  uint32_t stride;
  uint32_t flags;
  uint8_t has_format;
  uint8_t offered_other;  // a buffer was offered in a format we cannot read
  int described;          // every buffer offer has arrived
  int finished;           // ready or failed
  int failed;
};

int wl_shm_format_rank(uint32_t format) {
  switch (format) {
    case SHM_XRGB8888:
      return 4;
    case SHM_ARGB8888:
      return 3;
    case SHM_XBGR8888:
      return 2;
    case SHM_ABGR8888:
      return 1;
    default:
      return 0;
  }
}

static void frame_buffer(void *data, zwlr_screencopy_frame_v1 *frame, uint32_t format,
                         uint32_t width, uint32_t height, uint32_t stride) {
  copy_state *s = (copy_state *)data;
  int rank = wl_shm_format_rank(format);
  if (rank == 0) {
    s->offered_other = 1;
  } else if (!s->has_format || rank > wl_shm_format_rank(s->format)) {
    s->format = format;
    s->width = width;
    s->height = height;
    s->stride = stride;
    s->has_format = 1;
  }
  // Before version 3 the one buffer offer is all there is.
  if (zwlr_screencopy_frame_v1_get_version(frame) < 3) s->described = 1;
}

static void frame_flags(void *data, zwlr_screencopy_frame_v1 *frame, uint32_t flags) {
  (void)frame;
  ((copy_state *)data)->flags = flags;
}

static void frame_ready(void *data, zwlr_screencopy_frame_v1 *frame, uint32_t sec_hi,
                        uint32_t sec_lo, uint32_t nsec) {
  (void)frame;
  (void)sec_hi;
  (void)sec_lo;
  (void)nsec;
  ((copy_state *)data)->finished = 1;
}

static void frame_failed(void *data, zwlr_screencopy_frame_v1 *frame) {
  (void)frame;
  copy_state *s = (copy_state *)data;
  s->failed = 1;
  s->finished = 1;
  s->described = 1;
}

static void frame_damage(void *data, zwlr_screencopy_frame_v1 *frame, uint32_t x, uint32_t y,
                         uint32_t width, uint32_t height) {
  (void)data;
  (void)frame;
  (void)x;
  (void)y;
  (void)width;
  (void)height;
}

// Only shared memory is ours to read; a dma-buf offer is noted and passed by.
static void frame_linux_dmabuf(void *data, zwlr_screencopy_frame_v1 *frame, uint32_t format,
                               uint32_t width, uint32_t height) {
  (void)data;
  (void)frame;
  (void)format;
  (void)width;
  (void)height;
}

static void frame_buffer_done(void *data, zwlr_screencopy_frame_v1 *frame) {
  (void)frame;
  ((copy_state *)data)->described = 1;
}

static const zwlr_screencopy_frame_v1_listener k_frame_listener = {
    frame_buffer, frame_flags,        frame_ready,       frame_failed,
    frame_damage, frame_linux_dmabuf, frame_buffer_done,
};

// ---------------------------------------------------------------------------
// Pixels

static inline uint32_t to_bgrx(uint32_t value, int swap_red_blue) {
  if (swap_red_blue) {
    value = (value & 0x0000ff00u) | ((value >> 16) & 0xffu) | ((value & 0xffu) << 16);
  }
  return value | 0xff000000u;
}

// Where the logical pixel (u, v) of the transformed picture lies in a buffer
// of width bw and height bh, for wl_output's eight transforms.
static void buffer_point(int transform, int u, int v, int bw, int bh, int *bx, int *by) {
  switch (transform & 7) {
    case WL_OUTPUT_TRANSFORM_90:
      *bx = v;
      *by = bh - 1 - u;
      break;
    case WL_OUTPUT_TRANSFORM_180:
      *bx = bw - 1 - u;
      *by = bh - 1 - v;
      break;
    case WL_OUTPUT_TRANSFORM_270:
      *bx = bw - 1 - v;
      *by = u;
      break;
    case WL_OUTPUT_TRANSFORM_FLIPPED:
      *bx = bw - 1 - u;
      *by = v;
      break;
    case WL_OUTPUT_TRANSFORM_FLIPPED_90:
      *bx = v;
      *by = u;
      break;
    case WL_OUTPUT_TRANSFORM_FLIPPED_180:
      *bx = u;
      *by = bh - 1 - v;
      break;
    case WL_OUTPUT_TRANSFORM_FLIPPED_270:
      *bx = bw - 1 - v;
      *by = bh - 1 - u;
      break;
    default:
      *bx = u;
      *by = v;
      break;
  }
}

void wl_shm_frame_sample(const wl_shm_frame *b, int transform, int lw, int lh, int ox, int oy,
                         int rw, int rh, uint32_t *frame, int frame_width, int dest_x, int dest_y) {
  int bw = (int)b->width;
  int bh = (int)b->height;
  int swap = b->format == SHM_XBGR8888 || b->format == SHM_ABGR8888;
  int y_invert = b->y_invert;
  int identity = (transform & 7) == WL_OUTPUT_TRANSFORM_NORMAL && bw == lw && bh == lh;
  for (int v = 0; v < rh; v++) {
    uint32_t *out = frame + (size_t)(dest_y + v) * (size_t)frame_width + (size_t)dest_x;
    if (identity) {
      int row = y_invert ? bh - 1 - (oy + v) : oy + v;
      const uint32_t *in = (const uint32_t *)(const void *)(b->data + (size_t)row * b->stride) + ox;
      for (int u = 0; u < rw; u++) out[u] = to_bgrx(in[u], swap);
      continue;
    }
    int tw = (transform & 1) ? bh : bw;
    int th = (transform & 1) ? bw : bh;
    int tv = (int)(((int64_t)2 * (oy + v) + 1) * th / (2 * (int64_t)lh));
    for (int u = 0; u < rw; u++) {
      int tu = (int)(((int64_t)2 * (ox + u) + 1) * tw / (2 * (int64_t)lw));
      int bx, by;
      buffer_point(transform, tu, tv, bw, bh, &bx, &by);
      if (y_invert) by = bh - 1 - by;
      const uint32_t *in = (const uint32_t *)(const void *)(b->data + (size_t)by * b->stride);
      out[u] = to_bgrx(in[bx], swap);
    }
  }
}

// ---------------------------------------------------------------------------
// One output's copy

void wl_shm_frame_release(wl_shm_frame *b) {
  if (b->buffer) wl_buffer_destroy(b->buffer);
  if (b->pool) wl_shm_pool_destroy(b->pool);
  if (b->data) munmap(b->data, b->size);
  if (b->fd >= 0) close(b->fd);
  b->buffer = NULL;
  b->pool = NULL;
  b->data = NULL;
  b->fd = -1;
}

int wl_shm_frame_make_locked(wl_shm_frame *b, uint32_t format, uint32_t width, uint32_t height,
                             uint32_t stride) {
  memset(b, 0, sizeof *b);
  b->fd = -1;
  uint64_t size = (uint64_t)stride * height;
  if (width == 0 || height == 0 || stride < (uint64_t)width * 4 || size > 0x7fffffffu) {
    vs_set_last_error(VS_ERROR_WL_FORMAT);
    return -1;
  }
  b->format = format;
  b->width = width;
  b->height = height;
  b->stride = stride;
  b->size = (size_t)size;
  b->fd = memfd_create("vantorel-screenshot", MFD_CLOEXEC);
  if (b->fd < 0 || ftruncate(b->fd, (off_t)b->size) != 0) {
    wl_shm_frame_release(b);
    vs_set_last_error(VS_ERROR_WL_NO_MEMORY);
    return -1;
  }
  void *data = mmap(NULL, b->size, PROT_READ | PROT_WRITE, MAP_SHARED, b->fd, 0);
  if (data == MAP_FAILED) {
    wl_shm_frame_release(b);
    vs_set_last_error(VS_ERROR_WL_NO_MEMORY);
    return -1;
  }
  b->data = (uint8_t *)data;
  b->pool = wl_shm_create_pool(g_wl.shm, b->fd, (int32_t)b->size);
  if (b->pool) {
    b->buffer = wl_shm_pool_create_buffer(b->pool, 0, (int32_t)width, (int32_t)height,
                                          (int32_t)stride, format);
  }
  if (!b->buffer) {
    wl_shm_frame_release(b);
    vs_set_last_error(VS_ERROR_WL_NO_MEMORY);
    return -1;
  }
  return 0;
}

// Copies the output's logical rectangle (ox, oy, rw, rh, relative to the
// output) into the frame at (dest_x, dest_y). 0, or -1 with the last error
// set; the connection is dropped when it broke or the compositor went quiet.
static int copy_output_locked(const wl_output_record *r, int ox, int oy, int rw, int rh,
                              uint32_t *frame, int frame_width, int dest_x, int dest_y,
                              int64_t deadline) {
  copy_state s;
  memset(&s, 0, sizeof s);
  wl_shm_frame b;
  memset(&b, 0, sizeof b);
  b.fd = -1;
  // The pointer is no part of the screen a caller asks for.
  zwlr_screencopy_frame_v1 *copy = zwlr_screencopy_manager_v1_capture_output_region(
      g_wl.screencopy, 0, r->output, ox, oy, rw, rh);
  if (!copy) {
    wl_drop_locked();
    vs_set_last_error(VS_ERROR_WL_GONE);
    return -1;
  }
  zwlr_screencopy_frame_v1_add_listener(copy, &k_frame_listener, &s);
  int transform = r->transform;
  int result = wl_wait_locked(&s.described, deadline);
  if (result == 0 && s.failed) {
    vs_set_last_error(VS_ERROR_WL_COPY_FAILED);
    result = -2;
  }
  if (result == 0 && !s.has_format) {
    vs_set_last_error(VS_ERROR_WL_FORMAT);
    result = -2;
  }
  if (result == 0 && wl_shm_frame_make_locked(&b, s.format, s.width, s.height, s.stride) != 0) {
    result = -2;
  }
  if (result == 0) {
    zwlr_screencopy_frame_v1_copy(copy, b.buffer);
    result = wl_wait_locked(&s.finished, deadline);
  }
  if (result == 0 && s.failed) {
    vs_set_last_error(VS_ERROR_WL_COPY_FAILED);
    result = -2;
  }
  if (result == 0) {
    b.y_invert = (s.flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT) != 0;
    wl_shm_frame_sample(&b, transform, rw, rh, 0, 0, rw, rh, frame, frame_width, dest_x, dest_y);
  }
  zwlr_screencopy_frame_v1_destroy(copy);
  wl_shm_frame_release(&b);
  // -1: the wait failed, the connection is of no more use.
  if (result == -1) wl_drop_locked();
  return result == 0 ? 0 : -1;
}

int wl_copy_screen(int x, int y, int width, int height, vs_bitmap *bitmap) {
  vs_clear_content(bitmap);
  uint64_t count = (uint64_t)width * (uint64_t)height;
  if (count > SIZE_MAX / 4) {
    vs_set_last_error(VS_ERROR_WL_NO_MEMORY);
    return -1;
  }
  uint32_t *frame = (uint32_t *)malloc((size_t)count * 4);
  if (!frame) {
    vs_set_last_error(VS_ERROR_WL_NO_MEMORY);
    return -1;
  }
  for (uint64_t i = 0; i < count; i++) frame[i] = 0xff000000u;

  wl_lock();
  int result = wl_connect_locked(0);
  int ext = result == 0 && wl_ext_offered_locked();
  if (result == 0 && !ext && (!g_wl.screencopy || !g_wl.shm)) {
    vs_set_last_error(VS_ERROR_WL_NO_SCREENCOPY);
    result = -1;
  }
  int64_t deadline = wl_now_ms() + WL_TIMEOUT_MS;
  int64_t right = (int64_t)x + width;
  int64_t bottom = (int64_t)y + height;
  for (int i = 0; result == 0 && i < g_wl.output_count; i++) {
    const wl_output_record *r = &g_wl.outputs[i];
    RECT rect;
    if (!r->output || wl_output_rect_locked(r, &rect) != 0) continue;
    int64_t left = x > rect.left ? x : rect.left;
    int64_t top = y > rect.top ? y : rect.top;
    int64_t cut_right = right < rect.right ? right : rect.right;
    int64_t cut_bottom = bottom < rect.bottom ? bottom : rect.bottom;
    if (left >= cut_right || top >= cut_bottom) continue;
    int (*copy)(const wl_output_record *, int, int, int, int, uint32_t *, int, int, int, int64_t) =
        ext ? wl_ext_copy_output_locked : copy_output_locked;
    result = copy(r, (int)(left - rect.left), (int)(top - rect.top), (int)(cut_right - left),
                  (int)(cut_bottom - top), frame, width, (int)(left - x), (int)(top - y), deadline);
  }
  wl_unlock();
  if (result != 0) {
    free(frame);
    return -1;
  }
  vs_hold_frame(bitmap, frame, width, height);
  return 0;
}
