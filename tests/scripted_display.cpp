// The scripted display layer: every function of display.h for the unit tests.
// See scripted_display.h for what a test can script.
#include "scripted_display.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>

namespace {

// Handles are a kind tag above a serial number, so the journal can name them
// and a stale or foreign handle is recognised.
enum handle_kind {
  KIND_SCREEN_DC = 1,
  KIND_MEMORY_DC,
  KIND_BITMAP,
  KIND_STOCK,
  KIND_WINDOW,
  KIND_MONITOR
};

const int k_serial_bits = 24;
const uintptr_t k_serial_mask = ((uintptr_t)1 << k_serial_bits) - 1;
const DWORD k_error_invalid_handle = 6;
const DWORD k_error_invalid_parameter = 87;
const DWORD k_error_invalid_window_handle = 1400;

uintptr_t make_handle(handle_kind kind, int serial) {
  return ((uintptr_t)kind << k_serial_bits) | (uintptr_t)serial;
}

handle_kind kind_of(const void *h) { return (handle_kind)((uintptr_t)h >> k_serial_bits); }

int serial_of(const void *h) { return (int)((uintptr_t)h & k_serial_mask); }

enum content_kind { CONTENT_NONE, CONTENT_SCREEN, CONTENT_FILL };

struct bitmap_rec {
  bool alive;
  int width;
  int height;
  int selected_in;  // serial of the memory DC holding it, 0 if none
  content_kind content;
  int dst_x, dst_y, blit_w, blit_h, src_x, src_y;  // CONTENT_SCREEN
  sd_pixel fill;                                   // CONTENT_FILL
};

struct memory_dc_rec {
  bool alive;
  int selected;  // bitmap serial, 0 for the stock bitmap
};

struct print_rec {
  int ok;
  sd_pixel fill;
  DWORD error;
};

struct window_rec {
  RECT rect;
  print_rec full;   // flags 2
  print_rec plain;  // flags 0
};

struct monitor_rec {
  RECT rect;
  char device[CCHDEVICENAME];
  int primary;
  int info_fails;
  DWORD info_error;
};

struct fail_rule {
  bool active;
  int nth;
  DWORD error;
};

struct layer_state {
  std::vector<monitor_rec> monitors;
  bool enum_fails_after_callbacks;

  bool have_virtual_screen;
  int virtual_screen[4];

  int fb_left, fb_top, fb_width, fb_height;
  std::vector<uint8_t> fb;
  sd_pixel outside;

  std::vector<window_rec> windows;
  std::vector<bool> screen_dcs;  // alive flags, serial - 1
  std::vector<memory_dc_rec> memory_dcs;
  std::vector<bitmap_rec> bitmaps;

  fail_rule rules[SD_CALL_KINDS];
  int calls[SD_CALL_KINDS];

  std::vector<std::string> journal;
  std::vector<std::string> misuse;

  std::vector<vs_window_entry> window_list;
  DWORD window_list_error;  // 0: the list succeeds
  std::string text_window_id;
  int text_window_width, text_window_height;
  sd_pixel text_window_fill;
};

std::mutex g_mutex;
layer_state g;
thread_local DWORD t_last_error;

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...) {
  char buf[512];
  va_list args;
  va_start(args, fmt);
  vsnprintf(buf, sizeof buf, fmt, args);
  va_end(args);
  return buf;
}

std::string name_of(const void *h) {
  if (!h) return "0";
  int s = serial_of(h);
  switch (kind_of(h)) {
    case KIND_SCREEN_DC:
      return format("S%d", s);
    case KIND_MEMORY_DC:
      return format("M%d", s);
    case KIND_BITMAP:
      return format("B%d", s);
    case KIND_STOCK:
      return "STOCK";
    case KIND_WINDOW:
      return format("W%d", s);
    case KIND_MONITOR:
      return format("H%d", s);
  }
  return format("?%p", h);
}

void log_call(const std::string &text) { g.journal.push_back(text); }

void log_misuse(const std::string &text) { g.misuse.push_back(text); }

// Counts the call and says whether the script makes it fail.
bool scripted_failure(sd_call call) {
  int n = ++g.calls[call];
  const fail_rule &rule = g.rules[call];
  if (!rule.active || (rule.nth != 0 && rule.nth != n)) return false;
  t_last_error = rule.error;
  return true;
}

