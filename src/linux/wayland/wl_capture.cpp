// Screen copies on Wayland: one copy per output that the rectangle touches
// (ext-image-copy-capture where offered, wl_ext_capture.cpp; else wlroots'
// screen copy, here), into a wl_shm buffer of our own, assembled into one
// frame of B, G, R, X pixels that the bitmap then holds. What no output
// covers reads opaque black.
//
// Scaled and transformed outputs: a capture is always in logical pixels, the
// coordinates the monitors are listed in. A compositor hands a scaled output's
// region over in its buffer pixels (twice as many each way at scale 2) and a
// rotated one in the panel's orientation; linux_frame's sampling rule turns
// them into logical pixels.
//
// The compositor is not trusted: the buffer's description is settled once
// (at buffer_done, or at the first buffer event before version 3) and a later
// one fails the copy; the memory file is sealed against shrinking before the
// compositor gets it; every size is checked in 64 bits before a byte is read.
// The copy's answer (flags, then ready) counts only when the compositor sent
// it after it saw our copy request: a ready that came sooner would hand over
// a buffer nobody filled, a black picture taken for the screen.
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <wayland-client.h>

#include "linux/linux_frame.h"
#include "linux/wayland/wl_internal.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"

struct copy_state {
  uint32_t format;  // the chosen one; valid when has_format
  uint32_t width;
  uint32_t height;
  uint32_t stride;
  uint32_t flags;
  uint8_t has_format;
  uint8_t offered_other;  // a buffer was offered in a format we cannot read
  uint8_t changed;        // a buffer was described after the description was settled
  int described;          // every buffer offer has arrived
  int finished;           // ready or failed
  int failed;
  int asked;      // the compositor has seen the copy request (vs_wl_mark_locked)
  uint8_t early;  // flags or ready came before that
};

static void frame_buffer(void *data, zwlr_screencopy_frame_v1 *frame, uint32_t format,
                         uint32_t width, uint32_t height, uint32_t stride) {
  copy_state *s = (copy_state *)data;
  if (s->described) {
    s->changed = 1;
    return;
  }
  int rank = vs_wl_format_rank(format);
  if (rank == 0) {
    s->offered_other = 1;
  } else if (!s->has_format || rank > vs_wl_format_rank(s->format)) {
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
  copy_state *s = (copy_state *)data;
  if (!s->asked) s->early = 1;
  s->flags = flags;
}

static void frame_ready(void *data, zwlr_screencopy_frame_v1 *frame, uint32_t sec_hi,
                        uint32_t sec_lo, uint32_t nsec) {
  (void)frame;
  (void)sec_hi;
  (void)sec_lo;
  (void)nsec;
  copy_state *s = (copy_state *)data;
  if (!s->asked) s->early = 1;
  s->finished = 1;
  // What is not yet described never will be: the wait for it ends here.
  s->described = 1;
}

// The protocol lets failed come at any time before ready, so one that comes
// before the copy request is the compositor's refusal, not a breach.
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
  (void)frame;
  copy_state *s = (copy_state *)data;
  if (s->described) s->changed = 1;
  (void)format;
  (void)width;
  (void)height;
}

static void frame_buffer_done(void *data, zwlr_screencopy_frame_v1 *frame) {
  (void)frame;
  copy_state *s = (copy_state *)data;
  if (s->described) s->changed = 1;
  s->described = 1;
}

static const zwlr_screencopy_frame_v1_listener k_frame_listener = {
    frame_buffer, frame_flags,        frame_ready,       frame_failed,
    frame_damage, frame_linux_dmabuf, frame_buffer_done,
};

// ---------------------------------------------------------------------------
// One output's copy

// What the compositor's answers so far say, after each wait: 0, or the result
// with the last error set. Answered before it was asked, the compositor broke
// the protocol's order; failed is its refusal.
static int copy_verdict(const copy_state *s) {
  if (s->early) {
    vs_set_last_error(VS_ERROR_WL_OUT_OF_ORDER);
    return VS_BROKEN;
  }
  if (s->failed) {
    vs_set_last_error(VS_ERROR_WL_COPY_FAILED);
    return VS_FAILED;
  }
  return 0;
}

