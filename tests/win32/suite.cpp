// Captures checked against what the test's own windows painted. Under Wine the
// screen shows only Wine's windows, so a backdrop window covers the whole
// virtual screen with a pattern in which every pixel is unique; any offset,
// flip, channel swap or clamping error changes the decoded values.
#include "suite.h"

#include <malloc.h>
#include <stb/stb_image.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>
#include <winternl.h>

#include <string>

#include "cursor_wait.h"
#include "harness.h"

vs_api g_api;

// The desktop the rig sets up: the primary monitor 1280x800 at the origin and
// a 1024x768 monitor to its left.
static const RECT k_primary = {0, 0, 1280, 800};
static const RECT k_left = {-1024, 0, 0, 768};
static const RECT k_virtual = {-1024, 0, 1280, 800};

// ---------------------------------------------------------------------------
// Test windows

// Colour of a window's pixel as 0x00RRGGBB, from its screen position and its
// position inside the window.
typedef uint32_t (*pattern_fn)(int screen_x, int screen_y, int col, int row);

struct test_window {
  HWND hwnd;
  RECT rect;
  pattern_fn pattern;
  HDC dib_dc;
  HBITMAP dib;
  HGDIOBJ dib_previous;
};

// Unique over the virtual screen: R and G are the low bytes of x and y, B holds
// their high bits. R and B differ in most pixels, so a red/blue swap shows.
static uint32_t backdrop_pattern(int sx, int sy, int col, int row) {
  (void)col;
  (void)row;
  uint32_t ux = (uint32_t)(sx - k_virtual.left);
  uint32_t uy = (uint32_t)(sy - k_virtual.top);
  uint32_t r = ux & 0xff, g = uy & 0xff, b = 0x10 * (ux >> 8) + (uy >> 8) + 1;
  return (r << 16) | (g << 8) | b;
}

static uint32_t target_pattern(int sx, int sy, int col, int row) {
  (void)sx;
  (void)sy;
  return ((uint32_t)(200 - (col & 0x3f)) << 16) | ((uint32_t)(row * 3 & 0xff) << 8) |
         (uint32_t)((col ^ row) & 0xff);
}

static uint32_t cover_pattern(int sx, int sy, int col, int row) {
  (void)sx;
  (void)sy;
  return ((col / 8 + row / 8) & 1) ? 0x20e040u : 0xe02040u;
}

static uint32_t solid_pattern(int sx, int sy, int col, int row) {
  (void)sx;
  (void)sy;
  (void)col;
  (void)row;
  return 0x336699u;
}

static const char k_window_class[] = "vs_test_window";
static const wchar_t k_unicode_window_class[] = L"vs_test_window_unicode";

// Stacking order of the shown test windows, bottom first.
static test_window *g_stack[24];
static int g_stack_count;

static LRESULT CALLBACK test_window_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    CREATESTRUCTA *cs = (CREATESTRUCTA *)lp;
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, (LONG_PTR)cs->lpCreateParams);
  }
  test_window *w = (test_window *)GetWindowLongPtrA(hwnd, GWLP_USERDATA);
  switch (msg) {
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      if (w && w->dib_dc)
        BitBlt(dc, 0, 0, w->rect.right - w->rect.left, w->rect.bottom - w->rect.top, w->dib_dc, 0,
               0, SRCCOPY);
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_PRINTCLIENT:
      if (w && w->dib_dc)
        BitBlt((HDC)wp, 0, 0, w->rect.right - w->rect.left, w->rect.bottom - w->rect.top, w->dib_dc,
               0, 0, SRCCOPY);
      return 0;
  }
  // A window of the Unicode class keeps its title in UTF-16.
  return IsWindowUnicode(hwnd) ? DefWindowProcW(hwnd, msg, wp, lp)
                               : DefWindowProcA(hwnd, msg, wp, lp);
}

// A 32-bit DIB of width x height, rows top first.
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

// Renders the pattern into a 32-bit DIB that WM_PAINT and WM_PRINTCLIENT copy
// from. The fourth byte stays 0, as GDI leaves it.
static bool paint_pattern(test_window *w, pattern_fn pattern) {
  int width = w->rect.right - w->rect.left, height = w->rect.bottom - w->rect.top;
  if (w->dib_dc) {
    SelectObject(w->dib_dc, w->dib_previous);
    DeleteObject(w->dib);
    DeleteDC(w->dib_dc);
    w->dib_dc = NULL;
  }
  if (width <= 0 || height <= 0) return true;
  BITMAPINFO info = top_down_dib(width, height);
  void *bits = NULL;
  w->dib = CreateDIBSection(NULL, &info, DIB_RGB_COLORS, &bits, NULL, 0);
  if (!w->dib) return false;
  uint32_t *px = (uint32_t *)bits;
  for (int row = 0; row < height; row++)
    for (int col = 0; col < width; col++)
      px[row * width + col] =
          pattern(w->rect.left + col, w->rect.top + row, col, row) & 0x00ffffffu;
  w->dib_dc = CreateCompatibleDC(NULL);
  w->dib_previous = SelectObject(w->dib_dc, w->dib);
  w->pattern = pattern;
  return true;
}

