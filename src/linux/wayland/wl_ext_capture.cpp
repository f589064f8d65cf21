// Screen copies through ext-image-copy-capture, which compositors offer in
// place of wlroots' screen copy (deprecated in its favour). An output becomes
// a capture source, the source a session, and the session tells which
// buffers it takes; one frame then copies the whole output into our buffer.
// The protocol copies no part of an output, so the rectangle asked for is
// cut from the whole with the same sampling as the other path.
//
// Nothing the compositor says is taken on trust: sizes are checked in 64
// bits before a buffer is made, the memory file is sealed against shrinking
// (vs_wl_make_buffer_locked), a frame keeps the description its buffer was
// made with whatever the session announces later, a frame's ready or failed
// counts only when the compositor sent it after it saw our capture request,
// and every wait ends at the call's deadline.
#include <string.h>
#include <wayland-client.h>

#include "ext-image-capture-source-v1-client-protocol.h"
#include "ext-image-copy-capture-v1-client-protocol.h"
#include "linux/linux_frame.h"
#include "linux/wayland/wl_internal.h"

// ---------------------------------------------------------------------------
// Session and frame events

// One batch of buffer constraints. The compositor may send a new batch at any
// time; only a batch closed by done counts.
struct ext_constraints {
  uint32_t width;
  uint32_t height;
  uint32_t format;  // the best of the four layouts we read; valid when has_format
  uint8_t has_size;
  uint8_t has_format;
  uint8_t offered_other;  // a shm format we cannot read was offered
};

struct ext_copy_state {
  ext_constraints pending;  // the batch on its way
  ext_constraints current;  // the last complete one
  unsigned batches;         // complete batches so far
  unsigned used;            // the batch the last buffer was made to
  int described;            // a complete batch arrived, or the session stopped
  int stopped;
  // The frame in flight.
  uint32_t transform;
  int finished;  // ready or failed, or the session stopped
  int failed;
  uint32_t reason;
  int asked;      // the compositor has seen the capture request (vs_wl_mark_locked)
  uint8_t early;  // ready or failed came before that
};

static ext_copy_state *state_of(void *data) { return (ext_copy_state *)data; }

static void session_buffer_size(void *data, ext_image_copy_capture_session_v1 *session,
                                uint32_t width, uint32_t height) {
  (void)session;
  ext_copy_state *s = state_of(data);
  s->pending.width = width;
  s->pending.height = height;
  s->pending.has_size = 1;
}

static void session_shm_format(void *data, ext_image_copy_capture_session_v1 *session,
                               uint32_t format) {
  (void)session;
  ext_constraints *c = &state_of(data)->pending;
  int rank = vs_wl_format_rank(format);
  if (rank == 0) {
    c->offered_other = 1;
  } else if (!c->has_format || rank > vs_wl_format_rank(c->format)) {
    c->format = format;
    c->has_format = 1;
  }
}

// Only shared memory is ours to read; dma-buf offers are passed by.
static void session_dmabuf_device(void *data, ext_image_copy_capture_session_v1 *session,
                                  wl_array *device) {
  (void)data;
  (void)session;
  (void)device;
}

static void session_dmabuf_format(void *data, ext_image_copy_capture_session_v1 *session,
                                  uint32_t format, wl_array *modifiers) {
  (void)data;
  (void)session;
  (void)format;
  (void)modifiers;
}

static void session_done(void *data, ext_image_copy_capture_session_v1 *session) {
  (void)session;
  ext_copy_state *s = state_of(data);
  s->current = s->pending;
  memset(&s->pending, 0, sizeof s->pending);
  s->batches++;
  s->described = 1;
}

static void session_stopped(void *data, ext_image_copy_capture_session_v1 *session) {
  (void)session;
  ext_copy_state *s = state_of(data);
  s->stopped = 1;
  s->described = 1;
  s->finished = 1;
}