bool screen_dc_alive(HDC hdc) {
  if (kind_of(hdc) != KIND_SCREEN_DC) return false;
  int s = serial_of(hdc);
  return s >= 1 && s <= (int)g.screen_dcs.size() && g.screen_dcs[s - 1];
}

memory_dc_rec *memory_dc(HDC hdc) {
  if (kind_of(hdc) != KIND_MEMORY_DC) return NULL;
  int s = serial_of(hdc);
  if (s < 1 || s > (int)g.memory_dcs.size() || !g.memory_dcs[s - 1].alive) return NULL;
  return &g.memory_dcs[s - 1];
}

bitmap_rec *bitmap(const void *h) {
  if (kind_of(h) != KIND_BITMAP) return NULL;
  int s = serial_of(h);
  if (s < 1 || s > (int)g.bitmaps.size() || !g.bitmaps[s - 1].alive) return NULL;
  return &g.bitmaps[s - 1];
}

window_rec *window(HWND hwnd) {
  if (kind_of(hwnd) != KIND_WINDOW) return NULL;
  int s = serial_of(hwnd);
  if (s < 1 || s > (int)g.windows.size()) return NULL;
  return &g.windows[s - 1];
}

// The bitmap selected into a memory DC, NULL for the stock one.
bitmap_rec *selected_bitmap(memory_dc_rec *dc) {
  return dc->selected ? &g.bitmaps[dc->selected - 1] : NULL;
}

void fill_pixels(uint8_t *dst, uint64_t count, sd_pixel p) {
  if (p.b == p.g && p.g == p.r && p.r == p.x) {
    memset(dst, p.b, (size_t)(count * 4));
    return;
  }
  for (uint64_t i = 0; i < count; i++) {
    dst[i * 4 + 0] = p.b;
    dst[i * 4 + 1] = p.g;
    dst[i * 4 + 2] = p.r;
    dst[i * 4 + 3] = p.x;
  }
}

// One run of screen pixels starting at (x, y), as the read-back delivers them.
void render_screen_run(uint8_t *dst, int64_t x, int64_t y, int64_t count) {
  int64_t fb_right = (int64_t)g.fb_left + g.fb_width;
  int64_t fb_bottom = (int64_t)g.fb_top + g.fb_height;
  if (y < g.fb_top || y >= fb_bottom || x + count <= g.fb_left || x >= fb_right) {
    fill_pixels(dst, (uint64_t)count, g.outside);
    return;
  }
  int64_t before = x < g.fb_left ? g.fb_left - x : 0;
  int64_t end = x + count < fb_right ? x + count : fb_right;
  int64_t inside = end - (x + before);
  fill_pixels(dst, (uint64_t)before, g.outside);
  const uint8_t *src =
      &g.fb[(size_t)(((y - g.fb_top) * g.fb_width + (x + before - g.fb_left)) * 4)];
  memcpy(dst + before * 4, src, (size_t)(inside * 4));
  fill_pixels(dst + (before + inside) * 4, (uint64_t)(count - before - inside), g.outside);
}

bool blit_touches_framebuffer(const bitmap_rec *bm) {
  if (g.fb_width <= 0 || g.fb_height <= 0) return false;
  int64_t l = bm->src_x, t = bm->src_y;
  int64_t r = l + bm->blit_w, b = t + bm->blit_h;
  return l < (int64_t)g.fb_left + g.fb_width && r > g.fb_left &&
         t < (int64_t)g.fb_top + g.fb_height && b > g.fb_top;
}

// Row r of the bitmap (0 = top) into dst, width pixels.
void render_row(const bitmap_rec *bm, int r, uint8_t *dst) {
  const sd_pixel zero = {0, 0, 0, 0};
  int w = bm->width;
  if (bm->content == CONTENT_FILL) {
    fill_pixels(dst, (uint64_t)w, bm->fill);
    return;
  }
  if (bm->content == CONTENT_NONE || r < bm->dst_y || r >= (int64_t)bm->dst_y + bm->blit_h) {
    fill_pixels(dst, (uint64_t)w, zero);
    return;
  }
  int64_t start = bm->dst_x < 0 ? 0 : bm->dst_x;
  int64_t end = (int64_t)bm->dst_x + bm->blit_w;
  if (end > w) end = w;
  if (start >= end) {
    fill_pixels(dst, (uint64_t)w, zero);
    return;
  }
  fill_pixels(dst, (uint64_t)start, zero);
  render_screen_run(dst + start * 4, (int64_t)bm->src_x + (start - bm->dst_x),
                    (int64_t)bm->src_y + (r - bm->dst_y), end - start);
  fill_pixels(dst + end * 4, (uint64_t)(w - end), zero);
}

