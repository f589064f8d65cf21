#include "fuzz_display.h"

#include <string.h>

#include "core/display.h"

fuzz_layout g_fuzz_layout;

void fuzz_read(fuzz_input *in, void *out, size_t n) {
  memset(out, 0, n);
  size_t left = in->size - in->pos;
  size_t take = n < left ? n : left;
  memcpy(out, in->data + in->pos, take);
  in->pos += take;
}

int32_t fuzz_int(fuzz_input *in) {
  int32_t v;
  fuzz_read(in, &v, sizeof v);
  return v;
}

uint8_t fuzz_byte(fuzz_input *in) {
  uint8_t v;
  fuzz_read(in, &v, sizeof v);
  return v;
}

void fuzz_read_layout(fuzz_input *in, fuzz_layout *layout) {
  memset(layout, 0, sizeof *layout);
  uint8_t head = fuzz_byte(in);
  layout->count = head % (FUZZ_MAX_MONITORS + 1);
  layout->enum_fails = (head & 0x80) && (head & 0x40);
  for (int i = 0; i < layout->count; i++) {
    fuzz_monitor *m = &layout->monitors[i];
    m->left = fuzz_int(in);
    m->top = fuzz_int(in);
    m->right = fuzz_int(in);
    m->bottom = fuzz_int(in);
    uint8_t bits = fuzz_byte(in);
    m->info_fails = bits & 1;
    m->flags = (bits >> 1) & 1;
    uint8_t len = fuzz_byte(in) % 32;
    fuzz_read(in, m->device, len);
    m->device[31] = '\0';
  }
}

BOOL WINAPI EnumDisplayMonitors(HDC, LPCRECT, MONITORENUMPROC proc, LPARAM data) {
  if (g_fuzz_layout.enum_fails) return FALSE;
  for (int i = 0; i < g_fuzz_layout.count; i++) {
    const fuzz_monitor *m = &g_fuzz_layout.monitors[i];
    RECT r = {m->left, m->top, m->right, m->bottom};
    if (!proc((HMONITOR)(uintptr_t)(i + 1), NULL, &r, data)) break;
  }
  return TRUE;
}

BOOL WINAPI GetMonitorInfoA(HMONITOR monitor, LPMONITORINFO info) {
  int i = (int)(uintptr_t)monitor - 1;
  if (i < 0 || i >= g_fuzz_layout.count || info->cbSize != sizeof(MONITORINFOEXA)) return FALSE;
  const fuzz_monitor *m = &g_fuzz_layout.monitors[i];
  if (m->info_fails) return FALSE;
  MONITORINFOEXA *ex = (MONITORINFOEXA *)info;
  ex->dwFlags = m->flags;
  memcpy(ex->szDevice, m->device, sizeof ex->szDevice);
  return TRUE;
}

int WINAPI GetSystemMetrics(int) { return 0; }
BOOL WINAPI GetWindowRect(HWND, LPRECT) { return FALSE; }
BOOL WINAPI PrintWindow(HWND, HDC, UINT) { return FALSE; }
HDC WINAPI GetDC(HWND) { return NULL; }
int WINAPI ReleaseDC(HWND, HDC) { return 0; }
HDC WINAPI CreateCompatibleDC(HDC) { return NULL; }
HBITMAP WINAPI CreateCompatibleBitmap(HDC, int, int) { return NULL; }
HGDIOBJ WINAPI SelectObject(HDC, HGDIOBJ) { return NULL; }
BOOL WINAPI BitBlt(HDC, int, int, int, int, HDC, int, int, DWORD) { return FALSE; }
int WINAPI GetDIBits(HDC, HBITMAP, UINT, UINT, LPVOID, LPBITMAPINFO, UINT) { return 0; }
BOOL WINAPI DeleteObject(HGDIOBJ) { return FALSE; }
BOOL WINAPI DeleteDC(HDC) { return FALSE; }
DWORD WINAPI GetLastError(void) { return 1461; }
const char *vs_last_reason(void) { return ""; }
// The fuzzers reach neither the pointer nor the windows: like the screen's
// device context, they are simply not there.
BOOL WINAPI vs_ask_pointer(HDC) { return FALSE; }
BOOL vs_list_windows(vs_window_entry *, int, int *count) {
  *count = 0;
  return FALSE;
}
BOOL vs_capture_window_text(const char *, BOOL, int *, int *, BYTE **) { return FALSE; }
