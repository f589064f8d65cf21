// The PNG stage's compressor against stb_image_write's built-in one, built
// from the same Debian header into the test (support/stb_write_oracle.cpp):
// the bytes must be the same for every input, and memory running out must
// give NULL, never a partial stream.
#include <gtest/gtest.h>
#include <malloc.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#else
#define RUNNING_ON_VALGRIND 0
#endif

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "core/pngenc_deflate.h"
#include "stb_write_oracle.h"
#include "test_frames.h"
#include "test_support.h"

// stb_image, built once for the tests (support/stb_image_impl.cpp): its
// inflate gives back the rows that stb filtered, the compressor's real input.
#include <stb/stb_image.h>

#if defined(__SANITIZE_ADDRESS__)
#define DEFLATE_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DEFLATE_TEST_ASAN 1
#endif
#endif

namespace {

bytes ours(const bytes &in, int quality) {
  int len = -1;
  unsigned char *z =
      pngenc_deflate(const_cast<unsigned char *>(in.data()), (int)in.size(), &len, quality);
  if (!z) return {};
  bytes out(z, z + len);
  free(z);
  return out;
}

bytes stbs(const bytes &in, int quality) {
  int len = -1;
  unsigned char *z =
      oracle_zlib_compress(const_cast<unsigned char *>(in.data()), (int)in.size(), &len, quality);
  if (!z) return {};
  bytes out(z, z + len);
  free(z);
  return out;
}

// The first difference, for a readable failure.
std::string first_difference(const bytes &a, const bytes &b) {
  size_t i = 0;
  while (i < a.size() && i < b.size() && a[i] == b[i]) i++;
  if (i == a.size() && i == b.size()) return "equal";
  char text[160];
  snprintf(text, sizeof text, "lengths %zu and %zu, first difference at byte %zu", a.size(),
           b.size(), i);
  return text;
}

void expect_stbs_bytes(const bytes &in, int quality = 8) {
  bytes expected = stbs(in, quality);
  ASSERT_FALSE(expected.empty());
  bytes got = ours(in, quality);
  EXPECT_TRUE(got == expected) << first_difference(got, expected);
}

// The rows as stb filters them: its own PNG's IDAT, inflated.
bytes filtered_rows(const frame &f) {
  int len = 0;
  unsigned char *png = oracle_png_to_mem(f.rgba.data(), f.width, f.height, &len);
  bytes stream(png, png + (png ? len : 0));
  free(png);
  std::vector<png_chunk> chunks = png_chunks(stream);
  int out_len = 0;
  char *rows = chunks.size() == 3 && chunks[1].type == "IDAT"
                   ? stbi_zlib_decode_malloc((const char *)&stream[chunks[1].data_offset],
                                             (int)chunks[1].length, &out_len)
                   : nullptr;
  bytes out(rows, rows + (rows ? out_len : 0));
  free(rows);
  if (out.size() != (size_t)(f.width * 4 + 1) * (size_t)f.height)
    ADD_FAILURE() << "no filtered rows from stb's PNG of a " << f.width << "x" << f.height
                  << " frame";
  return out;
}

// A 40-byte token, again distance bytes later, in filler whose bytes cost 8
// bits each, so that the block is kept and shows whether the token matched.
bytes repeat_at(int distance) {
  bytes b = random_bytes((size_t)distance + 400, (uint32_t)distance, 144);
  bytes token = random_bytes(40, 5, 144);
  memcpy(&b[100], token.data(), token.size());
  memcpy(&b[100 + (size_t)distance], token.data(), token.size());
  return b;
}

// At i a 3-byte match close by, at i + 1 the 40-byte token at distance from
// i + 1: the lazy step drops the first for the second only within its window.
bytes lazy_at(int distance) {
  bytes b = random_bytes((size_t)distance + 400, (uint32_t)distance + 1, 144);
  bytes token = random_bytes(40, 5, 144);
  size_t from = 50, i = from + (size_t)distance - 1;
  memcpy(&b[from], token.data(), token.size());
  memcpy(&b[i + 1], token.data(), token.size());
  b[i] = 0x8f;
  b[i - 20] = 0x8f;  // the short match: 0x8f and the token's first two bytes
  b[i - 19] = token[0];
  b[i - 18] = token[1];
  return b;
}

bytes run(size_t len) {
  bytes b(2 * len + 2, 'x');  // the second run matches the first, up to 258 at a time
  b[0] = 'a';
  b[len + 1] = 'b';
  return b;
}

// Words from a small alphabet: many positions in the same buckets, many
// candidates of equal length, so pruning and the tie rule decide the bytes.
bytes words(size_t count, uint32_t seed) {
  rng r{seed};
  std::vector<std::string> vocabulary;
  for (int k = 0; k < 40; k++) {
    std::string w;
    for (int c = 0; c < 3 + k % 6; c++) w += "abcd"[r.next() % 4];
    vocabulary.push_back(w);
  }
  bytes b;
  for (size_t k = 0; k < count; k++) {
    const std::string &w = vocabulary[r.next() % vocabulary.size()];
    b.insert(b.end(), w.begin(), w.end());
    b.push_back(' ');
  }
  return b;
}

bytes all_ff(size_t n) { return bytes(n, 0xff); }

}  // namespace