// Whole frames of one colour are filled at once: the tests capture frames of
// hundreds of millions of pixels.
bool render_uniform(const bitmap_rec *bm, uint8_t *dst, uint64_t rows) {
  uint64_t count = rows * (uint64_t)bm->width;
  if (bm->content == CONTENT_FILL) {
    fill_pixels(dst, count, bm->fill);
    return true;
  }
  bool covers = bm->content == CONTENT_SCREEN && bm->dst_x <= 0 && bm->dst_y <= 0 &&
                (int64_t)bm->dst_x + bm->blit_w >= bm->width &&
                (int64_t)bm->dst_y + bm->blit_h >= bm->height;
  if (covers && !blit_touches_framebuffer(bm)) {
    fill_pixels(dst, count, g.outside);
    return true;
  }
  return false;
}

void set_content_screen(bitmap_rec *bm, int dst_x, int dst_y, int w, int h, int src_x, int src_y) {
  bm->content = CONTENT_SCREEN;
  bm->dst_x = dst_x;
  bm->dst_y = dst_y;
  bm->blit_w = w;
  bm->blit_h = h;
  bm->src_x = src_x;
  bm->src_y = src_y;
}

}  // namespace

// ---------------------------------------------------------------------------
// Script API

void sd_reset(void) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g.monitors.clear();
  g.enum_fails_after_callbacks = false;
  g.have_virtual_screen = false;
  memset(g.virtual_screen, 0, sizeof g.virtual_screen);
  g.fb_left = g.fb_top = g.fb_width = g.fb_height = 0;
  g.fb.clear();
  g.fb.shrink_to_fit();
  g.outside = sd_pixel{0, 0, 0, 0};
  g.windows.clear();
  g.screen_dcs.clear();
  g.memory_dcs.clear();
  g.bitmaps.clear();
  memset(g.rules, 0, sizeof g.rules);
  memset(g.calls, 0, sizeof g.calls);
  g.journal.clear();
  g.misuse.clear();
  g.window_list.clear();
  g.window_list_error = 0;
  g.text_window_id.clear();
  g.text_window_width = g.text_window_height = 0;
  t_last_error = 0;
}

void sd_set_window_list(const std::vector<vs_window_entry> &windows, DWORD error) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g.window_list = windows;
  g.window_list_error = error;
}

void sd_set_text_window(const char *id, int width, int height, sd_pixel fill) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g.text_window_id = id;
  g.text_window_width = width;
  g.text_window_height = height;
  g.text_window_fill = fill;
}

int sd_add_monitor(int left, int top, int right, int bottom, const char *device, int primary) {
  std::lock_guard<std::mutex> lock(g_mutex);
  monitor_rec m;
  memset(&m, 0, sizeof m);
  m.rect = RECT{left, top, right, bottom};
  // A name of 32 characters fills szDevice with no terminator.
  if (device) memcpy(m.device, device, strnlen(device, sizeof m.device));
  m.primary = primary;
  g.monitors.push_back(m);
  return (int)g.monitors.size() - 1;
}

void sd_fail_monitor_info(int monitor, DWORD error) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g.monitors.at((size_t)monitor).info_fails = 1;
  g.monitors.at((size_t)monitor).info_error = error;
}

void sd_enum_fails_after_callbacks(int on) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g.enum_fails_after_callbacks = on != 0;
}

void sd_set_virtual_screen(int left, int top, int width, int height) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g.have_virtual_screen = true;
  g.virtual_screen[0] = left;
  g.virtual_screen[1] = top;
  g.virtual_screen[2] = width;
  g.virtual_screen[3] = height;
}

