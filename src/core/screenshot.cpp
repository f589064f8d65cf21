// The library's interface, monitors and capture: the nine exports and every
// step behind them except PNG encoding. The platform is reached only through
// the display services declared in display.h.
#include "core/screenshot.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "core/display.h"
#include "core/pngenc.h"
#include "win32/win32_dpi.h"

// The message, and beside it the words a peer gave for the failure (an X
// server's reason for refusing the connection), or "". The words are no part
// of the message; screenshot_last_error_detail hands them out.
static char s_last_error[ERROR_TEXT_SIZE];
static char s_last_error_detail[ERROR_REASON_SIZE];
static char s_mon_json[MONITOR_JSON_SIZE];

static const char k_version[] = "1.0.0";

// ---------------------------------------------------------------------------
// Error text and version

// Two threads failing at once must not leave a mixture of both messages, so
// the text is formatted on the stack and copied in under a spin lock: no
// allocation, no start-up code, and the lock is held only for the copy.
static std::atomic_flag s_last_error_lock = ATOMIC_FLAG_INIT;

// A peer's words for the thread's last error, where the platform keeps any.
static const char *last_error_reason(void) {
#if defined(_WIN32)
  return "";
#else
  return vs_last_reason();
#endif
}

void set_error(const char *format, ...) {
  char text[ERROR_TEXT_SIZE];
  char detail[ERROR_REASON_SIZE];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(text, ERROR_TEXT_SIZE, format, args);
  va_end(args);
  size_t len = n < 0 ? 0 : ((size_t)n < ERROR_TEXT_SIZE ? (size_t)n : ERROR_TEXT_SIZE - 1);
  text[len] = '\0';
  // Only a message that carries the platform's code carries its reason.
  const char *reason = strstr(format, "(error %lu)") ? last_error_reason() : "";
  size_t reason_len = strnlen(reason, ERROR_REASON_SIZE - 1);
  memcpy(detail, reason, reason_len);
  detail[reason_len] = '\0';

  while (s_last_error_lock.test_and_set(std::memory_order_acquire)) {
  }
  memcpy(s_last_error, text, len + 1);
  memcpy(s_last_error_detail, detail, reason_len + 1);
  s_last_error_lock.clear(std::memory_order_release);
}

// The platform's code is 32 bits everywhere; "%lu" wants an unsigned long.
static unsigned long last_error_code(void) { return (unsigned long)GetLastError(); }

const char *screenshot_version(void) { return k_version; }

const char *screenshot_last_error(void) { return s_last_error; }

const char *screenshot_last_error_detail(void) { return s_last_error_detail; }

// ---------------------------------------------------------------------------
// Monitors

static BOOL CALLBACK monitor_enum_proc(HMONITOR monitor, HDC hdc, LPRECT rect, LPARAM data) {
  (void)hdc;
  monitor_table *table = (monitor_table *)data;
  if (table->count >= MAX_MONITORS) return TRUE;

  int32_t s = table->count;
  monitor_entry *entry = &table->entries[s];
  entry->x = rect->left;
  entry->y = rect->top;
  entry->width = (int32_t)((uint32_t)rect->right - (uint32_t)rect->left);
  entry->height = (int32_t)((uint32_t)rect->bottom - (uint32_t)rect->top);
  entry->index = s;

  MONITORINFOEXA info;
  memset(&info, 0, sizeof info);
  info.cbSize = sizeof info;
  if (GetMonitorInfoA(monitor, (LPMONITORINFO)&info)) {
    entry->is_primary = (info.dwFlags & MONITORINFOF_PRIMARY) ? 1 : 0;
    // szDevice is trusted only within its own 32 bytes.
    size_t len = strnlen(info.szDevice, sizeof info.szDevice);
    if (len > MONITOR_NAME_SIZE - 1) len = MONITOR_NAME_SIZE - 1;
    memset(entry->name, 0, sizeof entry->name);
    memcpy(entry->name, info.szDevice, len);
  } else {
    entry->is_primary = s == 0 ? 1 : 0;
    snprintf(entry->name, sizeof entry->name, "Monitor %d", (int)s);
  }
  table->count = s + 1;
  return TRUE;
}

