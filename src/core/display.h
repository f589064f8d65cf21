// The display services the core calls. On Windows they are USER32, GDI32 and
// KERNEL32 themselves. Elsewhere this header declares the same subset with the
// same names, signatures and constant values, and what is linked next to the
// core provides them: in the shipped Linux library the dispatch over its
// display layers (X11, Wayland, the desktop portal; linux_display.h), in the
// unit tests the scripted layer. The core is one source for both worlds.
#ifndef VANTOREL_DISPLAY_H
#define VANTOREL_DISPLAY_H

#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <stdint.h>
#include <windows.h>

#ifndef PW_RENDERFULLCONTENT
#define PW_RENDERFULLCONTENT 0x00000002
#endif

#else

#include <stdint.h>

#define WINAPI
#define CALLBACK

typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef uint32_t DWORD;  // 32 bits as on Windows, not unsigned long
typedef int32_t LONG;
typedef unsigned int UINT;
typedef void *LPVOID;
typedef intptr_t LPARAM;
typedef const char *LPCSTR;

typedef struct HDC__ *HDC;
typedef struct HWND__ *HWND;
typedef struct HMONITOR__ *HMONITOR;
typedef struct HBITMAP__ *HBITMAP;
typedef void *HGDIOBJ;

#define TRUE 1
#define FALSE 0

#define SM_XVIRTUALSCREEN 76
#define SM_YVIRTUALSCREEN 77
#define SM_CXVIRTUALSCREEN 78
#define SM_CYVIRTUALSCREEN 79

#define SRCCOPY 0x00CC0020u
#define BI_RGB 0
#define DIB_RGB_COLORS 0
#define MONITORINFOF_PRIMARY 0x00000001u
#define PW_RENDERFULLCONTENT 0x00000002u
#define CCHDEVICENAME 32

typedef struct tagRECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
} RECT, *LPRECT;
typedef const RECT *LPCRECT;

typedef struct tagMONITORINFO {
  DWORD cbSize;
  RECT rcMonitor;
  RECT rcWork;
  DWORD dwFlags;
} MONITORINFO, *LPMONITORINFO;

typedef struct tagMONITORINFOEXA {
  DWORD cbSize;
  RECT rcMonitor;
  RECT rcWork;
  DWORD dwFlags;
  char szDevice[CCHDEVICENAME];
} MONITORINFOEXA, *LPMONITORINFOEXA;

typedef struct tagBITMAPINFOHEADER {
  DWORD biSize;
  LONG biWidth;
  LONG biHeight;
  WORD biPlanes;
  WORD biBitCount;
  DWORD biCompression;
  DWORD biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  DWORD biClrUsed;
  DWORD biClrImportant;
} BITMAPINFOHEADER;

typedef struct tagRGBQUAD {
  BYTE rgbBlue;
  BYTE rgbGreen;
  BYTE rgbRed;
  BYTE rgbReserved;
} RGBQUAD;

typedef struct tagBITMAPINFO {
  BITMAPINFOHEADER bmiHeader;
  RGBQUAD bmiColors[1];
} BITMAPINFO, *LPBITMAPINFO;

typedef BOOL(CALLBACK *MONITORENUMPROC)(HMONITOR, HDC, LPRECT, LPARAM);

BOOL WINAPI EnumDisplayMonitors(HDC hdc, LPCRECT clip, MONITORENUMPROC proc, LPARAM data);
BOOL WINAPI GetMonitorInfoA(HMONITOR monitor, LPMONITORINFO info);
int WINAPI GetSystemMetrics(int index);
BOOL WINAPI GetWindowRect(HWND hwnd, LPRECT rect);
BOOL WINAPI PrintWindow(HWND hwnd, HDC hdc, UINT flags);
HDC WINAPI GetDC(HWND hwnd);
int WINAPI ReleaseDC(HWND hwnd, HDC hdc);
HDC WINAPI CreateCompatibleDC(HDC hdc);
HBITMAP WINAPI CreateCompatibleBitmap(HDC hdc, int width, int height);
HGDIOBJ WINAPI SelectObject(HDC hdc, HGDIOBJ object);
BOOL WINAPI BitBlt(HDC dest, int x, int y, int width, int height, HDC src, int src_x, int src_y,
                   DWORD rop);
int WINAPI GetDIBits(HDC hdc, HBITMAP bitmap, UINT start, UINT lines, LPVOID bits,
                     LPBITMAPINFO info, UINT usage);
BOOL WINAPI DeleteObject(HGDIOBJ object);
BOOL WINAPI DeleteDC(HDC hdc);
DWORD WINAPI GetLastError(void);

// Words a peer gave for the thread's last error, or "": an X server's reason
// for refusing the connection. Windows has none.
const char *vs_last_reason(void);

// Not a Win32 call: asks every later copy into the memory DC (BitBlt,
// PrintWindow) to carry the mouse pointer where it lies over the copied
// rectangle. Here the display draws the pointer into its own copy (a
// compositor draws it nowhere else), so the request must come before the
// copy; a new memory DC asks for nothing. A display that cannot draw it
// fails the copy, with its own code. Windows draws it after the copy
// instead (GetCursorInfo, DrawIconEx).
BOOL WINAPI vs_ask_pointer(HDC memory);

#endif

// Windows by list and by id. These two are ours on every platform: the
// Windows library provides them over EnumWindows (src/win32), the Linux one
// in its dispatch, the unit tests in the scripted layer.

// What one listed window may carry; a provider cuts longer text to fit (the
// core cuts titles shorter still, at a character boundary).
#define VS_WINDOW_ID_SIZE 64
#define VS_WINDOW_TEXT_SIZE 1024
// The most windows listed; a desktop with more gives its topmost ones.
#define VS_MAX_WINDOWS 1024

// One top-level window as its platform describes it. Text is what the
// platform gave, meant as UTF-8 and not trusted to be: the core checks it.
typedef struct vs_window_entry {
  char id[VS_WINDOW_ID_SIZE];  // what vs_capture_window_text or PrintWindow takes back
  char title[VS_WINDOW_TEXT_SIZE];
  char app[VS_WINDOW_TEXT_SIZE];  // executable, WM_CLASS or app_id
  int64_t pid;                    // -1: not known
  int32_t x;                      // the window's rectangle on the virtual screen,
  int32_t y;                      // valid when has_rect
  int32_t width;
  int32_t height;
  BYTE has_rect;
  signed char focused;  // 1 or 0, -1: not known
  signed char minimized;
} vs_window_entry;

// The top-level windows, topmost first where the platform says: at most max
// records into windows and their number into *count. FALSE with the last
// error set when they cannot be listed.
BOOL vs_list_windows(vs_window_entry *windows, int max, int *count);

// A window named by an id that is no window number (a native Wayland
// toplevel's), captured whole, with the mouse pointer drawn in when pointer
// is TRUE: *pixels gets *width * *height pixels of B, G,
// R, X bytes from malloc, which the caller frees. FALSE with the last error
// set when no such window exists or it cannot be captured.
BOOL vs_capture_window_text(const char *id, BOOL pointer, int *width, int *height, BYTE **pixels);

#endif