void sd_set_screen(int left, int top, int width, int height, sd_pixel fill) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g.fb_left = left;
  g.fb_top = top;
  g.fb_width = width;
  g.fb_height = height;
  g.fb.assign((size_t)width * (size_t)height * 4, 0);
  fill_pixels(g.fb.data(), (uint64_t)width * (uint64_t)height, fill);
}

void sd_fill_screen_rect(int left, int top, int width, int height, sd_pixel p) {
  std::lock_guard<std::mutex> lock(g_mutex);
  for (int64_t y = top; y < (int64_t)top + height; y++) {
    for (int64_t x = left; x < (int64_t)left + width; x++) {
      if (x < g.fb_left || y < g.fb_top || x >= (int64_t)g.fb_left + g.fb_width ||
          y >= (int64_t)g.fb_top + g.fb_height)
        continue;
      fill_pixels(&g.fb[(size_t)(((y - g.fb_top) * g.fb_width + (x - g.fb_left)) * 4)], 1, p);
    }
  }
}

void sd_set_screen_pixel(int x, int y, sd_pixel p) { sd_fill_screen_rect(x, y, 1, 1, p); }

void sd_set_outside_pixel(sd_pixel p) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g.outside = p;
}

HWND sd_add_window(int left, int top, int right, int bottom) {
  std::lock_guard<std::mutex> lock(g_mutex);
  window_rec w;
  w.rect = RECT{left, top, right, bottom};
  w.full = print_rec{1, sd_pixel{0x11, 0x22, 0x33, 0}, 0};
  w.plain = print_rec{1, sd_pixel{0x44, 0x55, 0x66, 0}, 0};
  g.windows.push_back(w);
  return (HWND)make_handle(KIND_WINDOW, (int)g.windows.size());
}

void sd_window_print(HWND hwnd, UINT flags, int ok, sd_pixel fill, DWORD error) {
  std::lock_guard<std::mutex> lock(g_mutex);
  window_rec *w = window(hwnd);
  if (!w) return;
  print_rec &p = flags == PW_RENDERFULLCONTENT ? w->full : w->plain;
  p = print_rec{ok, fill, error};
}

void sd_fail(sd_call call, int nth, DWORD error) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g.rules[call] = fail_rule{true, nth, error};
}

void sd_set_last_error(DWORD error) { t_last_error = error; }

std::vector<std::string> sd_journal(void) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g.journal;
}

int sd_journal_count(const char *prefix) {
  std::lock_guard<std::mutex> lock(g_mutex);
  int n = 0;
  for (const std::string &e : g.journal)
    if (e.compare(0, strlen(prefix), prefix) == 0) n++;
  return n;
}

void sd_clear_journal(void) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g.journal.clear();
}

sd_live_counts sd_live(void) {
  std::lock_guard<std::mutex> lock(g_mutex);
  sd_live_counts c = {0, 0, 0, 0};
  for (bool alive : g.screen_dcs) c.screen_dcs += alive ? 1 : 0;
  for (const memory_dc_rec &dc : g.memory_dcs) {
    if (!dc.alive) continue;
    c.memory_dcs++;
    if (dc.selected) c.selections++;
  }
  for (const bitmap_rec &bm : g.bitmaps) c.bitmaps += bm.alive ? 1 : 0;
  return c;
}

std::vector<std::string> sd_misuse(void) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g.misuse;
}

// ---------------------------------------------------------------------------
// The display services

