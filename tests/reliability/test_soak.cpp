// Ten thousand captures to memory and a thousand to files on the rig leave the
// process's resident memory and open file descriptors where they were once
// the first calls had set up the connection, the shared segment and the
// allocator's pools.
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <chrono>
#include <string>

#include "rel_env.h"
#include "vantorel_screenshot.h"

namespace {

long resident_kib() {
  FILE *f = fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  long kib = -1;
  while (fgets(line, sizeof line, f)) {
    if (strncmp(line, "VmRSS:", 6) == 0) kib = strtol(line + 6, nullptr, 10);
  }
  fclose(f);
  return kib;
}

int open_fds() {
  DIR *dir = opendir("/proc/self/fd");
  if (!dir) return -1;
  int count = 0;
  while (struct dirent *e = readdir(dir)) {
    if (e->d_name[0] != '.') count++;
  }
  closedir(dir);
  return count - 1;  // the directory stream's own
}

struct soak {
  const rel_env *env;
  rel_temp_dir dir;
  int checked = 0;

  // Sizes and places change from call to call, so the shared segment and the
  // allocator see growth and reuse rather than one size again and again.
  rel_rect region(int i) const {
    static const int sizes[][2] = {{64, 64}, {200, 120}, {31, 17}, {320, 200}, {1, 1}, {128, 96}};
    const int *s = sizes[i % 6];
    int x = env->bounds.x + (i * 37) % (env->bounds.width - 320);
    int y = env->bounds.y + (i * 53) % (env->bounds.height - 200);
    return rel_rect{x, y, s[0], s[1]};
  }

  // Every 250th result is decoded and compared: the soak must not have
  // turned into a run of failures or garbage.
  void to_memory(int i) {
    rel_rect r = region(i);
    uint8_t *png = nullptr;
    int len = 0;
    ASSERT_EQ(screenshot_capture_region_mem(r.x, r.y, r.width, r.height, &png, &len), 0)
        << screenshot_last_error();
    if (i % 250 == 0) {
      rel_image image;
      bool decoded = rel_decode(png, (size_t)len, &image);
      screenshot_free_mem(png);
      ASSERT_TRUE(decoded);
      ASSERT_EQ(rel_compare(image, r.width, r.height, rel_region_rgb(env, r.x, r.y)), "");
      checked++;
      return;
    }
    screenshot_free_mem(png);
  }

  void to_file(int n) {
    std::string path = dir.file("soak.png");
    int result;
    rel_rect shown;
    std::function<uint32_t(int, int)> rgb;
    if (n % 25 == 0) {
      int index = (n / 25) % (int)env->monitors.size();
      shown = env->monitors[(size_t)index];
      rgb = rel_region_rgb(env, shown.x, shown.y);
      result = screenshot_capture_monitor_png(index, path.c_str());
    } else if (n % 2 == 0) {
      const rel_window &w = env->windows[(size_t)(n / 2) % env->windows.size()];
      shown = w.rect;
      rgb = w.rgb;
      result = screenshot_capture_window_png(w.handle, path.c_str());
    } else {
      shown = region(n);
      rgb = rel_region_rgb(env, shown.x, shown.y);
      result =
          screenshot_capture_region_png(shown.x, shown.y, shown.width, shown.height, path.c_str());
    }
    ASSERT_EQ(result, 0) << screenshot_last_error();
    if (n % 50 == 1 || n % 50 == 2 || n % 25 == 0) {
      rel_image image;
      ASSERT_TRUE(rel_decode_file(path, &image));
      ASSERT_EQ(rel_compare(image, shown.width, shown.height, rgb), "");
      checked++;
    }
  }

  // Ten captures to memory, then one to a file.
  void run(int memory_calls, int first) {
    for (int i = first; i < first + memory_calls; i++) {
      ASSERT_NO_FATAL_FAILURE(to_memory(i));
      if (i % 10 == 9) {
        ASSERT_NO_FATAL_FAILURE(to_file(i / 10));
      }
    }
  }
};

TEST(Soak, TenThousandToMemoryAndAThousandToFiles) {
  const rel_env *env;
  REL_ENV_OR_SKIP(env);
  soak s;
  s.env = env;
  ASSERT_FALSE(s.dir.path.empty());

  ASSERT_NO_FATAL_FAILURE(s.run(50, 0));
  long rss_before = resident_kib();
  int fds_before = open_fds();
  auto start = std::chrono::steady_clock::now();
  ASSERT_NO_FATAL_FAILURE(s.run(10000, 50));
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  long rss_after = resident_kib();
  int fds_after = open_fds();

  printf(
      "10000 to memory, 1000 to files in %.1f s (%d results compared); VmRSS %ld -> %ld KiB, "
      "open fds %d -> %d\n",
      seconds, s.checked, rss_before, rss_after, fds_before, fds_after);
  EXPECT_EQ(fds_after, fds_before);
  // The allocator may keep a little more in its free lists once the mix of
  // sizes has gone round; a leak of one frame per call would be megabytes.
  EXPECT_LE(rss_after - rss_before, 1024) << "resident memory grew";
}

}  // namespace