int enumerate_monitors(monitor_table *table) {
  monitor_table work;
  memset(&work, 0, sizeof work);
  BOOL ok = EnumDisplayMonitors(NULL, NULL, monitor_enum_proc, (LPARAM)&work);
  if (!ok || work.count == 0) {
    set_error("EnumDisplayMonitors failed (error %lu)", last_error_code());
    return -1;
  }
  memcpy(table->entries, work.entries, (size_t)work.count * sizeof work.entries[0]);
  table->count = work.count;
  return 0;
}

// Sums run in 64 bits: edges near INT_MAX must not wrap into a wrong overlap.
int clamp_to_screen(const monitor_entry *entries, int count, int *x, int *y, int *width,
                    int *height) {
  if (count <= 0) {
    set_error("no monitors");
    return -1;
  }
  int64_t left = entries[0].x;
  int64_t top = entries[0].y;
  int64_t right = (int64_t)entries[0].x + entries[0].width;
  int64_t bottom = (int64_t)entries[0].y + entries[0].height;
  for (int i = 1; i < count; i++) {
    const monitor_entry *e = &entries[i];
    if (e->x < left) left = e->x;
    if (e->y < top) top = e->y;
    if ((int64_t)e->x + e->width > right) right = (int64_t)e->x + e->width;
    if ((int64_t)e->y + e->height > bottom) bottom = (int64_t)e->y + e->height;
  }

  int rx = *x, ry = *y, rw = *width, rh = *height;
  if (rw <= 0 || rh <= 0) {
    set_error("invalid region size %dx%d", rw, rh);
    return -1;
  }
  int64_t req_right = (int64_t)rx + rw;
  int64_t req_bottom = (int64_t)ry + rh;
  if (!(rx < right && ry < bottom && req_right > left && req_bottom > top)) {
    set_error("region (%d,%d %dx%d) is outside screen bounds (%d,%d %dx%d)", rx, ry, rw, rh,
              (int)left, (int)top, (int)(right - left), (int)(bottom - top));
    return -1;
  }
  // The result lies inside the request, so each value fits in an int.
  int64_t new_x = rx > left ? rx : left;
  int64_t new_y = ry > top ? ry : top;
  int64_t new_w = (req_right < right ? req_right : right) - new_x;
  int64_t new_h = (req_bottom < bottom ? req_bottom : bottom) - new_y;
  *x = (int)new_x;
  *y = (int)new_y;
  *width = (int)new_w;
  *height = (int)new_h;
  return 0;
}

// ---------------------------------------------------------------------------
// Monitor list as JSON

int escape_json_name(const char *name, char *out) {
  static const char hex[] = "0123456789abcdef";
  int n = 0;
  for (const unsigned char *p = (const unsigned char *)name; *p; p++) {
    if (n > JSON_NAME_SCRATCH_SIZE - 3) break;
    unsigned char c = *p;
    char esc[6];
    int len;
    if (c == '"' || c == '\\') {
      esc[0] = '\\';
      esc[1] = (char)c;
      len = 2;
    } else if (c >= 0x01 && c <= 0x1f) {
      esc[0] = '\\';
      esc[1] = 'u';
      esc[2] = '0';
      esc[3] = '0';
      esc[4] = hex[c >> 4];
      esc[5] = hex[c & 0xf];
      len = 6;
    } else {
      esc[0] = (char)c;
      len = 1;
    }
    // An escape that no longer fits ends the name: never half of one.
    if (n + len > JSON_NAME_SCRATCH_SIZE - 1) break;
    memcpy(out + n, esc, (size_t)len);
    n += len;
  }
  out[n] = '\0';
  return n;
}

