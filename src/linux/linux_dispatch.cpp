// The one place that knows which display layer runs. The choice is made at
// the first call that needs the display and kept for the process until the
// chosen layer reports its connection broke:
//   VANTOREL_SCREENSHOT_BACKEND=x11|wayland|portal forces a layer;
//   otherwise the session is a Wayland one only when WAYLAND_DISPLAY or
//   WAYLAND_SOCKET is set, or DISPLAY is not (as toolkits decide: over
//   `ssh -X` DISPLAY leads back to the user's screen, and a compositor at
//   wayland-0 is the remote machine's own desktop). There a reachable
//   compositor that offers a screen-copy protocol gives the Wayland layer,
//   one without it but with the desktop portal on the session bus gives the
//   portal layer; X11 serves the rest.
// Window handles are X11 window ids whatever the layer: on a Wayland session
// they name Xwayland's windows, and the screen fallback of a window capture
// comes from the chosen layer.
//
// No lock is held here while a layer works: the choice lock guards one
// pointer, and a layer waits on its peer under its own lock only.
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "linux/linux_display.h"
#include "linux/linux_frame.h"
#include "linux/portal/portal_layer.h"
#include "linux/wayland/wl_layer.h"
#include "linux/x11/x11_layer.h"

extern vs_dc g_vs_screen_dc;

DWORD WINAPI GetLastError(void) { return vs_last_error(); }

// ---------------------------------------------------------------------------
// The export's budget

// Every export starts with EnumDisplayMonitors or GetWindowRect; from there
// on, its display calls share one budget, so a peer that answers each request
// just in time cannot stretch the export to the sum of the calls' bounds. Two
// waits are not charged to it: the portal's probe at the choice (the bus may
// have to start the portal first, and the capture after it needs its whole
// time), and the answer window of a layer that keeps one (below).
static thread_local int64_t t_budget_end;
// The layer chosen for this export when the choice is not kept for the
// process: the calls of one export never probe twice.
static thread_local const vs_layer *t_export_layer;

static void begin_export(void) {
  t_budget_end = vs_now_ms() + VS_CALL_BUDGET_MS;
  t_export_layer = NULL;
}

// The deadline of one layer call: the layer's own bound, within what is left
// of the export's budget.
static int64_t call_deadline(int wait_ms) {
  int64_t own = vs_now_ms() + wait_ms;
  return own < t_budget_end ? own : t_budget_end;
}

// A screen copy's deadline. What a layer's copy_wait_ms has beyond its
// wait_ms is a window for an answer that no peer's slowness may eat (the
// portal's, while the user may be asked): it is granted beyond the budget,
// and the layer keeps its other waits out of it.
static int64_t copy_deadline(const vs_layer *layer) {
  int64_t own = vs_now_ms() + layer->copy_wait_ms;
  int64_t end = t_budget_end + (layer->copy_wait_ms - layer->wait_ms);
  return own < end ? own : end;
}

// ---------------------------------------------------------------------------
// The choice

static const vs_layer *const k_layers[] = {&vs_x11_layer, &vs_wl_layer, &vs_portal_layer};

static pthread_mutex_t s_choice_mutex = PTHREAD_MUTEX_INITIALIZER;
static const vs_layer *s_layer;  // the choice kept for the process, or NULL

// A child of fork has only the thread that forked: a lock another thread
// held at that moment would stay taken for ever. It guards one pointer, so a
// fresh lock is all the child needs (the layers see to their connections).
static void choice_after_fork(void) {
  static const pthread_mutex_t fresh = PTHREAD_MUTEX_INITIALIZER;
  memcpy(&s_choice_mutex, &fresh, sizeof fresh);
}

static pthread_once_t s_fork_watch = PTHREAD_ONCE_INIT;
static void watch_forks(void) { pthread_atfork(NULL, NULL, choice_after_fork); }

static int set(const char *name) {
  const char *value = getenv(name);
  return value && value[0];
}

int vs_session_is_wayland(void) {
  return set("WAYLAND_DISPLAY") || set("WAYLAND_SOCKET") || !set("DISPLAY");
}

