// Physical pixels whatever the host's DPI awareness, on a scaled desktop
// (Wine 10 scales as Windows does; LogPixels set in the prefix).
//
//   vs_win32_dpi_test paint READY STOP
//       a per-monitor-aware painter: a backdrop on every monitor, together a
//       pattern in which every pixel of the screen is unique, and a target
//       window on top. Writes
//       the target's handle to READY once the screen shows both; quits when
//       STOP exists (or after ten minutes).
//   vs_win32_dpi_test check aware|unaware TARGET OUT [REF] [--bar WxH]
//       a host of that awareness runs every display export into OUT. The
//       aware host (no REF) checks its captures against the painted pattern;
//       a host given REF, the aware host's OUT, must match it pixel for pixel.
//       --bar also prints the figures for a single WxH monitor as lines of
//       their own. The thread's awareness context must be the same after
//       every export as before it.
#include <stb/stb_image.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "cursor_wait.h"
#include "harness.h"
#include "vantorel_screenshot.h"

// The DPI functions are looked up, as the library does: the program must start
// on Wine 8 as well, where some are missing.
typedef void *dpi_context;
typedef dpi_context(WINAPI *get_thread_context_fn)(void);
typedef dpi_context(WINAPI *set_thread_context_fn)(dpi_context);
typedef BOOL(WINAPI *contexts_equal_fn)(dpi_context, dpi_context);
typedef BOOL(WINAPI *set_process_context_fn)(dpi_context);
typedef dpi_context(WINAPI *window_context_fn)(HWND);
typedef int(WINAPI *awareness_of_fn)(dpi_context);

#define CONTEXT_UNAWARE ((dpi_context)(intptr_t)-1)
#define CONTEXT_SYSTEM_AWARE ((dpi_context)(intptr_t)-2)
#define CONTEXT_PER_MONITOR_V2 ((dpi_context)(intptr_t)-4)

static get_thread_context_fn g_get_thread_context;
static set_thread_context_fn g_set_thread_context;
static contexts_equal_fn g_contexts_equal;
static set_process_context_fn g_set_process_context;
static window_context_fn g_window_context;
static awareness_of_fn g_awareness_of;

static FARPROC user32_function(const char *name) {
  return GetProcAddress(GetModuleHandleA("user32.dll"), name);
}

static bool find_dpi_functions(void) {
  g_get_thread_context =
      (get_thread_context_fn)(void (*)(void))user32_function("GetThreadDpiAwarenessContext");
  g_set_thread_context =
      (set_thread_context_fn)(void (*)(void))user32_function("SetThreadDpiAwarenessContext");
  g_contexts_equal =
      (contexts_equal_fn)(void (*)(void))user32_function("AreDpiAwarenessContextsEqual");
  g_set_process_context =
      (set_process_context_fn)(void (*)(void))user32_function("SetProcessDpiAwarenessContext");
  g_window_context =
      (window_context_fn)(void (*)(void))user32_function("GetWindowDpiAwarenessContext");
  g_awareness_of =
      (awareness_of_fn)(void (*)(void))user32_function("GetAwarenessFromDpiAwarenessContext");
  return g_awareness_of && g_get_thread_context && g_set_thread_context && g_contexts_equal &&
         g_set_process_context && g_window_context;
}

// ---------------------------------------------------------------------------
// The painted screen, in physical pixels

struct screen_layout {
  RECT virtual_rect;
  RECT monitors[16];
  int monitor_count;
  RECT primary;
  RECT target;
};

static BOOL CALLBACK add_monitor(HMONITOR monitor, HDC dc, LPRECT rect, LPARAM data) {
  (void)dc;
  screen_layout *layout = (screen_layout *)data;
  UnionRect(&layout->virtual_rect, &layout->virtual_rect, rect);
  if (layout->monitor_count < 16) layout->monitors[layout->monitor_count++] = *rect;
  MONITORINFO info;
  info.cbSize = sizeof info;
  if (GetMonitorInfoA(monitor, &info) && (info.dwFlags & MONITORINFOF_PRIMARY))
    layout->primary = *rect;
  return TRUE;
}

