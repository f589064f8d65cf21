// The portal module against private session buses: none, one without a
// portal, one whose portal (rig/portal-fake.py) answers as each test says.
// Needs dbus-daemon and python3-dbus, nothing of a desktop.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "portal_test_support.h"
#include "stb/stb_image_write.h"

namespace {

// What the module must hand out for `pattern`: B,G,R,255 (grey replicated).
void expect_bgrx(const portal_picture &pic, int w, int h, int channels) {
  ASSERT_EQ(pic.width, w);
  ASSERT_EQ(pic.height, h);
  std::vector<unsigned char> src = pattern(w, h, channels);
  for (int i = 0; i < w * h; i++) {
    const unsigned char *s = &src[size_t(i) * channels];
    unsigned char r = s[0], g = channels >= 3 ? s[1] : s[0], b = channels >= 3 ? s[2] : s[0];
    const unsigned char *d = &pic.pixels[size_t(i) * 4];
    ASSERT_TRUE(d[0] == b && d[1] == g && d[2] == r && d[3] == 255)
        << "pixel " << i % w << "," << i / w;
  }
}

class FakePortal : public ::testing::Test {
 protected:
  static std::string dir;
  static private_bus *bus;
  static child *fake;

  static void SetUpTestSuite() {
    dir = make_temp_dir();
    ASSERT_FALSE(dir.empty());
    bus = new private_bus;
    ASSERT_TRUE(bus->start(dir, "bus")) << "dbus-daemon did not start";
    setenv("DBUS_SESSION_BUS_ADDRESS", bus->address.c_str(), 1);
    ASSERT_TRUE(write_file(dir + "/control", "silent\n"));
    fake = new child;
    ASSERT_TRUE(fake->start({VS_PORTAL_FAKE, dir + "/control"}));
    std::string line;
    ASSERT_TRUE(fake->read_line(&line, 20000) && line == "ready")
        << "the fake portal did not start";
  }
  static void TearDownTestSuite() {
    delete fake;
    delete bus;
    remove_tree(dir);
  }
  void SetUp() override {
    home = dir + "/home-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char &c : home) {
      if (c == '/' && &c > &home[dir.size()]) c = '_';
    }
    ASSERT_EQ(mkdir(home.c_str(), 0700), 0);
    setenv("HOME", home.c_str(), 1);
    unsetenv("XDG_PICTURES_DIR");
    unsetenv("XDG_CONFIG_HOME");
  }
  void control(const std::string &line) { ASSERT_TRUE(write_file(dir + "/control", line + "\n")); }
  std::string write_png(const std::string &name, int w, int h, int channels) {
    std::string path = home + "/" + name;
    std::vector<unsigned char> px = pattern(w, h, channels);
    EXPECT_TRUE(stbi_write_png(path.c_str(), w, h, channels, px.data(), w * channels));
    return path;
  }
  std::string home;
};
std::string FakePortal::dir;
private_bus *FakePortal::bus;
child *FakePortal::fake;

// Every decodable layout a portal may write comes out as B,G,R,X, and the
// file the answer named is gone afterwards.
TEST_F(FakePortal, PicturesOfEveryChannelLayoutDecodeExactlyAndTheFileIsRemoved) {
  for (int channels : {1, 2, 3, 4}) {
    SCOPED_TRACE(channels);
    std::string path = write_png("Screenshot from me.png", 97, 31, channels);
    control("answer 0 file://" + home + "/Screenshot%20from%20me.png");
    taken t;
    ASSERT_EQ(t.result, 0) << t.code;
    expect_bgrx(t.pic, 97, 31, channels);
    EXPECT_FALSE(file_exists(path));
  }
}

