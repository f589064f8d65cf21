// The Wayland layer: monitors from wl_output and xdg-output, pixels from the
// wlroots screen-copy protocol into wl_shm buffers. One connection to the
// compositor serves the process; one that broke or went quiet is dropped, and
// the layer's functions say so (VS_BROKEN) so the dispatch chooses afresh.
//
// The layer's own names start with vs_wl_, so none reads like libwayland's.
// Its codes are linux_display.h's VS_ERROR_WL_*.
#ifndef VANTOREL_WL_DISPLAY_H
#define VANTOREL_WL_DISPLAY_H

#include "linux_display.h"

// One record a monitor: the compositor's outputs beyond that fail the listing
// (VS_ERROR_WL_TOO_MANY_OUTPUTS) rather than being left out unsaid.
#define VS_WL_MAX_OUTPUTS VS_MAX_MONITORS

struct wl_display;
struct wl_registry;
struct wl_shm;
struct wl_output;
struct zxdg_output_manager_v1;
struct zxdg_output_v1;
struct zwlr_screencopy_manager_v1;

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
  wl_registry *registry;
  wl_shm *shm;
  zxdg_output_manager_v1 *xdg_output_manager;
  zwlr_screencopy_manager_v1 *screencopy;
  uint32_t screencopy_version;
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
void vs_wl_drop_locked(void);
// The output's rectangle in the virtual screen. 0, or -1 when it has none
// (no size, or edges beyond 32 bits).
int vs_wl_output_rect(const vs_wl_output *output, RECT *rect);

// What the portal layer takes from this one: the outputs, without screen copy.
int vs_wl_open_outputs(int64_t deadline);
int vs_wl_list_monitors(vs_monitor_list *list, int64_t deadline);
int vs_wl_virtual_screen(RECT *box, int64_t deadline);
void vs_wl_close(void);

// The screen copy, for the layer's table.
int vs_wl_copy_screen(int x, int y, int width, int height, vs_bitmap *bitmap, int64_t deadline);

#endif