// Only meaningful on a per-monitor-aware thread. The target sits at odd
// offsets with an odd size, so a scaled rectangle cannot land on it by chance.
static screen_layout physical_layout(void) {
  screen_layout layout;
  memset(&layout, 0, sizeof layout);
  EnumDisplayMonitors(NULL, NULL, add_monitor, (LPARAM)&layout);
  SetRect(&layout.target, layout.primary.left + 101, layout.primary.top + 77,
          layout.primary.left + 101 + 333, layout.primary.top + 77 + 221);
  return layout;
}

// 0x00RRGGBB, unique over the virtual screen: R and G the low bytes of the
// offsets, B their high bits.
static uint32_t backdrop_pixel(const screen_layout *l, int x, int y) {
  uint32_t ux = (uint32_t)(x - l->virtual_rect.left), uy = (uint32_t)(y - l->virtual_rect.top);
  return ((ux & 0xff) << 16) | ((uy & 0xff) << 8) | ((ux >> 8) * 0x10 + (uy >> 8) + 1);
}

static uint32_t target_pixel(int col, int row) {
  return ((uint32_t)(250 - (col & 0x7f)) << 16) | ((uint32_t)(row * 5 & 0xff) << 8) |
         (uint32_t)((col ^ row) & 0xff);
}

// Whether (x, y) lies on a monitor: the rest of the bounding box shows what
// the platform has there, which no window of ours covers.
static bool on_monitor(const screen_layout *l, int x, int y) {
  POINT p = {x, y};
  for (int i = 0; i < l->monitor_count; i++)
    if (PtInRect(&l->monitors[i], p)) return true;
  return false;
}

static uint32_t screen_pixel(const screen_layout *l, int x, int y) {
  if (x >= l->target.left && x < l->target.right && y >= l->target.top && y < l->target.bottom)
    return target_pixel(x - l->target.left, y - l->target.top);
  return backdrop_pixel(l, x, y);
}

// ---------------------------------------------------------------------------
// Painter

struct painted_window {
  HDC dc;
  HBITMAP dib;
  HGDIOBJ previous;
  int width, height;
};

static LRESULT CALLBACK painted_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE)
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, (LONG_PTR)((CREATESTRUCTA *)lp)->lpCreateParams);
  painted_window *w = (painted_window *)GetWindowLongPtrA(hwnd, GWLP_USERDATA);
  switch (msg) {
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      if (w) BitBlt(dc, 0, 0, w->width, w->height, w->dc, 0, 0, SRCCOPY);
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_PRINTCLIENT:
      if (w) BitBlt((HDC)wp, 0, 0, w->width, w->height, w->dc, 0, 0, SRCCOPY);
      return 0;
  }
  return DefWindowProcA(hwnd, msg, wp, lp);
}

static BITMAPINFO top_down_dib(int width, int height) {
  BITMAPINFO info;
  memset(&info, 0, sizeof info);
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  return info;
}

// Fills a window's pixels from the screen layout, or when l is null with the
// target's pattern from the window's own corner.
static bool make_pixels(painted_window *w, const screen_layout *l, const RECT *r) {
  w->width = r->right - r->left;
  w->height = r->bottom - r->top;
  BITMAPINFO info = top_down_dib(w->width, w->height);
  void *bits = NULL;
  w->dib = CreateDIBSection(NULL, &info, DIB_RGB_COLORS, &bits, NULL, 0);
  if (!w->dib) return false;
  uint32_t *px = (uint32_t *)bits;
  for (int row = 0; row < w->height; row++)
    for (int col = 0; col < w->width; col++)
      px[(size_t)row * w->width + col] =
          l ? screen_pixel(l, r->left + col, r->top + row) : target_pixel(col, row);
  w->dc = CreateCompatibleDC(NULL);
  w->previous = SelectObject(w->dc, w->dib);
  return true;
}

static const char k_class[] = "vs_dpi_window";

static void register_class(void) {
  WNDCLASSA wc;
  memset(&wc, 0, sizeof wc);
  wc.lpfnWndProc = painted_proc;
  wc.hInstance = GetModuleHandleA(NULL);
  wc.lpszClassName = k_class;
  wc.hCursor = LoadCursor(NULL, IDC_ARROW);
  RegisterClassA(&wc);
}

