// The process-wide error text: one message, replaced by each failure, left
// alone by successes, cut to 511 bytes.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "core/screenshot.h"
#include "test_support.h"

class ErrorText : public display_test {
 protected:
  void SetUp() override {
    display_test::SetUp();
    sd_add_monitor(0, 0, 8, 8, "\\\\.\\DISPLAY1", 1);
  }
};

TEST_F(ErrorText, SamePointersAndTextReplacedByEachFailure) {
  const char *version = screenshot_version();
  const char *text = screenshot_last_error();

  EXPECT_EQ(screenshot_capture_all_png(""), -1);
  EXPECT_STREQ(text, "output file is empty");

  EXPECT_EQ(screenshot_capture_monitor_png(3, dir.file("m.png").c_str()), -1);
  EXPECT_EQ(screenshot_last_error(), text);
  EXPECT_STREQ(text, "monitor index 3 out of range (0..0)");  // only the second

  // A success leaves the last failure's message in place.
  EXPECT_EQ(screenshot_capture_region_png(0, 0, 2, 2, dir.file("ok.png").c_str()), 0);
  EXPECT_STREQ(text, "monitor index 3 out of range (0..0)");

  // A shorter message replaces the text from its first byte; nothing of the
  // longer one remains after the terminator is read.
  EXPECT_EQ(screenshot_capture_window_png(nullptr, "x.png"), -1);
  EXPECT_STREQ(text, "window handle is NULL");

  EXPECT_EQ(screenshot_version(), version);
  EXPECT_STREQ(version, "1.0.0");
}

// The write failure carries the path, so its length can be chosen exactly.
TEST_F(ErrorText, CutAfter511Bytes) {
  const std::string head = "PNG write failed for 2x2 frame to '";
  const std::string tail = "' (No such file or directory)";
  const std::string dir_part = dir.path + "/missing/";
  struct row {
    size_t formatted_len;
  } rows[] = {{510}, {511}, {512}, {513}, {700}};
  for (const row &r : rows) {
    size_t fixed = head.size() + dir_part.size() + tail.size();
    ASSERT_GT(r.formatted_len, fixed + 4);
    std::string path = dir_part + std::string(r.formatted_len - fixed - 4, 'p') + ".png";
    std::string full = head + path + tail;
    ASSERT_EQ(full.size(), r.formatted_len);

    EXPECT_EQ(screenshot_capture_region_png(0, 0, 2, 2, path.c_str()), -1);
    std::string expected = full.substr(0, 511);
    EXPECT_EQ(std::string(screenshot_last_error()), expected) << r.formatted_len;
    EXPECT_EQ(strlen(screenshot_last_error()), r.formatted_len < 511 ? r.formatted_len : 511u);
  }
}
