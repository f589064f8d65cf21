// pngenc_encode_rgba against a bare stbi_write_png_to_mem on the same
// 1920x1080 frame: the library's encoder (stb with our compressor, and the
// copy of the PNG into its power-of-two block) against plain stb with its
// built-in compressor. Then the two compressors alone on that frame's rows
// as stb filters them, and both encoders on a 64x64 crop of it, where stb's
// fixed cost per call shows.
//
//   vs_bench_pngenc [--image=PATH] [Google Benchmark flags]
//   vs_bench_pngenc [--image=PATH] --once     one encode each (see below)
//
// The frame is the shared desktop screenshot when it is there, else a
// generated screen of flat areas and rows of glyphs. After the run a summary
// line gives both median times and their ratio.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "core/pngenc.h"
#include "core/pngenc_deflate.h"
#include "stb_write_oracle.h"

// The bare writer, built like the library's encoder, and the same at plain
// -O2: bench_stb_writer.cpp.
unsigned char *bench_stb_bare_png_to_mem(const unsigned char *rgba, int width, int height,
                                         int *len);
unsigned char *bench_stb_o2_png_to_mem(const unsigned char *rgba, int width, int height, int *len);

// The image loader: stb_image, built once for the tests and benchmarks.
#include <stb/stb_image.h>

// stb's built-in compressor, built like the library's encoder, is the oracle
// of the tests (tests/support/stb_write_oracle.cpp) compiled with its options.