static const char *format_monitor_json(void) {
  monitor_table table;
  table.count = 0;
  if (enumerate_monitors(&table) != 0) return NULL;

  size_t used = 1;
  s_mon_json[0] = '[';
  s_mon_json[1] = '\0';
  for (int i = 0; i < table.count; i++) {
    if (used > MONITOR_JSON_SIZE - 257) break;
    const monitor_entry *e = &table.entries[i];
    char name[JSON_NAME_SCRATCH_SIZE];
    escape_json_name(e->name, name);
    size_t room = MONITOR_JSON_SIZE - used;
    int n = snprintf(s_mon_json + used, room,
                     "%s{\"index\":%d,\"name\":\"%s\",\"x\":%d,\"y\":%d,\"width\":%d,"
                     "\"height\":%d,\"is_primary\":%s}",
                     i > 0 ? "," : "", e->index, name, e->x, e->y, e->width, e->height,
                     e->is_primary ? "true" : "false");
    // An object that would leave no room for the closing bracket is left out
    // whole, and so is every entry after it: the text stays valid JSON.
    if (n < 0 || (size_t)n + 2 > room) {
      s_mon_json[used] = '\0';
      break;
    }
    used += (size_t)n;
  }
  snprintf(s_mon_json + used, MONITOR_JSON_SIZE - used, "]");
  return s_mon_json;
}

// ---------------------------------------------------------------------------
// Screen and window capture

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the channel reorder reads B, G, R, X as a little-endian 32-bit word"
#endif

// One pass over memory, in chunks that stay in the cache. Until a non-zero
// fourth byte turns up, every chunk is made opaque as it is reordered; when
// one does, the chunks before it (all of whose fourth bytes were 0) get their
// 0 back and everything from there on passes through.
void bgrx_to_rgba(uint8_t *pixels, uint64_t pixel_count) {
  const uint64_t chunk = 16384;
  uint32_t *p = (uint32_t *)(void *)pixels;
  uint32_t fill = 0xff000000u;
  for (uint64_t start = 0; start < pixel_count; start += chunk) {
    uint64_t end = pixel_count - start < chunk ? pixel_count : start + chunk;
    if (fill) {
      uint32_t alpha = 0;
      for (uint64_t i = start; i < end; i++) alpha |= p[i];
      if (alpha & 0xff000000u) {
        fill = 0;
        for (uint64_t i = 0; i < start; i++) p[i] &= 0x00ffffffu;
      }
    }
    for (uint64_t i = start; i < end; i++) {
      uint32_t v = p[i];
      p[i] = (v & 0xff00ff00u) | ((v >> 16) & 0xffu) | ((v & 0xffu) << 16) | fill;
    }
  }
}

// A byte count that does not fit the address space (a 32-bit process) is an
// allocation failure, never a truncated size.
static uint8_t *alloc_pixels(uint64_t pixel_count) {
  if (pixel_count > SIZE_MAX / 4) return NULL;
  return (uint8_t *)malloc((size_t)(pixel_count * 4));
}

// Computed without signed overflow; only a width beyond 2^29 wraps, and no
// consumer reads the stride.
static int32_t stride_of(int width) { return (int32_t)((uint32_t)width * 4u); }

static void fill_dib_header(BITMAPINFO *info, int width, int height) {
  memset(info, 0, sizeof *info);
  info->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info->bmiHeader.biWidth = width;
  info->bmiHeader.biHeight = -height;
  info->bmiHeader.biPlanes = 1;
  info->bmiHeader.biBitCount = 32;
  info->bmiHeader.biCompression = BI_RGB;
}

// The mouse pointer, when a capture asks for it. Windows copies the screen
// without it, so it is drawn over the copy afterwards: the cursor's image
// with its own mask (DI_NORMAL), its hotspot on the pointer's place, all in
// physical pixels (the export runs per-monitor aware). Elsewhere the display
// draws it into the copy itself (a compositor can do no other), so the memory
// DC asks for it before the copy. Each step does nothing where the other does
// the work.
static BOOL ask_for_pointer(HDC memory) {
#if defined(_WIN32)
  (void)memory;
  return TRUE;
#else
  return vs_ask_pointer(memory);
#endif
}

