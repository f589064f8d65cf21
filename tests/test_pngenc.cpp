// The PNG stage: structure of the stream, the power-of-two block, argument
// refusals, the file writer and its failures.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <malloc.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/pngenc.h"
#include "core/screenshot.h"
#include "stb_write_oracle.h"
#include "test_frames.h"
#include "test_support.h"

namespace {

struct image {
  int width, height;
  std::vector<uint8_t> rgba;
};

// Deterministic noise; values below 144 cost stb's fixed Huffman code 8 bits
// each, so the PNG grows by about a byte per noise byte.
struct noise {
  uint32_t state;
  uint8_t next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return (uint8_t)(state % 144);
  }
};

image noise_image(int width, int height, size_t noisy_bytes, uint32_t seed) {
  image im{width, height, std::vector<uint8_t>((size_t)width * (size_t)height * 4, 0)};
  noise n{seed};
  for (size_t i = 0; i < noisy_bytes && i < im.rgba.size(); i++) im.rgba[i] = n.next();
  return im;
}

std::vector<uint8_t> encode(const image &im) {
  uint8_t *png = nullptr;
  size_t len = 0;
  if (pngenc_encode_rgba(im.rgba.data(), im.width, im.height, &png, &len) != 0) return {};
  std::vector<uint8_t> out(png, png + len);
  free(png);
  return out;
}

// An image whose PNG is exactly target bytes long. The PNG length grows
// almost linearly with the noisy prefix, so an interpolation search finds the
// crossing in a few encodings; the neighbours are then stepped through.
image image_with_png_length(size_t target, int width, int height) {
  for (uint32_t seed = 1; seed < 8; seed++) {
    size_t lo = 0, hi = (size_t)width * (size_t)height * 4;
    size_t lo_len = encode(noise_image(width, height, lo, seed)).size();
    size_t hi_len = encode(noise_image(width, height, hi, seed)).size();
    if (lo_len >= target || hi_len < target) return image{0, 0, {}};
    while (hi - lo > 1) {
      size_t mid =
          lo + (size_t)((double)(target - lo_len) / (double)(hi_len - lo_len) * (double)(hi - lo));
      if (mid <= lo) mid = lo + 1;
      if (mid >= hi) mid = hi - 1;
      size_t len = encode(noise_image(width, height, mid, seed)).size();
      if (len < target) {
        lo = mid;
        lo_len = len;
      } else {
        hi = mid;
        hi_len = len;
      }
    }
    for (size_t step = 0; step < 32; step++) {
      size_t n = step % 2 ? hi + (step + 1) / 2 : hi - step / 2;
      image im = noise_image(width, height, n, seed);
      if (encode(im).size() == target) return im;
    }
  }
  return image{0, 0, {}};
}

std::vector<uint8_t> plain_stb(const uint8_t *rgba, int width, int height) {
  int len = 0;
  unsigned char *png = oracle_png_to_mem(rgba, width, height, &len);
  if (!png) return {};
  std::vector<uint8_t> out(png, png + len);
  free(png);
  return out;
}

}  // namespace

// The library's PNG bytes are stb_image_write's with its built-in zlib
// compressor (the oracle in support/), whatever compressor does the work.
TEST(PngEncode, SameBytesAsPlainStb) {
  struct row {
    const char *label;
    frame f;
  } rows[] = {
      {"the benchmarks' desktop screenshot", bench_frame()},
      {"desktop 1280x800", desktop_frame(1280, 800)},
      {"pattern 300x200", pattern_frame(300, 200)},
      {"stripes 640x480", stripes_frame(640, 480)},
      {"one colour 640x480", solid_frame(640, 480, 0x336699)},
      {"one colour 1x1", solid_frame(1, 1, 0x336699)},
      {"noise 97x61, stored blocks", noise_frame(97, 61)},
      {"8191x1, 32765 bytes filtered", stripes_frame(8191, 1)},
      {"8192x1, 32769 bytes filtered", stripes_frame(8192, 1)},
      {"8191x2, across 32767 and 65534", desktop_frame(8191, 2)},
      {"1x1388, 6940 bytes filtered", pattern_frame(1, 1388)},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.label);
    if (r.f.rgba.empty()) continue;  // the screenshot is not in every checkout
    image im{r.f.width, r.f.height, r.f.rgba};
    std::vector<uint8_t> expected = plain_stb(im.rgba.data(), im.width, im.height);
    ASSERT_FALSE(expected.empty());
    EXPECT_TRUE(encode(im) == expected);
  }
}

