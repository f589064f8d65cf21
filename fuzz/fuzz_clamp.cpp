// Region clamping against a 64-bit reference model, over random monitor tables
// and requests, edges at INT_MIN and INT_MAX included.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "core/screenshot.h"
#include "fuzz_display.h"

static void check(bool ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "clamp fuzz: %s\n", what);
    abort();
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz_input in = {data, size, 0};
  monitor_entry entries[MAX_MONITORS];
  memset(entries, 0, sizeof entries);
  int count = (int)(fuzz_byte(&in) % (MAX_MONITORS + 1));
  for (int i = 0; i < count; i++) {
    entries[i].x = fuzz_int(&in);
    entries[i].y = fuzz_int(&in);
    // Monitors have a size; let it be anything from 1 to INT_MAX.
    entries[i].width = (int32_t)((uint32_t)fuzz_int(&in) % 0x7fffffffu) + 1;
    entries[i].height = (int32_t)((uint32_t)fuzz_int(&in) % 0x7fffffffu) + 1;
    entries[i].index = i;
  }
  int x = fuzz_int(&in), y = fuzz_int(&in), w = fuzz_int(&in), h = fuzz_int(&in);

  // Reference: everything in 64 bits.
  char expected[ERROR_TEXT_SIZE] = "";
  long long L = 0, T = 0, R = 0, B = 0;
  bool refuse = true;
  if (count <= 0) {
    snprintf(expected, sizeof expected, "no monitors");
  } else {
    L = entries[0].x, T = entries[0].y;
    R = (long long)entries[0].x + entries[0].width;
    B = (long long)entries[0].y + entries[0].height;
    for (int i = 1; i < count; i++) {
      L = entries[i].x < L ? entries[i].x : L;
      T = entries[i].y < T ? entries[i].y : T;
      long long r = (long long)entries[i].x + entries[i].width;
      long long b = (long long)entries[i].y + entries[i].height;
      R = r > R ? r : R;
      B = b > B ? b : B;
    }
    if (w <= 0 || h <= 0) {
      snprintf(expected, sizeof expected, "invalid region size %dx%d", w, h);
    } else if (!((long long)x < R && (long long)y < B && (long long)x + w > L &&
                 (long long)y + h > T)) {
      snprintf(expected, sizeof expected,
               "region (%d,%d %dx%d) is outside screen bounds (%d,%d %dx%d)", x, y, w, h, (int)L,
               (int)T, (int)(R - L), (int)(B - T));
    } else {
      refuse = false;
    }
  }

  int cx = x, cy = y, cw = w, ch = h;
  int result = clamp_to_screen(entries, count, &cx, &cy, &cw, &ch);
  if (refuse) {
    check(result == -1, "refused request accepted");
    check(strcmp(screenshot_last_error(), expected) == 0, "wrong message");
    check(cx == x && cy == y && cw == w && ch == h, "refused request was changed");
    return 0;
  }
  check(result == 0, "valid request refused");
  check(cw >= 1 && ch >= 1, "empty result");
  long long rx0 = cx, ry0 = cy, rx1 = (long long)cx + cw, ry1 = (long long)cy + ch;
  check(rx0 >= x && ry0 >= y && rx1 <= (long long)x + w && ry1 <= (long long)y + h,
        "result leaves the request");
  check(rx0 >= L && ry0 >= T && rx1 <= R && ry1 <= B, "result leaves the box");
  long long ex0 = x > L ? x : L, ey0 = y > T ? y : T;
  long long ex1 = (long long)x + w < R ? (long long)x + w : R;
  long long ey1 = (long long)y + h < B ? (long long)y + h : B;
  check(rx0 == ex0 && ry0 == ey0 && rx1 == ex1 && ry1 == ey1, "not the intersection");
  return 0;
}