// (x, y): where the memory DC's top-left pixel lies on the screen.
static BOOL draw_pointer(HDC memory, int x, int y) {
#if defined(_WIN32)
  CURSORINFO cursor;
  memset(&cursor, 0, sizeof cursor);
  cursor.cbSize = sizeof cursor;
  if (!GetCursorInfo(&cursor)) return FALSE;
  // Hidden (a full-screen game, a touch session) or suppressed: nothing to draw.
  if (!(cursor.flags & CURSOR_SHOWING) || !cursor.hCursor) return TRUE;
  ICONINFO icon;
  memset(&icon, 0, sizeof icon);
  if (!GetIconInfo(cursor.hCursor, &icon)) return FALSE;
  // GetIconInfo hands out copies of the cursor's bitmaps; they are ours.
  if (icon.hbmMask) DeleteObject(icon.hbmMask);
  if (icon.hbmColor) DeleteObject(icon.hbmColor);
  int64_t left = (int64_t)cursor.ptScreenPos.x - (int64_t)icon.xHotspot - x;
  int64_t top = (int64_t)cursor.ptScreenPos.y - (int64_t)icon.yHotspot - y;
  if (left < INT32_MIN || left > INT32_MAX || top < INT32_MIN || top > INT32_MAX) return TRUE;
  return DrawIconEx(memory, (int)left, (int)top, cursor.hCursor, 0, 0, 0, NULL, DI_NORMAL);
#else
  (void)memory;
  (void)x;
  (void)y;
  return TRUE;
#endif
}

static void release_display_objects(HDC screen, HDC memory, HBITMAP bitmap, HGDIOBJ previous) {
  if (previous) SelectObject(memory, previous);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(NULL, screen);
}

// The messages of one capture path. The rectangle and the window paths run
// the same sequence and fail with different texts, which callers and their
// tests rely on word for word, so each path passes its own. Arguments each
// text receives (a text without the conversion ignores it):
struct capture_texts {
  const char *screen_dc;  // the last-error code when screen_dc_code is 1
  int screen_dc_code;     // 0: the window path's text, which reads no code
  const char *memory_dc;  // none
  const char *bitmap;     // width, height
  const char *copy;       // x, y, width, height, code; printing a window: the code alone
  const char *no_memory;  // width, height
  const char *read_back;  // the last-error code
  const char *pointer;    // the last-error code
};

static const capture_texts k_rect_texts = {
    "GetDC(NULL) failed (error %lu)",
    1,
    "CreateCompatibleDC failed",
    "CreateCompatibleBitmap %dx%d failed",
    "BitBlt (%d,%d %dx%d) failed (error %lu)",
    "out of memory for %dx%d frame",
    "GetDIBits failed (error %lu)",
    "drawing the pointer failed (error %lu)",
};

static const capture_texts k_window_texts = {
    "GetDC(NULL) failed",
    0,
    "memory DC/bitmap creation failed",
    "memory DC/bitmap creation failed",
    "PrintWindow/BitBlt for window failed (error %lu)",
    "out of memory for window %dx%d",
    "GetDIBits failed for window (error %lu)",
    "drawing the pointer into the window failed (error %lu)",
};

// The formats above come from two fixed tables, never from outside.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
#endif