TEST(Deflate, SameBytesAsStb) {
  struct row {
    std::string label;
    std::function<bytes()> make;
  };
  std::vector<row> rows = {
      {"empty", [] { return bytes(); }},
      {"1 byte", [] { return bytes{200}; }},
      {"2 bytes",
       [] {
         return bytes{0, 0};
       }},
      {"3 bytes",
       [] {
         return bytes{7, 7, 7};
       }},
      {"4 equal bytes",
       [] {
         return bytes{7, 7, 7, 7};
       }},
      {"4 bytes",
       [] {
         return bytes{1, 2, 3, 250};
       }},
      {"5 equal bytes", [] { return bytes(5, 9); }},
      {"text", [] { return words(20000, 1); }},
      {"short text", [] { return words(30, 2); }},
      {"all 0xff, 100000", [] { return all_ff(100000); }},
      {"noise below 144", [] { return random_bytes(70000, 3, 144); }},
      {"noise of four values", [] { return random_bytes(70000, 4, 4); }},
      {"repeats at every distance up to 40",
       [] {
         bytes b;
         for (int d = 1; d <= 40; d++) {
           bytes part = random_bytes((size_t)d, (uint32_t)d);
           for (int k = 0; k < 6; k++) b.insert(b.end(), part.begin(), part.end());
         }
         return b;
       }},
  };
  for (size_t len : {3, 4, 5, 6, 7, 255, 256, 257, 258, 259, 260, 261, 515, 516, 517, 1000})
    rows.push_back({"run of " + std::to_string(len), [len] { return run(len); }});
  for (int d : {32765, 32766, 32767, 32768, 32769})
    rows.push_back({"repeat at distance " + std::to_string(d), [d] { return repeat_at(d); }});
  for (int d : {32766, 32767, 32768})
    rows.push_back({"lazy match at distance " + std::to_string(d), [d] { return lazy_at(d); }});
  // stb's Adler-32 takes n % 5552 bytes first, then blocks of 5552; the
  // most that the sums can reach is with every byte 0xff.
  for (size_t n : {5551, 5552, 5553, 11104, 11105, 65536}) {
    rows.push_back({"Adler-32, 0xff x " + std::to_string(n), [n] { return all_ff(n); }});
    rows.push_back(
        {"Adler-32, noise x " + std::to_string(n), [n] { return random_bytes(n, (uint32_t)n); }});
  }
  // Random bytes go out in stored blocks, each of at most 32767 bytes, but
  // for the shortest, where the block's header costs more.
  for (size_t n : {1, 2, 3, 4, 100, 32766, 32767, 32768, 65534, 65535, 65536, 100000})
    rows.push_back(
        {"random bytes x " + std::to_string(n), [n] { return random_bytes(n, (uint32_t)n + 7); }});

  // Frames, as stb filters them and as raw pixels.
  struct frame_row {
    const char *label;
    std::function<frame()> make;
  } frames[] = {
      {"desktop 1280x800", [] { return desktop_frame(1280, 800); }},
      {"the capture tests' pattern 300x200", [] { return pattern_frame(300, 200); }},
      {"stripes 640x480", [] { return stripes_frame(640, 480); }},
      {"one colour 640x480", [] { return solid_frame(640, 480, 0x090807); }},
      {"one colour 1x1", [] { return solid_frame(1, 1, 0x090807); }},
      {"noise 97x61", [] { return noise_frame(97, 61); }},
      {"one row of 8191 pixels, 32765 bytes filtered", [] { return stripes_frame(8191, 1); }},
      {"8192 pixels, 32769 bytes filtered", [] { return stripes_frame(8192, 1); }},
      {"two rows crossing 32767 and 65534", [] { return desktop_frame(8191, 2); }},
      {"one column of 1388 pixels, 6940 bytes filtered", [] { return pattern_frame(1, 1388); }},
  };
  for (const frame_row &f : frames) {
    rows.push_back({std::string(f.label) + ", filtered", [&f] { return filtered_rows(f.make()); }});
    rows.push_back({std::string(f.label) + ", raw", [&f] { return f.make().rgba; }});
  }

  for (const row &r : rows) {
    SCOPED_TRACE(r.label);
    expect_stbs_bytes(r.make());
  }
}

