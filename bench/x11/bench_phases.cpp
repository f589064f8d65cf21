// Where the time of a one-shot whole-screen capture to a PNG file goes: the
// steps of screenshot_capture_all_png, timed one by one in a fresh process,
// with the page faults each one takes (a fresh 8 MB buffer costs thousands of
// them in a new process, and little once the heap has grown).
//
//   vs_bench_phases OUT.png          one process: one line of figures
//   vs_bench_phases OUT.png RUNS     RUNS fresh processes of itself; prints
//                                    the median of every step
//
// Run on the rig showing the benchmark picture (bench/run.sh does). What the
// steps do not cover, the whole process's wall time minus their sum, is the
// program's start, the loading of the libraries and the exit.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/display.h"
#include "core/screenshot.h"

namespace {

const char *const k_steps[] = {"enumerate", "capture", "encode+write", "release", "total"};
const int k_step_count = 5;

double now_ms() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

long minor_faults() {
  rusage u;
  getrusage(RUSAGE_SELF, &u);
  return u.ru_minflt;
}

struct clock_point {
  double ms;
  long faults;
};

clock_point mark() { return {now_ms(), minor_faults()}; }

// One capture, as the export does it, printing "ms faults" per step.
int one_run(const char *path) {
  clock_point t[k_step_count];
  t[0] = mark();
  monitor_table table;
  memset(&table, 0, sizeof table);
  if (enumerate_monitors(&table) != 0) return fprintf(stderr, "%s\n", screenshot_last_error()), 1;
  int x = GetSystemMetrics(SM_XVIRTUALSCREEN), y = GetSystemMetrics(SM_YVIRTUALSCREEN);
  int w = GetSystemMetrics(SM_CXVIRTUALSCREEN), h = GetSystemMetrics(SM_CYVIRTUALSCREEN);
  if (clamp_to_screen(table.entries, table.count, &x, &y, &w, &h) != 0)
    return fprintf(stderr, "%s\n", screenshot_last_error()), 1;
  t[1] = mark();
  rgba_frame frame;
  memset(&frame, 0, sizeof frame);
  if (capture_rect_rgba(x, y, w, h, &frame) != 0)
    return fprintf(stderr, "%s\n", screenshot_last_error()), 1;
  t[2] = mark();
  if (write_png_file(path, &frame) != 0) return fprintf(stderr, "%s\n", screenshot_last_error()), 1;
  t[3] = mark();
  free(frame.pixels);
  t[4] = mark();
  for (int i = 0; i < k_step_count - 1; i++)
    printf("%.3f %ld ", t[i + 1].ms - t[i].ms, t[i + 1].faults - t[i].faults);
  printf("%.3f %ld\n", t[4].ms - t[0].ms, t[4].faults - t[0].faults);
  return 0;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) return fprintf(stderr, "usage: vs_bench_phases OUT.png [RUNS]\n"), 2;
  if (argc == 2) return one_run(argv[1]);
  int runs = atoi(argv[2]);
  std::vector<double> ms[k_step_count], faults[k_step_count];
  std::string self = std::string("'") + argv[0] + "' '" + argv[1] + "'";
  for (int r = 0; r < runs; r++) {
    FILE *p = popen(self.c_str(), "r");
    if (!p) return perror("popen"), 1;
    double v[2 * k_step_count];
    int got = 0;
    while (got < 2 * k_step_count && fscanf(p, "%lf", &v[got]) == 1) got++;
    if (pclose(p) != 0 || got != 2 * k_step_count) return fprintf(stderr, "a run failed\n"), 1;
    for (int i = 0; i < k_step_count; i++) {
      ms[i].push_back(v[2 * i]);
      faults[i].push_back(v[2 * i + 1]);
    }
  }
  printf("%-13s %10s %14s   (medians of %d fresh processes)\n", "step", "ms", "page faults", runs);
  for (int i = 0; i < k_step_count; i++)
    printf("%-13s %10.2f %14.0f\n", k_steps[i], median(ms[i]), median(faults[i]));
  return 0;
}