// Screen context, memory context and bitmap; the copy into the bitmap; the
// read-back into a new buffer, top row first; the channel reorder; the
// release. With a window the window prints itself first (full content, then
// plain) and the screen at x, y is copied only when both refuse. With the
// pointer asked for, the memory DC asks for it before the copy and it is
// drawn after. Every failure sets its message before anything is released.
// The frame gets its sizes once the copy has succeeded and its buffer only on
// success.
static int capture_into_frame(HWND window, int x, int y, int width, int height, unsigned flags,
                              const capture_texts *texts, rgba_frame *frame) {
  HDC screen = GetDC(NULL);
  if (!screen) {
    if (texts->screen_dc_code)
      set_error(texts->screen_dc, last_error_code());
    else
      set_error(texts->screen_dc);
    return -1;
  }
  HDC memory = CreateCompatibleDC(screen);
  if (!memory) {
    set_error(texts->memory_dc);
    ReleaseDC(NULL, screen);
    return -1;
  }
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  if (!bitmap) {
    set_error(texts->bitmap, width, height);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
    return -1;
  }
  HGDIOBJ previous = SelectObject(memory, bitmap);
  const int pointer = (flags & SCREENSHOT_WITH_CURSOR) != 0;
  if (pointer && !ask_for_pointer(memory)) {
    set_error(texts->pointer, last_error_code());
    release_display_objects(screen, memory, bitmap, previous);
    return -1;
  }

  if (window) {
    if (!PrintWindow(window, memory, PW_RENDERFULLCONTENT) && !PrintWindow(window, memory, 0) &&
        !BitBlt(memory, 0, 0, width, height, screen, x, y, SRCCOPY)) {
      set_error(texts->copy, last_error_code());
      release_display_objects(screen, memory, bitmap, previous);
      return -1;
    }
  } else if (!BitBlt(memory, 0, 0, width, height, screen, x, y, SRCCOPY)) {
    set_error(texts->copy, x, y, width, height, last_error_code());
    release_display_objects(screen, memory, bitmap, previous);
    return -1;
  }
  if (pointer && !draw_pointer(memory, x, y)) {
    set_error(texts->pointer, last_error_code());
    release_display_objects(screen, memory, bitmap, previous);
    return -1;
  }

  frame->width = width;
  frame->height = height;
  frame->stride = stride_of(width);
  uint64_t pixel_count = (uint64_t)width * (uint64_t)height;
  uint8_t *pixels = alloc_pixels(pixel_count);
  if (!pixels) {
    set_error(texts->no_memory, width, height);
    release_display_objects(screen, memory, bitmap, previous);
    return -1;
  }

  BITMAPINFO info;
  fill_dib_header(&info, width, height);
  if (!GetDIBits(memory, bitmap, 0, (UINT)height, pixels, &info, DIB_RGB_COLORS)) {
    set_error(texts->read_back, last_error_code());
    free(pixels);
    release_display_objects(screen, memory, bitmap, previous);
    return -1;
  }
#if defined(_WIN32)
  // DrawIconEx blends a cursor with alpha into the fourth byte too, which
  // would then read as the picture's own alpha; a screen is opaque.
  if (pointer) {
    for (uint64_t i = 0; i < pixel_count; i++) pixels[i * 4 + 3] = 0;
  }
#endif
  bgrx_to_rgba(pixels, pixel_count);
  release_display_objects(screen, memory, bitmap, previous);
  frame->pixels = pixels;
  return 0;
}

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

int capture_rect_rgba(int x, int y, int width, int height, rgba_frame *frame) {
  return capture_into_frame(NULL, x, y, width, height, 0, &k_rect_texts, frame);
}

int capture_window_rgba(void *window, unsigned flags, rgba_frame *frame) {
  HWND hwnd = (HWND)window;
  RECT rect;
  if (!GetWindowRect(hwnd, &rect)) {
    set_error("GetWindowRect failed (error %lu)", last_error_code());
    return -1;
  }
  int64_t width64 = (int64_t)rect.right - rect.left;
  int64_t height64 = (int64_t)rect.bottom - rect.top;
  if (width64 <= 0 || height64 <= 0 || width64 > INT32_MAX || height64 > INT32_MAX) {
    set_error("window has empty rect");
    return -1;
  }
  return capture_into_frame(hwnd, rect.left, rect.top, (int)width64, (int)height64, flags,
                            &k_window_texts, frame);
}

