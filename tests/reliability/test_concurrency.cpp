// Four threads at once, for a bounded time: regions, monitors and windows, to
// files and to memory, with failures among them. Every PNG must decode to
// exactly the pixels it shows; built with ThreadSanitizer (stage 50), no race
// may show in the library's code.
//
// The threads behave as a host must: a call whose error text or monitor
// listing is read holds the host's lock until the text is copied. Calls that
// succeed, and whose text nobody reads, run free.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "rel_env.h"
#include "vantorel_screenshot.h"

namespace {

const int k_threads = 4;

using clock_type = std::chrono::steady_clock;

double seconds_from_env(const char *name, double fallback) {
  const char *text = getenv(name);
  double value = text ? atof(text) : 0;
  return value > 0 ? value : fallback;
}

std::mutex g_host_lock;

enum op_kind {
  REGION_TO_MEMORY,
  MONITOR_TO_FILE,
  MONITOR_TO_MEMORY,
  WINDOW_TO_FILE,
  REGION_TO_FILE,
  LISTING_AND_FAILURE,
  OP_KINDS
};
const char *const k_op_names[OP_KINDS] = {"region to memory",  "monitor to file",
                                          "monitor to memory", "window to file",
                                          "region to file",    "listing and failure"};

struct worker {
  int id;
  const rel_env *env;
  std::string dir;
  std::mt19937 rng;
  int done[OP_KINDS] = {};
  int refused = 0;  // requests that had to fail, and did with the right text
  std::vector<std::string> problems;

  void problem(op_kind op, const std::string &what) {
    if (problems.size() < 10)
      problems.push_back("thread " + std::to_string(id) + ", " + k_op_names[op] + ": " + what);
  }

  std::string path(op_kind op) const {
    return dir + "/t" + std::to_string(id) + "-" + std::to_string(op) + ".png";
  }

  // Mostly inside the screen, some across its edges, some outside it, and
  // now and then a size that is not positive.
  rel_rect random_region() {
    const rel_rect &b = env->bounds;
    std::uniform_int_distribution<int> x(b.x - 250, b.x + b.width + 10);
    std::uniform_int_distribution<int> y(b.y - 250, b.y + b.height + 10);
    std::uniform_int_distribution<int> size(1, 240);
    rel_rect r{x(rng), y(rng), size(rng), size(rng)};
    if (rng() % 32 == 0) r.width = -r.width + 1;
    return r;
  }

  void check_png(op_kind op, const uint8_t *png, size_t len, rel_rect shown) {
    rel_image image;
    if (!rel_decode(png, len, &image)) return problem(op, "the PNG does not decode");
    std::string diff =
        rel_compare(image, shown.width, shown.height, rel_region_rgb(env, shown.x, shown.y));
    if (!diff.empty()) problem(op, diff);
  }

  void check_file(op_kind op, const std::string &file, int width, int height,
                  const std::function<uint32_t(int, int)> &rgb) {
    rel_image image;
    if (!rel_decode_file(file, &image)) return problem(op, "the file does not decode");
    std::string diff = rel_compare(image, width, height, rgb);
    if (!diff.empty()) problem(op, diff);
  }

  void failure_read_under_lock(op_kind op, const std::function<int()> &call,
                               const std::string &expected) {
    std::string text;
    int result;
    {
      std::lock_guard<std::mutex> lock(g_host_lock);
      result = call();
      text = screenshot_last_error();
    }
    if (result != -1) return problem(op, "a bad request succeeded; wanted " + expected);
    if (text != expected) return problem(op, "message '" + text + "', wanted '" + expected + "'");
    refused++;
  }

  void unexpected_failure(op_kind op) {
    std::lock_guard<std::mutex> lock(g_host_lock);
    problem(op, std::string("failed: ") + screenshot_last_error());
  }

  void region(op_kind op) {
    rel_rect r = random_region();
    std::string expected = rel_region_message(env, r);
    std::string file = path(op);
    if (!expected.empty()) {
      if (op == REGION_TO_FILE) {
        failure_read_under_lock(
            op,
            [&] {
              return screenshot_capture_region_png(r.x, r.y, r.width, r.height, file.c_str());
            },
            expected);
      } else {
        failure_read_under_lock(
            op,
            [&] {
              uint8_t *png = nullptr;
              int len = 0;
              return screenshot_capture_region_mem(r.x, r.y, r.width, r.height, &png, &len);
            },
            expected);
      }
      return;
    }
    rel_rect shown;
    rel_clamp(env, r, &shown);
    if (op == REGION_TO_FILE) {
      if (screenshot_capture_region_png(r.x, r.y, r.width, r.height, file.c_str()) != 0)
        return unexpected_failure(op);
      check_file(op, file, shown.width, shown.height, rel_region_rgb(env, shown.x, shown.y));
      return;
    }
    uint8_t *png = nullptr;
    int len = 0;
    if (screenshot_capture_region_mem(r.x, r.y, r.width, r.height, &png, &len) != 0)
      return unexpected_failure(op);
    check_png(op, png, (size_t)len, shown);
    screenshot_free_mem(png);
  }

