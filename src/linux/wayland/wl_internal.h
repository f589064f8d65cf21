// The Wayland layer's insides, shared by its files; its face to the dispatch
// and to the portal layer is wl_layer.h. Monitors from wl_output and
// xdg-output, pixels into wl_shm buffers from ext-image-copy-capture where the
// compositor offers it, else from the wlroots screen-copy protocol. One
// connection to the compositor serves the process; one that broke or went
// quiet is dropped, and the layer's functions say so (VS_BROKEN) so the
// dispatch chooses afresh.
//
// The layer's own names start with vs_wl_, so none reads like libwayland's.
// Its codes are linux_error.h's VS_ERROR_WL_*.
#ifndef VANTOREL_WL_INTERNAL_H
#define VANTOREL_WL_INTERNAL_H

#include <sys/types.h>

#include "linux/wayland/wl_layer.h"

// One record a monitor: the compositor's outputs beyond that fail the listing
// (VS_ERROR_WL_TOO_MANY_OUTPUTS) rather than being left out unsaid.
#define VS_WL_MAX_OUTPUTS VS_MAX_MONITORS

struct wl_display;
struct wl_callback;
struct wl_registry;
struct wl_shm;
struct wl_output;
struct zxdg_output_manager_v1;
struct zxdg_output_v1;
struct zwlr_screencopy_manager_v1;
struct ext_image_copy_capture_manager_v1;
struct ext_output_image_capture_source_manager_v1;
struct ext_foreign_toplevel_image_capture_source_manager_v1;
struct ext_image_capture_source_v1;

struct vs_wl_output {
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

// The connection and what the compositor offers; guarded by the layer's lock.
struct vs_wl_shared {
  wl_display *display;
  int fd;            // the display's socket, ours
  pid_t pid;         // the process that connected: a child of fork never uses it
  dev_t socket_dev;  // the socket's identity, to know the descriptor still names it
  ino_t socket_ino;
  wl_registry *registry;
  wl_shm *shm;
  zxdg_output_manager_v1 *xdg_output_manager;
  zwlr_screencopy_manager_v1 *screencopy;
  uint32_t screencopy_version;
  ext_image_copy_capture_manager_v1 *ext_manager;
  ext_output_image_capture_source_manager_v1 *ext_sources;
  // The window source of ext-image-copy-capture, and the registry's name for
  // ext-foreign-toplevel-list (0: not offered), bound for a call at a time:
  // a list kept bound would hear of every window's every change.
  ext_foreign_toplevel_image_capture_source_manager_v1 *ext_toplevel_sources;
  uint32_t toplevel_list_global;
  // wlroots' toplevel management, for the windows' focus and minimized
  // state (0: not offered); bound for a call at a time as well.
  uint32_t wlr_toplevel_global;
  vs_wl_output outputs[VS_WL_MAX_OUTPUTS];
  int output_count;
  uint8_t too_many_outputs;  // an output came that found no free record
};

extern vs_wl_shared g_vs_wl;

// Takes the layer's lock by the deadline: 0, or VS_FAILED with
// VS_ERROR_WL_TIMEOUT when another thread held it that long.
int vs_wl_lock(int64_t deadline);
void vs_wl_unlock(void);
// With the lock held: a working connection; with refresh, the outputs as of
// now (one round trip). 0, or VS_BROKEN with the connection dropped.
int vs_wl_connect_locked(int refresh, int64_t deadline);
// Dispatches events until *done is set or the deadline passes. 0, or
// VS_BROKEN with the last error set; the caller then destroys its own proxies
// and drops the connection.
int vs_wl_wait_locked(const int *done, int64_t deadline);
// Everything the compositor sent before it saw this request has arrived
// (wl_display.sync, waited for as above). 0, or VS_BROKEN with the last error
// set; the caller then destroys its own proxies and drops the connection.
int vs_wl_roundtrip_locked(int64_t deadline);
void vs_wl_drop_locked(void);
// With the lock held, just before a request whose answers are awaited: a
// wl_display.sync whose done sets *seen. Events the compositor sent before
// that done it sent before it read the request. The caller destroys it once
// the answer came; NULL (with the last error set) when it could not be made.
wl_callback *vs_wl_mark_locked(int *seen);
// The output's rectangle in the virtual screen. 0, or -1 when it has none
// (no size, or edges beyond 32 bits).
int vs_wl_output_rect(const vs_wl_output *output, RECT *rect);

// The screen copy (wl_capture.cpp), for the layer's table (wl_layer.cpp).
int vs_wl_copy_screen(int x, int y, int width, int height, int pointer, vs_bitmap *bitmap,
                      int64_t deadline);

struct wl_shm_pool;
struct wl_buffer;
struct vs_frame;

// A wl_shm buffer in a memory file of our own, sealed against shrinking
// before the compositor sees it (wl_buffer.cpp).
struct vs_wl_buffer {
  int fd;
  uint8_t *data;
  size_t size;
  wl_shm_pool *pool;
  wl_buffer *buffer;
};

// One of the four 8-bit layouts the layer reads ranks above 0, the better
// the higher; any other format 0.
int vs_wl_format_rank(uint32_t format);
// Whether a format holds its red channel in the low byte (X,B,G,R words).
int vs_wl_format_swaps(uint32_t format);
// With the lock held: a buffer as described, after every figure is checked
// in 64 bits. 0, or VS_FAILED with the last error set.
int vs_wl_make_buffer_locked(vs_wl_buffer *b, uint32_t format, uint32_t width, uint32_t height,
                             uint32_t stride);
void vs_wl_release_buffer(vs_wl_buffer *b);
// The file still holds every byte the buffer was made with.
int vs_wl_buffer_intact(const vs_wl_buffer *b);

// ext-image-copy-capture, all with the lock held. 1 when the compositor
// offers both its managers and wl_shm (wl_connection.cpp).
int vs_wl_ext_offered_locked(void);
// Copies the output's logical rectangle (ox, oy, rw, rh, relative to the
// output) into the frame at (dest_x, dest_y), with the compositor's pointer
// painted in when pointer is 1. 0, VS_FAILED, or VS_BROKEN with the
// connection dropped.
int vs_wl_ext_copy_output_locked(const vs_wl_output *r, int ox, int oy, int rw, int rh, int pointer,
                                 vs_frame *frame, int dest_x, int dest_y, int64_t deadline);
// A frame of the source whole, at its buffer's size, into a new frame; the
// source stays the caller's. 0, VS_FAILED, or VS_BROKEN (the caller drops
// the connection once its proxies are gone).
int vs_wl_ext_copy_source_locked(ext_image_capture_source_v1 *source, int pointer, vs_frame *frame,
                                 int64_t deadline);
// The window list and a window by its id (wl_windows.cpp), for the table.
int vs_wl_list_windows(vs_window_entry *windows, int max, int *count, int64_t deadline);
int vs_wl_capture_window(const char *id, int pointer, vs_frame *frame, int64_t deadline);
#ifdef VS_TEST_HOOKS
// Set only by the benchmark that times wlroots' screen copy on a compositor
// that offers both protocols; the shipped library has no such switch.
extern int g_vs_wl_ext_declined;
#endif

#endif
