// The window list as one line of JSON from the platform's records, and the
// grab of a window named by a text id.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "core/screenshot.h"
#include "test_support.h"

namespace {

vs_window_entry entry(const char *id, const char *title, const char *app) {
  vs_window_entry w;
  memset(&w, 0, sizeof w);
  snprintf(w.id, sizeof w.id, "%s", id);
  snprintf(w.title, sizeof w.title, "%s", title);
  snprintf(w.app, sizeof w.app, "%s", app);
  w.pid = -1;
  w.focused = -1;
  w.minimized = -1;
  return w;
}

std::string repeat(const char *piece, int times) {
  std::string s;
  for (int i = 0; i < times; i++) s += piece;
  return s;
}

}  // namespace

using WindowJson = display_test;

TEST_F(WindowJson, ExactTextForKnownAndUnknownFields) {
  vs_window_entry full = entry("0x1a00003", "Editor", "gedit");
  full.pid = 4242;
  full.x = -10;
  full.y = 20;
  full.width = 300;
  full.height = 200;
  full.has_rect = 1;
  full.focused = 1;
  full.minimized = 0;
  vs_window_entry bare = entry("wl:7", "", "");
  sd_set_window_list({full, bare}, 0);
  const char *json = screenshot_list_windows_json();
  ASSERT_NE(json, nullptr) << screenshot_last_error();
  EXPECT_STREQ(json,
               R"([{"id":"0x1a00003","title":"Editor","app":"gedit","pid":4242,"x":-10,"y":20,)"
               R"("width":300,"height":200,"focused":true,"minimized":false},)"
               R"({"id":"wl:7","title":"","app":"","pid":null,"x":null,"y":null,"width":null,)"
               R"("height":null,"focused":null,"minimized":null}])");

  sd_set_window_list({}, 0);
  json = screenshot_list_windows_json();
  ASSERT_NE(json, nullptr);
  EXPECT_STREQ(json, "[]");
}

// Titles come from other programs: whatever bytes they hold, the JSON stays
// well formed, valid UTF-8 and bounded.
TEST_F(WindowJson, HostileTitlesAreCheckedEscapedAndCut) {
  struct row {
    const char *label;
    std::string title;
    std::string json;  // the title as listed
  } rows[] = {
      {"quotation mark, backslash, controls; DEL and UTF-8 stay",
       "a\"b\\c\n\x01\x7f\xc3\xa9\xf0\x9f\x98\x80",
       "\"a\\\"b\\\\c\\u000a\\u0001\x7f\xc3\xa9\xf0\x9f\x98\x80\""},
      {"a lone continuation byte and a stray lead byte", "x\x80y\xc3",
       "\"x\xef\xbf\xbdy\xef\xbf\xbd\""},
      {"overlong slash, a surrogate, beyond U+10FFFF", "\xc0\xaf|\xed\xa0\x80|\xf4\x90\x80\x80",
       "\"\xef\xbf\xbd\xef\xbf\xbd|\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd|"
       "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},
      {"cut at 256 bytes: 128 two-byte characters of 300", repeat("\xc3\xa9", 300),
       "\"" + repeat("\xc3\xa9", 128) + "\""},
      {"cut before a four-byte character that would pass 256 bytes",
       repeat("a", 254) + "\xf0\x9f\x98\x80", "\"" + repeat("a", 254) + "\""},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.label);
    sd_set_window_list({entry("0x1", r.title.c_str(), "")}, 0);
    const char *json = screenshot_list_windows_json();
    ASSERT_NE(json, nullptr);
    std::string expected = "[{\"id\":\"0x1\",\"title\":" + r.json + ",\"app\":\"\",\"pid\":null";
    EXPECT_EQ(std::string(json).substr(0, expected.size()), expected);
  }
}

TEST_F(WindowJson, HugeListsStopAtTheTopmostAndFailuresSayWhy) {
  std::vector<vs_window_entry> many(
      VS_MAX_WINDOWS + 500, entry("0x2", repeat("\x01", 900).c_str(), repeat("\"", 900).c_str()));
  sd_set_window_list(many, 0);
  const char *json = screenshot_list_windows_json();
  ASSERT_NE(json, nullptr);
  std::string text = json;
  size_t listed = 0;
  for (size_t at = text.find("{\"id\""); at != std::string::npos; at = text.find("{\"id\"", at + 1))
    listed++;
  EXPECT_EQ(listed, (size_t)VS_MAX_WINDOWS);
  EXPECT_EQ(text.back(), ']');

  sd_set_window_list({}, 5);
  EXPECT_EQ(screenshot_list_windows_json(), nullptr);
  EXPECT_STREQ(screenshot_last_error(), "the windows could not be listed (error 5)");
}

TEST_F(WindowJson, TextIdsAreCapturedByTheirPlatform) {
  sd_set_text_window("wl:3", 5, 2, sd_pixel{0x10, 0x20, 0x30, 0});
  screenshot_picture picture;
  ASSERT_EQ(screenshot_grab_window("wl:3", 0, &picture), 0) << screenshot_last_error();
  EXPECT_EQ(picture.width, 5);
  EXPECT_EQ(picture.height, 2);
  EXPECT_EQ(picture.x, 0);
  const unsigned char want[4] = {0x30, 0x20, 0x10, 0xff};
  for (int i = 0; i < 10; i++) EXPECT_EQ(memcmp(picture.rgba + 4 * i, want, 4), 0) << i;
  screenshot_free_mem(picture.rgba);

  EXPECT_EQ(screenshot_grab_window("wl:4", 0, &picture), -1);
  EXPECT_STREQ(screenshot_last_error(), "window 'wl:4' could not be captured (error 123)");
  EXPECT_EQ(picture.rgba, nullptr);
  EXPECT_EQ(picture.width, 0);
}
