// The host that links the import library, as most C and C++ hosts do.
#include <stdio.h>

#include "harness.h"
#include "suite.h"
#include "vantorel_screenshot.h"

int main(void) {
  g_api.version = screenshot_version;
  g_api.last_error = screenshot_last_error;
  g_api.list_monitors_json = screenshot_list_monitors_json;
  g_api.capture_all_png = screenshot_capture_all_png;
  g_api.capture_monitor_png = screenshot_capture_monitor_png;
  g_api.capture_region_png = screenshot_capture_region_png;
  g_api.capture_window_png = screenshot_capture_window_png;
  g_api.capture_region_mem = screenshot_capture_region_mem;
  g_api.free_mem = screenshot_free_mem;
  harness_run("test windows show on the two-monitor desktop", suite_setup);
  if (g_harness.failed) return harness_finish();
  suite_run(true);
  suite_teardown();
  return harness_finish();
}