// The bench frame, a desktop screenshot in the shared directory when it is
// there: the frame whose time the benchmarks measure.
TEST(Deflate, BenchFrameSameBytesAsStb) {
  frame f = bench_frame();
  if (f.rgba.empty()) GTEST_SKIP() << "no ../shared/bench/desktop-1920x1080.png";
  bytes rows = filtered_rows(f);
  ASSERT_FALSE(rows.empty());
  expect_stbs_bytes(rows);
}

// stb keeps the compressed block only while it is no longer than the stored
// blocks would be. 1000 bytes below 144 without a repeated triple cost 8
// bits each, so the block is the stored length less 30 bits; each byte of
// 144 or more adds a bit: 30 such bytes still compress, 31 do not.
TEST(Deflate, StoredExactlyWhenTheBlockWouldBeLonger) {
  struct row {
    int high_bytes;
    bool stored;
  } rows[] = {{0, false}, {29, false}, {30, false}, {31, true}, {200, true}};
  for (const row &r : rows) {
    SCOPED_TRACE(std::to_string(r.high_bytes) + " bytes of 144 or more");
    bytes in = random_bytes(1000, 11, 144);
    for (int k = 0; k < r.high_bytes; k++)
      in[(size_t)k * 4] = (uint8_t)(144 + in[(size_t)k * 4] % 112);
    for (size_t i = 0; i + 2 < in.size(); i++)
      for (size_t j = i + 1; j + 2 < in.size(); j++)
        ASSERT_FALSE(in[i] == in[j] && in[i + 1] == in[j + 1] && in[i + 2] == in[j + 2])
            << "the seed gives a repeated triple at " << i << " and " << j;
    bytes got = ours(in, 8);
    EXPECT_TRUE(got == stbs(in, 8));
    ASSERT_GT(got.size(), 3u);
    EXPECT_EQ(got[2] & 7, r.stored ? 1 : 3) << "BFINAL and the block type";
    EXPECT_LE(got.size(), 1000u + 2 + 5 + 4);
  }
}

// The window reaches 32767 bytes back: one byte further and the repeat is
// not found (so the table's window rows test what they mean to).
TEST(Deflate, WindowEdgeDecidesTheMatch) {
  EXPECT_LT(ours(repeat_at(32767), 8).size() + 30, ours(repeat_at(32768), 8).size());
}

// stb's quality is at least 5 and sets the bucket size; the library passes 8.
TEST(Deflate, OtherQualitiesAsStb) {
  bytes text = words(30000, 9);
  for (int q : {-3, 0, 4, 5, 6, 9, 16, 127, 128, 300, 1 << 29}) {
    SCOPED_TRACE("quality " + std::to_string(q));
    expect_stbs_bytes(text, q);
  }
  EXPECT_TRUE(ours(text, 1) == ours(text, 5));
  // Where stb's 2 x quality would overflow, no bucket is ever cut.
  EXPECT_TRUE(ours(text, INT32_MAX) == ours(text, 1 << 29));
  EXPECT_FALSE(ours(text, 5) == ours(text, 8)) << "the text does not show the bucket size";
}

// Memory that cannot be had ends the call with NULL and leaves no block
// behind: here the stream's buffer, asked for after the links, in an address
// space too small for 2 GiB. The data is never read, as both blocks are
// asked for first.
TEST(Deflate, AllocationFailureGivesNullAndKeepsNothing) {
#ifdef DEFLATE_TEST_ASAN
  GTEST_SKIP() << "AddressSanitizer reserves its shadow memory beyond any address space limit";
#else
  if (RUNNING_ON_VALGRIND) GTEST_SKIP() << "valgrind does not apply address space limits";
  bytes in = words(100, 3);
  int len = 12345;
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_AS, &saved), 0);
  struct rlimit small = saved;
  small.rlim_cur = (rlim_t)1 << 31;
  struct mallinfo2 before = mallinfo2();
  ASSERT_EQ(setrlimit(RLIMIT_AS, &small), 0);
  unsigned char *z = pngenc_deflate(in.data(), INT32_MAX, &len, 8);
  setrlimit(RLIMIT_AS, &saved);
  struct mallinfo2 after = mallinfo2();
  EXPECT_EQ(z, nullptr);
  free(z);
  EXPECT_EQ(len, 12345);
  EXPECT_EQ(after.uordblks + after.hblkhd, before.uordblks + before.hblkhd) << "bytes still held";
#endif
}