static void pump_messages(void) {
  MSG msg;
  while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

// What the screen should show at (x, y): the topmost shown test window there.
static bool expected_screen_pixel(int x, int y, uint32_t *rgb) {
  for (int i = g_stack_count - 1; i >= 0; i--) {
    const test_window *w = g_stack[i];
    if (x >= w->rect.left && x < w->rect.right && y >= w->rect.top && y < w->rect.bottom) {
      *rgb = w->pattern(x, y, x - w->rect.left, y - w->rect.top);
      return true;
    }
  }
  return false;
}

// The screen as GDI itself reads it, 0x00RRGGBB per pixel, for waiting on the
// windows and for showing that a window really is covered.
static uint32_t *read_screen(const RECT *r) {
  int width = r->right - r->left, height = r->bottom - r->top;
  HDC screen = GetDC(NULL);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info = top_down_dib(width, height);
  void *bits = NULL;
  HBITMAP dib = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, NULL, 0);
  HGDIOBJ previous = SelectObject(memory, dib);
  BitBlt(memory, 0, 0, width, height, screen, r->left, r->top, SRCCOPY);
  GdiFlush();
  uint32_t *out = (uint32_t *)malloc((size_t)width * height * 4);
  for (int i = 0; i < width * height; i++) out[i] = ((uint32_t *)bits)[i] & 0x00ffffffu;
  SelectObject(memory, previous);
  DeleteObject(dib);
  DeleteDC(memory);
  ReleaseDC(NULL, screen);
  return out;
}

static int count_screen_mismatches(const RECT *r) {
  uint32_t *px = read_screen(r);
  int width = r->right - r->left, height = r->bottom - r->top, bad = 0;
  for (int row = 0; row < height; row++)
    for (int col = 0; col < width; col++) {
      uint32_t want;
      if (expected_screen_pixel(r->left + col, r->top + row, &want) &&
          px[row * width + col] != want)
        bad++;
    }
  free(px);
  return bad;
}

// X maps and draws asynchronously; wait until the screen shows what we drew.
static bool wait_until_shown(const RECT *r) {
  RECT visible;
  if (!IntersectRect(&visible, r, &k_virtual)) return true;
  for (int attempt = 0; attempt < 400; attempt++) {
    pump_messages();
    if (count_screen_mismatches(&visible) == 0) return true;
    Sleep(50);
  }
  return false;
}

// With a title, the window is of the Unicode class.
static bool show_window(test_window *w, int x, int y, int width, int height, pattern_fn pattern,
                        bool topmost, const wchar_t *title = NULL) {
  memset(w, 0, sizeof *w);
  SetRect(&w->rect, x, y, x + width, y + height);
  if (!paint_pattern(w, pattern)) return false;
  DWORD ex_style = WS_EX_TOOLWINDOW | (topmost ? WS_EX_TOPMOST : 0);
  if (title)
    w->hwnd = CreateWindowExW(ex_style, k_unicode_window_class, title, WS_POPUP, x, y, width,
                              height, NULL, NULL, GetModuleHandleA(NULL), w);
  else
    w->hwnd = CreateWindowExA(ex_style, k_window_class, "", WS_POPUP, x, y, width, height, NULL,
                              NULL, GetModuleHandleA(NULL), w);
  if (!w->hwnd) return false;
  ShowWindow(w->hwnd, SW_SHOWNOACTIVATE);
  SetWindowPos(w->hwnd, topmost ? HWND_TOPMOST : HWND_TOP, x, y, width, height,
               SWP_NOACTIVATE | SWP_SHOWWINDOW);
  UpdateWindow(w->hwnd);
  g_stack[g_stack_count++] = w;
  RECT actual;
  GetWindowRect(w->hwnd, &actual);
  if (!EqualRect(&actual, &w->rect)) {
    printf("window placed at (%ld,%ld)-(%ld,%ld), wanted (%d,%d %dx%d)\n", actual.left, actual.top,
           actual.right, actual.bottom, x, y, width, height);
    return false;
  }
  return width <= 0 || height <= 0 || wait_until_shown(&w->rect);
}

static void close_window(test_window *w) {
  for (int i = 0; i < g_stack_count; i++)
    if (g_stack[i] == w) {
      memmove(&g_stack[i], &g_stack[i + 1], (size_t)(g_stack_count - i - 1) * sizeof g_stack[0]);
      g_stack_count--;
      break;
    }
  if (w->hwnd) DestroyWindow(w->hwnd);
  w->hwnd = NULL;
  pump_messages();
  RECT none = {0, 0, 0, 0};
  w->rect = none;
  paint_pattern(w, w->pattern);
}

// One backdrop window per monitor: Wine 10 leaves a window that spans
// monitors undrawn. The strip of the bounding box that no monitor covers
// shows whatever the platform has there and is not checked.
static test_window g_backdrops[16];
static int g_backdrop_count;

// ---------------------------------------------------------------------------
// Files and PNG checks

static char g_dir[MAX_PATH];

static const char *scratch_path(const char *name) {
  static char paths[4][MAX_PATH];
  static int next;
  char *p = paths[next++ % 4];
  snprintf(p, MAX_PATH, "%s\\%s", g_dir, name);
  return p;
}

static uint8_t *read_file(const char *path, int *len) {
  *len = 0;
  FILE *f = fopen(path, "rb");
  if (!f) return NULL;
  fseek(f, 0, SEEK_END);
  long size = ftell(f);
  fseek(f, 0, SEEK_SET);
  uint8_t *data = (uint8_t *)malloc(size > 0 ? (size_t)size : 1);
  if (fread(data, 1, (size_t)size, f) != (size_t)size) size = 0;
  fclose(f);
  *len = (int)size;
  return data;
}

