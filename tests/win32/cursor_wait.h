// The screen's pointer is the foreground thread's cursor, and Wine takes a
// moment to make a new window the foreground and its cursor the one
// GetCursorInfo reports. The pointer tests wait for that (2 s at most) before
// they grab, so that a slow switch is not read as a missing pointer.
#ifndef VS_WIN32_CURSOR_WAIT_H
#define VS_WIN32_CURSOR_WAIT_H

#include <windows.h>

// 1 once the system shows cursor as the pointer, 0 when it did not in time.
static inline int wait_for_cursor(HWND front, HCURSOR cursor) {
  for (int tries = 0; tries < 100; tries++) {
    MSG message;
    while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
    if (front && GetForegroundWindow() != front) SetForegroundWindow(front);
    SetCursor(cursor);
    CURSORINFO info;
    memset(&info, 0, sizeof info);
    info.cbSize = sizeof info;
    if (GetCursorInfo(&info) && info.hCursor == cursor && (info.flags & CURSOR_SHOWING)) return 1;
    Sleep(20);
  }
  return 0;
}

#endif