// Runs without any lock: the probes talk to the compositor and the bus. *keep
// says whether the choice holds for later exports. X11 chosen because no
// compositor answered is made again at every export (a failed connect to a
// socket costs microseconds), so a compositor that comes, or comes back, is
// used from then on.
static const vs_layer *choose_layer(int *keep, int64_t deadline) {
  *keep = 1;
  const char *forced = getenv("VANTOREL_SCREENSHOT_BACKEND");
  if (forced && forced[0]) {
    for (const vs_layer *layer : k_layers) {
      if (strcmp(forced, layer->name) == 0) return layer;
    }
    *keep = 0;
    vs_set_last_error(VS_ERROR_BAD_BACKEND);
    return NULL;
  }
  if (!vs_session_is_wayland()) {
    *keep = 0;
    return &vs_x11_layer;
  }
  if (vs_wl_layer.open(deadline) == 0) return &vs_wl_layer;
  uint32_t why = vs_last_error();
  if (why == VS_ERROR_WL_NO_SCREENCOPY) {
    // A compositor without screen copy: the portal is the sanctioned way in.
    int64_t probe_start = vs_now_ms();
    int offered = vs_portal_layer.probe(deadline) == 0;
    t_budget_end += vs_now_ms() - probe_start;
    if (offered) return &vs_portal_layer;
    vs_wl_layer.close();
    // X11 still serves a session with an X server (Xwayland's windows by
    // id). Without one, X11's own complaint (a bad DISPLAY) would hide why
    // nothing can capture here: the compositor's and the portal's refusals.
    if (vs_x11_layer.open(deadline) == 0) return &vs_x11_layer;
    *keep = 0;
    vs_set_last_error(VS_ERROR_NO_CAPTURE_PATH);
    return NULL;
  }
  *keep = 0;
  return &vs_x11_layer;
}

static const vs_layer *current_layer(int64_t deadline) {
  pthread_once(&s_fork_watch, watch_forks);
  pthread_mutex_lock(&s_choice_mutex);
  const vs_layer *layer = s_layer;
  pthread_mutex_unlock(&s_choice_mutex);
  if (layer) return layer;
  if (t_export_layer) return t_export_layer;
  int keep = 0;
  layer = choose_layer(&keep, deadline);
  if (!layer) return NULL;
  if (!keep) {
    t_export_layer = layer;
    return layer;
  }
  // Two threads may have chosen at once; the first choice stands.
  pthread_mutex_lock(&s_choice_mutex);
  if (!s_layer) s_layer = layer;
  layer = s_layer;
  pthread_mutex_unlock(&s_choice_mutex);
  return layer;
}