TEST(PngEncode, StreamStructure) {
  struct row {
    const char *label;
    image im;
  } rows[] = {
      {"1x1", {1, 1, {1, 2, 3, 4}}},
      {"noise 97x61", noise_image(97, 61, 97 * 61 * 4, 3)},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.label);
    std::vector<uint8_t> png = encode(r.im);
    std::vector<png_chunk> chunks = png_chunks(png);
    ASSERT_EQ(chunks.size(), 3u) << "signature, IHDR, one IDAT, IEND";
    EXPECT_EQ(chunks[0].type, "IHDR");
    EXPECT_EQ(chunks[1].type, "IDAT");
    EXPECT_EQ(chunks[2].type, "IEND");
    for (const png_chunk &c : chunks) EXPECT_TRUE(c.crc_ok) << c.type;
    ASSERT_EQ(chunks[0].length, 13u);
    const uint8_t *ihdr = &png[chunks[0].data_offset];
    EXPECT_EQ(read_be32(ihdr), (uint32_t)r.im.width);
    EXPECT_EQ(read_be32(ihdr + 4), (uint32_t)r.im.height);
    EXPECT_EQ(std::vector<uint8_t>(ihdr + 8, ihdr + 13), (std::vector<uint8_t>{8, 6, 0, 0, 0}));
    EXPECT_EQ(chunks[2].length, 0u);
  }
}

// Rows top first, every byte including a zero fourth byte as given.
TEST(PngEncode, PixelsRoundTripTopRowFirst) {
  image im{3, 2, {255, 0, 0, 0, 0, 255, 0, 128, 0,   0,   255, 255,  // top
                  1,   2, 3, 0, 4, 5,   6, 7,   250, 251, 252, 253}};
  std::vector<uint8_t> png = encode(im);
  decoded_png d = decode_png(png.data(), png.size());
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(d.width, 3);
  EXPECT_EQ(d.height, 2);
  EXPECT_EQ(d.rgba, im.rgba);

  image clear{2, 2, std::vector<uint8_t>(16, 0)};
  for (int i = 0; i < 4; i++) clear.rgba[(size_t)i * 4] = 200;
  png = encode(clear);
  d = decode_png(png.data(), png.size());
  EXPECT_EQ(d.rgba, clear.rgba);  // alpha 0 stays 0: the encoder adds no opacity
}

TEST(PngEncode, RefusedArgumentsLeaveOutputsAndErrno) {
  uint8_t px[16] = {0};
  uint8_t sentinel = 0;
  struct row {
    const char *label;
    const uint8_t *rgba;
    int width, height;
    bool null_out_png, null_out_len;
  } rows[] = {
      {"NULL pixels", nullptr, 1, 1, false, false},
      {"NULL out_png", px, 1, 1, true, false},
      {"NULL out_len", px, 1, 1, false, true},
      {"width 0", px, 0, 1, false, false},
      {"width -1", px, -1, 1, false, false},
      {"height 0", px, 1, 0, false, false},
      {"height INT_MIN", px, 1, INT_MIN, false, false},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.label);
    uint8_t *png = &sentinel;
    size_t len = 12345;
    errno = 4242;
    EXPECT_EQ(pngenc_encode_rgba(r.rgba, r.width, r.height, r.null_out_png ? nullptr : &png,
                                 r.null_out_len ? nullptr : &len),
              -1);
    EXPECT_EQ(png, &sentinel);
    EXPECT_EQ(len, 12345u);
    EXPECT_EQ(errno, 4242);
  }
}

// stb sizes the filtered image, (width * 4 + 1) * height bytes, in int: such
// frames are refused before the pixels are read, with EFBIG.
TEST(PngEncode, FrameTooLargeForTheEncoder) {
  temp_dir dir;
  uint8_t px[16] = {0};  // never read
  struct row {
    int width, height;
  } rows[] = {{1, 429496730}, {536870912, 1}, {46341, 46341}, {INT_MAX, INT_MAX}};
  for (const row &r : rows) {
    SCOPED_TRACE(std::to_string(r.width) + "x" + std::to_string(r.height));
    uint8_t *png = px;
    size_t len = 1;
    errno = 0;
    EXPECT_EQ(pngenc_encode_rgba(px, r.width, r.height, &png, &len), -1);
    EXPECT_EQ(errno, EFBIG);
    EXPECT_EQ(png, nullptr);  // past the argument tests: NULL and 0
    EXPECT_EQ(len, 0u);

    std::string path = dir.file("big.png");
    errno = 0;
    EXPECT_EQ(pngenc_write_rgba_file(px, r.width, r.height, path.c_str()), -1);
    EXPECT_EQ(errno, EFBIG);
    EXPECT_FALSE(path_exists(path));
  }
}

