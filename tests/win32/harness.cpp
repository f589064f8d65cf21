#include "harness.h"

#include <stdarg.h>
#include <windows.h>

harness_state g_harness;

void harness_fail(const char *format, ...) {
  g_harness.current_failures++;
  printf("  %s: ", g_harness.current);
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
  printf("\n");
}

void harness_run(const char *name, test_fn fn) {
  g_harness.current = name;
  g_harness.current_failures = 0;
  DWORD start = GetTickCount();
  fn();
  DWORD ms = GetTickCount() - start;
  if (g_harness.current_failures == 0) {
    g_harness.passed++;
    printf("[ OK ] %s (%lu ms)\n", name, ms);
  } else {
    g_harness.failed++;
    printf("[FAIL] %s (%lu ms)\n", name, ms);
  }
  fflush(stdout);
}

int harness_finish(void) {
  printf("%d passed, %d failed\n", g_harness.passed, g_harness.failed);
  fflush(stdout);
  return g_harness.failed == 0 ? 0 : 1;
}
