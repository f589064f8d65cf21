// Cutting a requested rectangle down to the monitors' bounding box.
#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>

#include <string>
#include <vector>

#include "core/screenshot.h"
#include "test_support.h"

namespace {

monitor_entry entry(int x, int y, int width, int height) {
  monitor_entry e;
  memset(&e, 0, sizeof e);
  e.x = x;
  e.y = y;
  e.width = width;
  e.height = height;
  return e;
}

struct rect4 {
  int x, y, w, h;
};

std::string show(rect4 r) {
  return std::to_string(r.x) + "," + std::to_string(r.y) + " " + std::to_string(r.w) + "x" +
         std::to_string(r.h);
}

}  // namespace

using Clamp = display_test;

// Box L 0, T -120, R 960, B 480: 960 wide, 600 high.
TEST_F(Clamp, TwoMonitorLayout) {
  const monitor_entry two[2] = {entry(0, 0, 640, 480), entry(640, -120, 320, 240)};
  struct row {
    rect4 request;
    rect4 result;         // when message is empty
    const char *message;  // else the refusal
  } rows[] = {
      {{100, 100, 200, 100}, {100, 100, 200, 100}, ""},
      {{-50, -200, 300, 250}, {0, -120, 250, 170}, ""},
      {{900, 400, 200, 200}, {900, 400, 60, 80}, ""},
      {{-1000, -1000, 5000, 5000}, {0, -120, 960, 600}, ""},
      {{700, 300, 100, 100}, {700, 300, 100, 100}, ""},  // in the box, on no monitor
      {{959, 479, 50, 50}, {959, 479, 1, 1}, ""},
      {{0, -120, 1, 1}, {0, -120, 1, 1}, ""},
      {{960, 0, 10, 10}, {}, "region (960,0 10x10) is outside screen bounds (0,-120 960x600)"},
      {{-10, 0, 10, 10}, {}, "region (-10,0 10x10) is outside screen bounds (0,-120 960x600)"},
      {{0, 480, 10, 10}, {}, "region (0,480 10x10) is outside screen bounds (0,-120 960x600)"},
      {{0, -130, 10, 10}, {}, "region (0,-130 10x10) is outside screen bounds (0,-120 960x600)"},
      {{0, 0, 0, 10}, {}, "invalid region size 0x10"},
      {{0, 0, 10, -5}, {}, "invalid region size 10x-5"},
      {{5000, 5000, -1, 0}, {}, "invalid region size -1x0"},  // size is tested before overlap
  };
  for (const row &r : rows) {
    SCOPED_TRACE(show(r.request));
    set_error("before");
    rect4 v = r.request;
    int result = clamp_to_screen(two, 2, &v.x, &v.y, &v.w, &v.h);
    if (r.message[0] == '\0') {
      ASSERT_EQ(result, 0);
      EXPECT_EQ(show(v), show(r.result));
      EXPECT_STREQ(screenshot_last_error(), "before");
    } else {
      ASSERT_EQ(result, -1);
      EXPECT_EQ(show(v), show(r.request));  // untouched on failure
      EXPECT_STREQ(screenshot_last_error(), r.message);
    }
  }
  EXPECT_TRUE(sd_journal().empty());  // pure arithmetic, no platform call
}

TEST_F(Clamp, RefusalsWithOtherTables) {
  const monitor_entry one[1] = {entry(0, 0, 640, 480)};
  rect4 v = {700, 0, 10, 10};
  EXPECT_EQ(clamp_to_screen(one, 1, &v.x, &v.y, &v.w, &v.h), -1);
  EXPECT_STREQ(screenshot_last_error(),
               "region (700,0 10x10) is outside screen bounds (0,0 640x480)");

  v = {0, 0, 0, 10};
  EXPECT_EQ(clamp_to_screen(one, 0, &v.x, &v.y, &v.w, &v.h), -1);
  EXPECT_STREQ(screenshot_last_error(), "no monitors");  // the count is tested first
  EXPECT_EQ(show(v), show({0, 0, 0, 10}));
}

// Edges near the ends of int: the sums must not wrap into a wrong answer.
// Compared with the intersection formed in 64 bits.
TEST_F(Clamp, RequestsNearIntLimitsDoNotOverflow) {
  const std::vector<std::vector<monitor_entry>> layouts = {
      {entry(0, 0, 640, 480)},
      {entry(INT_MAX - 100, INT_MIN, 100, 100)},
      {entry(INT_MIN, INT_MIN, 1000, 1000), entry(INT_MAX - 1000, INT_MAX - 1000, 1000, 1000)},
  };
  const rect4 requests[] = {
      {INT_MAX - 50, 0, INT_MAX, INT_MAX},
      {INT_MAX - 50, INT_MIN, INT_MAX, INT_MAX},
      {INT_MIN, INT_MIN, INT_MAX, INT_MAX},
      {INT_MAX, INT_MAX, INT_MAX, INT_MAX},
      {INT_MAX - 1, INT_MAX - 1, 1, 1},
      {INT_MIN, INT_MIN, 1, 1},
      {-1, -1, INT_MAX, INT_MAX},
      {1, 1, INT_MAX, INT_MAX},
      {INT_MIN + 10, -10, INT_MAX, 20},
      {INT_MAX - 1000, INT_MAX - 1000, 1, INT_MAX},
      {100, 100, INT_MAX, 1},
  };
  int accepted = 0;
  for (size_t l = 0; l < layouts.size(); l++) {
    const std::vector<monitor_entry> &m = layouts[l];
    int64_t L = m[0].x, T = m[0].y, R = (int64_t)m[0].x + m[0].width,
            B = (int64_t)m[0].y + m[0].height;
    for (const monitor_entry &e : m) {
      L = std::min<int64_t>(L, e.x);
      T = std::min<int64_t>(T, e.y);
      R = std::max<int64_t>(R, (int64_t)e.x + e.width);
      B = std::max<int64_t>(B, (int64_t)e.y + e.height);
    }
    for (const rect4 &q : requests) {
      SCOPED_TRACE("layout " + std::to_string(l) + " request " + show(q));
      int64_t qr = (int64_t)q.x + q.w, qb = (int64_t)q.y + q.h;
      bool overlaps = q.x < R && q.y < B && qr > L && qb > T;
      rect4 v = q;
      int result = clamp_to_screen(m.data(), (int)m.size(), &v.x, &v.y, &v.w, &v.h);
      ASSERT_EQ(result, overlaps ? 0 : -1);
      if (!overlaps) {
        EXPECT_EQ(show(v), show(q));
        continue;
      }
      accepted++;
      rect4 want = {(int)std::max<int64_t>(q.x, L), (int)std::max<int64_t>(q.y, T), 0, 0};
      want.w = (int)(std::min(qr, R) - want.x);
      want.h = (int)(std::min(qb, B) - want.y);
      EXPECT_EQ(show(v), show(want));
      // Inside the request and inside the box, never empty.
      EXPECT_GE(v.w, 1);
      EXPECT_GE(v.h, 1);
      EXPECT_GE(v.x, q.x);
      EXPECT_LE((int64_t)v.x + v.w, qr);
      EXPECT_GE(v.x, L);
      EXPECT_LE((int64_t)v.x + v.w, R);
      EXPECT_GE(v.y, T);
      EXPECT_LE((int64_t)v.y + v.h, B);
    }
  }
  EXPECT_GT(accepted, 8);  // the table reaches the clamp, not only the refusals
}