namespace {

struct frame {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgba;
  std::string source;
};

frame g_frame;
frame g_small;                // 64x64 from the middle of g_frame
std::vector<uint8_t> g_rows;  // g_frame's rows as stb filters them, the compressors' input

void fill_rect(frame &f, int x0, int y0, int w, int h, uint32_t rgb) {
  for (int y = std::max(0, y0); y < std::min(f.height, y0 + h); y++)
    for (int x = std::max(0, x0); x < std::min(f.width, x0 + w); x++) {
      uint8_t *p = &f.rgba[((size_t)y * f.width + x) * 4];
      p[0] = (uint8_t)(rgb >> 16);
      p[1] = (uint8_t)(rgb >> 8);
      p[2] = (uint8_t)rgb;
      p[3] = 255;
    }
}

// Rows of 6x10 glyphs, each a fixed 5x7 pattern chosen by a hash, in words
// of 2 to 9 letters: the texture of text in windows, without a font.
void text_block(frame &f, int x0, int y0, int w, int h, uint32_t ink, uint32_t seed) {
  uint32_t s = seed;
  auto next = [&s] {
    s = s * 1664525u + 1013904223u;
    return s >> 8;
  };
  for (int line = y0; line + 10 <= y0 + h; line += 14) {
    int x = x0;
    int line_end = x0 + w - (int)(next() % (unsigned)(w / 3 + 1));
    while (x + 6 <= line_end) {
      int letters = 2 + (int)(next() % 8);
      for (int l = 0; l < letters && x + 6 <= line_end; l++, x += 6) {
        uint32_t glyph = (next() % 64) * 2654435761u;
        for (int gy = 0; gy < 7; gy++)
          for (int gx = 0; gx < 5; gx++)
            if ((glyph >> ((gy * 5 + gx) % 32)) & 1) fill_rect(f, x + gx, line + 1 + gy, 1, 1, ink);
      }
      x += 6;
    }
  }
}

frame generated_desktop(int width, int height) {
  frame f;
  f.width = width;
  f.height = height;
  f.rgba.assign((size_t)width * height * 4, 255);
  f.source = "generated desktop";
  fill_rect(f, 0, 0, width, height, 0x2d5f8b);        // wallpaper
  fill_rect(f, 0, height - 40, width, 40, 0x202020);  // task bar
  struct win {
    int x, y, w, h;
    uint32_t body, title;
  } wins[] = {
      {60, 50, 1100, 760, 0xffffff, 0x3c3c3c},
      {900, 200, 900, 620, 0xf3f3f3, 0x0063b1},
      {200, 600, 700, 380, 0x1e1e1e, 0x333333},
  };
  uint32_t seed = 1;
  for (const win &w : wins) {
    fill_rect(f, w.x, w.y, w.w, w.h, w.body);
    fill_rect(f, w.x, w.y, w.w, 30, w.title);
    text_block(f, w.x + 10, w.y + 8, w.w / 2, 14, 0xffffff, seed++);
    fill_rect(f, w.x, w.y + 30, 180, w.h - 30, w.body ^ 0x0a0a0a);  // side bar
    text_block(f, w.x + 8, w.y + 40, 160, w.h - 50, w.body == 0x1e1e1e ? 0xcccccc : 0x444444,
               seed++);
    text_block(f, w.x + 200, w.y + 40, w.w - 220, w.h - 50,
               w.body == 0x1e1e1e ? 0xd4d4d4 : 0x101010, seed++);
  }
  text_block(f, 10, height - 30, 600, 20, 0xeeeeee, seed);
  return f;
}

frame load_frame(const char *path) {
  frame f;
  int n = 0;
  stbi_uc *px = stbi_load(path, &f.width, &f.height, &n, 4);
  if (!px) return generated_desktop(1920, 1080);
  f.rgba.assign(px, px + (size_t)f.width * f.height * 4);
  stbi_image_free(px);
  f.source = path;
  return f;
}

// A window of f, or as much of it as f holds from (x0, y0), at least 1x1.
frame crop(const frame &f, int x0, int y0, int w, int h) {
  x0 = std::max(0, std::min(x0, f.width - w));
  y0 = std::max(0, std::min(y0, f.height - h));
  frame c;
  c.width = std::min(w, f.width);
  c.height = std::min(h, f.height);
  c.source = f.source + " (crop)";
  for (int y = 0; y < c.height; y++) {
    const uint8_t *row = &f.rgba[((size_t)(y0 + y) * f.width + x0) * 4];
    c.rgba.insert(c.rgba.end(), row, row + (size_t)c.width * 4);
  }
  return c;
}

uint32_t be32(const uint8_t *p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

// The compressor's real input: stb's PNG of the frame has one IDAT, right
// after the IHDR; inflating it gives the rows as stb filtered them.
std::vector<uint8_t> filtered_rows(const frame &f) {
  int len = 0;
  unsigned char *png = oracle_png_to_mem(f.rgba.data(), f.width, f.height, &len);
  std::vector<uint8_t> rows;
  if (png && len > 41 && memcmp(png + 37, "IDAT", 4) == 0 && be32(png + 33) <= (uint32_t)len - 41) {
    int out_len = 0;
    char *z = stbi_zlib_decode_malloc((const char *)png + 41, (int)be32(png + 33), &out_len);
    if (z) rows.assign(z, z + out_len);
    free(z);
  }
  free(png);
  return rows;
}

void BM_pngenc_encode_rgba(benchmark::State &state) {
  size_t len = 0;
  for (auto _ : state) {
    uint8_t *png = nullptr;
    if (pngenc_encode_rgba(g_frame.rgba.data(), g_frame.width, g_frame.height, &png, &len) != 0) {
      state.SkipWithError("pngenc_encode_rgba failed");
      break;
    }
    benchmark::DoNotOptimize(png);
    free(png);
  }
  state.counters["png_bytes"] = (double)len;
  state.SetBytesProcessed(state.iterations() * (int64_t)g_frame.rgba.size());
}

void BM_stbi_write_png_to_mem(benchmark::State &state) {
  int len = 0;
  for (auto _ : state) {
    unsigned char *png =
        bench_stb_bare_png_to_mem(g_frame.rgba.data(), g_frame.width, g_frame.height, &len);
    if (!png) {
      state.SkipWithError("stbi_write_png_to_mem failed");
      break;
    }
    benchmark::DoNotOptimize(png);
    free(png);
  }
  state.counters["png_bytes"] = (double)len;
  state.SetBytesProcessed(state.iterations() * (int64_t)g_frame.rgba.size());
}

void BM_stbi_write_png_to_mem_O2(benchmark::State &state) {
  int len = 0;
  for (auto _ : state) {
    unsigned char *png =
        bench_stb_o2_png_to_mem(g_frame.rgba.data(), g_frame.width, g_frame.height, &len);
    if (!png) {
      state.SkipWithError("stbi_write_png_to_mem at -O2 failed");
      break;
    }
    benchmark::DoNotOptimize(png);
    free(png);
  }
  state.counters["png_bytes"] = (double)len;
  state.SetBytesProcessed(state.iterations() * (int64_t)g_frame.rgba.size());
}

double thread_cpu_ms() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

// Two calls in pairs, one right after the other and in turn first, so that a
// change in the machine's load falls on both halves of a pair alike. The
// counter "ratio" is the median of the pairs' CPU time ratios (ours over
// theirs); it is the steadiest of these figures on a shared machine.
template <typename ours_fn, typename theirs_fn>
void run_pairs(benchmark::State &state, ours_fn ours_call, theirs_fn theirs_call) {
  std::vector<double> ratios;
  double fastest_ours = 1e300, fastest_theirs = 1e300;
  bool ours_first = true;
  for (auto _ : state) {
    double ours = 0, theirs = 0;
    for (int half = 0; half < 2; half++) {
      bool run_ours = (half == 0) == ours_first;
      double start = thread_cpu_ms();
      if (!(run_ours ? ours_call() : theirs_call())) state.SkipWithError("a call failed");
      (run_ours ? ours : theirs) = thread_cpu_ms() - start;
    }
    ours_first = !ours_first;
    if (theirs > 0) ratios.push_back(ours / theirs);
    fastest_ours = std::min(fastest_ours, ours);
    fastest_theirs = std::min(fastest_theirs, theirs);
  }
  if (!ratios.empty()) {
    std::sort(ratios.begin(), ratios.end());
    state.counters["ratio"] = ratios[ratios.size() / 2];
    state.counters["pairs"] = (double)ratios.size();
    state.counters["fastest_ratio"] = fastest_ours / fastest_theirs;
  }
}

bool encode_ours(const frame &f) {
  uint8_t *png = nullptr;
  size_t len = 0;
  if (pngenc_encode_rgba(f.rgba.data(), f.width, f.height, &png, &len) != 0) return false;
  benchmark::DoNotOptimize(png);
  free(png);
  return true;
}

bool encode_bare(const frame &f) {
  int len = 0;
  unsigned char *png = bench_stb_bare_png_to_mem(f.rgba.data(), f.width, f.height, &len);
  benchmark::DoNotOptimize(png);
  free(png);
  return png != nullptr;
}

void BM_paired_pngenc_vs_bare(benchmark::State &state) {
  run_pairs(
      state, [] { return encode_ours(g_frame); }, [] { return encode_bare(g_frame); });
}

void BM_64x64_paired(benchmark::State &state) {
  run_pairs(
      state, [] { return encode_ours(g_small); }, [] { return encode_bare(g_small); });
}

void BM_deflate_paired(benchmark::State &state) {
  auto call = [](unsigned char *(*fn)(unsigned char *, int, int *, int)) {
    int len = 0;
    unsigned char *z = fn(g_rows.data(), (int)g_rows.size(), &len, 8);
    benchmark::DoNotOptimize(z);
    free(z);
    return z != nullptr;
  };
  run_pairs(
      state, [&] { return call(pngenc_deflate); }, [&] { return call(oracle_zlib_compress); });
}

void BM_deflate_pngenc(benchmark::State &state) {
  int len = 0;
  for (auto _ : state) {
    unsigned char *z = pngenc_deflate(g_rows.data(), (int)g_rows.size(), &len, 8);
    if (!z) {
      state.SkipWithError("pngenc_deflate failed");
      break;
    }
    benchmark::DoNotOptimize(z);
    free(z);
  }
  state.counters["zlib_bytes"] = (double)len;
  state.SetBytesProcessed(state.iterations() * (int64_t)g_rows.size());
}

void BM_deflate_stb(benchmark::State &state) {
  int len = 0;
  for (auto _ : state) {
    unsigned char *z = oracle_zlib_compress(g_rows.data(), (int)g_rows.size(), &len, 8);
    if (!z) {
      state.SkipWithError("stbi_zlib_compress failed");
      break;
    }
    benchmark::DoNotOptimize(z);
    free(z);
  }
  state.counters["zlib_bytes"] = (double)len;
  state.SetBytesProcessed(state.iterations() * (int64_t)g_rows.size());
}

void BM_pngenc_encode_rgba_64x64(benchmark::State &state) {
  for (auto _ : state) {
    uint8_t *png = nullptr;
    size_t len = 0;
    if (pngenc_encode_rgba(g_small.rgba.data(), 64, 64, &png, &len) != 0) {
      state.SkipWithError("pngenc_encode_rgba failed");
      break;
    }
    benchmark::DoNotOptimize(png);
    free(png);
  }
}

void BM_stbi_write_png_to_mem_64x64(benchmark::State &state) {
  for (auto _ : state) {
    int len = 0;
    unsigned char *png = bench_stb_bare_png_to_mem(g_small.rgba.data(), 64, 64, &len);
    if (!png) {
      state.SkipWithError("stbi_write_png_to_mem failed");
      break;
    }
    benchmark::DoNotOptimize(png);
    free(png);
  }
}

BENCHMARK(BM_pngenc_encode_rgba)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_stbi_write_png_to_mem)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_stbi_write_png_to_mem_O2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_paired_pngenc_vs_bare)->Unit(benchmark::kMillisecond)->Iterations(8);
BENCHMARK(BM_deflate_pngenc)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_deflate_stb)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_deflate_paired)->Unit(benchmark::kMillisecond)->Iterations(8);
BENCHMARK(BM_pngenc_encode_rgba_64x64)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_stbi_write_png_to_mem_64x64)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_64x64_paired)->Unit(benchmark::kMicrosecond)->Iterations(400);