BOOL WINAPI EnumDisplayMonitors(HDC hdc, LPCRECT clip, MONITORENUMPROC proc, LPARAM data) {
  std::vector<RECT> rects;
  bool fail;
  bool callbacks;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    fail = scripted_failure(SD_ENUM_DISPLAY_MONITORS);
    callbacks = !fail || g.enum_fails_after_callbacks;
    log_call(format("EnumDisplayMonitors(%s,%s)=%d", name_of(hdc).c_str(), clip ? "rect" : "0",
                    fail ? 0 : 1));
    if (hdc || clip || !proc) log_misuse("EnumDisplayMonitors with a DC, a clip or no callback");
    for (const monitor_rec &m : g.monitors) rects.push_back(m.rect);
  }
  // The callback calls back into the layer, so the lock is not held here.
  DWORD error = t_last_error;
  if (callbacks && proc) {
    for (size_t i = 0; i < rects.size(); i++) {
      RECT r = rects[i];
      if (!proc((HMONITOR)make_handle(KIND_MONITOR, (int)i + 1), NULL, &r, data)) break;
    }
  }
  if (fail) {
    t_last_error = error;
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI GetMonitorInfoA(HMONITOR hmon, LPMONITORINFO info) {
  std::lock_guard<std::mutex> lock(g_mutex);
  int s = serial_of(hmon);
  bool known = kind_of(hmon) == KIND_MONITOR && s >= 1 && s <= (int)g.monitors.size();
  DWORD size = info ? info->cbSize : 0;
  BOOL ok = FALSE;
  if (!known || !info) {
    log_misuse("GetMonitorInfoA on an unknown monitor or no record");
    t_last_error = k_error_invalid_handle;
  } else if (size != sizeof(MONITORINFOEXA)) {
    log_misuse(format("GetMonitorInfoA with cbSize %u", (unsigned)size));
    t_last_error = k_error_invalid_parameter;
  } else if (!scripted_failure(SD_GET_MONITOR_INFO)) {
    const monitor_rec &m = g.monitors[(size_t)s - 1];
    if (m.info_fails) {
      t_last_error = m.info_error;
    } else {
      MONITORINFOEXA *ex = (MONITORINFOEXA *)info;
      ex->rcMonitor = m.rect;
      ex->rcWork = m.rect;
      ex->dwFlags = m.primary ? MONITORINFOF_PRIMARY : 0;
      memcpy(ex->szDevice, m.device, sizeof ex->szDevice);
      ok = TRUE;
    }
  }
  log_call(format("GetMonitorInfoA(%s,%u)=%d", name_of(hmon).c_str(), (unsigned)size, ok));
  return ok;
}

int WINAPI GetSystemMetrics(int index) {
  std::lock_guard<std::mutex> lock(g_mutex);
  int value = 0;
  if (index < SM_XVIRTUALSCREEN || index > SM_CYVIRTUALSCREEN) {
    log_misuse(format("GetSystemMetrics(%d)", index));
  } else if (!scripted_failure(SD_GET_SYSTEM_METRICS)) {
    int v[4] = {0, 0, 0, 0};
    if (g.have_virtual_screen) {
      memcpy(v, g.virtual_screen, sizeof v);
    } else if (!g.monitors.empty()) {
      int64_t l = g.monitors[0].rect.left, t = g.monitors[0].rect.top;
      int64_t r = g.monitors[0].rect.right, b = g.monitors[0].rect.bottom;
      for (const monitor_rec &m : g.monitors) {
        if (m.rect.left < l) l = m.rect.left;
        if (m.rect.top < t) t = m.rect.top;
        if (m.rect.right > r) r = m.rect.right;
        if (m.rect.bottom > b) b = m.rect.bottom;
      }
      v[0] = (int)l;
      v[1] = (int)t;
      v[2] = (int)(r - l);
      v[3] = (int)(b - t);
    }
    value = v[index - SM_XVIRTUALSCREEN];
  }
  log_call(format("GetSystemMetrics(%d)=%d", index, value));
  return value;
}

BOOL WINAPI GetWindowRect(HWND hwnd, LPRECT rect) {
  std::lock_guard<std::mutex> lock(g_mutex);
  window_rec *w = window(hwnd);
  BOOL ok = FALSE;
  if (!rect) {
    log_misuse("GetWindowRect without a RECT");
  } else if (!w) {
    t_last_error = k_error_invalid_window_handle;
  } else if (!scripted_failure(SD_GET_WINDOW_RECT)) {
    *rect = w->rect;
    ok = TRUE;
  }
  log_call(format("GetWindowRect(%s)=%d", name_of(hwnd).c_str(), ok));
  return ok;
}

BOOL WINAPI PrintWindow(HWND hwnd, HDC hdc, UINT flags) {
  std::lock_guard<std::mutex> lock(g_mutex);
  window_rec *w = window(hwnd);
  memory_dc_rec *dc = memory_dc(hdc);
  BOOL ok = FALSE;
  if (!w || !dc || (flags != 0 && flags != PW_RENDERFULLCONTENT)) {
    log_misuse(format("PrintWindow(%s,%s,%u)", name_of(hwnd).c_str(), name_of(hdc).c_str(), flags));
    t_last_error = k_error_invalid_parameter;
  } else if (!scripted_failure(SD_PRINT_WINDOW)) {
    const print_rec &p = flags == PW_RENDERFULLCONTENT ? w->full : w->plain;
    if (!p.ok) {
      t_last_error = p.error;
    } else {
      bitmap_rec *bm = selected_bitmap(dc);
      if (bm) {
        bm->content = CONTENT_FILL;
        bm->fill = p.fill;
      }
      ok = TRUE;
    }
  }
  log_call(
      format("PrintWindow(%s,%s,%u)=%d", name_of(hwnd).c_str(), name_of(hdc).c_str(), flags, ok));
  return ok;
}

HDC WINAPI GetDC(HWND hwnd) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (hwnd) log_misuse("GetDC for a window");
  HDC hdc = NULL;
  if (!scripted_failure(SD_GET_DC)) {
    g.screen_dcs.push_back(true);
    hdc = (HDC)make_handle(KIND_SCREEN_DC, (int)g.screen_dcs.size());
  }
  log_call(format("GetDC(%s)=%s", name_of(hwnd).c_str(), name_of(hdc).c_str()));
  return hdc;
}