// Answers that give no picture: each its own code, quickly. A file the portal
// wrote for the request that is no sane picture (text, 16 bits per sample,
// cut short, corrupt, a header claiming a huge picture) is its own, so it is
// removed all the same.
TEST_F(FakePortal, AnswersWithoutAPictureFailWithTheirCode) {
  std::string png = pattern_png(40, 30, 3);
  ASSERT_FALSE(png.empty());
  std::string corrupt = png;
  size_t idat = corrupt.find("IDAT");
  ASSERT_NE(idat, std::string::npos);
  corrupt[idat + 4] = 0;  // the zlib header: no compression method 0
  std::string huge = png_claiming(png, 40000, 40000);
  ASSERT_FALSE(huge.empty());
  struct {
    const char *name;
    std::string bytes;
  } sources[] = {
      {"note.txt", "not a picture"},
      {"sixteen.png", std::string((const char *)kSixteenBitPng, kSixteenBitPngSize)},
      {"cut.png", png.substr(0, png.size() / 2)},
      {"corrupt.png", corrupt},
      {"huge.png", huge},
  };
  for (const auto &source : sources) {
    ASSERT_TRUE(write_file(home + "/" + source.name, source.bytes));
  }
  ASSERT_EQ(mkdir((home + "/Pictures").c_str(), 0700), 0);
  std::string out = home + "/out.png";
  struct {
    std::string control;
    uint32_t code;
  } cases[] = {
      {"answer 2", PORTAL_ERROR_PORTAL_FAILED},
      {"answer 1", PORTAL_ERROR_DENIED},
      {"answer 7", PORTAL_ERROR_PORTAL_FAILED},
      {"answer 0", PORTAL_ERROR_BAD_PICTURE},
      {"answer 0 https://example.invalid/a.png", PORTAL_ERROR_BAD_PICTURE},
      {"answer 0 file://" + home + "/absent.png", PORTAL_ERROR_BAD_PICTURE},
      {"answer 0 file://" + home + "/bad%zzname.png", PORTAL_ERROR_BAD_PICTURE},
      {"write " + home + "/note.txt " + out, PORTAL_ERROR_BAD_PICTURE},
      {"write " + home + "/sixteen.png " + out, PORTAL_ERROR_BAD_PICTURE},
      {"write " + home + "/cut.png " + out, PORTAL_ERROR_BAD_PICTURE},
      {"write " + home + "/corrupt.png " + out, PORTAL_ERROR_BAD_PICTURE},
      {"write " + home + "/huge.png " + out, PORTAL_ERROR_BAD_PICTURE},
      {"no-screenshot", PORTAL_ERROR_NO_PORTAL},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.control);
    control(c.control);
    taken t;
    EXPECT_EQ(t.result, -1);
    EXPECT_EQ(t.code, c.code);
    EXPECT_EQ(t.pic.pixels, nullptr);
    EXPECT_LT(t.ms, 3000);
    EXPECT_FALSE(file_exists(out));
  }
}

// Answers naming a file the portal cannot have written for this request:
// each refused with its code, quickly, and left exactly as it was. Each is a
// good picture but for the one thing the row names (the last row shows the
// same picture taken), so the refusal can only come from that thing.
TEST_F(FakePortal, FilesNotWrittenForTheRequestAreRefusedAndLeftInPlace) {
  std::string png = pattern_png(16, 12, 3);
  ASSERT_FALSE(png.empty());
  // Written "later" than any request of this test, so that only the stale
  // file is older than its request, however slow the machine.
  auto fresh = [&](const std::string &name) {
    std::string path = home + "/" + name;
    EXPECT_TRUE(write_file(path, png));
    EXPECT_TRUE(set_mtime(path, 600));
    return path;
  };
  std::string target = fresh("target.png");
  std::string symlinked = home + "/symlink.png";
  ASSERT_EQ(symlink(target.c_str(), symlinked.c_str()), 0);
  std::string linked = fresh("linked.png");
  ASSERT_EQ(link(linked.c_str(), (home + "/second-name.png").c_str()), 0);
  std::string stale = fresh("stale.png");
  ASSERT_TRUE(set_mtime(stale, -3600));
  std::string fifo = home + "/fifo.png";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string big = fresh("big.png");
  ASSERT_EQ(truncate(big.c_str(), (off_t(1) << 30) + 1), 0);  // sparse
  ASSERT_TRUE(set_mtime(big, 600));
  std::string others = fresh("others.png");
  bool can_chown = geteuid() == 0 && chown(others.c_str(), 65534, 65534) == 0;
  std::string good = fresh("good.png");
  struct {
    const char *what;
    std::string path;
    uint32_t code;
  } cases[] = {
      {"another user's", others, PORTAL_ERROR_UNTRUSTED_FILE},
      {"a symbolic link to a picture of ours", symlinked, PORTAL_ERROR_UNTRUSTED_FILE},
      {"a picture with a second name", linked, PORTAL_ERROR_UNTRUSTED_FILE},
      {"written an hour before the request", stale, PORTAL_ERROR_STALE_FILE},
      {"a FIFO", fifo, PORTAL_ERROR_UNTRUSTED_FILE},
      {"a folder", home + "/Pictures", PORTAL_ERROR_UNTRUSTED_FILE},
      {"over 1 GiB", big, PORTAL_ERROR_UNTRUSTED_FILE},
      {"a good picture", good, 0},
  };
  ASSERT_EQ(mkdir((home + "/Pictures").c_str(), 0700), 0);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    if (c.path == others && !can_chown) {
      printf("skipped: a file of another user needs root to make\n");
      continue;
    }
    struct stat before, after;
    ASSERT_EQ(lstat(c.path.c_str(), &before), 0);
    control("answer 0 file://" + c.path);
    taken t;
    EXPECT_EQ(t.code, c.code);
    EXPECT_LT(t.ms, 3000);
    if (c.code != 0) {
      EXPECT_EQ(t.result, -1);
      ASSERT_EQ(lstat(c.path.c_str(), &after), 0) << "removed";
      EXPECT_TRUE(before.st_ino == after.st_ino && before.st_size == after.st_size &&
                  before.st_mtim.tv_sec == after.st_mtim.tv_sec &&
                  before.st_mtim.tv_nsec == after.st_mtim.tv_nsec &&
                  before.st_nlink == after.st_nlink)
          << "changed";
    } else {
      EXPECT_EQ(t.result, 0);
      EXPECT_FALSE(file_exists(c.path));
    }
  }
  EXPECT_TRUE(file_exists(target));
  EXPECT_TRUE(file_exists(home + "/second-name.png"));
}

