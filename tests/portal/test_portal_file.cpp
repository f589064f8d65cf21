// The portal file's time rule on its own, against a request time the test
// chooses: a file may read up to two seconds older than the request (coarse
// file times round down), not a nanosecond more.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>

#include "linux/portal/portal_file.h"
#include "portal_test_support.h"

namespace {

TEST(PortalFile, AFileMayReadUpToTwoSecondsOlderThanTheRequest) {
  std::string dir = make_temp_dir();
  ASSERT_FALSE(dir.empty());
  std::string path = dir + "/picture.png";
  ASSERT_TRUE(write_file(path, "bytes"));
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  const struct timespec stamp = st.st_mtim;
  struct {
    const char *what;
    long long sent_after_stamp_ns;
    portal_file_result result;
  } cases[] = {
      {"written after the request", -1000000, PORTAL_FILE_OK},
      {"written in the same nanosecond", 0, PORTAL_FILE_OK},
      {"reading 2 s older", 2000000000, PORTAL_FILE_OK},
      {"reading 2 s and 1 ns older", 2000000001, PORTAL_FILE_STALE},
      {"reading an hour older", 3600000000000, PORTAL_FILE_STALE},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    long long ns = stamp.tv_nsec + c.sent_after_stamp_ns;
    struct timespec sent;
    sent.tv_sec = stamp.tv_sec + ns / 1000000000;
    sent.tv_nsec = ns % 1000000000;
    if (sent.tv_nsec < 0) {
      sent.tv_nsec += 1000000000;
      sent.tv_sec--;
    }
    portal_file file;
    EXPECT_EQ(portal_file_read(path.c_str(), &sent, &file), c.result);
    if (c.result == PORTAL_FILE_OK) {
      EXPECT_EQ(std::string((const char *)file.data, file.size), "bytes");
      EXPECT_TRUE(file.ours);
    } else {
      EXPECT_EQ(file.data, nullptr);
      EXPECT_FALSE(file.ours);
    }
    free(file.data);
    EXPECT_TRUE(file_exists(path));
  }
  remove_tree(dir);
}

}  // namespace
