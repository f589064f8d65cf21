// Frames just past what the encoder takes, (width * 4 + 1) * height above
// INT_MAX: 1 x 429,496,730 pixels, about 1.7 GB of real pixel buffer.
#include <gtest/gtest.h>

#include <string>

#include "core/screenshot.h"
#include "test_support.h"

using BigFrame = display_test;

TEST_F(BigFrame, WindowWriteNamesFileTooLarge) {
  HWND w = sd_add_window(0, 0, 1, 429496730);
  sd_window_print(w, 2, 1, sd_pixel{0, 0, 0, 0}, 0);  // filled at memset speed
  std::string path = dir.file("big.png");
  EXPECT_EQ(screenshot_capture_window_png(w, path.c_str()), -1);
  EXPECT_EQ(std::string(screenshot_last_error()),
            "PNG write failed for 1x429496730 frame to '" + path + "' (File too large)");
  EXPECT_TRUE(dir.entries().empty());
}

TEST_F(BigFrame, MemoryCaptureReportsEncodeFailure) {
  sd_add_monitor(0, 0, 1, 429496730, "TALL", 1);
  uint8_t *png = (uint8_t *)1;
  int len = 5;
  EXPECT_EQ(screenshot_capture_region_mem(0, 0, 1, 429496730, &png, &len), -1);
  EXPECT_STREQ(screenshot_last_error(), "PNG encode failed for 1x429496730 frame");
  EXPECT_EQ(png, nullptr);
  EXPECT_EQ(len, 0);
}
