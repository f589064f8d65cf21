// Hostile arguments, one table: each row is a call that a careless or hostile
// host might make, and what it must get back: -1 and the exact message (or 0
// where the arguments, odd as they are, name something capturable), no file
// left behind, the caller's outputs as promised, and a process that lives on.
// The same table runs on the scripted layer and on the rig; the rows that need
// real windows run on the rig only.
#include <gtest/gtest.h>
#include <limits.h>
#include <linux/capability.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "rel_env.h"
#include "vantorel_screenshot.h"

namespace {

enum layer { SCRIPTED = 1, RIG = 2, BOTH = 3 };
#if defined(VS_REL_RIG)
const int k_this_layer = RIG;
#else
const int k_this_layer = SCRIPTED;
#endif

struct row_context {
  const rel_env *env;
  const rel_temp_dir *dir;
  std::string path;  // where a row asked for its file, if anywhere
  uint8_t *png;
  int len;
};

struct bad_row {
  std::string name;
  int layers;
  std::function<int(row_context &)> call;
  // The message the call must leave; empty when it must succeed.
  std::function<std::string(row_context &)> message;
  std::function<void(row_context &)> check;  // more to hold afterwards, or empty
};

uint8_t *const k_untouched_png = (uint8_t *)(uintptr_t)0x5eed;
const int k_untouched_len = 12345;

// Root passes every permission check, so a directory with mode 0555 stops
// nobody in these tests. Capabilities belong to a thread: dropping the two
// that let root past file permissions from this thread's effective set makes
// the directory read-only for the call, and the thread takes them back
// afterwards (they stay in its permitted set). Without them (not root) the
// mode alone does it.
struct dac_override_off {
  __user_cap_header_struct header;
  __user_cap_data_struct saved[2];
  bool dropped = false;
  dac_override_off() {
    header.version = _LINUX_CAPABILITY_VERSION_3;
    header.pid = 0;
    if (syscall(SYS_capget, &header, saved) != 0) return;
    __user_cap_data_struct lowered[2];
    memcpy(lowered, saved, sizeof lowered);
    lowered[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    dropped = syscall(SYS_capset, &header, lowered) == 0;
  }
  ~dac_override_off() {
    if (dropped) syscall(SYS_capset, &header, saved);
  }
};

void expect_no_file(row_context &c) {
  EXPECT_TRUE(c.dir->entries().empty()) << "left in the directory: " << c.dir->entries()[0];
}

void expect_outputs_reset(row_context &c) {
  EXPECT_EQ(c.png, nullptr);
  EXPECT_EQ(c.len, 0);
}

void expect_region_png(const rel_env *env, rel_rect r, const rel_image &image) {
  rel_rect cut;
  ASSERT_TRUE(rel_clamp(env, r, &cut));
  EXPECT_EQ(rel_compare(image, cut.width, cut.height, rel_region_rgb(env, cut.x, cut.y)), "");
}

// Test names allow letters, digits and underscores only.
std::string int_name(int v) {
  if (v == INT_MIN) return "IntMin";
  if (v == INT_MAX) return "IntMax";
  return v < 0 ? "Minus" + std::to_string(-(int64_t)v) : std::to_string(v);
}

std::string rect_name(rel_rect r) {
  return int_name(r.x) + "_" + int_name(r.y) + "_" + int_name(r.width) + "x" + int_name(r.height);
}

void add_region_rows(std::vector<bad_row> &rows) {
  // Edges at the ends of int, sizes that are not positive, and two requests
  // that reach across all of int and still cut down to something real.
  const rel_rect rects[] = {
      {INT_MIN, INT_MIN, 10, 10},
      {INT_MAX, INT_MAX, 1, 1},
      {INT_MAX, 0, INT_MAX, INT_MAX},
      {INT_MIN, INT_MIN, INT_MAX, INT_MAX},
      {0, INT_MIN, 10, INT_MAX},
      {-10, -10, 10, 10},
      {0, 0, -1, 10},
      {0, 0, 10, -1},
      {0, 0, 0, 0},
      {0, 0, INT_MIN, INT_MIN},
      {INT_MAX, INT_MAX, INT_MIN, -1},
      {-5, -5, INT_MAX, INT_MAX},
      {639, 399, INT_MAX, INT_MAX},
  };
  for (rel_rect r : rects) {
    auto message = [r](row_context &c) { return rel_region_message(c.env, r); };
    rows.push_back({"RegionToFile_" + rect_name(r), BOTH,
                    [r](row_context &c) {
                      c.path = c.dir->file("region.png");
                      return screenshot_capture_region_png(r.x, r.y, r.width, r.height,
                                                           c.path.c_str());
                    },
                    message,
                    [r](row_context &c) {
                      if (!rel_region_message(c.env, r).empty()) return expect_no_file(c);
                      rel_image image;
                      ASSERT_TRUE(rel_decode_file(c.path, &image));
                      expect_region_png(c.env, r, image);
                    }});
    rows.push_back({"RegionToMemory_" + rect_name(r), BOTH,
                    [r](row_context &c) {
                      return screenshot_capture_region_mem(r.x, r.y, r.width, r.height, &c.png,
                                                           &c.len);
                    },
                    message,
                    [r](row_context &c) {
                      if (!rel_region_message(c.env, r).empty()) return expect_outputs_reset(c);
                      rel_image image;
                      bool decoded = rel_decode(c.png, (size_t)c.len, &image);
                      screenshot_free_mem(c.png);
                      ASSERT_TRUE(decoded);
                      expect_region_png(c.env, r, image);
                    }});
  }
}

void add_monitor_rows(std::vector<bad_row> &rows) {
  for (int index : {INT_MIN, -1, 2, INT_MAX}) {
    rows.push_back({"MonitorIndex_" + int_name(index), BOTH,
                    [index](row_context &c) {
                      c.path = c.dir->file("monitor.png");
                      return screenshot_capture_monitor_png(index, c.path.c_str());
                    },
                    [index](row_context &c) {
                      return rel_message("monitor index %d out of range (0..%d)", index,
                                         (int)c.env->monitors.size() - 1);
                    },
                    expect_no_file});
  }
}

void add_window_rows(std::vector<bad_row> &rows) {
  auto bad_window = [](row_context &c) {
    return rel_message("GetWindowRect failed (error %lu)", c.env->bad_window_error);
  };
  struct handle_row {
    const char *name;
    int layers;
    std::function<void *(const rel_env *)> handle;
  };
  const handle_row handles[] = {
      {"One", BOTH, [](const rel_env *) { return (void *)1; }},
      {"Beyond32Bits", BOTH, [](const rel_env *) { return (void *)(uintptr_t)0x100000001ull; }},
      {"AllOnes", BOTH, [](const rel_env *) { return (void *)UINTPTR_MAX; }},
      {"Destroyed", RIG, [](const rel_env *env) { return env->gone_window; }},
      {"PixmapNotAWindow", RIG, [](const rel_env *env) { return env->non_window; }},
  };
  for (const handle_row &h : handles) {
    auto handle = h.handle;
    rows.push_back({std::string("Window_") + h.name, h.layers,
                    [handle](row_context &c) {
                      c.path = c.dir->file("window.png");
                      return screenshot_capture_window_png(handle(c.env), c.path.c_str());
                    },
                    bad_window, expect_no_file});
  }
  rows.push_back({"Window_Null", BOTH,
                  [](row_context &c) {
                    c.path = c.dir->file("window.png");
                    return screenshot_capture_window_png(nullptr, c.path.c_str());
                  },
                  [](row_context &) { return std::string("window handle is NULL"); },
                  expect_no_file});
  rows.push_back({"Window_NullAndNullPath", BOTH,
                  [](row_context &) { return screenshot_capture_window_png(nullptr, nullptr); },
                  [](row_context &) { return std::string("window handle is NULL"); },
                  expect_no_file});
}

void add_path_rows(std::vector<bad_row> &rows) {
  auto empty = [](row_context &) { return std::string("output file is empty"); };
  rows.push_back({"NullPath_Region", BOTH,
                  [](row_context &) { return screenshot_capture_region_png(0, 0, 8, 8, nullptr); },
                  empty, expect_no_file});
  rows.push_back({"EmptyPath_Region", BOTH,
                  [](row_context &) { return screenshot_capture_region_png(0, 0, 8, 8, ""); },
                  empty, expect_no_file});
  rows.push_back({"NullPath_All", BOTH,
                  [](row_context &) { return screenshot_capture_all_png(nullptr); }, empty,
                  expect_no_file});
  rows.push_back({"EmptyPath_Monitor", BOTH,
                  [](row_context &) { return screenshot_capture_monitor_png(0, ""); }, empty,
                  expect_no_file});
  rows.push_back({"NullPath_Window", BOTH,
                  [](row_context &c) {
                    return screenshot_capture_window_png(c.env->windows[0].handle, nullptr);
                  },
                  empty, expect_no_file});
  rows.push_back(
      {"EmptyPath_Window", BOTH,
       [](row_context &c) { return screenshot_capture_window_png(c.env->windows[0].handle, ""); },
       empty, expect_no_file});

  // fopen refuses a directory; the directory must survive the clean-up that
  // removes a half-written file.
  rows.push_back({"PathIsADirectory", BOTH,
                  [](row_context &c) {
                    c.path = c.dir->file("sub");
                    mkdir(c.path.c_str(), 0755);
                    return screenshot_capture_region_png(0, 0, 8, 8, c.path.c_str());
                  },
                  [](row_context &c) { return rel_write_failed(8, 8, c.path, "Is a directory"); },
                  [](row_context &c) {
                    struct stat st;
                    ASSERT_EQ(stat(c.path.c_str(), &st), 0);
                    EXPECT_TRUE(S_ISDIR(st.st_mode));
                  }});

  rows.push_back(
      {"ReadOnlyDirectory", BOTH,
       [](row_context &c) {
         std::string ro = c.dir->file("ro");
         mkdir(ro.c_str(), 0555);
         chmod(ro.c_str(), 0555);
         c.path = ro + "/x.png";
         dac_override_off guard;
         // The same thread can still write where it may: the refusal
         // below is the directory's mode and nothing else.
         std::string beside = c.dir->file("beside.png");
         EXPECT_EQ(screenshot_capture_region_png(0, 0, 4, 4, beside.c_str()), 0)
             << screenshot_last_error();
         unlink(beside.c_str());
         return screenshot_capture_region_png(0, 0, 8, 8, c.path.c_str());
       },
       [](row_context &c) { return rel_write_failed(8, 8, c.path, "Permission denied"); },
       [](row_context &c) {
         std::vector<std::string> left = c.dir->entries();
         EXPECT_EQ(left, std::vector<std::string>{"ro"});
         EXPECT_NE(access(c.path.c_str(), F_OK), 0);
       }});

  // The message keeps the first 511 bytes of its text, cut inside the path.
  rows.push_back({"PathOver4096Bytes", BOTH,
                  [](row_context &c) {
                    c.path = c.dir->file(std::string(4100, 'a') + ".png");
                    return screenshot_capture_region_png(0, 0, 8, 8, c.path.c_str());
                  },
                  [](row_context &c) {
                    std::string m = rel_write_failed(8, 8, c.path, "File name too long");
                    EXPECT_EQ(m.size(), 511u);
                    return m;
                  },
                  expect_no_file});
  rows.push_back(
      {"FileNameOver255Bytes", BOTH,
       [](row_context &c) {
         c.path = c.dir->file(std::string(300, 'n') + ".png");
         return screenshot_capture_region_png(0, 0, 8, 8, c.path.c_str());
       },
       [](row_context &c) { return rel_write_failed(8, 8, c.path, "File name too long"); },
       expect_no_file});
  rows.push_back(
      {"MissingDirectory", BOTH,
       [](row_context &c) {
         c.path = c.dir->file("none/x.png");
         return screenshot_capture_region_png(0, 0, 8, 8, c.path.c_str());
       },
       [](row_context &c) { return rel_write_failed(8, 8, c.path, "No such file or directory"); },
       expect_no_file});

  // Bytes are bytes: UTF-8, invalid UTF-8 and control characters reach the
  // file system unchanged.
  static const char k_name[] =
      "\xc3\xa9"
      "cran \xe6\x97\xa5\xe6\x9c\xac \xff\xfe\x01\x7f.png";
  rows.push_back({"NonAsciiBytesInPath", BOTH,
                  [](row_context &c) {
                    c.path = c.dir->file(k_name);
                    return screenshot_capture_region_png(3, 5, 8, 6, c.path.c_str());
                  },
                  [](row_context &) { return std::string(); },
                  [](row_context &c) {
                    EXPECT_EQ(c.dir->entries(), std::vector<std::string>{k_name});
                    rel_image image;
                    ASSERT_TRUE(rel_decode_file(c.path, &image));
                    EXPECT_EQ(rel_compare(image, 8, 6, rel_region_rgb(c.env, 3, 5)), "");
                  }});

  // A full disk: every write is checked, and a device that existed is not
  // removed by the clean-up.
  auto dev_full_stays = [](row_context &) {
    struct stat st;
    ASSERT_EQ(stat("/dev/full", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
  };
  rows.push_back(
      {"DevFull_Region", BOTH,
       [](row_context &c) {
         c.path = "/dev/full";
         return screenshot_capture_region_png(0, 0, 8, 8, c.path.c_str());
       },
       [](row_context &c) { return rel_write_failed(8, 8, c.path, "No space left on device"); },
       dev_full_stays});
  rows.push_back({"DevFull_Window", BOTH,
                  [](row_context &c) {
                    c.path = "/dev/full";
                    return screenshot_capture_window_png(c.env->windows[0].handle, "/dev/full");
                  },
                  [](row_context &c) {
                    const rel_rect &r = c.env->windows[0].rect;
                    return rel_write_failed(r.width, r.height, c.path, "No space left on device");
                  },
                  dev_full_stays});
}

void add_memory_rows(std::vector<bad_row> &rows) {
  rows.push_back({"FreeOfNull", BOTH,
                  [](row_context &) {
                    screenshot_free_mem(nullptr);
                    return 0;
                  },
                  [](row_context &) { return std::string(); }, nullptr});
  rows.push_back(
      {"NullOutPointer", BOTH,
       [](row_context &c) { return screenshot_capture_region_mem(0, 0, 8, 8, nullptr, &c.len); },
       [](row_context &) { return std::string("out params are NULL"); },
       [](row_context &c) { EXPECT_EQ(c.len, k_untouched_len); }});
  rows.push_back(
      {"NullOutLength", BOTH,
       [](row_context &c) { return screenshot_capture_region_mem(0, 0, 8, 8, &c.png, nullptr); },
       [](row_context &) { return std::string("out params are NULL"); },
       [](row_context &c) { EXPECT_EQ(c.png, k_untouched_png); }});
}

std::vector<bad_row> rows_for_this_layer() {
  std::vector<bad_row> all;
  add_path_rows(all);
  add_region_rows(all);
  add_monitor_rows(all);
  add_window_rows(all);
  add_memory_rows(all);
  std::vector<bad_row> rows;
  for (const bad_row &row : all) {
    if (row.layers & k_this_layer) rows.push_back(row);
  }
  return rows;
}

// gtest prints a failing row by its name, not as bytes.
void PrintTo(const bad_row &row, std::ostream *out) { *out << row.name; }

class BadInput : public testing::TestWithParam<bad_row> {
 protected:
  rel_temp_dir dir;
};

TEST_P(BadInput, GetsItsResultAndMessage) {
  const rel_env *env;
  REL_ENV_OR_SKIP(env);
  ASSERT_FALSE(dir.path.empty());
  const bad_row &row = GetParam();

  // A known earlier failure, so that a row which sets no message cannot pass
  // on a stale one.
  ASSERT_EQ(screenshot_capture_monitor_png(99, dir.file("stale.png").c_str()), -1);
  std::string stale = screenshot_last_error();
  ASSERT_NE(stale.find("99"), std::string::npos);

  row_context c{env, &dir, "", k_untouched_png, k_untouched_len};
  int result = row.call(c);
  std::string expected = row.message(c);
  if (expected.empty()) {
    EXPECT_EQ(result, 0) << screenshot_last_error();
    EXPECT_EQ(screenshot_last_error(), stale) << "a success changed the error text";
  } else {
    EXPECT_EQ(result, -1);
    EXPECT_EQ(screenshot_last_error(), expected);
  }
  if (row.check) row.check(c);
}

INSTANTIATE_TEST_SUITE_P(Rows, BadInput, testing::ValuesIn(rows_for_this_layer()),
                         [](const testing::TestParamInfo<bad_row> &info) {
                           return info.param.name;
                         });

}  // namespace
