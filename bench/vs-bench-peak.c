/* vs-bench-peak: what one whole-screen capture adds to a process's peak
 * resident size, in frames (width x height x 4 bytes).
 *
 *   vs-bench-peak [FILE.png]     (default /tmp/vs-bench-peak.png)
 *
 * Two figures, from /proc/self/status:
 *   first capture   VmHWM after screenshot_capture_all_png minus VmRSS
 *                   before it, in a fresh process: everything the capture
 *                   needs, the X connection and the shared-memory segment
 *                   the display layer keeps included
 *   next capture    the same for a second capture once the peak is reset
 *                   (clear_refs 5): what each further capture of a process
 *                   that keeps its connection and segment costs
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vantorel_screenshot.h"

static long status_kib(const char *key) {
  char line[256];
  long value = -1;
  size_t n = strlen(key);
  FILE *f = fopen("/proc/self/status", "r");
  if (!f) return -1;
  while (fgets(line, sizeof line, f))
    if (strncmp(line, key, n) == 0 && line[n] == ':') value = strtol(line + n + 1, NULL, 10);
  fclose(f);
  return value;
}

static int reset_peak(void) {
  FILE *f = fopen("/proc/self/clear_refs", "w");
  if (!f) return -1;
  int ok = fputs("5", f) >= 0;
  return fclose(f) == 0 && ok ? 0 : -1;
}

/* The virtual screen's size from the monitor list: the bounding box. */
static double frame_kib(void) {
  const char *json = screenshot_list_monitors_json();
  long x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  int first = 1;
  const char *p = json;
  while (p && (p = strstr(p, "\"x\":")) != NULL) {
    long x, y, w, h;
    const char *q = p;
    x = strtol(q + 4, NULL, 10);
    q = strstr(q, "\"y\":");
    y = q ? strtol(q + 4, NULL, 10) : 0;
    q = q ? strstr(q, "\"width\":") : NULL;
    w = q ? strtol(q + 8, NULL, 10) : 0;
    q = q ? strstr(q, "\"height\":") : NULL;
    h = q ? strtol(q + 9, NULL, 10) : 0;
    if (first || x < x0) x0 = x;
    if (first || y < y0) y0 = y;
    if (first || x + w > x1) x1 = x + w;
    if (first || y + h > y1) y1 = y + h;
    first = 0;
    p = q ? q : p + 4;
  }
  return (double)(x1 - x0) * (double)(y1 - y0) * 4.0 / 1024.0;
}

int main(int argc, char **argv) {
  const char *path = argc > 1 ? argv[1] : "/tmp/vs-bench-peak.png";
  long before, peak;
  double frame, first, next;

  before = status_kib("VmRSS");
  if (screenshot_capture_all_png(path) != 0) {
    fprintf(stderr, "vs-bench-peak: %s\n", screenshot_last_error());
    return 1;
  }
  peak = status_kib("VmHWM");
  first = (double)(peak - before);

  /* Monitor listing first, so its share is in the baseline of the second. */
  frame = frame_kib();
  before = status_kib("VmRSS");
  if (reset_peak() != 0) {
    fprintf(stderr, "vs-bench-peak: cannot reset the peak (/proc/self/clear_refs)\n");
    return 1;
  }
  if (screenshot_capture_all_png(path) != 0) {
    fprintf(stderr, "vs-bench-peak: %s\n", screenshot_last_error());
    return 1;
  }
  peak = status_kib("VmHWM");
  next = (double)(peak - before);
  printf(
      "frame %.0f KiB; first capture +%.0f KiB = %.2f frames; next capture +%.0f KiB = %.2f "
      "frames\n",
      frame, first, first / frame, next, next / frame);
  return 0;
}