  void run_once(op_kind op, int turn) {
    int monitor_count = (int)env->monitors.size();
    switch (op) {
      case REGION_TO_MEMORY:
      case REGION_TO_FILE:
        region(op);
        break;
      case MONITOR_TO_FILE: {
        int index = (turn + id) % monitor_count;
        const rel_rect &m = env->monitors[(size_t)index];
        std::string file = path(op);
        if (screenshot_capture_monitor_png(index, file.c_str()) != 0) return unexpected_failure(op);
        check_file(op, file, m.width, m.height, rel_region_rgb(env, m.x, m.y));
        break;
      }
      case MONITOR_TO_MEMORY: {
        const rel_rect &m = env->monitors[(size_t)((turn + id + 1) % monitor_count)];
        uint8_t *png = nullptr;
        int len = 0;
        if (screenshot_capture_region_mem(m.x, m.y, m.width, m.height, &png, &len) != 0)
          return unexpected_failure(op);
        check_png(op, png, (size_t)len, m);
        screenshot_free_mem(png);
        break;
      }
      case WINDOW_TO_FILE: {
        const rel_window &w = env->windows[(size_t)(turn + id) % env->windows.size()];
        std::string file = path(op);
        if (screenshot_capture_window_png(w.handle, file.c_str()) != 0)
          return unexpected_failure(op);
        check_file(op, file, w.rect.width, w.rect.height, w.rgb);
        break;
      }
      case LISTING_AND_FAILURE: {
        std::string json;
        {
          std::lock_guard<std::mutex> lock(g_host_lock);
          const char *text = screenshot_list_monitors_json();
          json = text ? text : "(NULL)";
        }
        if (json != env->monitor_json) problem(op, "listing " + json);
        int index = INT_MAX - id;
        std::string file = path(op);
        failure_read_under_lock(
            op, [&] { return screenshot_capture_monitor_png(index, file.c_str()); },
            rel_message("monitor index %d out of range (0..%d)", index, monitor_count - 1));
        break;
      }
      default:
        break;
    }
  }