static HWND show_painted(painted_window *w, const RECT *r, bool topmost) {
  HWND hwnd = CreateWindowExA(WS_EX_TOOLWINDOW | (topmost ? WS_EX_TOPMOST : 0), k_class, "",
                              WS_POPUP, r->left, r->top, r->right - r->left, r->bottom - r->top,
                              NULL, NULL, GetModuleHandleA(NULL), w);
  if (!hwnd) return NULL;
  ShowWindow(hwnd, SW_SHOWNOACTIVATE);
  SetWindowPos(hwnd, topmost ? HWND_TOPMOST : HWND_TOP, r->left, r->top, r->right - r->left,
               r->bottom - r->top, SWP_NOACTIVATE | SWP_SHOWWINDOW);
  UpdateWindow(hwnd);
  return hwnd;
}

static void pump_messages(void) {
  MSG msg;
  while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

// Pixels of the screen that differ from the layout, read with GDI directly.
static long screen_mismatches(const screen_layout *l) {
  const RECT *r = &l->virtual_rect;
  int width = r->right - r->left, height = r->bottom - r->top;
  HDC screen = GetDC(NULL);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info = top_down_dib(width, height);
  void *bits = NULL;
  HBITMAP dib = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, NULL, 0);
  HGDIOBJ previous = SelectObject(memory, dib);
  BitBlt(memory, 0, 0, width, height, screen, r->left, r->top, SRCCOPY);
  GdiFlush();
  long bad = 0;
  const uint32_t *px = (const uint32_t *)bits;
  for (int row = 0; row < height; row++)
    for (int col = 0; col < width; col++)
      if (on_monitor(l, r->left + col, r->top + row) &&
          (px[(size_t)row * width + col] & 0xffffff) !=
              screen_pixel(l, r->left + col, r->top + row))
        bad++;
  SelectObject(memory, previous);
  DeleteObject(dib);
  DeleteDC(memory);
  ReleaseDC(NULL, screen);
  return bad;
}

static int paint(const char *ready, const char *stop) {
  if (!g_set_process_context(CONTEXT_PER_MONITOR_V2)) {
    printf("painter: SetProcessDpiAwarenessContext failed (%lu)\n", GetLastError());
    return 1;
  }
  screen_layout layout = physical_layout();
  register_class();
  // One backdrop per monitor: Wine 10 leaves a window that spans monitors
  // undrawn.
  static painted_window backdrops[16];
  HWND backdrop_hwnds[16];
  painted_window target;
  for (int i = 0; i < layout.monitor_count; i++) {
    if (!make_pixels(&backdrops[i], &layout, &layout.monitors[i])) {
      printf("painter: no DIB section\n");
      return 1;
    }
    backdrop_hwnds[i] = show_painted(&backdrops[i], &layout.monitors[i], false);
    if (!backdrop_hwnds[i]) {
      printf("painter: backdrop not created\n");
      return 1;
    }
  }
  if (!make_pixels(&target, &layout, &layout.target)) {
    printf("painter: no DIB section\n");
    return 1;
  }
  HWND target_hwnd = show_painted(&target, &layout.target, true);
  if (!target_hwnd) {
    printf("painter: target not created\n");
    return 1;
  }
  long bad = -1;
  for (int attempt = 0; attempt < 600 && bad != 0; attempt++) {
    if (GetFileAttributesA(stop) != INVALID_FILE_ATTRIBUTES) break;
    pump_messages();
    bad = screen_mismatches(&layout);
    if (bad) Sleep(50);
  }
  if (bad) {
    printf("painter: %ld pixels of the screen never showed the pattern\n", bad);
    return 1;
  }
  FILE *f = fopen(ready, "w");
  if (!f) return 1;
  fprintf(f, "%llu\n", (unsigned long long)(uintptr_t)target_hwnd);
  fclose(f);
  for (DWORD start = GetTickCount(); GetTickCount() - start < 600000;) {
    if (GetFileAttributesA(stop) != INVALID_FILE_ATTRIBUTES) break;
    MsgWaitForMultipleObjects(0, NULL, FALSE, 100, QS_ALLINPUT);
    pump_messages();
  }
  DestroyWindow(target_hwnd);
  for (int i = layout.monitor_count - 1; i >= 0; i--) DestroyWindow(backdrop_hwnds[i]);
  return 0;
}

// ---------------------------------------------------------------------------
// Host

static const char *g_out;
static const char *g_ref;
static HWND g_target;
static bool g_aware;
static int g_bar_width, g_bar_height;
static int g_context_changes;

