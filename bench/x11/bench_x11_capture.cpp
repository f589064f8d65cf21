// Whole-screen capture against its floor on a 1920x1080 X screen:
//   capture_rect_rgba  the core's capture through the X11 layer
//   floor              a bare MIT-SHM get-image of the same rectangle on a
//                      connection of its own, plus one pass that turns the
//                      pixels into a fresh RGBA frame
// and the per-call cost of a small screenshot_capture_region_mem. Run on the
// rig:  eval "$(rig/start.sh --mode 1920x1080)"; vs_x11_capture_bench
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/shm.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <map>
#include <string>

#include "core/pngenc.h"
#include "core/screenshot.h"

namespace {

const int k_width = 1920;
const int k_height = 1080;

struct floor_display {
  xcb_connection_t *conn = nullptr;
  xcb_window_t root = 0;
  xcb_shm_seg_t segment = 0;
  uint8_t *pixels = nullptr;
  std::string problem;
};

// The floor's own connection and segment, made once: only the get-image and
// the pass are timed, as the library also keeps its connection and segment.
floor_display *floor_setup() {
  static floor_display d;
  if (d.conn || !d.problem.empty()) return &d;
  int screen_number = 0;
  xcb_connection_t *c = xcb_connect(nullptr, &screen_number);
  if (xcb_connection_has_error(c)) {
    d.problem = "no X server at DISPLAY; start the rig: eval \"$(rig/start.sh --mode 1920x1080)\"";
    xcb_disconnect(c);
    return &d;
  }
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; i < screen_number; i++) xcb_screen_next(&it);
  xcb_get_geometry_reply_t *g = xcb_get_geometry_reply(c, xcb_get_geometry(c, it.data->root), 0);
  if (!g || g->width != k_width || g->height != k_height) {
    d.problem = "the screen must be 1920x1080: eval \"$(rig/start.sh --mode 1920x1080)\"";
    free(g);
    xcb_disconnect(c);
    return &d;
  }
  free(g);
  size_t size = (size_t)k_width * k_height * 4;
  int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
  d.pixels = (uint8_t *)shmat(id, nullptr, 0);
  d.segment = xcb_generate_id(c);
  xcb_generic_error_t *e = xcb_request_check(c, xcb_shm_attach_checked(c, d.segment, id, 0));
  shmctl(id, IPC_RMID, nullptr);
  if (e) {
    d.problem = "the server refuses MIT-SHM";
    free(e);
    return &d;
  }
  d.conn = c;
  d.root = it.data->root;
  return &d;
}

// Draws something other than black, so no pass can profit from zero pages.
void draw_screen(floor_display *d) {
  xcb_gcontext_t gc = xcb_generate_id(d->conn);
  xcb_create_gc(d->conn, gc, d->root, 0, nullptr);
  uint8_t row[k_width * 4];
  for (int y = 0; y < k_height; y++) {
    for (int x = 0; x < k_width; x++) {
      row[x * 4 + 0] = (uint8_t)(x * 7 + y);
      row[x * 4 + 1] = (uint8_t)(y * 3);
      row[x * 4 + 2] = (uint8_t)(x ^ y);
      row[x * 4 + 3] = 0;
    }
    xcb_put_image(d->conn, XCB_IMAGE_FORMAT_Z_PIXMAP, d->root, gc, k_width, 1, 0, (int16_t)y, 0, 24,
                  sizeof row, row);
  }
  xcb_free_gc(d->conn, gc);
  free(xcb_get_input_focus_reply(d->conn, xcb_get_input_focus(d->conn), nullptr));
}

bool ready(benchmark::State &state) {
  floor_display *d = floor_setup();
  if (!d->problem.empty()) {
    state.SkipWithError(d->problem.c_str());
    return false;
  }
  static bool drawn = false;
  if (!drawn) draw_screen(d);
  drawn = true;
  return true;
}

void BM_floor_shm_get_image(benchmark::State &state) {
  if (!ready(state)) return;
  floor_display *d = floor_setup();
  size_t pixels = (size_t)k_width * k_height;
  for (auto _ : state) {
    xcb_shm_get_image_reply_t *r =
        xcb_shm_get_image_reply(d->conn,
                                xcb_shm_get_image(d->conn, d->root, 0, 0, k_width, k_height, ~0u,
                                                  XCB_IMAGE_FORMAT_Z_PIXMAP, d->segment, 0),
                                nullptr);
    if (!r) {
      state.SkipWithError("get-image failed");
      break;
    }
    free(r);
    uint8_t *frame = (uint8_t *)malloc(pixels * 4);
    const uint32_t *in = (const uint32_t *)(const void *)d->pixels;
    uint32_t *out = (uint32_t *)(void *)frame;
    for (size_t i = 0; i < pixels; i++) {
      uint32_t p = in[i];
      out[i] = (p & 0x0000ff00u) | (p >> 16 & 0xffu) | (p & 0xffu) << 16 | 0xff000000u;
    }
    benchmark::DoNotOptimize(frame);
    free(frame);
  }
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)pixels * 4);
}

