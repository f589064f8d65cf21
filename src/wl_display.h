// The Wayland layer: monitors from wl_output and xdg-output, pixels into
// wl_shm buffers from ext-image-copy-capture where the compositor offers it,
// else from the wlroots screen-copy protocol. One connection to the
// compositor serves the process; a broken one is dropped and the dispatch
// chooses afresh at the next call.
#ifndef VANTOREL_WL_DISPLAY_H
#define VANTOREL_WL_DISPLAY_H

#include "linux_display.h"

// Codes the layer leaves as the last error.
#define VS_ERROR_WL_NO_COMPOSITOR 110  // no compositor at WAYLAND_DISPLAY (or wayland-0)
#define VS_ERROR_WL_NO_SCREENCOPY 111  // the compositor offers no screen-copy protocol
#define VS_ERROR_WL_COPY_FAILED 112    // the compositor refused or failed the copy
#define VS_ERROR_WL_GONE 113           // the connection broke (compositor gone, protocol error)
#define VS_ERROR_WL_TIMEOUT 114        // the compositor did not answer in time
#define VS_ERROR_WL_FORMAT 115         // no buffer format the layer can read
#define VS_ERROR_WL_NO_MEMORY 116      // shared memory or heap could not be had
#define VS_ERROR_WL_NO_OUTPUTS 117     // the compositor has no outputs
#define VS_ERROR_WL_STOPPED 120        // the compositor ended the capture session
#define VS_ERROR_WL_CONSTRAINTS 121    // buffers made to the compositor's constraints were refused

// How long the layer waits for the compositor before it fails the call.
#define WL_TIMEOUT_MS 5000

#define WL_MAX_OUTPUTS 16

struct wl_display;
struct wl_registry;
struct wl_shm;
struct wl_output;
struct zxdg_output_manager_v1;
struct zxdg_output_v1;
struct zwlr_screencopy_manager_v1;
struct wl_shm_pool;
struct wl_buffer;

struct wl_output_record {
  uint32_t global;  // the registry's name for it
  wl_output *output;
  zxdg_output_v1 *xdg_output;
  int32_t geometry_x;  // wl_output's own position, without xdg-output
  int32_t geometry_y;
  int32_t mode_width;  // current mode, in buffer pixels
  int32_t mode_height;
  int32_t scale;
  int32_t transform;
  int32_t logical_x;  // from xdg-output
  int32_t logical_y;
  int32_t logical_width;
  int32_t logical_height;
  uint8_t has_logical_position;
  uint8_t has_logical_size;
  char name[CCHDEVICENAME];
  char xdg_name[CCHDEVICENAME];
};

// The connection and what the compositor offers; guarded by wl_lock.
struct wl_shared {
  wl_display *display;
  wl_registry *registry;
  wl_shm *shm;
  zxdg_output_manager_v1 *xdg_output_manager;
  zwlr_screencopy_manager_v1 *screencopy;
  uint32_t screencopy_version;
  wl_output_record outputs[WL_MAX_OUTPUTS];
  int output_count;
};

extern wl_shared g_wl;

void wl_lock(void);
void wl_unlock(void);
// With the lock held: a working connection; with refresh, the outputs as of
// now (one round trip). 0, or -1 with the last error set.
int wl_connect_locked(int refresh);
// Dispatches events until *done is set or the deadline (CLOCK_MONOTONIC, ms)
// passes. 0, or -1 with the last error set; the caller then destroys its own
// proxies and drops the connection.
int wl_wait_locked(const int *done, int64_t deadline_ms);
// A round trip; on failure the connection is dropped.
int wl_roundtrip_locked(int64_t deadline_ms);
int64_t wl_now_ms(void);
// Drops the connection and tells the dispatch to choose afresh.
void wl_drop_locked(void);
// The output's rectangle in the virtual screen. 0, or -1 when it has none.
int wl_output_rect_locked(const wl_output_record *r, RECT *rect);

// Connects (or checks the connection) and makes sure the compositor offers
// screen copy. 0, or -1 with the last error set.
int wl_open(void);
// Connects without asking for screen copy: the portal layer's monitors.
int wl_open_outputs(void);
int wl_list_monitors(vs_monitor_list *list);
int wl_copy_screen(int x, int y, int width, int height, vs_bitmap *bitmap);

// A wl_shm buffer in a memory file of our own, described once when made.
struct wl_shm_frame {
  int fd;
  uint8_t *data;
  size_t size;
  wl_shm_pool *pool;
  wl_buffer *buffer;
  uint32_t format;
  uint32_t width;
  uint32_t height;
  uint32_t stride;
  uint8_t y_invert;
};

// One of the four 8-bit layouts the layer reads ranks above 0; the better
// the higher.
int wl_shm_format_rank(uint32_t format);
// With the lock held: a buffer as described. 0, or -1 with the last error set.
int wl_shm_frame_make_locked(wl_shm_frame *b, uint32_t format, uint32_t width, uint32_t height,
                             uint32_t stride);
void wl_shm_frame_release(wl_shm_frame *b);
// Writes the logical rectangle (ox, oy, rw, rh) of a picture whose logical
// size is lw x lh, held by b under the given transform, into the frame at
// (dest_x, dest_y).
void wl_shm_frame_sample(const wl_shm_frame *b, int transform, int lw, int lh, int ox, int oy,
                         int rw, int rh, uint32_t *frame, int frame_width, int dest_x, int dest_y);

// ext-image-copy-capture (wl_ext_capture.cpp), all with the lock held.
// Takes the registry's global when it is one of its managers: 1, else 0.
int wl_ext_global_locked(wl_registry *registry, uint32_t name, const char *interface,
                         uint32_t version);
// Releases its managers, before the connection goes.
void wl_ext_drop_locked(void);
// 1 when the compositor offers both managers and wl_shm.
int wl_ext_offered_locked(void);
// Copies the output's logical rectangle (ox, oy, rw, rh, relative to the
// output) into the frame at (dest_x, dest_y). 0, or -1 with the last error
// set; the connection is dropped when it broke or the compositor went quiet.
int wl_ext_copy_output_locked(const wl_output_record *r, int ox, int oy, int rw, int rh,
                              uint32_t *frame, int frame_width, int dest_x, int dest_y,
                              int64_t deadline);
// Set only by the benchmark that times wlroots' screen copy on a compositor
// that offers both protocols.
extern int g_wl_ext_declined;

#endif