// Console output as usual; keeps each benchmark's per-iteration real times
// (one per repetition) for the summary.
class summary_reporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, std::vector<double>> times, cpu_times;
  std::map<std::string, std::vector<double>> pair_ratios;
  void ReportRuns(const std::vector<Run> &runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &r : runs)
      if (r.run_type == Run::RT_Iteration && !r.error_occurred) {
        times[r.run_name.function_name].push_back(r.GetAdjustedRealTime());
        cpu_times[r.run_name.function_name].push_back(r.GetAdjustedCPUTime());
        auto ratio = r.counters.find("ratio");
        if (ratio != r.counters.end())
          pair_ratios[r.run_name.function_name].push_back(ratio->second.value);
      }
  }
};

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

// One encode each, for counting instructions, which no load disturbs:
//   valgrind --tool=callgrind vs_bench_pngenc --once
// then compare the inclusive counts of these two functions.
__attribute__((noinline)) void once_pngenc_encode_rgba() {
  uint8_t *png = nullptr;
  size_t len = 0;
  if (pngenc_encode_rgba(g_frame.rgba.data(), g_frame.width, g_frame.height, &png, &len) == 0)
    free(png);
}

__attribute__((noinline)) void once_stbi_write_png_to_mem() {
  int len = 0;
  free(bench_stb_bare_png_to_mem(g_frame.rgba.data(), g_frame.width, g_frame.height, &len));
}

