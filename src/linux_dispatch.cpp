// The one place that knows which display layer runs. The choice is made at
// the first call that needs the display and kept for the process until the
// chosen layer's connection breaks:
//   VANTOREL_SCREENSHOT_BACKEND=x11|wayland|portal forces a layer;
//   otherwise a reachable Wayland compositor that offers a screen-copy
//   protocol gives the Wayland layer, one without it but with the desktop
//   portal on the session bus gives the portal layer, and X11 serves the rest.
// Window handles are X11 window ids whatever the layer: on a Wayland session
// they name Xwayland's windows, and the screen fallback of a window capture
// comes from the chosen layer.
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include "linux_display.h"
#include "portal_layer.h"
#include "wl_display.h"
#include "x11_display.h"

extern vs_dc g_vs_screen_dc;

// Per thread, as the platform keeps its last error.
static thread_local DWORD t_last_error;

void vs_set_last_error(DWORD code) { t_last_error = code; }

DWORD WINAPI GetLastError(void) { return t_last_error; }

// ---------------------------------------------------------------------------
// The choice

static pthread_mutex_t s_choice_mutex = PTHREAD_MUTEX_INITIALIZER;
static vs_layer_id s_layer;

// *keep says whether the choice holds for later calls. X11 chosen because no
// compositor answered is made again at every call (a failed connect to a
// socket costs microseconds), so a compositor that comes, or comes back, is
// used from then on.
static vs_layer_id choose_layer(int *keep) {
  *keep = 1;
  const char *forced = getenv("VANTOREL_SCREENSHOT_BACKEND");
  if (forced && forced[0]) {
    if (strcmp(forced, "x11") == 0) return VS_LAYER_X11;
    if (strcmp(forced, "wayland") == 0) return VS_LAYER_WAYLAND;
    if (strcmp(forced, "portal") == 0) return VS_LAYER_PORTAL;
    vs_set_last_error(VS_ERROR_BAD_BACKEND);
    return VS_LAYER_NONE;
  }
  if (wl_open() == 0) return VS_LAYER_WAYLAND;
  DWORD why = GetLastError();
  // A compositor without screen copy: the portal is the sanctioned way in.
  if (why == VS_ERROR_WL_NO_SCREENCOPY && portal_layer_available()) return VS_LAYER_PORTAL;
  *keep = why == VS_ERROR_WL_NO_SCREENCOPY;
  return VS_LAYER_X11;
}

// The layer for this call. A forced name that is no layer is not kept, so
// every call reports it.
static vs_layer_id current_layer(void) {
  pthread_mutex_lock(&s_choice_mutex);
  vs_layer_id layer = s_layer;
  if (layer == VS_LAYER_NONE) {
    int keep = 0;
    layer = choose_layer(&keep);
    if (keep) s_layer = layer;
  }
  pthread_mutex_unlock(&s_choice_mutex);
  return layer;
}

void vs_forget_layer(vs_layer_id layer) {
  pthread_mutex_lock(&s_choice_mutex);
  if (s_layer == layer) s_layer = VS_LAYER_NONE;
  pthread_mutex_unlock(&s_choice_mutex);
}

// ---------------------------------------------------------------------------
// Monitors

// The enumeration that runs on this thread, for GetMonitorInfoA.
static thread_local const vs_monitor_list *t_monitors;

void vs_settle_primary(vs_monitor_list *list) {
  int primary = -1;
  for (int i = 0; i < list->count; i++) {
    if (list->monitors[i].primary && primary < 0) primary = i;
    list->monitors[i].primary = 0;
  }
  for (int i = 0; i < list->count && primary < 0; i++) {
    if (list->monitors[i].rect.left == 0 && list->monitors[i].rect.top == 0) primary = i;
  }
  if (primary < 0) primary = 0;
  if (list->count > 0) list->monitors[primary].primary = 1;
}

static int list_monitors(vs_layer_id layer, vs_monitor_list *list) {
  list->count = 0;
  int result = -1;
  switch (layer) {
    case VS_LAYER_X11:
      result = x11_list_monitors(list);
      break;
    case VS_LAYER_WAYLAND:
    case VS_LAYER_PORTAL:
      // The portal hands out pictures only; the outputs come from Wayland.
      result = wl_list_monitors(list);
      break;
    case VS_LAYER_NONE:
      break;
  }
  if (result == 0) vs_settle_primary(list);
  return result;
}

BOOL WINAPI EnumDisplayMonitors(HDC hdc, LPCRECT clip, MONITORENUMPROC proc, LPARAM data) {
  if (hdc || clip || !proc) {
    vs_set_last_error(X11_BAD_VALUE);
    return FALSE;
  }
  vs_monitor_list list;
  if (list_monitors(current_layer(), &list) != 0) return FALSE;

  // Callbacks run without any lock, so they may call back into the layer.
  const vs_monitor_list *outer = t_monitors;
  t_monitors = &list;
  for (int i = 0; i < list.count; i++) {
    RECT rect = list.monitors[i].rect;
    if (!proc((HMONITOR)(uintptr_t)(i + 1), NULL, &rect, data)) break;
  }
  t_monitors = outer;
  return TRUE;
}