// The server's share alone, for reading the two above.
void BM_shm_get_image_only(benchmark::State &state) {
  if (!ready(state)) return;
  floor_display *d = floor_setup();
  for (auto _ : state) {
    free(xcb_shm_get_image_reply(d->conn,
                                 xcb_shm_get_image(d->conn, d->root, 0, 0, k_width, k_height, ~0u,
                                                   XCB_IMAGE_FORMAT_Z_PIXMAP, d->segment, 0),
                                 nullptr));
  }
}

void BM_capture_rect_rgba(benchmark::State &state) {
  if (!ready(state)) return;
  for (auto _ : state) {
    rgba_frame frame;
    memset(&frame, 0, sizeof frame);
    if (capture_rect_rgba(0, 0, k_width, k_height, &frame) != 0) {
      state.SkipWithError(screenshot_last_error());
      break;
    }
    benchmark::DoNotOptimize(frame.pixels);
    free(frame.pixels);
  }
  state.SetBytesProcessed((int64_t)state.iterations() * k_width * k_height * 4);
}

void BM_screenshot_capture_region_mem_64x64(benchmark::State &state) {
  if (!ready(state)) return;
  for (auto _ : state) {
    uint8_t *png = nullptr;
    int length = 0;
    if (screenshot_capture_region_mem(928, 508, 64, 64, &png, &length) != 0) {
      state.SkipWithError(screenshot_last_error());
      break;
    }
    benchmark::DoNotOptimize(png);
    screenshot_free_mem(png);
  }
}

// The 64x64 call's steps one by one: the monitor enumeration it starts with,
// the read of the rectangle, and the encoding.
void BM_step_enumerate_monitors(benchmark::State &state) {
  if (!ready(state)) return;
  for (auto _ : state) {
    monitor_table table;
    table.count = 0;
    if (enumerate_monitors(&table) != 0) {
      state.SkipWithError(screenshot_last_error());
      break;
    }
    benchmark::DoNotOptimize(table.count);
  }
}

void BM_step_capture_rect_rgba_64x64(benchmark::State &state) {
  if (!ready(state)) return;
  for (auto _ : state) {
    rgba_frame frame;
    memset(&frame, 0, sizeof frame);
    if (capture_rect_rgba(928, 508, 64, 64, &frame) != 0) {
      state.SkipWithError(screenshot_last_error());
      break;
    }
    benchmark::DoNotOptimize(frame.pixels);
    free(frame.pixels);
  }
}

void BM_step_pngenc_encode_rgba_64x64(benchmark::State &state) {
  if (!ready(state)) return;
  rgba_frame frame;
  memset(&frame, 0, sizeof frame);
  if (capture_rect_rgba(928, 508, 64, 64, &frame) != 0) {
    state.SkipWithError(screenshot_last_error());
    return;
  }
  for (auto _ : state) {
    uint8_t *png = nullptr;
    size_t len = 0;
    if (pngenc_encode_rgba(frame.pixels, 64, 64, &png, &len) != 0) {
      state.SkipWithError("pngenc_encode_rgba failed");
      break;
    }
    benchmark::DoNotOptimize(png);
    free(png);
  }
  free(frame.pixels);
}

BENCHMARK(BM_floor_shm_get_image)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_capture_rect_rgba)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_shm_get_image_only)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_screenshot_capture_region_mem_64x64)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(1.0);

BENCHMARK(BM_step_enumerate_monitors)->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(0.5);
BENCHMARK(BM_step_capture_rect_rgba_64x64)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(0.5);
BENCHMARK(BM_step_pngenc_encode_rgba_64x64)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(0.5);

// Keeps each benchmark's time per iteration for the ratio printed at the end.
class ratio_reporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    // With repetitions the median stands for the benchmark.
    for (const Run &run : runs) {
      if (run.error_occurred) continue;
      bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
      bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (single || median) seconds[run.run_name.function_name] = run.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> seconds;
};

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  ratio_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto floor = reporter.seconds.find("BM_floor_shm_get_image");
  auto capture = reporter.seconds.find("BM_capture_rect_rgba");
  if (floor != reporter.seconds.end() && capture != reporter.seconds.end()) {
    printf("capture_rect_rgba / floor: %.3f (target <= 1.10)\n", capture->second / floor->second);
  }
  benchmark::Shutdown();
  return 0;
}