TEST(PngCapacity, PowersOfTwoFrom65536) {
  struct row {
    uint64_t len, capacity;
  } rows[] = {
      {1, 65536},
      {65535, 65536},
      {65536, 65536},
      {65537, 131072},
      {131072, 131072},
      {131073, 262144},
      {262145, 524288},
      {1u << 30, 1u << 30},
      {(1u << 30) + 1, 1u << 31},
      {2147483647, 1u << 31},
  };
  for (const row &r : rows) EXPECT_EQ(pngenc_capacity(r.len), r.capacity) << r.len;
}

// Real encodings whose PNG is exactly at the boundaries: the block handed out
// holds the whole capacity (malloc_usable_size rounds up only a little).
TEST(PngCapacity, BlocksAtTheBoundaries) {
  struct row {
    size_t len, capacity;
    int width, height;
  } rows[] = {
      {65536, 65536, 160, 128},
      {65537, 131072, 160, 128},
      {131072, 131072, 256, 160},
      {131073, 262144, 256, 160},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.len);
    image im = image_with_png_length(r.len, r.width, r.height);
    ASSERT_GT(im.width, 0) << "no image found with that PNG length";
    uint8_t *png = nullptr;
    size_t len = 0;
    ASSERT_EQ(pngenc_encode_rgba(im.rgba.data(), im.width, im.height, &png, &len), 0);
    EXPECT_EQ(len, r.len);
    size_t usable = malloc_usable_size(png);
    EXPECT_GE(usable, r.capacity);
    EXPECT_LT(usable, r.capacity * 2);
    if (usable >= r.capacity) png[r.capacity - 1] = 0;  // the whole block is ours
    free(png);
  }
}

class PngFile : public testing::Test {
 protected:
  temp_dir dir;
  image im = noise_image(40, 30, 40 * 30 * 2, 9);
};

TEST_F(PngFile, FileBytesEqualMemoryBytes) {
  std::string path = dir.file("a.png");
  ASSERT_EQ(pngenc_write_rgba_file(im.rgba.data(), im.width, im.height, path.c_str()), 0);
  EXPECT_EQ(read_file(path), encode(im));

  // An existing, longer file is replaced whole.
  write_file(path, std::string(100000, 'x'));
  image one{1, 1, {9, 9, 9, 9}};
  ASSERT_EQ(pngenc_write_rgba_file(one.rgba.data(), 1, 1, path.c_str()), 0);
  EXPECT_EQ(read_file(path), encode(one));
}

TEST_F(PngFile, RefusedArgumentsCreateNothing) {
  std::string path = dir.file("r.png");
  struct row {
    const uint8_t *rgba;
    int width, height;
    const char *path;
  } rows[] = {
      {nullptr, 1, 1, path.c_str()},
      {im.rgba.data(), 1, 1, nullptr},
      {im.rgba.data(), 0, 1, path.c_str()},
      {im.rgba.data(), 1, -3, path.c_str()},
  };
  for (const row &r : rows) {
    errno = 4242;
    EXPECT_EQ(pngenc_write_rgba_file(r.rgba, r.width, r.height, r.path), -1);
    EXPECT_EQ(errno, 4242);
  }
  EXPECT_TRUE(dir.entries().empty());
}

TEST_F(PngFile, OpenAndWriteFailures) {
  struct row {
    const char *label;
    std::string path;
    int err;
  } rows[] = {
      {"missing directory", dir.file("no/such/dir.png"), ENOENT},
      {"empty path", "", ENOENT},
      {"a directory", dir.path, EISDIR},
      {"full device", "/dev/full", ENOSPC},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.label);
    errno = 0;
    EXPECT_EQ(pngenc_write_rgba_file(im.rgba.data(), im.width, im.height, r.path.c_str()), -1);
    EXPECT_EQ(errno, r.err);
  }
  EXPECT_TRUE(dir.entries().empty());
  EXPECT_TRUE(path_exists("/dev/full"));
}