  // Whole monitors take far longer than the rest, so they come round less
  // often; each thread starts the cycle at its own place, so that every kind
  // of call meets every other kind.
  void run(clock_type::time_point deadline) {
    static const op_kind cycle[] = {
        REGION_TO_MEMORY, REGION_TO_FILE, WINDOW_TO_FILE, LISTING_AND_FAILURE,
        REGION_TO_MEMORY, WINDOW_TO_FILE, REGION_TO_FILE, MONITOR_TO_FILE,
        REGION_TO_MEMORY, REGION_TO_FILE, WINDOW_TO_FILE, LISTING_AND_FAILURE,
        REGION_TO_MEMORY, WINDOW_TO_FILE, REGION_TO_FILE, MONITOR_TO_MEMORY,
    };
    const int length = (int)(sizeof cycle / sizeof cycle[0]);
    // Past the deadline only to finish the first cycle, on a slow machine.
    for (int turn = 0; turn < length || clock_type::now() < deadline; turn++) {
      op_kind op = cycle[(turn + id * 4) % length];
      run_once(op, turn / length);
      done[op]++;
      if (turn % 64 == 63) env->trim();
    }
  }
};

TEST(Concurrency, FourThreadsCaptureEverythingAtOnce) {
  const rel_env *env;
  REL_ENV_OR_SKIP(env);
  rel_temp_dir dir;
  ASSERT_FALSE(dir.path.empty());
  double seconds = seconds_from_env("VS_REL_SECONDS", 3);

  std::vector<worker> workers;
  for (int i = 0; i < k_threads; i++) {
    worker w;
    w.id = i;
    w.env = env;
    w.dir = dir.path;
    w.rng.seed(1000u + (unsigned)i);
    workers.push_back(w);
  }
  auto deadline = clock_type::now() + std::chrono::milliseconds((long long)(seconds * 1000));
  std::vector<std::thread> threads;
  for (worker &w : workers) threads.emplace_back([&w, deadline] { w.run(deadline); });
  for (std::thread &t : threads) t.join();

  for (const worker &w : workers) {
    std::string counts;
    for (int op = 0; op < OP_KINDS; op++) {
      counts += std::string(op ? ", " : "") + k_op_names[op] + " " + std::to_string(w.done[op]);
      EXPECT_GT(w.done[op], 0) << "thread " << w.id << " never ran " << k_op_names[op];
    }
    printf("thread %d: %s; %d bad requests refused with their message\n", w.id, counts.c_str(),
           w.refused);
    for (const std::string &p : w.problems) ADD_FAILURE() << p;
  }
}

// Failures on every thread at once, with long texts of different lengths:
// each time the threads have stopped, the error text must be one of their
// messages, whole, never a mixture. Nobody reads while they run, so no lock
// of the host's is involved: this is the library's own guard at work. A
// mixture needs two writes to overlap at the very end, so without the guard
// this check fails only now and then; under ThreadSanitizer the unguarded
// writes are reported on the first round.
TEST(Concurrency, SimultaneousFailuresNeverTearTheErrorText) {
  const rel_env *env;
  REL_ENV_OR_SKIP(env);
  rel_temp_dir dir;
  ASSERT_FALSE(dir.path.empty());
  double seconds = seconds_from_env("VS_REL_STORM_SECONDS", 1);

  struct failing_call {
    rel_rect region;
    std::string path;  // empty: the region fails to memory; else the write fails
  };
  std::vector<failing_call> calls;
  std::set<std::string> messages;
  for (int t = 0; t < k_threads; t++) {
    rel_rect outside{-1000000 - 37 * t, 7 + t, 1 + t, 1};
    calls.push_back({outside, ""});
    messages.insert(rel_outside_message(env, outside));
    // Nested in a directory that does not exist, names of different lengths.
    std::string file = dir.file("missing/" + std::string(200, (char)('a' + t)) + "/" +
                                std::string(40 + 60 * t, (char)('k' + t)) + ".png");
    calls.push_back({rel_rect{0, 0, 1 + t, 1}, file});
    messages.insert(rel_write_failed(1 + t, 1, file, "No such file or directory"));
  }

  // The threads start together and do the same work, so that their last
  // failures, the ones that decide what stays in the text, overlap.
  auto fail_many = [&calls](int t, std::atomic<int> *waiting) {
    waiting->fetch_sub(1);
    while (waiting->load() > 0) std::this_thread::yield();
    for (int i = 0; i < 8; i++) {
      const failing_call &c = calls[(size_t)(2 * t + i % 2)];
      if (c.path.empty()) {
        uint8_t *png = nullptr;
        int len = 0;
        screenshot_capture_region_mem(c.region.x, c.region.y, c.region.width, c.region.height, &png,
                                      &len);
      } else {
        screenshot_capture_region_png(c.region.x, c.region.y, c.region.width, c.region.height,
                                      c.path.c_str());
      }
    }
  };

  auto deadline = clock_type::now() + std::chrono::milliseconds((long long)(seconds * 1000));
  int rounds = 0;
  while (rounds < 20 || clock_type::now() < deadline) {
    std::atomic<int> waiting(k_threads);
    std::vector<std::thread> threads;
    for (int t = 0; t < k_threads; t++) threads.emplace_back(fail_many, t, &waiting);
    for (std::thread &t : threads) t.join();
    rounds++;
    std::string text = screenshot_last_error();
    ASSERT_TRUE(messages.count(text)) << "after round " << rounds << ": '" << text << "'";
  }
  printf("%d rounds of %d threads failing at once\n", rounds, k_threads);
}

// Not a test of the library but of the ThreadSanitizer build that runs these
// tests: the monitor listing is unguarded by design, so listings on two
// threads that nobody serialises must be reported as a race on s_mon_json.
// Stage 50 runs it alone and expects that report; elsewhere it stays off.
TEST(Concurrency, DISABLED_UnserialisedListingsRaceOnTheListingText) {
  const rel_env *env;
  REL_ENV_OR_SKIP(env);
  auto list = [] {
    for (int i = 0; i < 50; i++) screenshot_list_monitors_json();
  };
  std::thread a(list), b(list);
  a.join();
  b.join();
}

}  // namespace
