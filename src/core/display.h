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
#endif