// A write that fails part way: a file we created is removed, a file that was
// there before is not (it is the caller's).
TEST_F(PngFile, PartialWriteLeavesNoFileWeCreated) {
  std::string created = dir.file("new.png");
  std::string existing = dir.file("old.png");
  write_file(existing, "old");

  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  void (*saved_handler)(int) = signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 100;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);

  errno = 0;
  int r1 = pngenc_write_rgba_file(im.rgba.data(), im.width, im.height, created.c_str());
  int e1 = errno;
  errno = 0;
  int r2 = pngenc_write_rgba_file(im.rgba.data(), im.width, im.height, existing.c_str());
  int e2 = errno;

  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, saved_handler);

  EXPECT_EQ(r1, -1);
  EXPECT_EQ(e1, EFBIG);
  EXPECT_FALSE(path_exists(created));
  EXPECT_EQ(r2, -1);
  EXPECT_EQ(e2, EFBIG);
  EXPECT_EQ(read_file(existing), std::vector<uint8_t>({'o', 'l', 'd'}));
}

// A path that names a FIFO: opening never waits for a reader, a reader that
// quits fails the write with EPIPE instead of ending the host with SIGPIPE
// (whose action stays the default here), and a reader that stays gets every
// byte. The picture is larger than a pipe holds, so the writer waits on it.
TEST_F(PngFile, Fifo) {
  image big = noise_image(200, 200, 200 * 200 * 4, 5);
  std::vector<uint8_t> expected = encode(big);
  ASSERT_GT(expected.size(), 65536u * 2);
  std::string fifo = dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(signal(SIGPIPE, SIG_DFL), SIG_DFL);

  errno = 0;
  EXPECT_EQ(pngenc_write_rgba_file(big.rgba.data(), big.width, big.height, fifo.c_str()), -1);
  EXPECT_EQ(errno, ENXIO) << "no reader";

  for (bool reader_quits : {true, false}) {
    SCOPED_TRACE(reader_quits ? "a reader that takes 8 bytes and quits" : "a reader that stays");
    // Opened before the writer, so that the writer finds it; until a writer
    // has come, poll waits for data rather than seeing a hang-up.
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    std::vector<uint8_t> got;
    std::thread reading([&] {
      struct pollfd ready = {reader, POLLIN, 0};
      if (poll(&ready, 1, 10000) != 1) return;
      fcntl(reader, F_SETFL, fcntl(reader, F_GETFL) & ~O_NONBLOCK);
      uint8_t chunk[4096];
      ssize_t n;
      while ((n = read(reader, chunk, reader_quits ? 8 : sizeof chunk)) > 0) {
        got.insert(got.end(), chunk, chunk + n);
        if (reader_quits) break;
      }
      close(reader);
    });
    errno = 0;
    int r = pngenc_write_rgba_file(big.rgba.data(), big.width, big.height, fifo.c_str());
    int err = errno;
    reading.join();
    sigset_t pending;
    sigpending(&pending);
    EXPECT_FALSE(sigismember(&pending, SIGPIPE)) << "SIGPIPE left pending";
    if (reader_quits) {
      EXPECT_EQ(r, -1);
      EXPECT_EQ(err, EPIPE);
    } else {
      EXPECT_EQ(r, 0) << strerror(err);
      EXPECT_TRUE(got == expected);
    }
  }
  unlink(fifo.c_str());
}

// Captures through the exports, as the capture tests make them: the bytes are
// plain stb's PNG of the pixels they decode to.
using PngCaptureBytes = display_test;