static bool file_exists(const char *path) {
  return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

// Decodes a PNG and compares it with what should be on screen at (x, y) or,
// for a window, with the window's own pattern. Every pixel must also be
// opaque.
static void check_png(const uint8_t *png, int len, int x, int y, int width, int height,
                      const test_window *window) {
  if (!png || len < 8) {
    harness_fail("no PNG bytes");
    return;
  }
  // Colour type 6 (RGBA), bit depth 8, straight from the IHDR.
  CHECK(len > 33 && png[24] == 8 && png[25] == 6);
  int w = 0, h = 0, channels = 0;
  uint8_t *px = stbi_load_from_memory(png, len, &w, &h, &channels, 4);
  if (!px) {
    harness_fail("PNG does not decode: %s", stbi_failure_reason());
    return;
  }
  CHECK_INT(w, width);
  CHECK_INT(h, height);
  CHECK_INT(channels, 4);
  if (w == width && h == height) {
    int wrong = 0, translucent = 0, first_col = -1, first_row = -1;
    uint32_t first_got = 0, first_want = 0;
    for (int row = 0; row < h; row++)
      for (int col = 0; col < w; col++) {
        const uint8_t *p = px + ((size_t)row * w + col) * 4;
        uint32_t got = ((uint32_t)p[0] << 16) | ((uint32_t)p[1] << 8) | p[2];
        uint32_t want = 0;
        bool known = true;
        if (window)
          want = window->pattern(window->rect.left + col, window->rect.top + row, col, row);
        else
          known = expected_screen_pixel(x + col, y + row, &want);
        // Where no window of ours is, the fourth byte is the platform's, and
        // a non-zero one anywhere makes the library pass them all through.
        if (known && p[3] != 255) translucent++;
        if (known && got != want) {
          if (wrong++ == 0) {
            first_col = col;
            first_row = row;
            first_got = got;
            first_want = want;
          }
        }
      }
    if (wrong)
      harness_fail("%d of %dx%d pixels differ; first at column %d row %d: %06x, expected %06x",
                   wrong, w, h, first_col, first_row, (unsigned)first_got, (unsigned)first_want);
    if (translucent) harness_fail("%d pixels are not opaque", translucent);
  }
  stbi_image_free(px);
}

static void check_png_file(const char *path, int x, int y, int width, int height,
                           const test_window *window) {
  int len = 0;
  uint8_t *png = read_file(path, &len);
  if (!png) {
    harness_fail("cannot read %s", path);
    return;
  }
  check_png(png, len, x, y, width, height, window);
  free(png);
  DeleteFileA(path);
}

// ---------------------------------------------------------------------------
// Tests

static void test_state_at_load(void) {
  const char *error = g_api.last_error();
  CHECK(error != NULL);
  CHECK_STR(error, "");
  const char *version = g_api.version();
  CHECK_STR(version, "1.0.0");
  CHECK(g_api.version() == version);
  CHECK(g_api.last_error() == error);
}

struct monitor_seen {
  RECT rect;
  DWORD flags;
  char device[CCHDEVICENAME];
};

static BOOL CALLBACK collect_monitor(HMONITOR monitor, HDC dc, LPRECT rect, LPARAM data) {
  (void)dc;
  monitor_seen *seen = (monitor_seen *)data;
  int i = 0;
  while (i < 16 && seen[i].device[0]) i++;
  if (i == 16) return TRUE;
  MONITORINFOEXA info;
  memset(&info, 0, sizeof info);
  info.cbSize = sizeof info;
  GetMonitorInfoA(monitor, (LPMONITORINFO)&info);
  seen[i].rect = *rect;
  seen[i].flags = info.dwFlags;
  memcpy(seen[i].device, info.szDevice, sizeof seen[i].device);
  seen[i].device[CCHDEVICENAME - 1] = '\0';
  return TRUE;
}

// The listing must say what EnumDisplayMonitors says, in its order, with the
// backslashes of "\\.\DISPLAYn" escaped.
static void test_monitor_json(void) {
  monitor_seen seen[16];
  memset(seen, 0, sizeof seen);
  EnumDisplayMonitors(NULL, NULL, collect_monitor, (LPARAM)seen);

  char want[4096];
  int n = snprintf(want, sizeof want, "[");
  int primaries = 0, negative = 0;
  for (int i = 0; i < 16 && seen[i].device[0]; i++) {
    char name[128];
    int k = 0;
    for (const char *c = seen[i].device; *c; c++) {
      if (*c == '\\' || *c == '"') name[k++] = '\\';
      name[k++] = *c;
    }
    name[k] = '\0';
    const RECT *r = &seen[i].rect;
    bool primary = (seen[i].flags & MONITORINFOF_PRIMARY) != 0;
    n += snprintf(want + n, sizeof want - n,
                  "%s{\"index\":%d,\"name\":\"%s\",\"x\":%ld,\"y\":%ld,\"width\":%ld,"
                  "\"height\":%ld,\"is_primary\":%s}",
                  i ? "," : "", i, name, r->left, r->top, r->right - r->left, r->bottom - r->top,
                  primary ? "true" : "false");
    CHECK(strncmp(seen[i].device, "\\\\.\\DISPLAY", 11) == 0);
    if (primary) {
      primaries++;
      CHECK(EqualRect(r, &k_primary));
    } else {
      CHECK(EqualRect(r, &k_left));
    }
    if (r->left < 0) negative++;
  }
  snprintf(want + n, sizeof want - n, "]");
  CHECK_INT(primaries, 1);
  CHECK_INT(negative, 1);

  const char *json = g_api.list_monitors_json();
  CHECK_STR(json, want);
  CHECK(json && strstr(json, "\"name\":\"\\\\\\\\.\\\\DISPLAY") != NULL);
  CHECK(json && strstr(json, "\"x\":-1024,") != NULL);
}

struct region_case {
  const char *what;
  int x, y, width, height;      // requested
  int cx, cy, cwidth, cheight;  // after clamping
};

static const region_case k_regions[] = {
    {"inside the primary monitor", 100, 50, 300, 200, 100, 50, 300, 200},
    {"on the monitor at negative x", -900, 100, 256, 128, -900, 100, 256, 128},
    {"across both monitors", -40, 700, 100, 60, -40, 700, 100, 60},
    {"clamped at the left edge", -1100, 200, 300, 100, -1024, 200, 224, 100},
    {"clamped at the right and bottom", 1200, 760, 200, 100, 1200, 760, 80, 40},
    {"one pixel at the top left corner", -1024, 0, 1, 1, -1024, 0, 1, 1},
    {"the whole virtual screen and more", -2000, -50, 5000, 5000, -1024, 0, 2304, 800},
};

static void test_region_png(void) {
  for (const region_case &c : k_regions) {
    int failures = g_harness.current_failures;
    const char *path = scratch_path("region.png");
    CHECK_INT(g_api.capture_region_png(c.x, c.y, c.width, c.height, path), 0);
    check_png_file(path, c.cx, c.cy, c.cwidth, c.cheight, NULL);
    if (g_harness.current_failures != failures) printf("  (region %s)\n", c.what);
  }
}

static void test_region_mem(void) {
  for (const region_case &c : k_regions) {
    int failures = g_harness.current_failures;
    uint8_t *png = NULL;
    int len = -1;
    CHECK_INT(g_api.capture_region_mem(c.x, c.y, c.width, c.height, &png, &len), 0);
    check_png(png, len, c.cx, c.cy, c.cwidth, c.cheight, NULL);
    // The stream ends exactly at the reported length: IEND and its CRC.
    CHECK(png && len > 12 && memcmp(png + len - 8, "IEND", 4) == 0);
    g_api.free_mem(png);
    if (g_harness.current_failures != failures) printf("  (region %s)\n", c.what);
  }
}

// Raw pixels: the clamped rectangle reported, and the bytes the memory
// export's PNG decodes to, in a block of msvcrt's heap of exactly their size.
static void test_region_rgba(void) {
  for (const region_case &c : k_regions) {
    int failures = g_harness.current_failures;
    int got[4] = {-1, -1, -1, -1};
    unsigned char *pixels = NULL;
    CHECK_INT(g_api.capture_region_rgba(c.x, c.y, c.width, c.height, &got[0], &got[1], &got[2],
                                        &got[3], &pixels),
              0);
    CHECK_INT(got[0], c.cx);
    CHECK_INT(got[1], c.cy);
    CHECK_INT(got[2], c.cwidth);
    CHECK_INT(got[3], c.cheight);
    size_t size = (size_t)c.cwidth * c.cheight * 4;
    CHECK(pixels && _msize(pixels) == size);

    uint8_t *png = NULL;
    int len = 0;
    CHECK_INT(g_api.capture_region_mem(c.x, c.y, c.width, c.height, &png, &len), 0);
    int w = 0, h = 0, channels = 0;
    uint8_t *decoded = png ? stbi_load_from_memory(png, len, &w, &h, &channels, 4) : NULL;
    CHECK(decoded != NULL);
    if (pixels && decoded && w == c.cwidth && h == c.cheight) {
      size_t at = 0;
      while (at < size && pixels[at] == decoded[at]) at++;
      if (at < size)
        harness_fail("raw byte %zu (column %d row %d) is %d, the PNG's %d", at,
                     (int)(at / 4 % c.cwidth), (int)(at / 4 / c.cwidth), pixels[at], decoded[at]);
    }
    stbi_image_free(decoded);
    g_api.free_mem(png);
    g_api.free_mem(pixels);
    if (g_harness.current_failures != failures) printf("  (region %s)\n", c.what);
  }
}

static void test_monitor_png(void) {
  monitor_seen seen[16];
  memset(seen, 0, sizeof seen);
  EnumDisplayMonitors(NULL, NULL, collect_monitor, (LPARAM)seen);
  for (int i = 0; i < 2; i++) {
    const RECT *r = &seen[i].rect;
    const char *path = scratch_path("monitor.png");
    CHECK_INT(g_api.capture_monitor_png(i, path), 0);
    check_png_file(path, r->left, r->top, r->right - r->left, r->bottom - r->top, NULL);
  }
}

static void test_all_png(void) {
  const char *path = scratch_path("all.png");
  CHECK_INT(g_api.capture_all_png(path), 0);
  check_png_file(path, k_virtual.left, k_virtual.top, k_virtual.right - k_virtual.left,
                 k_virtual.bottom - k_virtual.top, NULL);
}

// Window printing: the window draws itself, so what covers it on screen and
// what lies off screen do not matter.
static void test_window_capture(void) {
  static test_window target, cover, off_screen;
  CHECK(show_window(&target, 400, 300, 200, 150, target_pattern, false));
  const char *path = scratch_path("window.png");
  CHECK_INT(g_api.capture_window_png(target.hwnd, path), 0);
  check_png_file(path, 0, 0, 200, 150, &target);

  // Covered entirely but for a strip; the screen shows the cover there.
  CHECK(show_window(&cover, 390, 290, 200, 165, cover_pattern, true));
  RECT covered = {400, 300, 590, 450};
  uint32_t *screen = read_screen(&covered);
  CHECK(screen && screen[0] == cover_pattern(0, 0, 10, 10));
  free(screen);
  path = scratch_path("covered.png");
  CHECK_INT(g_api.capture_window_png(target.hwnd, path), 0);
  check_png_file(path, 0, 0, 200, 150, &target);
  close_window(&cover);

  // Reaching past the virtual screen's left edge: captured whole, unclamped.
  CHECK(show_window(&off_screen, -1100, 500, 200, 100, target_pattern, false));
  path = scratch_path("offscreen.png");
  CHECK_INT(g_api.capture_window_png(off_screen.hwnd, path), 0);
  check_png_file(path, 0, 0, 200, 100, &off_screen);
  close_window(&off_screen);
  close_window(&target);
}

// The window list: a window of ours with a title beyond ASCII, listed with
// its HWND as id, its title in UTF-8, our process, our executable and its
// rectangle, then captured by the id the list gave.
static void test_window_list(void) {
  static test_window target;
  CHECK(show_window(&target, 400, 300, 200, 150, target_pattern, false,
                    L"Fen\u00eatre \u2713 Wine \U0001F600"));
  const char *json = g_api.list_windows_json();
  if (!json) {
    harness_fail("no window list: %s", g_api.last_error());
    close_window(&target);
    return;
  }
  char id[40];
  snprintf(id, sizeof id, "0x%llx", (unsigned long long)(uintptr_t)target.hwnd);
  char head[64];
  snprintf(head, sizeof head, "{\"id\":\"%s\",", id);
  const char *entry = strstr(json, head);
  CHECK(json[0] == '[' && entry != NULL);
  if (entry) {
    const char *end = strchr(entry, '}');
    std::string text(entry, end ? (size_t)(end - entry) : strlen(entry));
    wchar_t exe_path[MAX_PATH];
    DWORD n = GetModuleFileNameW(NULL, exe_path, MAX_PATH);
    const wchar_t *exe = exe_path;
    for (DWORD i = 0; i < n; i++)
      if (exe_path[i] == L'\\' || exe_path[i] == L'/') exe = exe_path + i + 1;
    char exe_utf8[MAX_PATH * 3];
    WideCharToMultiByte(CP_UTF8, 0, exe, -1, exe_utf8, sizeof exe_utf8, NULL, NULL);
    char want[512];
    snprintf(want, sizeof want,
             "{\"id\":\"%s\",\"title\":\"Fen\xc3\xaatre \xe2\x9c\x93 Wine "
             "\xf0\x9f\x98\x80\",\"app\":\"%s\","
             "\"pid\":%lu,\"x\":400,\"y\":300,\"width\":200,\"height\":150,",
             id, exe_utf8, (unsigned long)GetCurrentProcessId());
    if (text.compare(0, strlen(want), want) != 0)
      harness_fail("listed as %s, expected it to begin %s", text.c_str(), want);
  }
  screenshot_picture picture;
  CHECK_INT(g_api.grab_window(id, 0, &picture), 0);
  CHECK_INT(picture.width, 200);
  CHECK_INT(picture.height, 150);
  if (picture.rgba && picture.width == 200 && picture.height == 150) {
    int wrong = 0;
    for (int row = 0; row < 150; row++)
      for (int col = 0; col < 200; col++) {
        const unsigned char *p = picture.rgba + ((size_t)row * 200 + col) * 4;
        uint32_t got = ((uint32_t)p[0] << 16) | ((uint32_t)p[1] << 8) | p[2];
        if (got != target_pattern(0, 0, col, row) || p[3] != 255) wrong++;
      }
    if (wrong) harness_fail("%d pixels of the window grabbed by its listed id differ", wrong);
  }
  g_api.free_mem(picture.rgba);
  close_window(&target);
}

static int capture_to(int which, const char *path, void *hwnd) {
  switch (which) {
    case 0:
      return g_api.capture_window_png(hwnd, path);
    case 1:
      return g_api.capture_region_png(10, 10, 64, 32, path);
    case 2:
      return g_api.capture_monitor_png(1, path);
    default:
      return g_api.capture_all_png(path);
  }
}

static void expect_failure(int result, const char *message) {
  CHECK_INT(result, -1);
  CHECK_STR(g_api.last_error(), message);
}

static void test_errors(void) {
  char message[512];

  // Handles that are not windows: real GetWindowRect failures.
  HWND gone = CreateWindowExA(0, k_window_class, "", WS_POPUP, 0, 0, 10, 10, NULL, NULL,
                              GetModuleHandleA(NULL), NULL);
  DestroyWindow(gone);
  void *not_windows[] = {(void *)gone, (void *)(uintptr_t)0x7654321,
                         (void *)GetStockObject(BLACK_BRUSH)};
  for (void *h : not_windows) {
    RECT r;
    SetLastError(0);
    GetWindowRect((HWND)h, &r);
    snprintf(message, sizeof message, "GetWindowRect failed (error %lu)", GetLastError());
    CHECK_INT(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    const char *path = scratch_path("never.png");
    expect_failure(g_api.capture_window_png(h, path), message);
    CHECK(!file_exists(path));
  }
  expect_failure(g_api.capture_window_png(NULL, NULL), "window handle is NULL");
  expect_failure(g_api.capture_window_png(g_backdrops[0].hwnd, ""), "output file is empty");

  static test_window empty;
  CHECK(show_window(&empty, 50, 50, 0, 20, solid_pattern, false));
  expect_failure(g_api.capture_window_png(empty.hwnd, scratch_path("empty.png")),
                 "window has empty rect");
  close_window(&empty);

  // The runtime's reason for the failed file creation ends the message.
  char missing[MAX_PATH];
  snprintf(missing, sizeof missing, "%s\\no-such-directory\\shot.png", g_dir);
  struct {
    int which;
    int width, height;
  } writes[] = {{0, (int)(g_backdrops[0].rect.right - g_backdrops[0].rect.left),
                 (int)(g_backdrops[0].rect.bottom - g_backdrops[0].rect.top)},
                {1, 64, 32},
                {2, 1024, 768},
                {3, 2304, 800}};
  for (const auto &w : writes) {
    snprintf(message, sizeof message,
             "PNG write failed for %dx%d frame to '%s' (No such file or directory)", w.width,
             w.height, missing);
    expect_failure(capture_to(w.which, missing, g_backdrops[0].hwnd), message);
    CHECK(!file_exists(missing));
  }

  expect_failure(g_api.capture_monitor_png(2, scratch_path("m.png")),
                 "monitor index 2 out of range (0..1)");
  expect_failure(g_api.capture_monitor_png(-1, scratch_path("m.png")),
                 "monitor index -1 out of range (0..1)");
  expect_failure(g_api.capture_region_png(1280, 0, 10, 10, scratch_path("r.png")),
                 "region (1280,0 10x10) is outside screen bounds (-1024,0 2304x800)");
  expect_failure(g_api.capture_region_png(-1034, 0, 10, 10, scratch_path("r.png")),
                 "region (-1034,0 10x10) is outside screen bounds (-1024,0 2304x800)");

  // The raw export: any NULL out-pointer is refused before anything is
  // written; later failures leave 0s and NULL.
  int out[4] = {7, 7, 7, 7};
  unsigned char *pixels = (unsigned char *)&message;
  expect_failure(g_api.capture_region_rgba(0, 0, 10, 10, &out[0], &out[1], NULL, &out[3], &pixels),
                 "out params are NULL");
  expect_failure(g_api.capture_region_rgba(0, 0, 10, 10, &out[0], &out[1], &out[2], &out[3], NULL),
                 "out params are NULL");
  CHECK(pixels == (unsigned char *)&message);
  CHECK(out[0] == 7 && out[1] == 7 && out[3] == 7);
  expect_failure(
      g_api.capture_region_rgba(1280, 0, 10, 10, &out[0], &out[1], &out[2], &out[3], &pixels),
      "region (1280,0 10x10) is outside screen bounds (-1024,0 2304x800)");
  CHECK(pixels == NULL);
  CHECK(out[0] == 0 && out[1] == 0 && out[2] == 0 && out[3] == 0);

  uint8_t *png = (uint8_t *)&message;
  int len = 7;
  expect_failure(g_api.capture_region_mem(0, 0, 10, 10, &png, NULL), "out params are NULL");
  CHECK(png == (uint8_t *)&message);
  expect_failure(g_api.capture_region_mem(0, 0, 10, 10, NULL, &len), "out params are NULL");
  CHECK_INT(len, 7);
  expect_failure(g_api.capture_region_mem(0, 0, 0, 10, &png, &len), "invalid region size 0x10");
  CHECK(png == NULL);
  CHECK_INT(len, 0);

  // A success leaves the last message in place.
  CHECK_INT(g_api.capture_region_mem(0, 0, 4, 4, &png, &len), 0);
  g_api.free_mem(png);
  CHECK_STR(g_api.last_error(), "invalid region size 0x10");
}

static size_t capacity_for(int len) {
  size_t capacity = 65536;
  while (capacity < (size_t)len) capacity *= 2;
  return capacity;
}

// The host shares msvcrt.dll with the DLL, so _msize sees the block itself.
static void test_buffer_capacity(void) {
  struct {
    int x, y, width, height;
  } cases[] = {{0, 0, 1, 1}, {0, 0, 300, 300}, {-1024, 0, 2304, 800}};
  size_t capacities[3];
  for (int i = 0; i < 3; i++) {
    uint8_t *png = NULL;
    int len = 0;
    CHECK_INT(g_api.capture_region_mem(cases[i].x, cases[i].y, cases[i].width, cases[i].height,
                                       &png, &len),
              0);
    capacities[i] = png ? _msize(png) : 0;
    CHECK_INT(capacities[i], capacity_for(len));
    printf("  %dx%d: %d bytes of PNG in a block of %u\n", cases[i].width, cases[i].height, len,
           (unsigned)capacities[i]);
    g_api.free_mem(png);
  }
  CHECK_INT(capacities[0], 65536);
  CHECK(capacities[2] > 65536);
  g_api.free_mem(NULL);
}

// GetGuiResources counts the process's GDI objects on Windows. Wine answers 0
// there; its GDI keeps a handle table in the process, published in the PEB
// like Windows' GdiSharedHandleTable, whose live entries are the same count.
static bool running_under_wine(void) {
  return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != NULL;
}

struct wine_gdi_entry {  // GDI_HANDLE_ENTRY of Wine's ntgdi.h, 24 bytes on both
  uint64_t object;
  uint32_t owner;
  uint16_t unique;
  uint8_t type;
  uint8_t flags;
  uint64_t user_pointer;
};

static long gdi_object_count(const char **how) {
  DWORD n = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
  if (n) {
    *how = "GetGuiResources";
    return (long)n;
  }
  if (!running_under_wine()) return -1;
  *how = "Wine's GDI handle table (GetGuiResources returns 0 under Wine)";
  PROCESS_BASIC_INFORMATION basic;
  ULONG size = 0;
  if (NtQueryInformationProcess(GetCurrentProcess(), ProcessBasicInformation, &basic, sizeof basic,
                                &size) != 0)
    return -1;
  // GdiSharedHandleTable's place in the PEB.
  const char *peb = (const char *)basic.PebBaseAddress;
  const wine_gdi_entry *table =
      *(wine_gdi_entry *const *)(peb + (sizeof(void *) == 8 ? 0xf8 : 0x94));
#if !defined(_WIN64)
  // A 32-bit process in a 64-bit prefix has it in the 64-bit PEB only, which
  // the 64-bit TEB names; the 32-bit TEB holds the offset to that one
  // (WowTebOffset), as on Windows.
  if (!table) {
    const char *teb;
    __asm__("movl %%fs:0x18, %0" : "=r"(teb));
    int32_t offset = *(const int32_t *)(teb + 0xfdc);
    if (offset) {
      const char *teb64 = teb + offset;
      uint64_t peb64 = *(const uint64_t *)(teb64 + 0x60);
      if (peb64 && peb64 < 0x100000000ull) {
        uint64_t shared = *(const uint64_t *)(uintptr_t)(peb64 + 0xf8);
        if (shared < 0x100000000ull) table = (const wine_gdi_entry *)(uintptr_t)shared;
      }
    }
  }
#endif
  if (!table) return -1;
  long live = 0;
  for (int i = 0; i < 0x10000; i++)
    if (table[i].type) live++;
  return live;
}

// GDI objects per capture do not depend on the capture's size, so the stage
// script runs these loops on a small desktop, where 1,000 monitor or
// whole-screen captures take seconds instead of minutes.
static void test_no_gdi_leak(void) {
  static_assert(sizeof(wine_gdi_entry) == 24, "Wine's handle entry");
  const char *how = "";
  char missing[MAX_PATH];
  snprintf(missing, sizeof missing, "%s\\no-such-directory\\shot.png", g_dir);
  static test_window target;
  CHECK(show_window(&target, 100, 100, 64, 48, target_pattern, false));

  struct {
    const char *kind;
    int which;
  } kinds[] = {{"region to file", 0},        {"region to memory", 1},
               {"monitor to file", 2},       {"whole screen to file", 3},
               {"window to file", 4},        {"window, failing write", 5},
               {"region, failing write", 6}, {"region to raw pixels", 7}};
  for (const auto &k : kinds) {
    const char *path = scratch_path("leak.png");
    for (int round = 0; round < 2; round++) {
      long before = gdi_object_count(&how);
      DWORD start = GetTickCount();
      int failures = 0;
      for (int i = 0; i < (round ? 1000 : 3); i++) {
        int r = 0;
        uint8_t *png = NULL;
        int len = 0;
        switch (k.which) {
          case 0:
            r = g_api.capture_region_png(10, 10, 200, 150, path);
            break;
          case 1:
            r = g_api.capture_region_mem(10, 10, 200, 150, &png, &len);
            g_api.free_mem(png);
            break;
          case 2:
            r = g_api.capture_monitor_png(i % GetSystemMetrics(SM_CMONITORS), path);
            break;
          case 3:
            r = g_api.capture_all_png(path);
            break;
          case 4:
            r = g_api.capture_window_png(target.hwnd, path);
            break;
          case 5:
            r = g_api.capture_window_png(target.hwnd, missing) == -1 ? 0 : -1;
            break;
          case 6:
            r = g_api.capture_region_png(0, 0, 32, 32, missing) == -1 ? 0 : -1;
            break;
          case 7: {
            int at[4];
            unsigned char *pixels = NULL;
            r = g_api.capture_region_rgba(10, 10, 200, 150, &at[0], &at[1], &at[2], &at[3],
                                          &pixels);
            g_api.free_mem(pixels);
            break;
          }
        }
        if (r != 0) failures++;
      }
      long after = gdi_object_count(&how);
      // The first round only warms up GDI's own caches.
      if (round == 1) {
        printf("  %s: %ld GDI objects before 1000 captures, %ld after (%lu ms)\n", k.kind, before,
               after, GetTickCount() - start);
        CHECK(before > 0);
        CHECK_INT(after, before);
        CHECK_INT(failures, 0);
      }
    }
    DeleteFileA(path);
  }
  printf("  measured with %s\n", how);
  close_window(&target);
}

// The pointer, asked for: a monochrome cursor of the test's own at a known
// place over the backdrop. 'X' is white (AND 0, XOR 1), 'o' black (AND 0,
// XOR 0), '.' the screen (AND 1, XOR 0); the hotspot off the corner, so a
// cursor drawn at the pointer rather than at its hotspot shows.
static const char *const k_cursor_shape[] = {
    "X...........", "XX..........", "XoX.........", "XooX........", "XoooX.......", "XooooX......",
    "XoooooX.....", "XooooooX....", "XoooooooX...", "XooooooooX..", "XoooooXXXXX.", "XooXooX.....",
    "XoX.XooX....", "XX..XooX....", "X....XooX...", ".....XXXX...",
};
static const int k_cursor_hot_x = 3, k_cursor_hot_y = 5;

struct grabbed_picture {  // screenshot_picture
  int x, y, width, height;
  unsigned char *rgba;
};

static void test_pointer(void) {
  const int size = GetSystemMetrics(SM_CXCURSOR) > 0 ? GetSystemMetrics(SM_CXCURSOR) : 32;
  const int row_bytes = (size + 15) / 16 * 2;
  uint8_t *and_mask = (uint8_t *)malloc((size_t)row_bytes * size);
  uint8_t *xor_mask = (uint8_t *)calloc((size_t)row_bytes * size, 1);
  memset(and_mask, 0xff, (size_t)row_bytes * size);
  for (int row = 0; row < 16; row++)
    for (int col = 0; col < 12; col++) {
      char c = k_cursor_shape[row][col];
      uint8_t bit = (uint8_t)(0x80 >> (col % 8));
      if (c == '.') continue;
      and_mask[row * row_bytes + col / 8] &= (uint8_t)~bit;
      if (c == 'X') xor_mask[row * row_bytes + col / 8] |= bit;
    }
  HCURSOR cursor = CreateCursor(GetModuleHandleA(NULL), k_cursor_hot_x, k_cursor_hot_y, size, size,
                                and_mask, xor_mask);
  free(and_mask);
  free(xor_mask);
  CHECK(cursor != NULL);
  if (!cursor) return;
  // The screen's pointer is the foreground thread's: this one's, with a
  // window of its own in front.
  const POINT at = {300, 200};
  SetForegroundWindow(g_backdrops[0].hwnd);
  SetCursorPos(at.x, at.y);
  pump_messages();
  HCURSOR previous = SetCursor(cursor);
  while (ShowCursor(TRUE) < 0) {
  }
  CHECK(wait_for_cursor(g_backdrops[0].hwnd, cursor));

  // Cut so that the cursor crosses the rectangle's right edge.
  const int x = 280, y = 180, width = 30, height = 40;
  for (unsigned flags = 0; flags <= 1; flags++) {
    grabbed_picture p;
    memset(&p, 0, sizeof p);
    CHECK_INT(g_api.grab_region(x, y, width, height, flags, &p), 0);
    if (!p.rgba) continue;
    CHECK_INT(p.width, width);
    CHECK_INT(p.height, height);
    int bad = 0;
    for (int row = 0; row < height && bad < 5; row++)
      for (int col = 0; col < width && bad < 5; col++) {
        int cx = x + col - (at.x - k_cursor_hot_x), cy = y + row - (at.y - k_cursor_hot_y);
        char c = flags && cx >= 0 && cx < 12 && cy >= 0 && cy < 16 ? k_cursor_shape[cy][cx] : '.';
        uint32_t want = c == 'X'   ? 0xffffffu
                        : c == 'o' ? 0u
                                   : backdrop_pattern(x + col, y + row, 0, 0);
        const unsigned char *px = p.rgba + ((size_t)row * width + col) * 4;
        uint32_t got = (uint32_t)px[0] << 16 | (uint32_t)px[1] << 8 | px[2];
        if (got != want || px[3] != 255) {
          harness_fail("%s: pixel (%d,%d) is %06x alpha %d, expected %06x",
                       flags ? "with the pointer" : "without it", col, row, got, px[3], want);
          bad++;
        }
      }
    g_api.free_mem(p.rgba);
  }
  SetCursor(previous);
  DestroyCursor(cursor);
}

// ---------------------------------------------------------------------------

static BOOL CALLBACK show_backdrop(HMONITOR monitor, HDC dc, LPRECT r, LPARAM data) {
  (void)monitor;
  (void)dc;
  (void)data;
  if (g_backdrop_count == 16) return TRUE;
  test_window *w = &g_backdrops[g_backdrop_count++];
  if (!show_window(w, r->left, r->top, r->right - r->left, r->bottom - r->top, backdrop_pattern,
                   false)) {
    harness_fail(
        "the backdrop window of the monitor at (%ld,%ld) never showed its pattern on the "
        "screen",
        r->left, r->top);
    return FALSE;
  }
  return TRUE;
}

static void setup(bool rig_layout) {
  WNDCLASSA wc;
  memset(&wc, 0, sizeof wc);
  wc.lpfnWndProc = test_window_proc;
  wc.hInstance = GetModuleHandleA(NULL);
  wc.lpszClassName = k_window_class;
  CHECK(RegisterClassA(&wc) != 0);
  WNDCLASSW wide;
  memset(&wide, 0, sizeof wide);
  wide.lpfnWndProc = test_window_proc;
  wide.hInstance = GetModuleHandleA(NULL);
  wide.lpszClassName = k_unicode_window_class;
  CHECK(RegisterClassW(&wide) != 0);

  char temp[MAX_PATH];
  GetTempPathA(sizeof temp, temp);
  snprintf(g_dir, sizeof g_dir, "%svs-win32-test-%lu", temp, GetCurrentProcessId());
  CHECK(CreateDirectoryA(g_dir, NULL));

  RECT virt;
  SetRect(&virt, GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN), 0, 0);
  virt.right = virt.left + GetSystemMetrics(SM_CXVIRTUALSCREEN);
  virt.bottom = virt.top + GetSystemMetrics(SM_CYVIRTUALSCREEN);
  if (rig_layout && !EqualRect(&virt, &k_virtual)) {
    harness_fail("the virtual screen is (%ld,%ld)-(%ld,%ld), not the rig's (-1024,0)-(1280,800)",
                 virt.left, virt.top, virt.right, virt.bottom);
    return;
  }
  g_backdrop_count = 0;
  EnumDisplayMonitors(NULL, NULL, show_backdrop, 0);
  if (g_backdrop_count == 0) harness_fail("no monitor got its backdrop window");
}

void suite_setup(void) { setup(true); }

void suite_setup_any_desktop(void) { setup(false); }

void suite_run(void) {
  harness_run("state at load: empty error text, version 1.0.0", test_state_at_load);
  harness_run("monitor JSON lists what EnumDisplayMonitors reports", test_monitor_json);
  harness_run("region to file decodes to the painted pixels", test_region_png);
  harness_run("region to memory decodes to the painted pixels", test_region_mem);
  harness_run("raw pixels: the clamped rectangle, the PNG route's bytes", test_region_rgba);
  harness_run("each monitor to file decodes to the painted pixels", test_monitor_png);
  harness_run("whole screen to file decodes to the painted pixels", test_all_png);
  harness_run("window capture prints the window, covered or off screen", test_window_capture);
  harness_run("window list: our window, its UTF-8 title, grabbed by its id", test_window_list);
  harness_run("failures under real GDI give their messages", test_errors);
  if (g_api.grab_region)
    harness_run("the pointer, asked for, at its hotspot over the screen", test_pointer);
  harness_run("PNG bytes come in a power-of-two block of msvcrt's heap", test_buffer_capacity);
}

void suite_run_leaks(void) {
  harness_run("no GDI object leaks over 1,000 captures of each kind", test_no_gdi_leak);
}

void suite_teardown(void) {
  for (int i = g_backdrop_count - 1; i >= 0; i--) close_window(&g_backdrops[i]);
  RemoveDirectoryA(g_dir);
}