// A layer whose connection broke is chosen afresh at the next call (a new
// compositor, or X11 after all).
static int settle(const vs_layer *layer, int result) {
  if (result != VS_BROKEN) return result;
  pthread_mutex_lock(&s_choice_mutex);
  if (s_layer == layer) s_layer = NULL;
  pthread_mutex_unlock(&s_choice_mutex);
  if (t_export_layer == layer) t_export_layer = NULL;
  return result;
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

void vs_bounding_box(const vs_monitor_list *list, RECT *box) {
  *box = list->monitors[0].rect;
  for (int i = 1; i < list->count; i++) {
    const RECT *r = &list->monitors[i].rect;
    if (r->left < box->left) box->left = r->left;
    if (r->top < box->top) box->top = r->top;
    if (r->right > box->right) box->right = r->right;
    if (r->bottom > box->bottom) box->bottom = r->bottom;
  }
}

BOOL WINAPI EnumDisplayMonitors(HDC hdc, LPCRECT clip, MONITORENUMPROC proc, LPARAM data) {
  begin_export();
  if (hdc || clip || !proc) {
    vs_set_last_error(VS_ERROR_BAD_VALUE);
    return FALSE;
  }
  const vs_layer *layer = current_layer(call_deadline(VS_WAIT_MS));
  if (!layer) return FALSE;
  int64_t deadline = call_deadline(layer->wait_ms);
  vs_monitor_list list;
  list.count = 0;
  if (settle(layer, layer->list_monitors(&list, deadline)) != 0) return FALSE;
  vs_settle_primary(&list);

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
    vs_set_last_error(VS_ERROR_BAD_VALUE);
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

int WINAPI GetSystemMetrics(int index) {
  if (index != SM_XVIRTUALSCREEN && index != SM_YVIRTUALSCREEN && index != SM_CXVIRTUALSCREEN &&
      index != SM_CYVIRTUALSCREEN) {
    return 0;
  }
  const vs_layer *layer = current_layer(call_deadline(VS_WAIT_MS));
  RECT box;
  if (!layer || settle(layer, layer->virtual_screen(&box, call_deadline(layer->wait_ms))) != 0) {
    return 0;
  }
  switch (index) {
    case SM_XVIRTUALSCREEN:
      return box.left;
    case SM_YVIRTUALSCREEN:
      return box.top;
    case SM_CXVIRTUALSCREEN:
      return (int)((int64_t)box.right - box.left);
    default:
      return (int)((int64_t)box.bottom - box.top);
  }
}

// ---------------------------------------------------------------------------
// Screen DC, copy and windows

HDC WINAPI GetDC(HWND hwnd) {
  if (hwnd) {
    vs_set_last_error(VS_ERROR_BAD_MATCH);
    return NULL;
  }
  const vs_layer *layer = current_layer(call_deadline(VS_WAIT_MS));
  if (!layer || settle(layer, layer->open(call_deadline(layer->wait_ms))) != 0) return NULL;
  return (HDC)&g_vs_screen_dc;
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
    vs_set_last_error(VS_ERROR_BAD_VALUE);
    return FALSE;
  }
  const vs_layer *layer = current_layer(call_deadline(VS_WAIT_MS));
  if (!layer) return FALSE;
  int64_t deadline = copy_deadline(layer);
  // Xwayland's root holds no pixels of Wayland clients: a copy would be a
  // black picture reported as success.
  if (layer->screen_is_blind) {
    int blind = settle(layer, layer->screen_is_blind(deadline));
    if (blind < 0) return FALSE;
    if (blind) {
      vs_clear_content(memory->bitmap);
      vs_set_last_error(VS_ERROR_XWAYLAND);
      return FALSE;
    }
  }
  return settle(layer, layer->copy_screen(src_x, src_y, width, height, memory->pointer,
                                          memory->bitmap, deadline)) == 0;
}

BOOL WINAPI GetWindowRect(HWND hwnd, LPRECT rect) {
  begin_export();
  if (!rect) {
    vs_set_last_error(VS_ERROR_BAD_VALUE);
    return FALSE;
  }
  return settle(&vs_x11_layer,
                vs_x11_layer.window_rect(hwnd, rect, call_deadline(vs_x11_layer.wait_ms))) == 0;
}

BOOL WINAPI PrintWindow(HWND hwnd, HDC hdc, UINT flags) {
  vs_dc *memory = vs_memory_dc(hdc);
  if (!memory || !memory->bitmap || (flags != 0 && flags != PW_RENDERFULLCONTENT)) {
    vs_set_last_error(VS_ERROR_BAD_VALUE);
    return FALSE;
  }
  return settle(&vs_x11_layer,
                vs_x11_layer.print_window(hwnd, memory->bitmap, flags, memory->pointer,
                                          call_deadline(vs_x11_layer.wait_ms))) == 0;
}

// ---------------------------------------------------------------------------
// The window list and windows by text id

// The chosen layer's own list where it has one (a Wayland compositor's
// toplevels), else X11's: the X server's, or Xwayland's windows on a Wayland
// session whose compositor lists none to clients (the portal desktops).
BOOL vs_list_windows(vs_window_entry *windows, int max, int *count) {
  begin_export();
  *count = 0;
  if (!windows || max <= 0) {
    vs_set_last_error(VS_ERROR_BAD_VALUE);
    return FALSE;
  }
  const vs_layer *layer = current_layer(call_deadline(VS_WAIT_MS));
  if (!layer) return FALSE;
  if (layer->list_windows && layer != &vs_x11_layer) {
    int result =
        settle(layer, layer->list_windows(windows, max, count, call_deadline(layer->wait_ms)));
    if (result == 0) return TRUE;
    if (result != VS_NOT_OFFERED) return FALSE;
    *count = 0;
  }
  return settle(&vs_x11_layer, vs_x11_layer.list_windows(windows, max, count,
                                                         call_deadline(vs_x11_layer.wait_ms))) == 0;
}

BOOL vs_capture_window_text(const char *id, BOOL pointer, int *width, int *height, BYTE **pixels) {
  begin_export();
  *width = 0;
  *height = 0;
  *pixels = NULL;
  const vs_layer *layer = current_layer(call_deadline(VS_WAIT_MS));
  if (!layer) return FALSE;
  if (!layer->capture_window) {
    // X11 names its windows by number only.
    vs_set_last_error(VS_ERROR_BAD_WINDOW);
    return FALSE;
  }
  vs_frame frame;
  memset(&frame, 0, sizeof frame);
  if (settle(layer, layer->capture_window(id, pointer ? 1 : 0, &frame, copy_deadline(layer))) !=
      0) {
    vs_frame_free(&frame);
    return FALSE;
  }
  *width = frame.width;
  *height = frame.height;
  *pixels = (BYTE *)frame.pixels;
  return TRUE;
}