// KDE answers 1 when the folder it writes to is missing: that cause gets its
// own code, wherever the user's settings put the folder.
TEST_F(FakePortal, CancelledWithoutThePicturesFolderSaysSo) {
  control("answer 1");
  std::string elsewhere = home + "/Bilder";
  struct {
    const char *how;
    std::string env_dir, user_dirs, make;
    uint32_t code;
  } cases[] = {
      {"default, missing", "", "", "", PORTAL_ERROR_NO_PICTURES_DIR},
      {"default, present", "", "", home + "/Pictures", PORTAL_ERROR_DENIED},
      {"user-dirs.dirs, missing", "", "XDG_PICTURES_DIR=\"$HOME/Bilder\"\n", "",
       PORTAL_ERROR_NO_PICTURES_DIR},
      {"user-dirs.dirs, present", "", "XDG_PICTURES_DIR=\"$HOME/Bilder\"\n", elsewhere,
       PORTAL_ERROR_DENIED},
      {"environment, missing", home + "/Fotos", "", "", PORTAL_ERROR_NO_PICTURES_DIR},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.how);
    remove_tree(home);
    ASSERT_EQ(mkdir(home.c_str(), 0700), 0);
    if (!c.make.empty()) {
      ASSERT_EQ(mkdir(c.make.c_str(), 0700), 0);
    }
    if (!c.user_dirs.empty()) {
      ASSERT_EQ(mkdir((home + "/.config").c_str(), 0700), 0);
      ASSERT_TRUE(write_file(home + "/.config/user-dirs.dirs", "# made by a test\n" + c.user_dirs));
    }
    if (c.env_dir.empty()) {
      unsetenv("XDG_PICTURES_DIR");
    } else {
      setenv("XDG_PICTURES_DIR", c.env_dir.c_str(), 1);
    }
    taken t;
    EXPECT_EQ(t.result, -1);
    EXPECT_EQ(t.code, c.code);
  }
}

// A portal that picks its own handle still has its answer followed.
TEST_F(FakePortal, AHandleOtherThanThePredictedOneIsFollowed) {
  std::string path = write_png("own.png", 8, 8, 3);
  control("other-handle 0 file://" + path);
  taken t;
  ASSERT_EQ(t.result, 0) << t.code;
  expect_bgrx(t.pic, 8, 8, 3);
  EXPECT_FALSE(file_exists(path));
}

// Captures racing for one file name (KDE's one-second names, wlroots'
// /tmp/out.png), both when the portal rewrites the file in place and when it
// renames a new one over it: every capture succeeds with the whole picture
// and nothing is left behind.
TEST_F(FakePortal, CapturesRacingForOneFileNameAllSucceedAndLeaveNothing) {
  std::string source = write_png("source.png", 640, 200, 3);
  std::string shared = home + "/Screenshot_shared.png";
  for (const char *how : {"write", "replace"}) {
    SCOPED_TRACE(how);
    control(std::string(how) + " " + source + " " + shared);
    const int kThreads = 4, kEach = 15;
    std::vector<std::string> failures[kThreads];
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; i++) {
      threads.emplace_back([&, i] {
        for (int n = 0; n < kEach; n++) {
          taken t;
          std::vector<unsigned char> want = pattern(640, 200, 3);
          bool same = t.result == 0 && t.pic.width == 640 && t.pic.height == 200;
          for (size_t p = 0; same && p < size_t(640) * 200; p++) {
            same = t.pic.pixels[p * 4] == want[p * 3 + 2] && t.pic.pixels[p * 4 + 2] == want[p * 3];
          }
          if (!same) failures[i].push_back("code " + std::to_string(t.code));
        }
      });
    }
    for (std::thread &t : threads) t.join();
    for (int i = 0; i < kThreads; i++) {
      EXPECT_TRUE(failures[i].empty())
          << "thread " << i << ": " << failures[i].size() << " failed, first " << failures[i][0];
    }
    EXPECT_FALSE(file_exists(shared));
  }
}