// A monitor handle is its position in the enumeration running on the calling
// thread, plus one.
BOOL WINAPI GetMonitorInfoA(HMONITOR monitor, LPMONITORINFO info) {
  uintptr_t n = (uintptr_t)monitor;
  if (!t_monitors || n < 1 || n > (uintptr_t)t_monitors->count || !info ||
      info->cbSize < sizeof(MONITORINFO)) {
    vs_set_last_error(X11_BAD_VALUE);
    return FALSE;
  }
  const vs_monitor *m = &t_monitors->monitors[n - 1];
  info->rcMonitor = m->rect;
  info->rcWork = m->rect;
  info->dwFlags = m->primary ? MONITORINFOF_PRIMARY : 0;
  if (info->cbSize >= sizeof(MONITORINFOEXA)) {
    memcpy(((LPMONITORINFOEXA)info)->szDevice, m->name, CCHDEVICENAME);
  }
  return TRUE;
}

// X11's virtual screen is its root window; elsewhere it is the outputs'
// bounding box.
int WINAPI GetSystemMetrics(int index) {
  if (index != SM_XVIRTUALSCREEN && index != SM_YVIRTUALSCREEN && index != SM_CXVIRTUALSCREEN &&
      index != SM_CYVIRTUALSCREEN) {
    return 0;
  }
  vs_layer_id layer = current_layer();
  if (layer == VS_LAYER_X11) {
    if (index == SM_XVIRTUALSCREEN || index == SM_YVIRTUALSCREEN) return 0;
    int width = 0, height = 0;
    if (x11_virtual_screen_size(&width, &height) != 0) return 0;
    return index == SM_CXVIRTUALSCREEN ? width : height;
  }
  vs_monitor_list list;
  if (list_monitors(layer, &list) != 0 || list.count == 0) return 0;
  RECT box = list.monitors[0].rect;
  for (int i = 1; i < list.count; i++) {
    const RECT *r = &list.monitors[i].rect;
    if (r->left < box.left) box.left = r->left;
    if (r->top < box.top) box.top = r->top;
    if (r->right > box.right) box.right = r->right;
    if (r->bottom > box.bottom) box.bottom = r->bottom;
  }
  switch (index) {
    case SM_XVIRTUALSCREEN:
      return box.left;
    case SM_YVIRTUALSCREEN:
      return box.top;
    case SM_CXVIRTUALSCREEN:
      return box.right - box.left;
    default:
      return box.bottom - box.top;
  }
}

// ---------------------------------------------------------------------------
// Screen DC, copy and windows

HDC WINAPI GetDC(HWND hwnd) {
  if (hwnd) {
    vs_set_last_error(X11_BAD_MATCH);
    return NULL;
  }
  int result = -1;
  switch (current_layer()) {
    case VS_LAYER_X11:
      result = x11_open();
      break;
    case VS_LAYER_WAYLAND:
      result = wl_open();
      break;
    case VS_LAYER_PORTAL:
      result = portal_layer_open();
      break;
    case VS_LAYER_NONE:
      break;
  }
  return result == 0 ? (HDC)&g_vs_screen_dc : NULL;
}

int WINAPI ReleaseDC(HWND hwnd, HDC hdc) {
  (void)hwnd;
  return hdc == (HDC)&g_vs_screen_dc ? 1 : 0;
}

BOOL WINAPI BitBlt(HDC dest, int x, int y, int width, int height, HDC src, int src_x, int src_y,
                   DWORD rop) {
  vs_dc *memory = vs_memory_dc(dest);
  if (!memory || !memory->bitmap || src != (HDC)&g_vs_screen_dc || rop != SRCCOPY || x != 0 ||
      y != 0 || width <= 0 || height <= 0 || width > memory->bitmap->width ||
      height > memory->bitmap->height) {
    vs_set_last_error(X11_BAD_VALUE);
    return FALSE;
  }
  int result = -1;
  switch (current_layer()) {
    case VS_LAYER_X11:
      result = x11_copy_screen(src_x, src_y, width, height, memory->bitmap);
      break;
    case VS_LAYER_WAYLAND:
      result = wl_copy_screen(src_x, src_y, width, height, memory->bitmap);
      break;
    case VS_LAYER_PORTAL:
      result = portal_layer_copy_screen(src_x, src_y, width, height, memory->bitmap);
      break;
    case VS_LAYER_NONE:
      break;
  }
  return result == 0;
}

BOOL WINAPI GetWindowRect(HWND hwnd, LPRECT rect) {
  if (!rect) {
    vs_set_last_error(X11_BAD_VALUE);
    return FALSE;
  }
  return x11_window_rect(hwnd, rect) == 0;
}

BOOL WINAPI PrintWindow(HWND hwnd, HDC hdc, UINT flags) {
  vs_dc *memory = vs_memory_dc(hdc);
  if (!memory || !memory->bitmap || (flags != 0 && flags != PW_RENDERFULLCONTENT)) {
    vs_set_last_error(X11_BAD_VALUE);
    return FALSE;
  }
  return x11_print_window(hwnd, memory->bitmap, flags) == 0;
}
