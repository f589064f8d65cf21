// The pointer flag of the grab exports through the core: where the display
// draws the pointer into its own copy, the memory DC asks for it before the
// copy, and only when the caller does; a refusal ends the grab with its own
// message and every object released.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "core/screenshot.h"
#include "test_support.h"

namespace {

using PointerFlag = display_test;

const journal k_region_acquire = {"EnumDisplayMonitors(0,0)=1", "GetDC(0)=S1",
                                  "CreateCompatibleDC(S1)=M1", "CreateCompatibleBitmap(S1,4,3)=B1",
                                  "SelectObject(M1,B1)=STOCK"};
const std::string k_copy = "BitBlt(M1,0,0,4,3,S1,1,2,0xcc0020)=1";
const std::string k_read = "GetDIBits(M1,B1,0,3,buf,{40,4,-3,1,32,0,0,0,0,0,0},0)=3";

void one_monitor() {
  sd_add_monitor(0, 0, 8, 8, "M", 1);
  sd_set_screen(0, 0, 8, 8, sd_pixel{1, 2, 3, 0});
}

// The journal without the monitor info calls, which do not concern the pointer.
journal without_monitor_info(const journal &calls) {
  journal out;
  for (const std::string &c : calls)
    if (c.rfind("GetMonitorInfoA", 0) != 0) out.push_back(c);
  return out;
}

TEST_F(PointerFlag, AskedBeforeTheCopyOnlyWhenTheCallerAsks) {
  struct {
    unsigned flags;
    journal middle;
  } rows[] = {
      {0, {k_copy}},
      {SCREENSHOT_WITH_CURSOR, {"vs_ask_pointer(M1)=1", k_copy}},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.flags);
    sd_reset();
    one_monitor();
    screenshot_picture p;
    ASSERT_EQ(screenshot_grab_region(1, 2, 4, 3, r.flags, &p), 0) << screenshot_last_error();
    EXPECT_EQ(without_monitor_info(sd_journal()),
              concat(concat(k_region_acquire, r.middle), concat({k_read}, k_release)));
    EXPECT_EQ(p.width, 4);
    screenshot_free_mem(p.rgba);
  }
}

TEST_F(PointerFlag, ARefusalFailsTheGrabAndReleasesEverything) {
  one_monitor();
  sd_fail(SD_ASK_POINTER, 0, 211);
  screenshot_picture p;
  memset(&p, 0x55, sizeof p);
  ASSERT_EQ(screenshot_grab_region(1, 2, 4, 3, SCREENSHOT_WITH_CURSOR, &p), -1);
  EXPECT_STREQ(screenshot_last_error(), "drawing the pointer failed (error 211)");
  EXPECT_EQ(p.rgba, nullptr);
  EXPECT_EQ(p.width, 0);
  EXPECT_EQ(sd_journal_count("BitBlt"), 0);
  EXPECT_EQ(
      without_monitor_info(sd_journal()),
      concat(concat(k_region_acquire, {"vs_ask_pointer(M1)=0", "GetLastError()=211"}), k_release));
}

TEST_F(PointerFlag, AWindowAsksBeforeItPrints) {
  HWND w = sd_add_window(-2, -1, 2, 2);
  sd_window_print(w, 2, 1, sd_pixel{1, 2, 3, 0}, 0);
  screenshot_picture p;
  std::string id = std::to_string((uintptr_t)w);
  ASSERT_EQ(screenshot_grab_window(id.c_str(), SCREENSHOT_WITH_CURSOR, &p), 0)
      << screenshot_last_error();
  journal calls = sd_journal();
  auto at = [&](const std::string &prefix) {
    for (size_t i = 0; i < calls.size(); i++)
      if (calls[i].rfind(prefix, 0) == 0) return (int)i;
    return -1;
  };
  EXPECT_GE(at("vs_ask_pointer(M1)=1"), 0);
  EXPECT_LT(at("vs_ask_pointer(M1)=1"), at("PrintWindow(W1,M1,2)=1"));
  screenshot_free_mem(p.rgba);
}

TEST_F(PointerFlag, UnknownFlagsAreRefusedBeforeTheDisplay) {
  one_monitor();
  screenshot_picture p;
  EXPECT_EQ(screenshot_grab_region(1, 2, 4, 3, 0x6, &p), -1);
  EXPECT_STREQ(screenshot_last_error(), "unknown flags 0x6");
  EXPECT_TRUE(sd_journal().empty());
}

}  // namespace