TEST_F(PngCaptureBytes, SameBytesAsPlainStb) {
  struct row {
    const char *label;
    std::function<void()> screen;
    int x, y, width, height;
  } rows[] = {
      {"pattern over two monitors",
       [] {
         sd_add_monitor(-100, -50, 0, 150, "LEFT", 0);
         sd_add_monitor(0, -50, 200, 150, "RIGHT", 1);
         frame f = pattern_frame(300, 200);
         sd_set_screen(-100, -50, 300, 200, sd_pixel{0, 0, 0, 0});
         for (int y = 0; y < 200; y++)
           for (int x = 0; x < 300; x++) {
             const uint8_t *p = &f.rgba[((size_t)y * 300 + (size_t)x) * 4];
             sd_set_screen_pixel(x - 100, y - 50, sd_pixel{p[0], p[1], p[2], 0});
           }
       },
       -100, -50, 300, 200},
      {"stripes 640x480",
       [] {
         sd_add_monitor(0, 0, 640, 480, "M", 1);
         sd_set_screen(0, 0, 640, 480, sd_pixel{1, 2, 3, 0});
         for (int y = 0; y < 480; y += 2)
           sd_fill_screen_rect(0, y, 640, 1, sd_pixel{200, 100, 50, 0});
       },
       0, 0, 640, 480},
      {"4x3 of one colour",
       [] {
         sd_add_monitor(-2, -1, 2, 2, "M", 1);
         sd_set_screen(-2, -1, 4, 3, sd_pixel{1, 2, 3, 0});
       },
       -2, -1, 4, 3},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.label);
    sd_reset();
    r.screen();
    uint8_t *png = nullptr;
    int len = 0;
    ASSERT_EQ(screenshot_capture_region_mem(r.x, r.y, r.width, r.height, &png, &len), 0)
        << screenshot_last_error();
    std::vector<uint8_t> got(png, png + len);
    screenshot_free_mem(png);
    decoded_png d = decode_png(got.data(), got.size());
    ASSERT_TRUE(d.ok);
    EXPECT_TRUE(got == plain_stb(d.rgba.data(), d.width, d.height));
  }
}

// The same failures as the exports report them.
using PngWriteMessages = display_test;

TEST_F(PngWriteMessages, NamesTheReason) {
  sd_add_monitor(0, 0, 640, 480, "M", 1);
  sd_set_screen(0, 0, 640, 480, sd_pixel{1, 2, 3, 0});
  for (int y = 0; y < 480; y += 2) sd_fill_screen_rect(0, y, 640, 1, sd_pixel{200, 100, 50, 0});
  std::string created = dir.file("cut.png");

  EXPECT_EQ(screenshot_capture_region_png(0, 0, 4, 3, "/dev/full"), -1);
  EXPECT_STREQ(screenshot_last_error(),
               "PNG write failed for 4x3 frame to '/dev/full' (No space left on device)");

  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  void (*saved_handler)(int) = signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 64;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  int r = screenshot_capture_region_png(0, 0, 640, 480, created.c_str());
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, saved_handler);

  EXPECT_EQ(r, -1);
  EXPECT_EQ(std::string(screenshot_last_error()),
            "PNG write failed for 640x480 frame to '" + created + "' (File too large)");
  EXPECT_FALSE(path_exists(created));
}

// A full disk under a file that is there: the call fails with the reason and
// the old picture survives byte for byte, because the room for the new one is
// taken before any old byte is written over. Each test gets a file system of
// its own in a private mount namespace (root only), left again at its end.
namespace {

struct private_mount {
  std::string dir;
  std::string why_not;  // empty when mounted
  int home = -1;
  temp_dir parent;

  private_mount(const char *type, const char *options) {
    home = open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
    if (home < 0 || unshare(CLONE_NEWNS) != 0) {
      why_not = std::string("no private mount namespace: ") + strerror(errno);
      return;
    }
    // Nothing mounted here may reach the host's namespace.
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount(type, parent.path.c_str(), type, 0, options) != 0) {
      why_not = std::string("cannot mount ") + type + ": " + strerror(errno);
      return;
    }
    dir = parent.path;
  }
  ~private_mount() {
    if (!dir.empty()) umount2(dir.c_str(), MNT_DETACH);
    if (home >= 0) {
      setns(home, CLONE_NEWNS);
      close(home);
    }
  }
};

// Fills the file system that holds path: at the end not one more byte fits.
void fill_up(const std::string &path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  std::vector<char> block(65536, 'f');
  for (size_t size = block.size(); size > 0; size /= 2)
    while (write(fd, block.data(), size) == (ssize_t)size) {
    }
  EXPECT_EQ(errno, ENOSPC);
  close(fd);
}

// A noisy screen: its PNG is about as large as its pixels.
void noisy_screen(int width, int height) {
  sd_add_monitor(0, 0, width, height, "M", 1);
  sd_set_screen(0, 0, width, height, sd_pixel{0, 0, 0, 0});
  noise n{7};
  for (int y = 0; y < height; y++)
    for (int x = 0; x < width; x++)
      sd_set_screen_pixel(x, y, sd_pixel{n.next(), n.next(), n.next(), 0});
}