int WINAPI ReleaseDC(HWND hwnd, HDC hdc) {
  std::lock_guard<std::mutex> lock(g_mutex);
  int ok = 0;
  if (hwnd) log_misuse("ReleaseDC with a window");
  if (!screen_dc_alive(hdc)) {
    log_misuse(format("ReleaseDC(%s) of no live screen DC", name_of(hdc).c_str()));
  } else if (!scripted_failure(SD_RELEASE_DC)) {
    g.screen_dcs[(size_t)serial_of(hdc) - 1] = false;
    ok = 1;
  }
  log_call(format("ReleaseDC(%s,%s)=%d", name_of(hwnd).c_str(), name_of(hdc).c_str(), ok));
  return ok;
}

HDC WINAPI CreateCompatibleDC(HDC hdc) {
  std::lock_guard<std::mutex> lock(g_mutex);
  HDC out = NULL;
  if (!screen_dc_alive(hdc)) {
    log_misuse(format("CreateCompatibleDC(%s) not from a live screen DC", name_of(hdc).c_str()));
  } else if (!scripted_failure(SD_CREATE_COMPATIBLE_DC)) {
    g.memory_dcs.push_back(memory_dc_rec{true, 0});
    out = (HDC)make_handle(KIND_MEMORY_DC, (int)g.memory_dcs.size());
  }
  log_call(format("CreateCompatibleDC(%s)=%s", name_of(hdc).c_str(), name_of(out).c_str()));
  return out;
}

HBITMAP WINAPI CreateCompatibleBitmap(HDC hdc, int width, int height) {
  std::lock_guard<std::mutex> lock(g_mutex);
  HBITMAP out = NULL;
  if (!screen_dc_alive(hdc) || width <= 0 || height <= 0) {
    log_misuse(format("CreateCompatibleBitmap(%s,%d,%d)", name_of(hdc).c_str(), width, height));
  } else if (!scripted_failure(SD_CREATE_COMPATIBLE_BITMAP)) {
    bitmap_rec bm;
    memset(&bm, 0, sizeof bm);
    bm.alive = true;
    bm.width = width;
    bm.height = height;
    bm.content = CONTENT_NONE;
    g.bitmaps.push_back(bm);
    out = (HBITMAP)make_handle(KIND_BITMAP, (int)g.bitmaps.size());
  }
  log_call(format("CreateCompatibleBitmap(%s,%d,%d)=%s", name_of(hdc).c_str(), width, height,
                  name_of(out).c_str()));
  return out;
}

