// The host that loads the DLL at run time by name, as scripting languages'
// foreign-function interfaces do: LoadLibrary, then GetProcAddress of each
// export by its plain name.
#include <stdio.h>
#include <windows.h>

#include "harness.h"
#include "suite.h"

static const char k_dll[] = "vantorel-screenshot.dll";
static HMODULE g_dll;

static void *resolve(const char *name) {
  void *fn = (void *)GetProcAddress(g_dll, name);
  if (!fn) harness_fail("GetProcAddress(\"%s\") failed (error %lu)", name, GetLastError());
  return fn;
}

static void bind_exports(void) {
  g_api.version = (const char *(*)(void))resolve("screenshot_version");
  g_api.last_error = (const char *(*)(void))resolve("screenshot_last_error");
  g_api.list_monitors_json = (const char *(*)(void))resolve("screenshot_list_monitors_json");
  g_api.capture_all_png = (int (*)(const char *))resolve("screenshot_capture_all_png");
  g_api.capture_monitor_png = (int (*)(int, const char *))resolve("screenshot_capture_monitor_png");
  g_api.capture_region_png =
      (int (*)(int, int, int, int, const char *))resolve("screenshot_capture_region_png");
  g_api.capture_window_png =
      (int (*)(void *, const char *))resolve("screenshot_capture_window_png");
  g_api.capture_region_mem =
      (int (*)(int, int, int, int, uint8_t **, int *))resolve("screenshot_capture_region_mem");
  g_api.free_mem = (void (*)(void *))resolve("screenshot_free_mem");
  g_api.capture_region_rgba = (int (*)(int, int, int, int, int *, int *, int *, int *,
                                       unsigned char **))resolve("screenshot_capture_region_rgba");
  g_api.list_windows_json = (const char *(*)(void))resolve("screenshot_list_windows_json");
  g_api.grab_window =
      (int (*)(const char *, unsigned, screenshot_picture *))resolve("screenshot_grab_window");
  g_api.grab_region =
      (int (*)(int, int, int, int, unsigned, void *))resolve("screenshot_grab_region");
}

static void test_load_and_resolve(void) {
  CHECK(GetModuleHandleA(k_dll) == NULL);
  g_dll = LoadLibraryA(k_dll);
  if (!g_dll) {
    harness_fail("LoadLibrary failed (error %lu)", GetLastError());
    return;
  }
  bind_exports();
  // Only the plain names: no stdcall or leading-underscore decorations.
  const char *decorated[] = {"_screenshot_version", "screenshot_version@0",
                             "_screenshot_free_mem@4", "screenshot_capture_region_mem@24"};
  for (const char *name : decorated) CHECK(GetProcAddress(g_dll, name) == NULL);
}

// The two text buffers are part of the image, so a reload starts clean again.
static void test_reload_starts_clean(void) {
  CHECK_INT(g_api.capture_monitor_png(99, "x.png"), -1);
  CHECK(g_api.last_error()[0] != '\0');
  CHECK(FreeLibrary(g_dll));
  CHECK(GetModuleHandleA(k_dll) == NULL);
  g_dll = LoadLibraryA(k_dll);
  CHECK(g_dll != NULL);
  if (!g_dll) return;
  bind_exports();
  CHECK(g_api.last_error() != NULL && g_api.last_error()[0] == '\0');
}

int main(void) {
  harness_run("LoadLibrary and GetProcAddress of the ten plain names", test_load_and_resolve);
  if (!g_dll || !g_api.free_mem || !g_api.capture_region_rgba) return harness_finish();
  harness_run("test windows show on the two-monitor desktop", suite_setup);
  if (g_harness.failed) return harness_finish();
  // The leak loops run in the import-library host; the rest runs here too.
  suite_run();
  harness_run("unload and reload: the error text is empty again", test_reload_starts_clean);
  suite_teardown();
  FreeLibrary(g_dll);
  return harness_finish();
}