static const ext_image_copy_capture_session_v1_listener k_session_listener = {
    session_buffer_size,   session_shm_format, session_dmabuf_device,
    session_dmabuf_format, session_done,       session_stopped,
};

static void frame_transform(void *data, ext_image_copy_capture_frame_v1 *frame,
                            uint32_t transform) {
  (void)frame;
  state_of(data)->transform = transform;
}

static void frame_damage(void *data, ext_image_copy_capture_frame_v1 *frame, int32_t x, int32_t y,
                         int32_t width, int32_t height) {
  (void)data;
  (void)frame;
  (void)x;
  (void)y;
  (void)width;
  (void)height;
}

static void frame_presentation_time(void *data, ext_image_copy_capture_frame_v1 *frame,
                                    uint32_t sec_hi, uint32_t sec_lo, uint32_t nsec) {
  (void)data;
  (void)frame;
  (void)sec_hi;
  (void)sec_lo;
  (void)nsec;
}

static void frame_ready(void *data, ext_image_copy_capture_frame_v1 *frame) {
  (void)frame;
  ext_copy_state *s = state_of(data);
  if (!s->asked) s->early = 1;
  s->finished = 1;
}

static void frame_failed(void *data, ext_image_copy_capture_frame_v1 *frame, uint32_t reason) {
  (void)frame;
  ext_copy_state *s = state_of(data);
  if (!s->asked) s->early = 1;
  s->failed = 1;
  s->reason = reason;
  s->finished = 1;
}

static const ext_image_copy_capture_frame_v1_listener k_frame_listener = {
    frame_transform, frame_damage, frame_presentation_time, frame_ready, frame_failed,
};

// ---------------------------------------------------------------------------
// One output's copy

// Why a session's constraints cannot be met: 0 when they can.
static DWORD constraints_refusal(const ext_constraints *c) {
  if (!c->has_size || c->width == 0 || c->height == 0) return VS_ERROR_WL_CONSTRAINTS;
  if (!c->has_format) return VS_ERROR_WL_FORMAT;
  // Rows of 4-byte pixels; wl_shm takes sizes and strides as int32.
  if ((uint64_t)c->width * 4 * c->height > 0x7fffffffu) return VS_ERROR_WL_FORMAT;
  return 0;
}

// What a frame that failed tells the caller.
static DWORD failure_code(uint32_t reason) {
  switch (reason) {
    case EXT_IMAGE_COPY_CAPTURE_FRAME_V1_FAILURE_REASON_BUFFER_CONSTRAINTS:
      return VS_ERROR_WL_CONSTRAINTS;
    case EXT_IMAGE_COPY_CAPTURE_FRAME_V1_FAILURE_REASON_STOPPED:
      return VS_ERROR_WL_STOPPED;
    default:
      return VS_ERROR_WL_COPY_FAILED;
  }
}

// The description a frame's buffer was made with, kept for the frame.
struct ext_buffer {
  vs_wl_buffer shm;
  uint32_t format;
  uint32_t width;
  uint32_t height;
};

#define EXT_RETRY 1  // the buffer was refused for its constraints: worth one more

