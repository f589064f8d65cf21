// ext-image-copy-capture against a compositor of our own
// (fake_compositor.h): the protocol chosen, whole outputs cut to the
// rectangle, constraints that come twice or change with a refusal, the
// failures and their codes, sizes no buffer can have, a compositor that
// never answers, and answers of both copy protocols that come before the
// request they answer. Each case runs in a child process with a fresh
// library.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#include "fake_compositor.h"
#include "rig_support.h"
#include "vantorel_screenshot.h"

namespace {

// The code at the end of the last error ("... (error 121)"), or -1.
int last_code() {
  const char *text = screenshot_last_error();
  const char *at = strstr(text, "(error ");
  return at ? atoi(at + 7) : -1;
}

// What the fake screen shows at (x, y): its outputs' pixels, black elsewhere.
uint32_t screen_rgb(const fake_script &script, int x, int y) {
  for (size_t i = 0; i < script.outputs.size(); i++) {
    const fake_output &o = script.outputs[i];
    if (x >= o.x && y >= o.y && x < o.x + o.width && y < o.y + o.height) {
      return fake_pixel((int)i, x - o.x, y - o.y);
    }
  }
  return 0;
}

// Captures the rectangle into memory and checks it against expected, or
// returns the failure with its code.
std::string capture(int x, int y, int width, int height,
                    const std::function<uint32_t(int, int)> &expected) {
  uint8_t *png = nullptr;
  int length = 0;
  if (screenshot_capture_region_mem(x, y, width, height, &png, &length) != 0) {
    return "capture failed: " + std::string(screenshot_last_error());
  }
  rgba_image image;
  bool decoded = decode_png_memory(png, length, &image);
  screenshot_free_mem(png);
  if (!decoded) return "undecodable PNG";
  ::testing::AssertionResult same = image_matches(image, width, height, expected);
  return same ? "" : same.message();
}

std::string counts(const fake_log &log) {
  return "sessions " + std::to_string(log.sessions) + ", frames " + std::to_string(log.frames) +
         ", wlr requests " + std::to_string(log.wlr_requests) + ", mismatched buffers " +
         std::to_string(log.mismatched_buffers);
}

TEST(ExtCapture, PreferredOverWlrootsAndCutFromWholeOutputs) {
  fake_script script;
  script.wlr = true;
  // The second output is lower: a strip under it that no output covers.
  script.outputs = {{0, 0, 40, 30}, {40, 0, 20, 10}};
  std::string result = run_in_child([&] {
    fake_log log;
    return run_with_compositor(script, &log, [&]() -> std::string {
      struct {
        const char *what;
        int x, y, width, height, sessions;
      } cases[] = {
          {"the whole screen", 0, 0, 60, 30, 2},
          {"across the seam and into the strip", 30, 5, 20, 10, 2},
          {"inside the second output", 45, 2, 5, 3, 1},
      };
      for (const auto &c : cases) {
        int before = log.sessions;
        std::string why = capture(c.x, c.y, c.width, c.height, [&](int u, int v) {
          return screen_rgb(script, c.x + u, c.y + v);
        });
        if (!why.empty()) return std::string(c.what) + ": " + why;
        if (log.sessions - before != c.sessions || log.wlr_requests != 0 ||
            log.mismatched_buffers != 0) {
          return std::string(c.what) + ": " + counts(log);
        }
      }
      return "";
    });
  });
  EXPECT_EQ(result, "");
}

struct protocol_case {
  const char *what;
  bool ext, wlr;
  int code;  // of the capture; 0 for success
  bool spoke_ext, spoke_wlr;
};

// wlroots' screen copy stays the fallback (the fake one fails every copy,
// which shows it was asked); without either the layer has no screen copy.
TEST(ExtCapture, WlrootsScreenCopyWhereExtIsNotOffered) {
  const protocol_case cases[] = {
      {"both offered", true, true, 0, true, false},
      {"only wlroots' screen copy", false, true, 112, false, true},
      {"neither", false, false, 111, false, false},
  };
  for (const protocol_case &c : cases) {
    fake_script script;
    script.ext = c.ext;
    script.wlr = c.wlr;
    std::string result = run_in_child([&] {
      fake_log log;
      return run_with_compositor(script, &log, [&]() -> std::string {
        setenv("VANTOREL_SCREENSHOT_BACKEND", "wayland", 1);
        std::string why = capture(0, 0, 40, 30, [&](int u, int v) { return fake_pixel(0, u, v); });
        int code = why.empty() ? 0 : last_code();
        if (code != c.code || (log.sessions > 0) != c.spoke_ext ||
            (log.wlr_requests > 0) != c.spoke_wlr) {
          return "code " + std::to_string(code) + " (" + why + "), " + counts(log);
        }
        return "";
      });
    });
    EXPECT_EQ(result, "") << c.what;
  }
}

struct constraints_case {
  const char *what;
  std::vector<fake_batch> batches;
  std::vector<fake_outcome> frames;
  std::vector<fake_batch> refusal;
  int code;  // of the capture; 0 for success
  int frames_made;
};

TEST(ExtCapture, ConstraintsAndFailures) {
  fake_batch tiny;
  tiny.width = 1;
  tiny.height = 1;
  tiny.formats = {FAKE_ARGB8888};
  fake_batch wide;  // a different size than the buffer the library first made
  wide.width = 40;
  wide.height = 30;
  wide.formats = {FAKE_XBGR8888};
  fake_batch unreadable;
  unreadable.formats = {FAKE_RGB565};
  fake_batch mixed;
  mixed.formats = {FAKE_RGB565, FAKE_XBGR8888};
  fake_batch huge;
  huge.width = 100000;
  huge.height = 100000;
  fake_batch overflow;  // 4-byte rows of this width pass 32 bits
  overflow.width = 0x40000000u;
  overflow.height = 1;
  fake_batch sizeless;
  sizeless.has_size = false;
  const constraints_case cases[] = {
      {"two batches at the start: the later one counts", {tiny, {}}, {FAKE_READY}, {}, 0, 1},
      {"an unreadable format alone is refused", {unreadable}, {FAKE_READY}, {}, 115, 0},
      {"a readable format beside an unreadable one", {mixed}, {FAKE_READY}, {}, 0, 1},
      {"a buffer refused with new constraints: one more, made to them",
       {tiny},
       {FAKE_FAIL_CONSTRAINTS, FAKE_READY},
       {wide},
       0,
       2},
      {"a buffer refused without new constraints: one more all the same",
       {{}},
       {FAKE_FAIL_CONSTRAINTS, FAKE_READY},
       {},
       0,
       2},
      {"refused twice: no third try", {{}}, {FAKE_FAIL_CONSTRAINTS}, {{}}, 121, 2},
      {"constraints changed while the frame was under way: it keeps its buffer's",
       {{}},
       {FAKE_READY_RESIZED},
       {tiny},
       0,
       1},
      {"the frame failed as stopped", {{}}, {FAKE_FAIL_STOPPED}, {}, 120, 1},
      {"the session stopped", {{}}, {FAKE_STOP_SESSION}, {}, 120, 1},
      {"the frame failed for no reason given", {{}}, {FAKE_FAIL_UNKNOWN}, {}, 112, 1},
      {"a size beyond what shared memory takes", {huge}, {FAKE_READY}, {}, 115, 0},
      {"rows wider than 32 bits", {overflow}, {FAKE_READY}, {}, 115, 0},
      {"no size at all", {sizeless}, {FAKE_READY}, {}, 121, 0},
  };
  for (const constraints_case &c : cases) {
    fake_script script;
    script.batches = c.batches;
    script.frames = c.frames;
    script.refusal = c.refusal;
    std::string result = run_in_child([&] {
      fake_log log;
      return run_with_compositor(script, &log, [&]() -> std::string {
        std::string why = capture(0, 0, 40, 30, [&](int u, int v) { return fake_pixel(0, u, v); });
        int code = why.empty() ? 0 : last_code();
        if (code != c.code || log.frames != c.frames_made) {
          return "code " + std::to_string(code) + " (" + why + "), " + counts(log);
        }
        return "";
      });
    });
    EXPECT_EQ(result, "") << c.what;
  }
}

// The frame says how its buffer is turned, whatever wl_output says: here
// upside down (180), so the logical pixel (u, v) is the buffer's (39 - u,
// 29 - v).
TEST(ExtCapture, TheFramesTransformIsUndone) {
  fake_script script;
  script.transform = 2;
  std::string result = run_in_child([&] {
    fake_log log;
    return run_with_compositor(script, &log, [&] {
      return capture(0, 0, 40, 30, [](int u, int v) { return fake_pixel(0, 39 - u, 29 - v); });
    });
  });
  EXPECT_EQ(result, "");
}

// A compositor that takes the frame and never answers: the call fails with
// the timeout's code within the layer's bound of 5 s.
TEST(ExtCapture, ACompositorThatNeverAnswersIsGivenUpOn) {
  fake_script script;
  script.frames = {FAKE_SILENT};
  std::string result = run_in_child([&] {
    fake_log log;
    return run_with_compositor(script, &log, [&]() -> std::string {
      struct timespec start, end;
      clock_gettime(CLOCK_MONOTONIC, &start);
      std::string why = capture(0, 0, 40, 30, [](int, int) { return 0u; });
      clock_gettime(CLOCK_MONOTONIC, &end);
      double seconds = (double)(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9;
      if (why.empty() || last_code() != 114 || seconds > 8) {
        return "after " + std::to_string(seconds) + " s: " + why;
      }
      return std::string();
    });
  });
  EXPECT_EQ(result, "");
}

struct order_case {
  const char *what;
  bool ext, wlr;
  fake_outcome frame;  // ext-image-copy-capture's
  fake_wlr wlr_copy;
  int code;  // of the capture; 0 for success
};

// A copy's answer that comes before the compositor saw the request for it
// would hand over a buffer nobody filled: a black picture reported as
// success. Refused with a code of its own on both protocols; the same
// compositor answering in order copies exactly, so the refusal comes from
// the order alone.
TEST(ProtocolOrder, AnswersBeforeTheirRequestAreRefused) {
  const order_case cases[] = {
      {"ext: in order", true, false, FAKE_READY, FAKE_WLR_FAIL, 0},
      {"ext: ready before capture", true, false, FAKE_EARLY_READY, FAKE_WLR_FAIL, 122},
      {"ext: failed before capture", true, false, FAKE_EARLY_FAILED, FAKE_WLR_FAIL, 122},
      {"wlroots: in order", false, true, FAKE_READY, FAKE_WLR_COPY, 0},
      {"wlroots: flags and ready before copy", false, true, FAKE_READY, FAKE_WLR_EARLY_READY, 122},
  };
  for (const order_case &c : cases) {
    fake_script script;
    script.ext = c.ext;
    script.wlr = c.wlr;
    script.frames = {c.frame};
    script.wlr_copy = c.wlr_copy;
    std::string result = run_in_child([&] {
      fake_log log;
      return run_with_compositor(script, &log, [&]() -> std::string {
        // A region, so that wlroots' copy of part of an output is checked too.
        std::string why =
            capture(3, 2, 30, 20, [&](int u, int v) { return fake_pixel(0, 3 + u, 2 + v); });
        int code = why.empty() ? 0 : last_code();
        if (code != c.code) return "code " + std::to_string(code) + " (" + why + ")";
        // The next call connects afresh and meets the same compositor.
        why = capture(0, 0, 40, 30, [&](int u, int v) { return fake_pixel(0, u, v); });
        code = why.empty() ? 0 : last_code();
        if (code != c.code) return "again: code " + std::to_string(code) + " (" + why + ")";
        return "";
      });
    });
    EXPECT_EQ(result, "") << c.what;
  }
}

}  // namespace
