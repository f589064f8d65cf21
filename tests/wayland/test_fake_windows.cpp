// Native Wayland windows against a compositor of our own
// (fake_compositor.h): the list from ext-foreign-toplevel-list with titles
// that are no valid UTF-8, closed windows and identifiers no id can carry;
// the capture by id through the window source, a window the compositor
// cannot capture, an id it does not know, a session it stops; and a list
// that never says it finished. Each case runs in a child process with a
// fresh library.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fake_compositor.h"
#include "vantorel_screenshot.h"

namespace {

// The compositor's thread handles what the library sent in its own time.
bool handles_let_go(const fake_log &log) {
  for (int i = 0; i < 100 && log.handles_alive != 0; i++) usleep(10000);
  return log.handles_alive == 0;
}

int last_code() {
  const char *text = screenshot_last_error();
  const char *at = strstr(text, "(error ");
  return at ? atoi(at + 7) : -1;
}

fake_script windows_script() {
  fake_script script;
  script.toplevel_list = true;
  script.toplevel_sources = true;
  script.toplevels = {
      {"a1", "Caf\xc3\xa9 \xe2\x9c\x93", "app.one", false, 30, 20},
      {"b2", "x\xff\xfe\"\n" + std::string(400, 'y'), "app.two", false, 12, 7},
      {"has space", "left out: no id can name it", "", false, 30, 20},
      {"c3", "left out: closed", "", true, 30, 20},
  };
  return script;
}

// Grabs the window and checks it is the fake's window index (past the
// outputs) at its own size, or says why not.
std::string grab_checked(const char *id, int index, int width, int height) {
  screenshot_picture picture;
  if (screenshot_grab_window(id, 0, &picture) != 0) {
    return std::string("grab failed: ") + screenshot_last_error();
  }
  std::string why;
  if (picture.width != width || picture.height != height) {
    why = "size " + std::to_string(picture.width) + "x" + std::to_string(picture.height);
  }
  for (int y = 0; why.empty() && y < height; y++) {
    for (int x = 0; why.empty() && x < width; x++) {
      const unsigned char *p = picture.rgba + ((size_t)y * width + x) * 4;
      uint32_t got = (uint32_t)p[0] << 16 | (uint32_t)p[1] << 8 | p[2];
      if (got != fake_pixel(index, x, y) || p[3] != 255) why = "pixel " + std::to_string(x);
    }
  }
  screenshot_free_mem(picture.rgba);
  return why;
}

}  // namespace

TEST(FakeWindows, ListedCheckedAndStoppedAfter) {
  fake_script script = windows_script();
  std::string result = run_in_child([&] {
    fake_log log;
    return run_with_compositor(script, &log, [&]() -> std::string {
      const char *json = screenshot_list_windows_json();
      if (!json) return std::string("no list: ") + screenshot_last_error();
      std::string want =
          "[{\"id\":\"wl:a1\",\"title\":\"Caf\xc3\xa9 \xe2\x9c\x93\",\"app\":\"app.one\","
          "\"pid\":null,\"x\":null,\"y\":null,\"width\":null,\"height\":null,\"focused\":null,"
          "\"minimized\":null},{\"id\":\"wl:b2\",\"title\":\"x\xef\xbf\xbd\xef\xbf\xbd\\\"\\u000a" +
          std::string(256 - 3 - 3 - 1 - 1 - 1, 'y') +
          "\",\"app\":\"app.two\",\"pid\":null,\"x\":null,\"y\":null,\"width\":null,"
          "\"height\":null,\"focused\":null,\"minimized\":null}]";
      if (json != want) return "listed " + std::string(json);
      // The list was stopped and every handle let go of.
      if (log.lists_stopped != 1 || !handles_let_go(log)) {
        return "stopped " + std::to_string(log.lists_stopped) + ", handles alive " +
               std::to_string(log.handles_alive);
      }
      return std::string();
    });
  });
  EXPECT_EQ(result, "");
}

// More windows than the list holds, and more than the layer keeps handles
// for (2,048; the rest are let go of as they come): the first 1,024 listed,
// every handle let go of, the last window kept still captured by its id.
// (libwayland-server 1.21 drops a client whose events fill the socket, so
// the fake cannot announce many more at once.)
TEST(FakeWindows, AHugeListIsBounded) {
  fake_script script = windows_script();
  script.toplevels.clear();
  for (int i = 0; i < 2100; i++) {
    script.toplevels.push_back(
        {"w" + std::to_string(i), "window " + std::to_string(i), "many", false, 4, 3});
  }
  std::string result = run_in_child([&] {
    fake_log log;
    return run_with_compositor(script, &log, [&]() -> std::string {
      const char *json = screenshot_list_windows_json();
      if (!json) return std::string("no list: ") + screenshot_last_error();
      std::string text = json;
      size_t listed = 0;
      for (size_t at = text.find("{\"id\""); at != std::string::npos;
           at = text.find("{\"id\"", at + 1)) {
        listed++;
      }
      if (listed != 1024 || text.find("\"wl:w1023\"") == std::string::npos) {
        return "listed " + std::to_string(listed);
      }
      if (!handles_let_go(log)) return std::string("handles left alive");
      return grab_checked("wl:w2047", 1 + 2047, 4, 3);
    });
  });
  EXPECT_EQ(result, "");
}