int main(int argc, char **argv) {
  const char *image = VS_BENCH_IMAGE;
  bool once = false;
  std::vector<char *> args;
  for (int i = 0; i < argc; i++) {
    if (strncmp(argv[i], "--image=", 8) == 0)
      image = argv[i] + 8;
    else if (strcmp(argv[i], "--once") == 0)
      once = true;
    else
      args.push_back(argv[i]);
  }
  int n = (int)args.size();
  benchmark::Initialize(&n, args.data());
  if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 1;

  g_frame = load_frame(image);
  printf("frame: %dx%d from %s\n", g_frame.width, g_frame.height, g_frame.source.c_str());
  if (once) {
    once_pngenc_encode_rgba();
    once_stbi_write_png_to_mem();
    return 0;
  }
  g_small = crop(g_frame, 928, 508, 64, 64);
  g_rows = filtered_rows(g_frame);
  if (g_rows.empty()) {
    fprintf(stderr, "could not recover the filtered rows of the frame\n");
    return 1;
  }

  summary_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  const char *a = "BM_pngenc_encode_rgba", *b = "BM_stbi_write_png_to_mem";
  if (!reporter.times[a].empty() && !reporter.times[b].empty()) {
    const std::vector<double> &ra = reporter.times[a], &rb = reporter.times[b];
    double ma = median(ra), mb = median(rb);
    double fa = *std::min_element(ra.begin(), ra.end());
    double fb = *std::min_element(rb.begin(), rb.end());
    printf(
        "summary: pngenc_encode_rgba %.3f ms, stbi_write_png_to_mem %.3f ms, ratio %.4f "
        "(medians of %zu and %zu runs)\n",
        ma, mb, ma / mb, ra.size(), rb.size());
    printf("summary: fastest runs %.3f ms and %.3f ms, ratio %.4f\n", fa, fb, fa / fb);
    // CPU time suffers less from other work on a busy machine.
    double ca = median(reporter.cpu_times[a]), cb = median(reporter.cpu_times[b]);
    printf("summary: CPU time medians %.3f ms and %.3f ms, ratio %.4f\n", ca, cb, ca / cb);
    const std::vector<double> &r2 = reporter.cpu_times["BM_stbi_write_png_to_mem_O2"];
    if (!r2.empty())
      printf(
          "summary: the writer at plain -O2 %.3f ms CPU, the library's options take %.4f of it\n",
          median(r2), ca / median(r2));
  }
  struct paired_line {
    const char *name, *what;
  } paired[] = {
      {"BM_paired_pngenc_vs_bare", "pngenc_encode_rgba / stbi_write_png_to_mem"},
      {"BM_deflate_paired", "pngenc_deflate / stb's built-in stbi_zlib_compress"},
      {"BM_64x64_paired", "pngenc_encode_rgba / stbi_write_png_to_mem, 64x64"},
  };
  for (const paired_line &l : paired) {
    const std::vector<double> &r = reporter.pair_ratios[l.name];
    if (!r.empty())
      printf("summary: paired CPU time ratio %s %.4f (median over %zu repetitions)\n", l.what,
             median(r), r.size());
  }
  struct timed_line {
    const char *ours, *theirs, *what, *unit;
    double scale;
  } timed[] = {
      {"BM_deflate_pngenc", "BM_deflate_stb", "compressors alone", "ms", 1},
      {"BM_pngenc_encode_rgba_64x64", "BM_stbi_write_png_to_mem_64x64", "64x64 encoders", "us", 1},
  };
  for (const timed_line &l : timed) {
    const std::vector<double> &ca = reporter.cpu_times[l.ours], &cb = reporter.cpu_times[l.theirs];
    if (!ca.empty() && !cb.empty())
      printf("summary: %s, CPU time medians %.3f %s and %.3f %s, ratio %.4f\n", l.what,
             median(ca) * l.scale, l.unit, median(cb) * l.scale, l.unit, median(ca) / median(cb));
  }
  benchmark::Shutdown();
  return 0;
}