HGDIOBJ WINAPI SelectObject(HDC hdc, HGDIOBJ object) {
  std::lock_guard<std::mutex> lock(g_mutex);
  memory_dc_rec *dc = memory_dc(hdc);
  bitmap_rec *bm = bitmap(object);
  HGDIOBJ previous = NULL;
  if (!dc || (!bm && kind_of(object) != KIND_STOCK)) {
    log_misuse(format("SelectObject(%s,%s) of dead handles", name_of(hdc).c_str(),
                      name_of(object).c_str()));
  } else if (bm && bm->selected_in && bm->selected_in != serial_of(hdc)) {
    log_misuse(format("SelectObject(%s,%s) while selected into M%d", name_of(hdc).c_str(),
                      name_of(object).c_str(), bm->selected_in));
  } else if (!scripted_failure(SD_SELECT_OBJECT)) {
    previous = dc->selected ? (HGDIOBJ)make_handle(KIND_BITMAP, dc->selected)
                            : (HGDIOBJ)make_handle(KIND_STOCK, 1);
    if (dc->selected) g.bitmaps[(size_t)dc->selected - 1].selected_in = 0;
    dc->selected = bm ? serial_of(object) : 0;
    if (bm) bm->selected_in = serial_of(hdc);
  }
  log_call(format("SelectObject(%s,%s)=%s", name_of(hdc).c_str(), name_of(object).c_str(),
                  name_of(previous).c_str()));
  return previous;
}

BOOL WINAPI BitBlt(HDC dest, int x, int y, int width, int height, HDC src, int src_x, int src_y,
                   DWORD rop) {
  std::lock_guard<std::mutex> lock(g_mutex);
  memory_dc_rec *dc = memory_dc(dest);
  BOOL ok = FALSE;
  if (!dc || !screen_dc_alive(src) || rop != SRCCOPY) {
    log_misuse(format("BitBlt from %s to %s with rop 0x%x", name_of(src).c_str(),
                      name_of(dest).c_str(), rop));
    t_last_error = k_error_invalid_handle;
  } else if (!scripted_failure(SD_BITBLT)) {
    bitmap_rec *bm = selected_bitmap(dc);
    if (bm) set_content_screen(bm, x, y, width, height, src_x, src_y);
    ok = TRUE;
  }
  log_call(format("BitBlt(%s,%d,%d,%d,%d,%s,%d,%d,0x%x)=%d", name_of(dest).c_str(), x, y, width,
                  height, name_of(src).c_str(), src_x, src_y, rop, ok));
  return ok;
}

int WINAPI GetDIBits(HDC hdc, HBITMAP hbm, UINT start, UINT lines, LPVOID bits, LPBITMAPINFO info,
                     UINT usage) {
  std::lock_guard<std::mutex> lock(g_mutex);
  memory_dc_rec *dc = memory_dc(hdc);
  bitmap_rec *bm = bitmap(hbm);
  std::string header = "none";
  int result = 0;
  if (info) {
    const BITMAPINFOHEADER &h = info->bmiHeader;
    header = format("{%u,%d,%d,%u,%u,%u,%u,%d,%d,%u,%u}", h.biSize, h.biWidth, h.biHeight,
                    h.biPlanes, h.biBitCount, h.biCompression, h.biSizeImage, h.biXPelsPerMeter,
                    h.biYPelsPerMeter, h.biClrUsed, h.biClrImportant);
  }
  bool valid = dc && bm && info && bits && usage == DIB_RGB_COLORS;
  if (valid) {
    const BITMAPINFOHEADER &h = info->bmiHeader;
    int64_t abs_height = h.biHeight < 0 ? -(int64_t)h.biHeight : h.biHeight;
    valid = h.biSize == sizeof(BITMAPINFOHEADER) && h.biPlanes == 1 && h.biBitCount == 32 &&
            h.biCompression == BI_RGB && h.biWidth == bm->width && abs_height == bm->height;
  }
  if (!valid) {
    log_misuse(format("GetDIBits(%s,%s,%u,%u,%s,%s,%u)", name_of(hdc).c_str(), name_of(hbm).c_str(),
                      start, lines, bits ? "buf" : "0", header.c_str(), usage));
    t_last_error = k_error_invalid_parameter;
  } else if (!scripted_failure(SD_GET_DIBITS)) {
    bool top_down = info->bmiHeader.biHeight < 0;
    uint64_t first = start;
    uint64_t count = lines;
    if (first > (uint64_t)bm->height) first = (uint64_t)bm->height;
    if (count > (uint64_t)bm->height - first) count = (uint64_t)bm->height - first;
    uint8_t *out = (uint8_t *)bits;
    uint64_t row_bytes = (uint64_t)bm->width * 4;
    if (!(top_down && render_uniform(bm, out, count))) {
      for (uint64_t i = 0; i < count; i++) {
        uint64_t row = top_down ? first + i : (uint64_t)bm->height - 1 - (first + i);
        render_row(bm, (int)row, out + i * row_bytes);
      }
    }
    result = (int)count;
  }
  log_call(format("GetDIBits(%s,%s,%u,%u,%s,%s,%u)=%d", name_of(hdc).c_str(), name_of(hbm).c_str(),
                  start, lines, bits ? "buf" : "0", header.c_str(), usage, result));
  return result;
}