// With wlroots' toplevel management beside the list, a window takes its
// focus and minimized state from the managed toplevels of its title and
// application id: one, or several that agree; several that disagree leave
// it unknown.
TEST(FakeWindows, FocusAndMinimizedFromTheToplevelsThatMatch) {
  fake_script script = windows_script();
  script.wlr_toplevels = true;
  script.toplevels = {
      {"f", "Editor", "edit", false, 4, 3, true, false},
      {"m", "Mail", "mail", false, 4, 3, false, true},
      {"t1", "twin", "term", false, 4, 3, true, false},
      {"t2", "twin", "term", false, 4, 3, false, false},
      {"s1", "same", "term", false, 4, 3, false, false},
      {"s2", "same", "term", false, 4, 3, false, false},
  };
  std::string result = run_in_child([&] {
    fake_log log;
    return run_with_compositor(script, &log, [&]() -> std::string {
      const char *json = screenshot_list_windows_json();
      if (!json) return std::string("no list: ") + screenshot_last_error();
      const char *want[][3] = {
          {"wl:f", "true", "false"},  {"wl:m", "false", "true"},   {"wl:t1", "null", "false"},
          {"wl:t2", "null", "false"}, {"wl:s1", "false", "false"}, {"wl:s2", "false", "false"},
      };
      std::string text = json;
      for (const auto &w : want) {
        size_t at = text.find(std::string("{\"id\":\"") + w[0] + "\"");
        size_t end = at == std::string::npos ? at : text.find('}', at);
        std::string entry = at == std::string::npos ? "" : text.substr(at, end - at);
        std::string tail = std::string("\"focused\":") + w[1] + ",\"minimized\":" + w[2];
        if (entry.size() < tail.size() ||
            entry.compare(entry.size() - tail.size(), tail.size(), tail))
          return "listed " + text;
      }
      if (!handles_let_go(log)) return std::string("handles left alive");
      return std::string();
    });
  });
  EXPECT_EQ(result, "");
}

TEST(FakeWindows, CapturedByIdAtTheirOwnSize) {
  fake_script script = windows_script();
  std::string result = run_in_child([&] {
    fake_log log;
    return run_with_compositor(script, &log, [&]() -> std::string {
      std::string why = grab_checked("wl:a1", 1, 30, 20);
      if (why.empty()) why = grab_checked("wl:b2", 2, 12, 7);
      if (why.empty() && !handles_let_go(log)) why = "handles left alive";
      return why;
    });
  });
  EXPECT_EQ(result, "");
}

struct refusal_case {
  const char *what;
  const char *id;
  void (*change)(fake_script *);
  int code;
};

TEST(FakeWindows, RefusalsSayWhy) {
  const refusal_case cases[] = {
      {"an id the compositor does not list", "wl:zz", [](fake_script *) {}, 123},
      {"a closed window", "wl:c3", [](fake_script *) {}, 123},
      {"no window source: the compositor cannot capture windows", "wl:a1",
       [](fake_script *s) { s->toplevel_sources = false; }, 124},
      {"no list at all", "wl:a1", [](fake_script *s) { s->toplevel_list = false; }, 123},
      {"the session stopped", "wl:a1", [](fake_script *s) { s->frames = {FAKE_STOP_SESSION}; },
       120},
      {"the frame failed", "wl:a1", [](fake_script *s) { s->frames = {FAKE_FAIL_UNKNOWN}; }, 112},
  };
  for (const refusal_case &c : cases) {
    SCOPED_TRACE(c.what);
    fake_script script = windows_script();
    c.change(&script);
    std::string result = run_in_child([&] {
      fake_log log;
      return run_with_compositor(script, &log, [&]() -> std::string {
        screenshot_picture picture;
        if (screenshot_grab_window(c.id, 0, &picture) == 0) {
          screenshot_free_mem(picture.rgba);
          return std::string("captured");
        }
        std::string want = "window '" + std::string(c.id) + "' could not be captured (error " +
                           std::to_string(c.code) + ")";
        if (screenshot_last_error() != want || picture.rgba) {
          return std::string(screenshot_last_error());
        }
        return std::string();
      });
    });
    EXPECT_EQ(result, "");
  }
}

// A list that never says it finished holds the call no longer than the
// layer's bound of 5 s.
TEST(FakeWindows, AListThatNeverFinishesIsGivenUpOn) {
  fake_script script = windows_script();
  script.list_never_finishes = true;
  std::string result = run_in_child([&] {
    fake_log log;
    return run_with_compositor(script, &log, [&]() -> std::string {
      struct timespec start, end;
      clock_gettime(CLOCK_MONOTONIC, &start);
      const char *json = screenshot_list_windows_json();
      clock_gettime(CLOCK_MONOTONIC, &end);
      double seconds = (double)(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9;
      if (json || last_code() != 114 || seconds > 8) {
        return "after " + std::to_string(seconds) + " s: " + screenshot_last_error();
      }
      return std::string();
    });
  });
  EXPECT_EQ(result, "");
}
