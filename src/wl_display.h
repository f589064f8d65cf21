// The Wayland layer: monitors from wl_output and xdg-output, pixels from the
// wlroots screen-copy protocol into wl_shm buffers. One connection to the
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

#endif
