// The Wayland layer's table: the connection and its monitors
// (wl_connection), the copy (wl_capture, which picks ext-image-copy-capture
// or wlroots' screen copy per call).
#include "linux/wayland/wl_layer.h"

#include "linux/wayland/wl_internal.h"

// Chosen only where the compositor offers a copy protocol we speak; a
// compositor without one is the portal's (GNOME, KDE).
static int open_screencopy(int64_t deadline) {
  if (vs_wl_lock(deadline) != 0) return VS_FAILED;
  int result = vs_wl_connect_locked(0, deadline);
  if (result == 0 && !vs_wl_ext_offered_locked() && (!g_vs_wl.screencopy || !g_vs_wl.shm)) {
    vs_set_last_error(VS_ERROR_WL_NO_SCREENCOPY);
    result = VS_FAILED;
  }
  vs_wl_unlock();
  return result;
}

const vs_layer vs_wl_layer = {
    .name = "wayland",
    .wait_ms = VS_WAIT_MS,
    .copy_wait_ms = VS_WAIT_MS,
    .probe = open_screencopy,
    .open = open_screencopy,
    .list_monitors = vs_wl_list_monitors,
    .virtual_screen = vs_wl_virtual_screen,
    .copy_screen = vs_wl_copy_screen,
    .screen_is_blind = NULL,
    .window_rect = NULL,
    .print_window = NULL,
    .list_windows = vs_wl_list_windows,
    .capture_window = vs_wl_capture_window,
    .close = vs_wl_close,
};