// Copies the output's logical rectangle (ox, oy, rw, rh, relative to the
// output) into the frame at (dest_x, dest_y). 0, VS_FAILED, or VS_BROKEN with
// the connection dropped (it broke, the compositor went quiet, or it broke
// the protocol's promises).
static int copy_output_locked(const vs_wl_output *r, int ox, int oy, int rw, int rh, int pointer,
                              vs_frame *frame, int dest_x, int dest_y, int64_t deadline) {
  copy_state s;
  memset(&s, 0, sizeof s);
  vs_wl_buffer b;
  memset(&b, 0, sizeof b);
  b.fd = -1;
  // The pointer is no part of the screen unless the caller asks for it.
  zwlr_screencopy_frame_v1 *copy = zwlr_screencopy_manager_v1_capture_output_region(
      g_vs_wl.screencopy, pointer ? 1 : 0, r->output, ox, oy, rw, rh);
  if (!copy) {
    vs_wl_drop_locked();
    vs_set_last_error(VS_ERROR_WL_GONE);
    return VS_BROKEN;
  }
  zwlr_screencopy_frame_v1_add_listener(copy, &k_frame_listener, &s);
  int transform = r->transform;
  int result = vs_wl_wait_locked(&s.described, deadline);
  if (result == 0) result = copy_verdict(&s);
  if (result == 0 && !s.has_format) {
    vs_set_last_error(VS_ERROR_WL_FORMAT);
    result = VS_FAILED;
  }
  if (result == 0 && vs_wl_make_buffer_locked(&b, s.format, s.width, s.height, s.stride) != 0) {
    result = VS_FAILED;
  }
  wl_callback *mark = NULL;
  if (result == 0) {
    mark = vs_wl_mark_locked(&s.asked);
    if (!mark) result = VS_BROKEN;
  }
  if (result == 0) {
    zwlr_screencopy_frame_v1_copy(copy, b.buffer);
    result = vs_wl_wait_locked(&s.finished, deadline);
  }
  if (mark) wl_callback_destroy(mark);
  if (result == 0) result = copy_verdict(&s);
  if (result == 0 && (s.changed || !vs_wl_buffer_intact(&b))) {
    vs_set_last_error(VS_ERROR_WL_BUFFER_CHANGED);
    result = VS_BROKEN;
  }
  if (result == 0) {
    vs_source source;
    memset(&source, 0, sizeof source);
    source.pixels = b.data;
    source.size = b.size;
    source.width = s.width;
    source.height = s.height;
    source.stride = s.stride;
    source.swap_red_blue = (uint8_t)vs_wl_format_swaps(s.format);
    source.transform = (uint8_t)(transform & 7);
    source.y_invert = (s.flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT) != 0;
    if (vs_sample(&source, rw, rh, 0, 0, rw, rh, frame, dest_x, dest_y) != 0) {
      vs_set_last_error(VS_ERROR_WL_FORMAT);
      result = VS_FAILED;
    }
  }
  zwlr_screencopy_frame_v1_destroy(copy);
  vs_wl_release_buffer(&b);
  if (result == VS_BROKEN) vs_wl_drop_locked();
  return result;
}

int vs_wl_copy_screen(int x, int y, int width, int height, int pointer, vs_bitmap *bitmap,
                      int64_t deadline) {
  vs_clear_content(bitmap);
  vs_frame frame;
  if (vs_frame_alloc(&frame, width, height) != 0) {
    vs_set_last_error(VS_ERROR_WL_NO_MEMORY);
    return VS_FAILED;
  }

  int result = vs_wl_lock(deadline);
  if (result != 0) {
    vs_frame_free(&frame);
    return result;
  }
  result = vs_wl_connect_locked(0, deadline);
  int ext = result == 0 && vs_wl_ext_offered_locked();
  if (result == 0 && !ext && (!g_vs_wl.screencopy || !g_vs_wl.shm)) {
    vs_set_last_error(VS_ERROR_WL_NO_SCREENCOPY);
    result = VS_FAILED;
  }
  for (int i = 0; result == 0 && i < g_vs_wl.output_count; i++) {
    const vs_wl_output *r = &g_vs_wl.outputs[i];
    RECT rect;
    vs_cut cut;
    if (!r->output || vs_wl_output_rect(r, &rect) != 0 ||
        !vs_frame_cut(&rect, x, y, width, height, &cut)) {
      continue;
    }
    int (*copy)(const vs_wl_output *, int, int, int, int, int, vs_frame *, int, int, int64_t) =
        ext ? vs_wl_ext_copy_output_locked : copy_output_locked;
    result = copy(r, cut.x, cut.y, cut.width, cut.height, pointer, &frame, cut.dest_x, cut.dest_y,
                  deadline);
  }
  vs_wl_unlock();
  if (result != 0) {
    vs_frame_free(&frame);
    return result;
  }
  vs_frame_hold(&frame, bitmap);
  return 0;
}