static int capture_window_to_file(void *hwnd_arg, const char *path) {
  HWND hwnd = (HWND)hwnd_arg;
  if (!hwnd) {
    set_error("window handle is NULL");
    return -1;
  }
  if (!path || !path[0]) {
    set_error("output file is empty");
    return -1;
  }
  rgba_frame frame;
  memset(&frame, 0, sizeof frame);
  if (capture_window_rgba(hwnd, 0, &frame) != 0) return -1;
  int result = write_png_file(path, &frame);
  free(frame.pixels);
  return result;
}

// ---------------------------------------------------------------------------
// Capture pipelines

int write_png_file(const char *path, const rgba_frame *frame) {
  if (pngenc_write_rgba_file(frame->pixels, frame->width, frame->height, path) == 0) return 0;
  int err = errno;
  set_error("PNG write failed for %dx%d frame to '%s' (%s)", frame->width, frame->height, path,
            strerror(err));
  return -1;
}

static int capture_and_write(int x, int y, int width, int height, const char *path) {
  rgba_frame frame;
  memset(&frame, 0, sizeof frame);
  if (capture_rect_rgba(x, y, width, height, &frame) != 0) return -1;
  int result = write_png_file(path, &frame);
  free(frame.pixels);
  return result;
}

// The region cut to the monitors as they are now.
static int clamp_to_monitors(int *x, int *y, int *width, int *height) {
  monitor_table table;
  table.count = 0;
  if (enumerate_monitors(&table) != 0) return -1;
  return clamp_to_screen(table.entries, table.count, x, y, width, height);
}

// The region as the monitors cut it, captured; *x and *y become the frame's
// place on the screen.
int capture_clamped(int *x, int *y, int width, int height, unsigned flags, rgba_frame *frame) {
  if (clamp_to_monitors(x, y, &width, &height) != 0) return -1;
  memset(frame, 0, sizeof *frame);
  return capture_into_frame(NULL, *x, *y, width, height, flags, &k_rect_texts, frame);
}

int capture_region_to_file(int x, int y, int width, int height, const char *path) {
  if (!path || !path[0]) {
    set_error("output file is empty");
    return -1;
  }
  if (clamp_to_monitors(&x, &y, &width, &height) != 0) return -1;
  return capture_and_write(x, y, width, height, path);
}

static int capture_all_to_file(const char *path) {
  if (!path || !path[0]) {
    set_error("output file is empty");
    return -1;
  }
  monitor_table table;
  table.count = 0;
  if (enumerate_monitors(&table) != 0) return -1;
  int x = GetSystemMetrics(SM_XVIRTUALSCREEN);
  int y = GetSystemMetrics(SM_YVIRTUALSCREEN);
  int width = GetSystemMetrics(SM_CXVIRTUALSCREEN);
  int height = GetSystemMetrics(SM_CYVIRTUALSCREEN);
  if (width <= 0 || height <= 0) {
    set_error("no virtual screen");
    return -1;
  }
  if (clamp_to_screen(table.entries, table.count, &x, &y, &width, &height) != 0) return -1;
  return capture_and_write(x, y, width, height, path);
}

static int capture_monitor_to_file(int index, const char *path) {
  if (!path || !path[0]) {
    set_error("output file is empty");
    return -1;
  }
  monitor_table table;
  table.count = 0;
  if (enumerate_monitors(&table) != 0) return -1;
  if (index < 0 || index >= table.count) {
    set_error("monitor index %d out of range (0..%d)", index, table.count - 1);
    return -1;
  }
  const monitor_entry *m = &table.entries[index];
  return capture_and_write(m->x, m->y, m->width, m->height, path);
}