// The same race between processes (two hosts capturing at once), through
// the probe program: every capture of both succeeds, nothing is left.
TEST_F(FakePortal, CapturesOfTwoProcessesRacingForOneFileNameAllSucceed) {
  std::string source = write_png("source2.png", 800, 300, 3);
  std::string shared = home + "/Screenshot_20260101_120000.png";
  for (const char *how : {"write", "replace"}) {
    SCOPED_TRACE(how);
    control(std::string(how) + " " + source + " " + shared);
    child a, b;
    ASSERT_TRUE(a.start({VS_PORTAL_PROBE, "--count", "25"}));
    ASSERT_TRUE(b.start({VS_PORTAL_PROBE, "--count", "25"}));
    for (child *c : {&a, &b}) {
      int good = 0;
      std::string line;
      while (c->read_line(&line, 60000)) {
        if (line.rfind("result=0 code=0 width=800 height=300 ", 0) == 0) {
          good++;
        } else {
          ADD_FAILURE() << line;
        }
      }
      EXPECT_EQ(good, 25);
    }
    EXPECT_FALSE(file_exists(shared));
  }
}

// A portal that never answers: the call fails at the bound, not before and
// not much after, and the next call works once the portal answers again.
TEST_F(FakePortal, ASilentPortalFailsAtTheBoundAndTheNextCallWorks) {
  control("silent");
  {
    taken t;
    EXPECT_EQ(t.result, -1);
    EXPECT_EQ(t.code, PORTAL_ERROR_TIMEOUT);
    EXPECT_GE(t.ms, PORTAL_TIMEOUT_MS - 50);
    EXPECT_LT(t.ms, PORTAL_TIMEOUT_MS + 1500);
  }
  std::string path = write_png("after.png", 5, 5, 4);
  control("answer 0 file://" + path);
  taken t;
  EXPECT_EQ(t.result, 0) << t.code;
  EXPECT_FALSE(file_exists(path));
}

TEST_F(FakePortal, AvailableWhenTheScreenshotInterfaceIsThere) {
  control("silent");
  EXPECT_EQ(portal_available(vs_now_ms() + 5000), 1);
  control("no-screenshot");
  EXPECT_EQ(portal_available(vs_now_ms() + 5000), 0);
}

// Many captures hold no descriptor and no memory: the fake is fast enough
// to make the count large.
TEST_F(FakePortal, CapturesLeakNoDescriptorAndNoMemory) {
  std::string source = write_png("leak-source.png", 320, 200, 3);
  control("replace " + source + " " + home + "/out.png");
  for (int i = 0; i < 5; i++) taken warm;
  int fds = open_fd_count();
  size_t heap = heap_in_use();
  for (int i = 0; i < 200; i++) {
    taken t;
    ASSERT_EQ(t.result, 0) << t.code;
  }
  EXPECT_EQ(open_fd_count(), fds);
  EXPECT_LT(heap_in_use(), heap + 64 * 1024);
  EXPECT_TRUE(png_files_in(home).size() == 1);  // leak-source.png alone
}

// Buses that cannot serve a capture: a clear code, quickly, and
// portal_available says no by its deadline. No request goes out to a bus
// that never takes the connection, so that is no portal's timeout.
TEST(PortalWithoutPortal, BusesWithoutAPortalFailQuickly) {
  std::string dir = make_temp_dir();
  private_bus empty;
  ASSERT_TRUE(empty.start(dir, "empty"));
  private_bus stopped;
  ASSERT_TRUE(stopped.start(dir, "stopped"));
  kill(stopped.daemon.pid, SIGSTOP);
  struct {
    const char *how;
    std::string address;
    uint32_t code;
    int within_ms;
  } cases[] = {
      {"no bus at the address", "unix:path=" + dir + "/nothing", PORTAL_ERROR_NO_BUS, 1000},
      {"no address at all", "", PORTAL_ERROR_NO_BUS, 1000},
      {"a bus without a portal", empty.address, PORTAL_ERROR_NO_PORTAL, 2000},
      {"a bus that never answers", stopped.address, PORTAL_ERROR_NO_BUS, PORTAL_TIMEOUT_MS + 1500},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.how);
    if (c.address.empty()) {
      unsetenv("DBUS_SESSION_BUS_ADDRESS");
      setenv("XDG_RUNTIME_DIR", (dir + "/no-runtime").c_str(), 1);
    } else {
      setenv("DBUS_SESSION_BUS_ADDRESS", c.address.c_str(), 1);
    }
    struct timespec t0 = now_mono();
    EXPECT_EQ(portal_available(vs_now_ms() + 2000), 0);
    EXPECT_LT(elapsed_ms(t0), 2000 + 500);
    taken t;
    EXPECT_EQ(t.result, -1);
    EXPECT_EQ(t.code, c.code);
    EXPECT_LT(t.ms, c.within_ms);
  }
  kill(stopped.daemon.pid, SIGCONT);
  remove_tree(dir);
}

}  // namespace
