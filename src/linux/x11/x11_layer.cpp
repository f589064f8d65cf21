// The X11 layer's table, and the calls that only open the connection and read
// the root window's size; the rest is by concern: the connection and the pixel
// formats (x11_connection), the bounded connect (x11_handshake), the monitors
// (x11_monitors), the screen copy (x11_capture), the pointer drawn into a
// copy (x11_pointer) and windows (x11_window).
#include "linux/x11/x11_layer.h"

#include "linux/x11/x11_internal.h"

static int x11_open(int64_t deadline) {
  x11_guard guard;
  if (x11_lock(&guard, deadline) != 0) return VS_FAILED;
  int result = x11_connect_locked();
  return x11_unlock(&guard, result);
}

// X11 has no negative coordinates: the virtual screen is the root window.
static int x11_virtual_screen(RECT *box, int64_t deadline) {
  x11_guard guard;
  if (x11_lock(&guard, deadline) != 0) return VS_FAILED;
  int result = x11_connect_locked();
  if (result == 0) result = x11_refresh_root_size_locked();
  if (result == 0) {
    box->left = 0;
    box->top = 0;
    box->right = g_x11.root_width;
    box->bottom = g_x11.root_height;
  }
  return x11_unlock(&guard, result);
}

// The dispatch chooses X11 when no other layer serves; its probe is the
// connection itself.
const vs_layer vs_x11_layer = {
    .name = "x11",
    .wait_ms = VS_WAIT_MS,
    .copy_wait_ms = VS_WAIT_MS,
    .probe = x11_open,
    .open = x11_open,
    .list_monitors = x11_list_monitors,
    .virtual_screen = x11_virtual_screen,
    .copy_screen = x11_copy_screen,
    .screen_is_blind = x11_screen_is_blind,
    .window_rect = x11_window_rect,
    .print_window = x11_print_window,
    .list_windows = x11_list_windows,
    .capture_window = NULL,
    .close = x11_close,
};
