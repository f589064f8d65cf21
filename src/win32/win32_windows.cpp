// The window list on Windows: the top-level windows EnumWindows gives, in
// its order (topmost first), that are visible and not cloaked (a window of
// another virtual desktop, or a suspended store app's, is visible to USER32
// yet shows nowhere). Titles come through the wide calls as UTF-8. The id is
// the HWND's number, which the window capture takes back.
//
// dwmapi.dll is looked up at the call, from the system folder, rather than
// imported: the DLL's import table stays KERNEL32, USER32, GDI32 and msvcrt,
// and a system without the DWM simply has no cloaked windows.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "core/display.h"

#ifndef DWMWA_CLOAKED
#define DWMWA_CLOAKED 14
#endif

typedef HRESULT(WINAPI *dwm_get_attribute_fn)(HWND, DWORD, PVOID, DWORD);
typedef BOOL(WINAPI *query_image_name_fn)(HANDLE, DWORD, LPWSTR, PDWORD);

struct list_walk {
  vs_window_entry *windows;
  int max;
  int count;
  HWND focused;
  dwm_get_attribute_fn get_attribute;
  query_image_name_fn query_image_name;
};

// Wide text to UTF-8 into out (size bytes, always terminated); text that
// does not fit is cut, and the core cuts it again at a character boundary.
static void to_utf8(const wchar_t *text, int length, char *out, int size) {
  int n = length > 0 ? WideCharToMultiByte(CP_UTF8, 0, text, length, out, size - 1, NULL, NULL) : 0;
  if (n <= 0 && length > 0) {
    // Too long for out: convert a prefix that fits for certain (at most
    // three bytes a UTF-16 unit), ending before a lone high surrogate.
    int units = (size - 1) / 3;
    if (units > length) units = length;
    if (units > 0 && text[units - 1] >= 0xd800 && text[units - 1] <= 0xdbff) units--;
    n = units > 0 ? WideCharToMultiByte(CP_UTF8, 0, text, units, out, size - 1, NULL, NULL) : 0;
  }
  out[n > 0 ? n : 0] = '\0';
}

static int is_cloaked(const list_walk *walk, HWND hwnd) {
  if (!walk->get_attribute) return 0;
  DWORD cloaked = 0;
  return walk->get_attribute(hwnd, DWMWA_CLOAKED, &cloaked, sizeof cloaked) == S_OK && cloaked;
}

// The executable's file name, without its folder.
static void app_of(const list_walk *walk, DWORD pid, char *out, int size) {
  out[0] = '\0';
  if (!walk->query_image_name || !pid) return;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!process) return;
  wchar_t path[MAX_PATH + 1];
  DWORD length = MAX_PATH;
  if (walk->query_image_name(process, 0, path, &length) && length > 0 && length <= MAX_PATH) {
    DWORD start = length;
    while (start > 0 && path[start - 1] != L'\\' && path[start - 1] != L'/') start--;
    to_utf8(path + start, (int)(length - start), out, size);
  }
  CloseHandle(process);
}

static BOOL CALLBACK list_one(HWND hwnd, LPARAM data) {
  list_walk *walk = (list_walk *)data;
  if (walk->count >= walk->max) return FALSE;
  if (!IsWindowVisible(hwnd) || is_cloaked(walk, hwnd)) return TRUE;
  vs_window_entry *w = &walk->windows[walk->count];
  memset(w, 0, sizeof *w);
  snprintf(w->id, sizeof w->id, "0x%llx", (unsigned long long)(uintptr_t)hwnd);

  DWORD pid = 0;
  DWORD thread = GetWindowThreadProcessId(hwnd, &pid);

  // GetWindowTextW reads another process's title from USER32's copy, but
  // asks a window of our own process by message, which another thread of
  // ours that hangs would never answer: that one is asked with a bound.
  wchar_t title[VS_WINDOW_TEXT_SIZE / 3];
  const int units = (int)(sizeof title / sizeof title[0]);
  int length = 0;
  if (pid == GetCurrentProcessId() && thread != GetCurrentThreadId()) {
    DWORD_PTR copied = 0;
    if (SendMessageTimeoutW(hwnd, WM_GETTEXT, (WPARAM)units, (LPARAM)title,
                            SMTO_ABORTIFHUNG | SMTO_BLOCK, 250, &copied) &&
        copied < (DWORD_PTR)units) {
      length = (int)copied;
    }
  } else {
    length = GetWindowTextW(hwnd, title, units);
  }
  to_utf8(title, length, w->title, (int)sizeof w->title);

  w->pid = pid ? (int64_t)pid : -1;
  app_of(walk, pid, w->app, (int)sizeof w->app);

  RECT rect;
  if (GetWindowRect(hwnd, &rect)) {
    w->x = rect.left;
    w->y = rect.top;
    w->width = rect.right - rect.left;
    w->height = rect.bottom - rect.top;
    w->has_rect = 1;
  }
  w->focused = hwnd == walk->focused ? 1 : 0;
  w->minimized = IsIconic(hwnd) ? 1 : 0;
  walk->count++;
  return TRUE;
}

static HMODULE load_system_dll(const wchar_t *name) {
  wchar_t path[MAX_PATH + 32];
  UINT n = GetSystemDirectoryW(path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return NULL;
  path[n] = L'\\';
  wcscpy(path + n + 1, name);
  return LoadLibraryW(path);
}

BOOL vs_list_windows(vs_window_entry *windows, int max, int *count) {
  list_walk walk;
  memset(&walk, 0, sizeof walk);
  walk.windows = windows;
  walk.max = max;
  walk.focused = GetForegroundWindow();
  HMODULE dwm = load_system_dll(L"dwmapi.dll");
  if (dwm) {
    walk.get_attribute =
        (dwm_get_attribute_fn)(void (*)(void))GetProcAddress(dwm, "DwmGetWindowAttribute");
  }
  // KERNEL32 is imported, so it stays loaded as long as we are.
  HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  if (kernel32) {
    walk.query_image_name =
        (query_image_name_fn)(void (*)(void))GetProcAddress(kernel32, "QueryFullProcessImageNameW");
  }
  // EnumWindows reports a stop by the callback as a failure too.
  BOOL ok = EnumWindows(list_one, (LPARAM)&walk);
  DWORD error = GetLastError();
  if (dwm) FreeLibrary(dwm);
  if (!ok && walk.count < max && error != 0) {
    SetLastError(error);
    return FALSE;
  }
  *count = walk.count;
  return TRUE;
}

// Every id the list gives is an HWND's number, which the core takes itself.
BOOL vs_capture_window_text(const char *id, BOOL pointer, int *width, int *height, BYTE **pixels) {
  (void)id;
  (void)pointer;
  *width = 0;
  *height = 0;
  *pixels = NULL;
  SetLastError(ERROR_INVALID_WINDOW_HANDLE);
  return FALSE;
}
