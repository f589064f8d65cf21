// What the library holds before any call has failed or listed monitors.
#include <gtest/gtest.h>

#include "core/screenshot.h"
#include "test_support.h"

TEST(LoadState, ErrorTextIsEmptyBeforeTheFirstFailure) {
  const char *text = screenshot_last_error();
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "");
  // A success does not write it either.
  sd_reset();
  sd_add_monitor(0, 0, 4, 4, "A", 1);
  ASSERT_NE(screenshot_list_monitors_json(), nullptr);
  EXPECT_STREQ(screenshot_last_error(), "");
}

TEST(LoadState, VersionIsFixedText) {
  const char *v = screenshot_version();
  EXPECT_STREQ(v, "1.0.0");
  EXPECT_EQ(screenshot_version(), v);
}