static const char *path_in(const char *dir, const char *name) {
  static char paths[4][MAX_PATH];
  static int next;
  char *p = paths[next++ % 4];
  snprintf(p, MAX_PATH, "%s\\%s", dir, name);
  return p;
}

// Every export goes through this: the thread's context after must equal the
// one before.
#define EXPORT_CALL(call)                                                   \
  ([&]() {                                                                  \
    dpi_context before_ = g_get_thread_context();                           \
    auto result_ = (call);                                                  \
    dpi_context after_ = g_get_thread_context();                            \
    if (!g_contexts_equal(before_, after_)) {                               \
      g_context_changes++;                                                  \
      harness_fail("%s changed the thread's DPI awareness context", #call); \
    }                                                                       \
    return result_;                                                         \
  }())

struct image {
  uint8_t *px;
  int width, height;
};

static image decode_png(const uint8_t *png, int len) {
  image img;
  int channels = 0;
  img.px = stbi_load_from_memory(png, len, &img.width, &img.height, &channels, 4);
  if (!img.px) img.width = img.height = 0;
  return img;
}

static image load_png(const char *path) {
  image img = {NULL, 0, 0};
  FILE *f = fopen(path, "rb");
  if (!f) return img;
  fseek(f, 0, SEEK_END);
  long size = ftell(f);
  fseek(f, 0, SEEK_SET);
  uint8_t *data = (uint8_t *)malloc(size > 0 ? (size_t)size : 1);
  if (fread(data, 1, (size_t)size, f) == (size_t)size) img = decode_png(data, (int)size);
  fclose(f);
  free(data);
  return img;
}

// Compares an image with the painted layout at (x, y), or with another image.
static void check_pixels(const char *what, const image *got, const screen_layout *l, int x, int y,
                         const image *want) {
  if (!got->px) {
    harness_fail("%s: no image", what);
    return;
  }
  if (want && (!want->px || want->width != got->width || want->height != got->height)) {
    harness_fail("%s: %dx%d, the aware host's is %dx%d", what, got->width, got->height, want->width,
                 want->height);
    return;
  }
  long wrong = 0;
  int first_col = -1, first_row = -1;
  for (int row = 0; row < got->height; row++)
    for (int col = 0; col < got->width; col++) {
      const uint8_t *p = got->px + ((size_t)row * got->width + col) * 4;
      uint32_t have =
          ((uint32_t)p[0] << 16) | ((uint32_t)p[1] << 8) | p[2] | ((uint32_t)p[3] << 24);
      uint32_t expect;
      if (want) {
        const uint8_t *q = want->px + ((size_t)row * got->width + col) * 4;
        expect = ((uint32_t)q[0] << 16) | ((uint32_t)q[1] << 8) | q[2] | ((uint32_t)q[3] << 24);
      } else {
        if (!on_monitor(l, x + col, y + row)) continue;
        expect = screen_pixel(l, x + col, y + row) | 0xff000000u;
      }
      if (have != expect && wrong++ == 0) {
        first_col = col;
        first_row = row;
      }
    }
  if (wrong)
    harness_fail("%s: %ld of %dx%d pixels differ from %s, the first at column %d row %d", what,
                 wrong, got->width, got->height, want ? "the aware host's" : "the painted screen",
                 first_col, first_row);
}

static void check_capture(const char *what, const char *name, int x, int y, int width, int height,
                          const screen_layout *l) {
  image got = load_png(path_in(g_out, name));
  if (got.width != width || got.height != height) {
    harness_fail("%s: %dx%d, expected %dx%d physical pixels", what, got.width, got.height, width,
                 height);
  } else if (g_ref) {
    image want = load_png(path_in(g_ref, name));
    check_pixels(what, &got, l, x, y, &want);
    stbi_image_free(want.px);
  } else {
    check_pixels(what, &got, l, x, y, NULL);
  }
  stbi_image_free(got.px);
}

static void bar_line(bool ok, const char *format, ...) {
  va_list args;
  va_start(args, format);
  char text[256];
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  printf("bar: %s: %s\n", ok ? "ok" : "FAILED", text);
  if (!ok) g_harness.current_failures++;
}

static screen_layout g_layout;

struct json_monitor {
  int x, y, width, height;
};

static int parse_json(const char *json, json_monitor *out, int max) {
  int n = 0;
  for (const char *p = json ? strstr(json, "{\"index\"") : NULL; p && n < max;
       p = strstr(p + 1, "{\"index\"")) {
    const char *x = strstr(p, "\"x\":");
    if (!x || sscanf(x, "\"x\":%d,\"y\":%d,\"width\":%d,\"height\":%d", &out[n].x, &out[n].y,
                     &out[n].width, &out[n].height) != 4)
      return -1;
    n++;
  }
  return n;
}

static json_monitor g_monitors[16];
static int g_monitor_count;

static void test_json(void) {
  const char *json = EXPORT_CALL(screenshot_list_monitors_json());
  if (!json) {
    harness_fail("no JSON: %s", screenshot_last_error());
    return;
  }
  FILE *f = fopen(path_in(g_out, "monitors.json"), "w");
  if (f) {
    fputs(json, f);
    fclose(f);
  }
  printf("  %s\n", json);
  g_monitor_count = parse_json(json, g_monitors, 16);
  CHECK(g_monitor_count > 0);
  if (g_ref) {
    char want[4096] = "";
    f = fopen(path_in(g_ref, "monitors.json"), "r");
    if (f) {
      if (!fgets(want, sizeof want, f)) want[0] = '\0';
      fclose(f);
    }
    CHECK_STR(json, want);
  } else {
    // The aware host's own enumeration is physical.
    RECT all;
    SetRectEmpty(&all);
    for (int i = 0; i < g_monitor_count; i++) {
      RECT r;
      SetRect(&r, g_monitors[i].x, g_monitors[i].y, g_monitors[i].x + g_monitors[i].width,
              g_monitors[i].y + g_monitors[i].height);
      UnionRect(&all, &all, &r);
    }
    CHECK(EqualRect(&all, &g_layout.virtual_rect));
  }
  if (g_bar_width) {
    bool ok = g_monitor_count == 1 && g_monitors[0].width == g_bar_width &&
              g_monitors[0].height == g_bar_height;
    bar_line(ok, "JSON lists %d monitor(s), the first %dx%d (want one of %dx%d)", g_monitor_count,
             g_monitor_count > 0 ? g_monitors[0].width : 0,
             g_monitor_count > 0 ? g_monitors[0].height : 0, g_bar_width, g_bar_height);
  }
}

static void png_size(const char *name, int *width, int *height) {
  image img = load_png(path_in(g_out, name));
  *width = img.width;
  *height = img.height;
  stbi_image_free(img.px);
}

static void test_all(void) {
  int result = EXPORT_CALL(screenshot_capture_all_png(path_in(g_out, "all.png")));
  if (result != 0) {
    harness_fail("capture_all: %s", screenshot_last_error());
    return;
  }
  const RECT *v = &g_layout.virtual_rect;
  check_capture("all", "all.png", v->left, v->top, v->right - v->left, v->bottom - v->top,
                &g_layout);
  if (g_bar_width) {
    int w, h;
    png_size("all.png", &w, &h);
    bar_line(w == g_bar_width && h == g_bar_height, "all: %dx%d", w, h);
  }
}

static void test_monitors(void) {
  for (int i = 0; i < g_monitor_count; i++) {
    char name[32], what[32];
    snprintf(name, sizeof name, "monitor-%d.png", i);
    snprintf(what, sizeof what, "monitor %d", i);
    if (EXPORT_CALL(screenshot_capture_monitor_png(i, path_in(g_out, name))) != 0) {
      harness_fail("%s: %s", what, screenshot_last_error());
      continue;
    }
    const json_monitor *m = &g_monitors[i];
    check_capture(what, name, m->x, m->y, m->width, m->height, &g_layout);
    if (g_bar_width && i == 0) {
      int w, h;
      png_size(name, &w, &h);
      bar_line(w == g_bar_width && h == g_bar_height, "monitor 0: %dx%d", w, h);
    }
  }
}

// 300x200 in the bottom-right corner of the virtual screen, to a file and to
// memory; and one reaching past the corner, clamped to the part on screen.
static void test_regions(void) {
  const RECT *v = &g_layout.virtual_rect;
  int x = v->right - 300, y = v->bottom - 200;
  if (EXPORT_CALL(screenshot_capture_region_png(x, y, 300, 200, path_in(g_out, "region.png"))) !=
      0) {
    harness_fail("region (%d,%d 300x200): %s", x, y, screenshot_last_error());
  } else {
    check_capture("bottom-right region", "region.png", x, y, 300, 200, &g_layout);
  }
  if (g_bar_width) {
    int w, h;
    png_size("region.png", &w, &h);
    bar_line(w == 300 && h == 200, "region (%d,%d 300x200) at the bottom-right corner: %dx%d", x, y,
             w, h);
  }

  uint8_t *png = NULL;
  int len = 0;
  if (EXPORT_CALL(screenshot_capture_region_mem(x, y, 300, 200, &png, &len)) != 0) {
    harness_fail("region in memory: %s", screenshot_last_error());
  } else {
    image got = decode_png(png, len);
    image file = load_png(path_in(g_out, "region.png"));
    CHECK_INT(got.width, 300);
    CHECK_INT(got.height, 200);
    if (got.px && file.px && got.width == file.width && got.height == file.height)
      CHECK(memcmp(got.px, file.px, (size_t)got.width * got.height * 4) == 0);
    stbi_image_free(got.px);
    stbi_image_free(file.px);
    screenshot_free_mem(png);
  }

  if (EXPORT_CALL(screenshot_capture_region_png(v->right - 150, v->bottom - 100, 300, 200,
                                                path_in(g_out, "past-corner.png"))) != 0) {
    harness_fail("region past the corner: %s", screenshot_last_error());
  } else {
    check_capture("region past the corner", "past-corner.png", v->right - 150, v->bottom - 100, 150,
                  100, &g_layout);
  }
}

// The painter's target, a window of another, aware process: at its physical
// size, and as the aware host captured it. (Wine's window printing across
// processes draws nothing, so its pixels are not the painted ones there.)
// Then a hidden window of the host's own, which leaves the screen to the
// other hosts: at the size that a per-monitor-aware thread sees, with every
// pixel of its pattern.
static void test_windows(void) {
  const RECT *t = &g_layout.target;
  int tw = t->right - t->left, th = t->bottom - t->top;
  if (EXPORT_CALL(screenshot_capture_window_png(g_target, path_in(g_out, "target.png"))) != 0) {
    harness_fail("target window: %s", screenshot_last_error());
  } else {
    image got = load_png(path_in(g_out, "target.png"));
    CHECK_INT(got.width, tw);
    CHECK_INT(got.height, th);
    if (g_ref && got.width == tw && got.height == th) {
      image want = load_png(path_in(g_ref, "target.png"));
      check_pixels("target window", &got, &g_layout, 0, 0, &want);
      stbi_image_free(want.px);
    }
    if (g_bar_width)
      bar_line(got.width == tw && got.height == th, "window of %dx%d physical pixels: %dx%d", tw,
               th, got.width, got.height);
    stbi_image_free(got.px);
  }

  RECT units;
  SetRect(&units, 40, 40, 240, 140);
  painted_window own_pixels;
  if (!make_pixels(&own_pixels, NULL, &units)) {
    harness_fail("no DIB section");
    return;
  }
  HWND own = CreateWindowExA(WS_EX_TOOLWINDOW, k_class, "", WS_POPUP, units.left, units.top,
                             units.right - units.left, units.bottom - units.top, NULL, NULL,
                             GetModuleHandleA(NULL), &own_pixels);
  if (!own) {
    harness_fail("own window not created");
    return;
  }
  RECT physical;
  dpi_context saved = g_set_thread_context(CONTEXT_PER_MONITOR_V2);
  GetWindowRect(own, &physical);
  g_set_thread_context(saved);
  int want_w = physical.right - physical.left, want_h = physical.bottom - physical.top;
  if (EXPORT_CALL(screenshot_capture_window_png(own, path_in(g_out, "own.png"))) != 0) {
    harness_fail("own window: %s", screenshot_last_error());
  } else {
    image got = load_png(path_in(g_out, "own.png"));
    CHECK_INT(got.width, want_w);
    CHECK_INT(got.height, want_h);
    // Where the system scales the window the pattern is scaled too.
    if (got.width == own_pixels.width && got.height == own_pixels.height) {
      long wrong = 0;
      for (int row = 0; row < got.height; row++)
        for (int col = 0; col < got.width; col++) {
          const uint8_t *p = got.px + ((size_t)row * got.width + col) * 4;
          uint32_t have = ((uint32_t)p[0] << 16) | ((uint32_t)p[1] << 8) | p[2];
          if (have != target_pixel(col, row)) wrong++;
        }
      if (wrong) harness_fail("own window: %ld pixels differ from its pattern", wrong);
    }
    if (g_bar_width)
      bar_line(got.width == want_w && got.height == want_h,
               "the host's own window of %dx%d physical pixels: %dx%d", want_w, want_h, got.width,
               got.height);
    stbi_image_free(got.px);
  }
  // The process's awareness is untouched: a window made after the exports
  // still has the host's own.
  int want = g_aware ? 2 : 0;  // DPI_AWARENESS_PER_MONITOR_AWARE, DPI_AWARENESS_UNAWARE
  HWND later = CreateWindowExA(WS_EX_TOOLWINDOW, k_class, "", WS_POPUP, 0, 0, 10, 10, NULL, NULL,
                               GetModuleHandleA(NULL), NULL);
  CHECK(later != NULL);
  if (later) CHECK_INT(g_awareness_of(g_window_context(later)), want);
  CHECK_INT(g_awareness_of(g_window_context(own)), want);
  if (later) DestroyWindow(later);
  DestroyWindow(own);
}

// A thread that set a context of its own gets that one back, not the
// process's.
static void test_thread_context(void) {
  dpi_context before = g_set_thread_context(CONTEXT_SYSTEM_AWARE);
  CHECK(EXPORT_CALL(screenshot_list_monitors_json()) != NULL);
  CHECK(g_contexts_equal(g_get_thread_context(), CONTEXT_SYSTEM_AWARE));
  g_set_thread_context(before);
  // A failing export puts it back too.
  CHECK_INT(EXPORT_CALL(screenshot_capture_monitor_png(99, path_in(g_out, "none.png"))), -1);
  CHECK_INT(EXPORT_CALL(screenshot_capture_window_png(NULL, path_in(g_out, "none.png"))), -1);
}

// The pointer, asked for, where it is in physical pixels, with its hotspot
// there, whatever the host's awareness. A monochrome cursor of the host's own:
// 'X' white, 'o' black, '.' the screen. The screen's pointer is the
// foreground thread's, so a 1x1 window of the host's comes to the front in
// the primary's top-left corner, which no capture here reads.
static const char *const k_cursor_shape[] = {
    "X...........", "XX..........", "XoX.........", "XooX........", "XoooX.......", "XooooX......",
    "XoooooX.....", "XooooooX....", "XoooooooX...", "XooooooooX..", "XoooooXXXXX.", "XooXooX.....",
    "XoX.XooX....", "XX..XooX....", "X....XooX...", ".....XXXX...",
};

static void test_pointer(void) {
  uint8_t and_mask[32 * 4], xor_mask[32 * 4];
  memset(and_mask, 0xff, sizeof and_mask);
  memset(xor_mask, 0, sizeof xor_mask);
  for (int row = 0; row < 16; row++)
    for (int col = 0; col < 12; col++) {
      char c = k_cursor_shape[row][col];
      uint8_t bit = (uint8_t)(0x80 >> (col % 8));
      if (c == '.') continue;
      and_mask[row * 4 + col / 8] &= (uint8_t)~bit;
      if (c == 'X') xor_mask[row * 4 + col / 8] |= bit;
    }
  const int hot_x = 3, hot_y = 5;
  HCURSOR cursor = CreateCursor(GetModuleHandleA(NULL), hot_x, hot_y, 32, 32, and_mask, xor_mask);
  CHECK(cursor != NULL);
  if (!cursor) return;
  // Placed in physical pixels, from a per-monitor-aware thread for a moment.
  const RECT *p = &g_layout.primary;
  const int px = p->left + 611, py = p->top + 403;
  dpi_context before = g_set_thread_context(CONTEXT_PER_MONITOR_V2);
  HWND front = CreateWindowExA(WS_EX_TOOLWINDOW | WS_EX_TOPMOST, k_class, "", WS_POPUP | WS_VISIBLE,
                               p->left, p->top, 1, 1, NULL, NULL, GetModuleHandleA(NULL), NULL);
  SetForegroundWindow(front);
  SetCursorPos(px, py);
  g_set_thread_context(before);
  pump_messages();
  HCURSOR previous = SetCursor(cursor);
  CHECK(wait_for_cursor(front, cursor));

  const int x = px - 20, y = py - 20, width = 50, height = 60;
  screenshot_picture picture;
  memset(&picture, 0, sizeof picture);
  if (EXPORT_CALL(screenshot_grab_region(x, y, width, height, SCREENSHOT_WITH_CURSOR, &picture)) !=
      0) {
    harness_fail("the pointer (%d,%d %dx%d): %s", x, y, width, height, screenshot_last_error());
  } else {
    CHECK_INT(picture.width, width);
    CHECK_INT(picture.height, height);
    long wrong = 0;
    for (int row = 0; row < picture.height && picture.width == width; row++)
      for (int col = 0; col < width; col++) {
        int cx = x + col - (px - hot_x), cy = y + row - (py - hot_y);
        char c = cx >= 0 && cx < 12 && cy >= 0 && cy < 16 ? k_cursor_shape[cy][cx] : '.';
        uint32_t want = c == 'X'   ? 0xffffffu
                        : c == 'o' ? 0u
                                   : screen_pixel(&g_layout, x + col, y + row);
        const uint8_t *q = picture.rgba + ((size_t)row * width + col) * 4;
        uint32_t have = ((uint32_t)q[0] << 16) | ((uint32_t)q[1] << 8) | q[2];
        if ((have != want || q[3] != 255) && wrong++ == 0)
          harness_fail("the pointer: column %d row %d is %06x, expected %06x", col, row, have,
                       want);
      }
    if (wrong) harness_fail("the pointer: %ld pixels differ", wrong);
    screenshot_free_mem(picture.rgba);
  }
  SetCursor(previous);
  DestroyCursor(cursor);
  DestroyWindow(front);
  pump_messages();
}

static int check(int argc, char **argv) {
  if (argc < 5) return 2;
  g_aware = strcmp(argv[2], "aware") == 0;
  g_target = (HWND)(uintptr_t)strtoull(argv[3], NULL, 10);
  g_out = argv[4];
  for (int i = 5; i < argc; i++) {
    if (strcmp(argv[i], "--bar") == 0 && i + 1 < argc) {
      if (sscanf(argv[++i], "%dx%d", &g_bar_width, &g_bar_height) != 2) return 2;
    } else {
      g_ref = argv[i];
    }
  }
  if (g_aware && !g_set_process_context(CONTEXT_PER_MONITOR_V2)) {
    printf("SetProcessDpiAwarenessContext failed (%lu)\n", GetLastError());
    return 1;
  }
  // The physical layout, from a per-monitor-aware thread for a moment.
  register_class();
  dpi_context before = g_set_thread_context(CONTEXT_PER_MONITOR_V2);
  g_layout = physical_layout();
  g_set_thread_context(before);
  // The painter's target as it placed it.
  before = g_set_thread_context(CONTEXT_PER_MONITOR_V2);
  GetWindowRect(g_target, &g_layout.target);
  g_set_thread_context(before);
  printf("%s host, thread context %s\n", g_aware ? "per-monitor-aware" : "unaware",
         g_contexts_equal(g_get_thread_context(), CONTEXT_UNAWARE) ? "unaware" : "not unaware");
  dpi_context initial = g_get_thread_context();

  harness_run("monitor JSON in physical pixels", test_json);
  if (g_monitor_count <= 0) return harness_finish();
  harness_run("whole screen", test_all);
  harness_run("each monitor", test_monitors);
  harness_run("regions at the bottom-right corner", test_regions);
  harness_run("windows at their physical size", test_windows);
  harness_run("a thread's own context comes back", test_thread_context);
  harness_run("the pointer at its physical place", test_pointer);
  if (g_bar_width) {
    bool same = g_context_changes == 0 && g_contexts_equal(g_get_thread_context(), initial);
    bar_line(same, "thread DPI awareness the same before and after every export");
  }
  return harness_finish();
}

int main(int argc, char **argv) {
  setvbuf(stdout, NULL, _IONBF, 0);
  if (!find_dpi_functions()) {
    printf("this Windows has no per-thread DPI awareness\n");
    return 1;
  }
  if (argc == 4 && strcmp(argv[1], "paint") == 0) return paint(argv[2], argv[3]);
  if (argc >= 5 && strcmp(argv[1], "check") == 0) return check(argc, argv);
  printf("usage: %s paint READY STOP | check aware|unaware TARGET OUT [REF] [--bar WxH]\n",
         argv[0]);
  return 2;
}