// One frame into a buffer made to the session's latest constraints. 0 when
// it is ready in *b; EXT_RETRY; VS_FAILED with the last error set; VS_BROKEN
// when the wait failed (the caller drops the connection once its proxies are
// gone).
static int capture_frame_locked(ext_image_copy_capture_session_v1 *session, ext_copy_state *s,
                                ext_buffer *b, int64_t deadline) {
  DWORD refusal = s->stopped ? VS_ERROR_WL_STOPPED : constraints_refusal(&s->current);
  if (refusal) {
    vs_set_last_error(refusal);
    return VS_FAILED;
  }
  const ext_constraints c = s->current;
  s->used = s->batches;
  if (vs_wl_make_buffer_locked(&b->shm, c.format, c.width, c.height, c.width * 4) != 0) {
    return VS_FAILED;
  }
  b->format = c.format;
  b->width = c.width;
  b->height = c.height;
  ext_image_copy_capture_frame_v1 *frame = ext_image_copy_capture_session_v1_create_frame(session);
  if (!frame) {
    vs_set_last_error(VS_ERROR_WL_GONE);
    return VS_BROKEN;
  }
  s->transform = WL_OUTPUT_TRANSFORM_NORMAL;
  s->finished = s->stopped;
  s->failed = 0;
  s->reason = 0;
  s->early = 0;
  ext_image_copy_capture_frame_v1_add_listener(frame, &k_frame_listener, s);
  ext_image_copy_capture_frame_v1_attach_buffer(frame, b->shm.buffer);
  ext_image_copy_capture_frame_v1_damage_buffer(frame, 0, 0, (int32_t)c.width, (int32_t)c.height);
  wl_callback *mark = vs_wl_mark_locked(&s->asked);
  if (!mark) {
    ext_image_copy_capture_frame_v1_destroy(frame);
    return VS_BROKEN;
  }
  ext_image_copy_capture_frame_v1_capture(frame);
  int result = vs_wl_wait_locked(&s->finished, deadline) == 0 ? 0 : VS_BROKEN;
  wl_callback_destroy(mark);
  ext_image_copy_capture_frame_v1_destroy(frame);
  // A session that ended explains a frame that failed at any time.
  if (result == 0 && s->stopped) {
    vs_set_last_error(VS_ERROR_WL_STOPPED);
    result = VS_FAILED;
  }
  // Answered before it was asked: the compositor broke the protocol's order.
  if (result == 0 && s->early) {
    vs_set_last_error(VS_ERROR_WL_OUT_OF_ORDER);
    result = VS_BROKEN;
  }
  if (result == 0 && s->failed) {
    if (s->reason == EXT_IMAGE_COPY_CAPTURE_FRAME_V1_FAILURE_REASON_BUFFER_CONSTRAINTS) {
      result = EXT_RETRY;
    } else {
      vs_set_last_error(failure_code(s->reason));
      result = VS_FAILED;
    }
  }
  if (result == 0 && !vs_wl_buffer_intact(&b->shm)) {
    vs_set_last_error(VS_ERROR_WL_BUFFER_CHANGED);
    result = VS_BROKEN;
  }
  return result;
}

// A session on the source and one frame of it in *b, which the caller
// releases, as it destroys the session (*session_out) and the source. The
// pointer is no part of the picture unless the caller asks for it. 0,
// VS_FAILED or VS_BROKEN (the caller drops the connection once its proxies
// are gone).
static int copy_session_locked(ext_image_capture_source_v1 *source, int pointer,
                               ext_image_copy_capture_session_v1 **session_out,
                               ext_copy_state *s_out, ext_buffer *b_out, int64_t deadline) {
  ext_copy_state &s = *s_out;
  ext_buffer &b = *b_out;
  uint32_t options = pointer ? EXT_IMAGE_COPY_CAPTURE_MANAGER_V1_OPTIONS_PAINT_CURSORS : 0;
  ext_image_copy_capture_session_v1 *session =
      source
          ? ext_image_copy_capture_manager_v1_create_session(g_vs_wl.ext_manager, source, options)
          : NULL;
  int result = 0;
  if (session) {
    ext_image_copy_capture_session_v1_add_listener(session, &k_session_listener, &s);
    result = vs_wl_wait_locked(&s.described, deadline) == 0 ? 0 : VS_BROKEN;
  } else {
    vs_set_last_error(VS_ERROR_WL_GONE);
    result = VS_BROKEN;
  }
  if (result == 0) result = capture_frame_locked(session, &s, &b, deadline);
  // A buffer refused for its constraints: the session has told what it
  // takes instead, or tells it with the refusal; one more buffer made to the
  // newest constraints, within the same deadline.
  if (result == EXT_RETRY) {
    vs_wl_release_buffer(&b.shm);
    result = s.batches == s.used ? vs_wl_roundtrip_locked(deadline) : 0;
    if (result == 0) result = capture_frame_locked(session, &s, &b, deadline);
    if (result == EXT_RETRY) {
      vs_set_last_error(VS_ERROR_WL_CONSTRAINTS);
      result = VS_FAILED;
    }
  }
  *session_out = session;
  return result;
}

