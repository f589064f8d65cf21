// Entry handler of vantorel-screenshot.dll. The library has no start-up or
// shutdown work: every export is usable from the moment the DLL is loaded, and
// the two process-wide text buffers are zero in the image itself. Thread
// notifications stay on; turning them off would be work of our own at load.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reason;
  (void)reserved;
  return TRUE;
}
