// The monitor list as one line of JSON, and the escaping of names.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "core/screenshot.h"
#include "test_support.h"

using MonitorJson = display_test;

TEST_F(MonitorJson, ExactTextForExampleLayouts) {
  struct row {
    const char *label;
    void (*layout)(void);
    const char *json;
  } rows[] = {
      {"one primary monitor with the fallback name",
       [] {
         sd_add_monitor(0, 0, 640, 480, "ignored", 0);
         sd_fail_monitor_info(0, 5);
       },
       R"([{"index":0,"name":"Monitor 0","x":0,"y":0,"width":640,"height":480,"is_primary":true}])"},
      {"two monitors, the second above the first's top edge",
       [] {
         sd_add_monitor(0, 0, 640, 480, "\\\\.\\DISPLAY1", 1);
         sd_add_monitor(640, -120, 960, 120, "\\\\.\\DISPLAY2", 0);
       },
       R"([{"index":0,"name":"\\\\.\\DISPLAY1","x":0,"y":0,"width":640,"height":480,"is_primary":true},)"
       R"({"index":1,"name":"\\\\.\\DISPLAY2","x":640,"y":-120,"width":320,"height":240,"is_primary":false}])"},
      {"quotation mark, backslash, control character, DEL and a high byte; spaces stay",
       [] { sd_add_monitor(-5, -6, 5, 6, "A\"B\\C\tD\x7f\xe9 E", 1); },
       "[{\"index\":0,\"name\":\"A\\\"B\\\\C\\u0009D\x7f\xe9 E\",\"x\":-5,\"y\":-6,\"width\":10,"
       "\"height\":12,\"is_primary\":true}]"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.label);
    sd_reset();
    r.layout();
    const char *json = screenshot_list_monitors_json();
    ASSERT_NE(json, nullptr);
    EXPECT_STREQ(json, r.json);
  }
}

TEST_F(MonitorJson, SeventeenMonitorsListSixteen) {
  for (int i = 0; i < 17; i++) sd_add_monitor(i, 0, i + 1, 1, "D", 0);
  const char *json = screenshot_list_monitors_json();
  ASSERT_NE(json, nullptr);
  std::string text = json;
  EXPECT_NE(text.find("{\"index\":15,\"name\":\"D\",\"x\":15,"), std::string::npos);
  EXPECT_EQ(text.find("\"index\":16"), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 2), "}]");
}

TEST_F(MonitorJson, FailureReturnsNullAndKeepsTheEarlierText) {
  sd_add_monitor(0, 0, 640, 480, "A", 1);
  const char *first = screenshot_list_monitors_json();
  ASSERT_NE(first, nullptr);
  std::string before = first;

  sd_fail(SD_ENUM_DISPLAY_MONITORS, 0, 1234);
  EXPECT_EQ(screenshot_list_monitors_json(), nullptr);
  EXPECT_STREQ(screenshot_last_error(), "EnumDisplayMonitors failed (error 1234)");
  EXPECT_EQ(std::string(first), before);

  // An enumeration that finds nothing is a failure too, never "[]".
  sd_reset();
  EXPECT_EQ(screenshot_list_monitors_json(), nullptr);
  EXPECT_STREQ(screenshot_last_error(), "EnumDisplayMonitors failed (error 0)");
  EXPECT_EQ(std::string(first), before);

  // A later success writes the same buffer.
  sd_add_monitor(1, 2, 3, 4, "B", 0);
  EXPECT_EQ(screenshot_list_monitors_json(), first);
  EXPECT_STREQ(first,
               R"([{"index":0,"name":"B","x":1,"y":2,"width":2,"height":2,"is_primary":false}])");
}

// The escaped name lives in a 256-byte scratch area: at most 255 bytes of
// text. Before a character, more than 253 bytes written ends the name; an
// escape that would not fit ends it as well, and nothing after it is kept.
TEST(EscapeJsonName, LimitsOfTheScratchArea) {
  const std::string esc1 = "\\u0001";
  auto times = [](const std::string &s, int n) {
    std::string out;
    for (int i = 0; i < n; i++) out += s;
    return out;
  };
  struct row {
    const char *label;
    std::string name;
    std::string want;
  } rows[] = {
      {"127 backslashes are written whole", std::string(127, '\\'), std::string(254, '\\')},
      {"41 escapes then a..j keep a..h", times("\x01", 41) + "abcdefghij",
       times(esc1, 41) + "abcdefgh"},
      {"42 escapes then letters keep two letters", times("\x01", 42) + "abc",
       times(esc1, 42) + "ab"},
      {"an escape at 249 still fits, to 255 bytes", times("\x01", 41) + "abc\x01xyz",
       times(esc1, 41) + "abc" + esc1},
      {"an escape at 250 no longer fits and ends the name", times("\x01", 41) + "abcd\x01xyz",
       times(esc1, 41) + "abcd"},
      {"a two-byte escape at 253 fits", times("\x01", 41) + "abcdefg\"z",
       times(esc1, 41) + "abcdefg\\\""},
      {"nothing starts after 253 bytes", times("\x01", 41) + "abcdefgh\"",
       times(esc1, 41) + "abcdefgh"},
      {"control characters in lowercase hex", "\x1f\n\x1a\x7f\x80\xff",
       "\\u001f\\u000a\\u001a\x7f\x80\xff"},
      {"empty name", "", ""},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.label);
    char out[JSON_NAME_SCRATCH_SIZE + 64];
    memset(out, 0x5a, sizeof out);
    int n = escape_json_name(r.name.c_str(), out);
    EXPECT_EQ(std::string(out), r.want);
    EXPECT_EQ(n, (int)r.want.size());
    ASSERT_LE(r.want.size(), 255u);
    for (size_t i = JSON_NAME_SCRATCH_SIZE; i < sizeof out; i++)
      ASSERT_EQ(out[i], 0x5a) << "written past the scratch area at " << i;
  }
}
