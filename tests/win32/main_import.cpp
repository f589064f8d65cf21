// The host that links the import library, as most C and C++ hosts do.
#include <stdio.h>
#include <string.h>

#include "harness.h"
#include "suite.h"
#include "vantorel_screenshot.h"

// With the argument "leaks" it runs only the 1,000-capture leak loops, on any
// desktop; without, everything else, on the rig's two-monitor desktop.
int main(int argc, char **argv) {
  bool leaks = argc > 1 && strcmp(argv[1], "leaks") == 0;
  g_api.version = screenshot_version;
  g_api.last_error = screenshot_last_error;
  g_api.list_monitors_json = screenshot_list_monitors_json;
  g_api.capture_all_png = screenshot_capture_all_png;
  g_api.capture_monitor_png = screenshot_capture_monitor_png;
  g_api.capture_region_png = screenshot_capture_region_png;
  g_api.capture_window_png = screenshot_capture_window_png;
  g_api.capture_region_mem = screenshot_capture_region_mem;
  g_api.free_mem = screenshot_free_mem;
  g_api.capture_region_rgba = screenshot_capture_region_rgba;
  g_api.list_windows_json = screenshot_list_windows_json;
  g_api.grab_window = screenshot_grab_window;
  g_api.grab_region = (int (*)(int, int, int, int, unsigned, void *))screenshot_grab_region;
  if (leaks) {
    harness_run("test windows show on the desktop", suite_setup_any_desktop);
    if (g_harness.failed) return harness_finish();
    suite_run_leaks();
    suite_teardown();
    return harness_finish();
  }
  harness_run("test windows show on the two-monitor desktop", suite_setup);
  if (g_harness.failed) return harness_finish();
  suite_run();
  suite_teardown();
  return harness_finish();
}