BOOL WINAPI DeleteObject(HGDIOBJ object) {
  std::lock_guard<std::mutex> lock(g_mutex);
  bitmap_rec *bm = bitmap(object);
  BOOL ok = FALSE;
  if (kind_of(object) == KIND_STOCK) {
    ok = TRUE;
  } else if (!bm) {
    log_misuse(format("DeleteObject(%s) of no live bitmap", name_of(object).c_str()));
  } else if (bm->selected_in) {
    // GDI refuses to delete a bitmap that is still selected into a DC.
    log_misuse(format("DeleteObject(%s) while selected into M%d", name_of(object).c_str(),
                      bm->selected_in));
  } else if (!scripted_failure(SD_DELETE_OBJECT)) {
    bm->alive = false;
    ok = TRUE;
  }
  log_call(format("DeleteObject(%s)=%d", name_of(object).c_str(), ok));
  return ok;
}

BOOL WINAPI DeleteDC(HDC hdc) {
  std::lock_guard<std::mutex> lock(g_mutex);
  memory_dc_rec *dc = memory_dc(hdc);
  BOOL ok = FALSE;
  if (!dc) {
    log_misuse(format("DeleteDC(%s) of no live memory DC", name_of(hdc).c_str()));
  } else if (!scripted_failure(SD_DELETE_DC)) {
    if (dc->selected) g.bitmaps[(size_t)dc->selected - 1].selected_in = 0;
    dc->selected = 0;
    dc->alive = false;
    ok = TRUE;
  }
  log_call(format("DeleteDC(%s)=%d", name_of(hdc).c_str(), ok));
  return ok;
}

DWORD WINAPI GetLastError(void) {
  std::lock_guard<std::mutex> lock(g_mutex);
  DWORD error = t_last_error;
  log_call(format("GetLastError()=%u", error));
  return error;
}

// No scripted peer gives reasons.
const char *vs_last_reason(void) { return ""; }

BOOL vs_list_windows(vs_window_entry *windows, int max, int *count) {
  std::lock_guard<std::mutex> lock(g_mutex);
  log_call(format("vs_list_windows(%d)", max));
  *count = 0;
  if (g.window_list_error) {
    t_last_error = g.window_list_error;
    return FALSE;
  }
  for (const vs_window_entry &w : g.window_list) {
    if (*count == max) break;
    windows[(*count)++] = w;
  }
  return TRUE;
}

BOOL vs_capture_window_text(const char *id, BOOL pointer, int *width, int *height, BYTE **pixels) {
  std::lock_guard<std::mutex> lock(g_mutex);
  log_call(format("vs_capture_window_text(%s,%d)", id, pointer));
  *width = *height = 0;
  *pixels = NULL;
  if (g.text_window_id.empty() || g.text_window_id != id) {
    t_last_error = 123;
    return FALSE;
  }
  uint64_t count = (uint64_t)g.text_window_width * (uint64_t)g.text_window_height;
  BYTE *p = (BYTE *)malloc((size_t)count * 4);
  if (!p) {
    t_last_error = 11;
    return FALSE;
  }
  fill_pixels(p, count, g.text_window_fill);
  *width = g.text_window_width;
  *height = g.text_window_height;
  *pixels = p;
  return TRUE;
}

BOOL WINAPI vs_ask_pointer(HDC memory) {
  std::lock_guard<std::mutex> lock(g_mutex);
  BOOL ok = FALSE;
  if (!memory_dc(memory)) {
    log_misuse(format("vs_ask_pointer on %s", name_of(memory).c_str()));
    t_last_error = k_error_invalid_handle;
  } else if (!scripted_failure(SD_ASK_POINTER)) {
    ok = TRUE;
  }
  log_call(format("vs_ask_pointer(%s)=%d", name_of(memory).c_str(), ok));
  return ok;
}