// The frame's buffer as a source for the sampling.
static vs_source picture_of(const ext_buffer *b, const ext_copy_state *s) {
  vs_source picture;
  memset(&picture, 0, sizeof picture);
  picture.pixels = b->shm.data;
  picture.size = b->shm.size;
  picture.width = b->width;
  picture.height = b->height;
  picture.stride = b->width * 4;
  picture.swap_red_blue = (uint8_t)vs_wl_format_swaps(b->format);
  picture.transform = (uint8_t)(s->transform & 7);
  return picture;
}

int vs_wl_ext_copy_output_locked(const vs_wl_output *r, int ox, int oy, int rw, int rh, int pointer,
                                 vs_frame *frame, int dest_x, int dest_y, int64_t deadline) {
  RECT rect;
  if (vs_wl_output_rect(r, &rect) != 0) {
    vs_set_last_error(VS_ERROR_WL_NO_OUTPUTS);
    return VS_FAILED;
  }
  ext_copy_state s;
  memset(&s, 0, sizeof s);
  ext_buffer b;
  memset(&b, 0, sizeof b);
  b.shm.fd = -1;
  ext_image_capture_source_v1 *source =
      ext_output_image_capture_source_manager_v1_create_source(g_vs_wl.ext_sources, r->output);
  ext_image_copy_capture_session_v1 *session = NULL;
  int result = copy_session_locked(source, pointer, &session, &s, &b, deadline);
  if (result == 0) {
    vs_source picture = picture_of(&b, &s);
    if (vs_sample(&picture, (int)(rect.right - rect.left), (int)(rect.bottom - rect.top), ox, oy,
                  rw, rh, frame, dest_x, dest_y) != 0) {
      vs_set_last_error(VS_ERROR_WL_FORMAT);
      result = VS_FAILED;
    }
  }
  if (session) ext_image_copy_capture_session_v1_destroy(session);
  if (source) ext_image_capture_source_v1_destroy(source);
  vs_wl_release_buffer(&b.shm);
  if (result == VS_BROKEN) vs_wl_drop_locked();
  return result;
}

// A window's frame is the window alone at its buffer's size: the sampling
// only turns it upright.
int vs_wl_ext_copy_source_locked(ext_image_capture_source_v1 *source, int pointer, vs_frame *frame,
                                 int64_t deadline) {
  ext_copy_state s;
  memset(&s, 0, sizeof s);
  ext_buffer b;
  memset(&b, 0, sizeof b);
  b.shm.fd = -1;
  ext_image_copy_capture_session_v1 *session = NULL;
  int result = copy_session_locked(source, pointer, &session, &s, &b, deadline);
  if (result == 0) {
    vs_source picture = picture_of(&b, &s);
    int turned = picture.transform & 1;
    int width = (int)(turned ? b.height : b.width);
    int height = (int)(turned ? b.width : b.height);
    if (vs_frame_alloc(frame, width, height) != 0) {
      vs_set_last_error(VS_ERROR_WL_NO_MEMORY);
      result = VS_FAILED;
    } else if (vs_sample(&picture, width, height, 0, 0, width, height, frame, 0, 0) != 0) {
      vs_frame_free(frame);
      vs_set_last_error(VS_ERROR_WL_FORMAT);
      result = VS_FAILED;
    }
  }
  if (session) ext_image_copy_capture_session_v1_destroy(session);
  vs_wl_release_buffer(&b.shm);
  return result;
}