static int capture_region_to_mem(int x, int y, int width, int height, uint8_t **out_png,
                                 int *out_len) {
  if (!out_png || !out_len) {
    set_error("out params are NULL");
    return -1;
  }
  *out_png = NULL;
  *out_len = 0;
  rgba_frame frame;
  if (capture_clamped(&x, &y, width, height, 0, &frame) != 0) return -1;

  uint8_t *png = NULL;
  size_t len = 0;
  if (pngenc_encode_rgba(frame.pixels, frame.width, frame.height, &png, &len) != 0) {
    set_error("PNG encode failed for %dx%d frame", frame.width, frame.height);
    free(frame.pixels);
    return -1;
  }
  free(frame.pixels);
  if (len > (size_t)2147483647) {
    set_error("PNG too large for int length (%zu bytes)", len);
    free(png);
    return -1;
  }
  *out_png = png;
  *out_len = (int)len;
  return 0;
}

// The region pipeline without the encoder: the frame's own buffer goes to the
// caller, who releases it with screenshot_free_mem like PNG bytes.
static int capture_region_to_rgba(int x, int y, int width, int height, int *out_x, int *out_y,
                                  int *out_width, int *out_height, uint8_t **out_pixels) {
  if (!out_x || !out_y || !out_width || !out_height || !out_pixels) {
    set_error("out params are NULL");
    return -1;
  }
  *out_x = 0;
  *out_y = 0;
  *out_width = 0;
  *out_height = 0;
  *out_pixels = NULL;
  rgba_frame frame;
  if (capture_clamped(&x, &y, width, height, 0, &frame) != 0) return -1;
  *out_x = x;
  *out_y = y;
  *out_width = frame.width;
  *out_height = frame.height;
  *out_pixels = frame.pixels;
  return 0;
}

void screenshot_free_mem(void *mem) { free(mem); }

// ---------------------------------------------------------------------------
// Exports that reach the display: every coordinate in physical pixels,
// whatever scaling the calling thread asked for (win32_dpi.h). Each step
// above returns to its export, so the caller's context is put back on every
// path.

const char *screenshot_list_monitors_json(void) {
  dpi_scope scope;
  enter_physical_pixels(&scope);
  const char *json = format_monitor_json();
  leave_physical_pixels(&scope);
  return json;
}

int screenshot_capture_all_png(const char *path) {
  dpi_scope scope;
  enter_physical_pixels(&scope);
  int result = capture_all_to_file(path);
  leave_physical_pixels(&scope);
  return result;
}

int screenshot_capture_monitor_png(int index, const char *path) {
  dpi_scope scope;
  enter_physical_pixels(&scope);
  int result = capture_monitor_to_file(index, path);
  leave_physical_pixels(&scope);
  return result;
}

int screenshot_capture_region_png(int x, int y, int width, int height, const char *path) {
  dpi_scope scope;
  enter_physical_pixels(&scope);
  int result = capture_region_to_file(x, y, width, height, path);
  leave_physical_pixels(&scope);
  return result;
}

int screenshot_capture_region_mem(int x, int y, int width, int height, uint8_t **out_png,
                                  int *out_len) {
  dpi_scope scope;
  enter_physical_pixels(&scope);
  int result = capture_region_to_mem(x, y, width, height, out_png, out_len);
  leave_physical_pixels(&scope);
  return result;
}

int screenshot_capture_region_rgba(int x, int y, int width, int height, int *out_x, int *out_y,
                                   int *out_width, int *out_height, unsigned char **out_pixels) {
  dpi_scope scope;
  enter_physical_pixels(&scope);
  int result =
      capture_region_to_rgba(x, y, width, height, out_x, out_y, out_width, out_height, out_pixels);
  leave_physical_pixels(&scope);
  return result;
}

int screenshot_capture_window_png(void *hwnd, const char *path) {
  dpi_scope scope;
  enter_physical_pixels(&scope);
  int result = capture_window_to_file(hwnd, path);
  leave_physical_pixels(&scope);
  return result;
}