std::vector<uint8_t> region_bytes(int x, int y, int width, int height) {
  uint8_t *png = nullptr;
  int len = 0;
  if (screenshot_capture_region_mem(x, y, width, height, &png, &len) != 0) return {};
  std::vector<uint8_t> out(png, png + len);
  screenshot_free_mem(png);
  return out;
}

std::string old_picture(size_t size) {
  std::string old(size, '\0');
  for (size_t i = 0; i < size; i++) old[i] = (char)(i * 7 + i / 251);
  return old;
}

std::vector<uint8_t> bytes_of(const std::string &s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

}  // namespace

using FullDisk = display_test;

TEST_F(FullDisk, ExistingFileKeepsItsBytes) {
  private_mount fs("tmpfs", "size=256k");
  if (!fs.why_not.empty()) GTEST_SKIP() << fs.why_not;
  noisy_screen(200, 150);
  std::vector<uint8_t> big = region_bytes(0, 0, 200, 150);
  std::vector<uint8_t> small = region_bytes(0, 0, 4, 3);
  ASSERT_GT(big.size(), 80000u);
  std::string path = fs.dir + "/shot.png";
  std::string old = old_picture(20000);
  write_file(path, old);
  fill_up(fs.dir + "/filler");

  EXPECT_EQ(screenshot_capture_region_png(0, 0, 200, 150, path.c_str()), -1);
  EXPECT_EQ(std::string(screenshot_last_error()),
            "PNG write failed for 200x150 frame to '" + path + "' (No space left on device)");
  EXPECT_EQ(read_file(path), bytes_of(old));

  // A new file on the full disk is not left behind.
  std::string created = fs.dir + "/new.png";
  EXPECT_EQ(screenshot_capture_region_png(0, 0, 200, 150, created.c_str()), -1);
  EXPECT_FALSE(path_exists(created));

  // A smaller picture fits in the old one's room, full disk or not.
  EXPECT_EQ(screenshot_capture_region_png(0, 0, 4, 3, path.c_str()), 0) << screenshot_last_error();
  EXPECT_EQ(read_file(path), small);

  // With room again, the larger picture replaces it.
  ASSERT_EQ(unlink((fs.dir + "/filler").c_str()), 0);
  EXPECT_EQ(screenshot_capture_region_png(0, 0, 200, 150, path.c_str()), 0)
      << screenshot_last_error();
  EXPECT_EQ(read_file(path), big);
}

// ramfs has no fallocate: the bytes beyond the old end are then written
// first, and a file size limit stands in for the full disk.
TEST_F(FullDisk, WithoutFallocateTheNewEndIsWrittenFirst) {
  private_mount fs("ramfs", "");
  if (!fs.why_not.empty()) GTEST_SKIP() << fs.why_not;
  std::string path = fs.dir + "/shot.png";
  int probe = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(probe, 0);
  errno = 0;
  EXPECT_EQ(fallocate(probe, 0, 0, 4096), -1);
  EXPECT_EQ(errno, EOPNOTSUPP);
  close(probe);

  noisy_screen(200, 150);
  std::vector<uint8_t> big = region_bytes(0, 0, 200, 150);
  std::vector<uint8_t> small = region_bytes(0, 0, 4, 3);
  std::string old = old_picture(5000);
  write_file(path, old);

  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  void (*saved_handler)(int) = signal(SIGXFSZ, SIG_IGN);
  struct rlimit limit = saved;
  limit.rlim_cur = 8192;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  int r = screenshot_capture_region_png(0, 0, 200, 150, path.c_str());
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, saved_handler);

  EXPECT_EQ(r, -1);
  EXPECT_EQ(std::string(screenshot_last_error()),
            "PNG write failed for 200x150 frame to '" + path + "' (File too large)");
  EXPECT_EQ(read_file(path), bytes_of(old));

  // Larger, then smaller: each time exactly the new bytes.
  EXPECT_EQ(screenshot_capture_region_png(0, 0, 200, 150, path.c_str()), 0)
      << screenshot_last_error();
  EXPECT_EQ(read_file(path), big);
  EXPECT_EQ(screenshot_capture_region_png(0, 0, 4, 3, path.c_str()), 0) << screenshot_last_error();
  EXPECT_EQ(read_file(path), small);
}
