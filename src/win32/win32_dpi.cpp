// The thread's DPI awareness context around one export. The setter exists
// from Windows 10 1607 on and is looked up each time rather than imported, so
// the DLL still loads where it is missing and keeps no state between calls;
// the look-up and the two switches take microseconds, a capture milliseconds.
#include "win32/win32_dpi.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <stdint.h>
#include <windows.h>

// The documented pseudo-handles, spelt out so that older headers build too.
#define PER_MONITOR_AWARE_V2 ((void *)(intptr_t)-4)
#define PER_MONITOR_AWARE ((void *)(intptr_t)-3)

void enter_physical_pixels(dpi_scope *scope) {
  scope->set_context = NULL;
  scope->previous = NULL;
  // The DLL imports USER32, so it is loaded for as long as we are.
  HMODULE user32 = GetModuleHandleA("user32.dll");
  if (!user32) return;
  FARPROC found = GetProcAddress(user32, "SetThreadDpiAwarenessContext");
  if (!found) return;
  scope->set_context = (void *(__stdcall *)(void *))(void (*)(void))found;
  // Windows 10 before 1703 knows no v2 and refuses it with a null result,
  // leaving the thread as it was; v1 also reports physical coordinates.
  void *previous = scope->set_context(PER_MONITOR_AWARE_V2);
  if (!previous) previous = scope->set_context(PER_MONITOR_AWARE);
  scope->previous = previous;
}

void leave_physical_pixels(const dpi_scope *scope) {
  if (scope->set_context && scope->previous) scope->set_context(scope->previous);
}
