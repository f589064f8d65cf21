// Monitor enumeration into the fixed table of 16 entries.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "core/screenshot.h"
#include "test_support.h"

namespace {

struct expected_entry {
  int x, y, width, height;
  int is_primary;
  const char *name;
};

void expect_entry(const monitor_entry &e, int index, const expected_entry &want) {
  SCOPED_TRACE("entry " + std::to_string(index));
  EXPECT_EQ(e.x, want.x);
  EXPECT_EQ(e.y, want.y);
  EXPECT_EQ(e.width, want.width);
  EXPECT_EQ(e.height, want.height);
  EXPECT_EQ(e.index, index);
  EXPECT_EQ(e.is_primary, want.is_primary);
  EXPECT_STREQ(e.name, want.name);
  // Every byte after the terminator is zero.
  for (size_t i = strlen(want.name); i < sizeof e.name; i++) ASSERT_EQ(e.name[i], 0) << i;
}

monitor_table dirty_table() {
  monitor_table t;
  memset(&t, 0xab, sizeof t);
  t.count = 0;
  return t;
}

}  // namespace

using Enumerate = display_test;

TEST_F(Enumerate, EntriesInPlatformOrder) {
  sd_add_monitor(800, -200, 1600, 400, "\\\\.\\DISPLAY2", 0);
  sd_add_monitor(-1920, 0, 0, 1080, "\\\\.\\DISPLAY1", 1);
  sd_add_monitor(0, 0, 1, 1, "0123456789012345678901234567890", 0);  // 31 characters
  monitor_table t = dirty_table();
  ASSERT_EQ(enumerate_monitors(&t), 0);
  ASSERT_EQ(t.count, 3);
  expect_entry(t.entries[0], 0, {800, -200, 800, 600, 0, "\\\\.\\DISPLAY2"});
  expect_entry(t.entries[1], 1, {-1920, 0, 1920, 1080, 1, "\\\\.\\DISPLAY1"});
  expect_entry(t.entries[2], 2, {0, 0, 1, 1, 0, "0123456789012345678901234567890"});
  // Only the valid entries are copied; the caller's others keep their bytes.
  monitor_table untouched = dirty_table();
  EXPECT_EQ(memcmp(&t.entries[3], &untouched.entries[3], 13 * sizeof t.entries[0]), 0);
  EXPECT_EQ(sd_journal(), (std::vector<std::string>{
                              "EnumDisplayMonitors(0,0)=1",
                              "GetMonitorInfoA(H1,72)=1",
                              "GetMonitorInfoA(H2,72)=1",
                              "GetMonitorInfoA(H3,72)=1",
                          }));
}

TEST_F(Enumerate, FailedInformationQueryGivesFallbackNameAndPrimaryRule) {
  struct row {
    const char *label;
    int failing;  // monitor whose query fails
    expected_entry want[3];
  } rows[] = {
      {"first fails: stands in as primary beside the real one",
       0,
       {{0, 0, 100, 100, 1, "Monitor 0"}, {100, 0, 100, 100, 1, "B"}, {200, 0, 100, 100, 0, "C"}}},
      {"third fails: not primary, rectangle as usual",
       2,
       {{0, 0, 100, 100, 0, "A"}, {100, 0, 100, 100, 1, "B"}, {200, 0, 100, 100, 0, "Monitor 2"}}},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.label);
    sd_reset();
    sd_add_monitor(0, 0, 100, 100, "A", 0);
    sd_add_monitor(100, 0, 200, 100, "B", 1);
    sd_add_monitor(200, 0, 300, 100, "C", 0);
    sd_fail_monitor_info(r.failing, 1461);
    set_error("before");
    monitor_table t = dirty_table();
    ASSERT_EQ(enumerate_monitors(&t), 0);
    ASSERT_EQ(t.count, 3);
    for (int i = 0; i < 3; i++) expect_entry(t.entries[i], i, r.want[i]);
    EXPECT_STREQ(screenshot_last_error(), "before");  // no message for a failed query
  }
}

TEST_F(Enumerate, SeventeenthMonitorIsLeftOutSilently) {
  for (int i = 0; i < 17; i++) {
    char name[32];
    snprintf(name, sizeof name, "D%d", i);
    sd_add_monitor(i * 10, 0, i * 10 + 10, 10, name, i == 16);
  }
  set_error("before");
  monitor_table t = dirty_table();
  ASSERT_EQ(enumerate_monitors(&t), 0);
  ASSERT_EQ(t.count, 16);
  for (int i = 0; i < 16; i++) {
    char name[32];
    snprintf(name, sizeof name, "D%d", i);
    expect_entry(t.entries[i], i, {i * 10, 0, 10, 10, 0, name});
  }
  EXPECT_STREQ(screenshot_last_error(), "before");
  // The platform still reported all 17; the last one was not even queried.
  EXPECT_EQ(sd_journal_count("GetMonitorInfoA("), 16);
}

TEST_F(Enumerate, FailuresLeaveTheCallersTableAlone) {
  struct row {
    const char *label;
    int monitors;
    bool enum_fails;
    bool after_callbacks;
    DWORD error;
    const char *message;
  } rows[] = {
      {"platform fails", 2, true, false, 5, "EnumDisplayMonitors failed (error 5)"},
      {"platform fails after reporting monitors", 2, true, true, 1461,
       "EnumDisplayMonitors failed (error 1461)"},
      {"success without a monitor, last error 0", 0, false, false, 0,
       "EnumDisplayMonitors failed (error 0)"},
      {"success without a monitor, stale last error", 0, false, false, 87,
       "EnumDisplayMonitors failed (error 87)"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.label);
    sd_reset();
    for (int i = 0; i < r.monitors; i++) sd_add_monitor(i, 0, i + 1, 1, "X", 0);
    if (r.enum_fails) sd_fail(SD_ENUM_DISPLAY_MONITORS, 1, r.error);
    sd_enum_fails_after_callbacks(r.after_callbacks);
    sd_set_last_error(r.error);

    monitor_table t = dirty_table();
    monitor_table before = t;
    EXPECT_EQ(enumerate_monitors(&t), -1);
    EXPECT_STREQ(screenshot_last_error(), r.message);
    EXPECT_EQ(memcmp(&t, &before, sizeof t), 0);
    // The code is read straight after the enumeration.
    std::vector<std::string> j = sd_journal();
    ASSERT_FALSE(j.empty());
    EXPECT_EQ(j.back(), "GetLastError()=" + std::to_string(r.error));
  }
}
