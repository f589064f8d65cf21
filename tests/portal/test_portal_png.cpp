// The portal's picture decoder on its own: every 8-bit layout exact, the size
// bounds applied before anything is allocated, and every broken file refused
// with nothing handed out.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "linux/portal/portal_png.h"
#include "portal_test_support.h"

namespace {

struct decoded {
  portal_png_picture pic = {nullptr, -1, -1};
  portal_png_result result;
  decoded(const std::string &png, int32_t max_side = PORTAL_PNG_MAX_SIDE,
          uint64_t max_pixels = PORTAL_PNG_MAX_PIXELS) {
    result = portal_png_decode((const uint8_t *)png.data(), png.size(), max_side, max_pixels, &pic);
  }
  ~decoded() { free(pic.pixels); }
  bool refused() const {
    return result == PORTAL_PNG_BAD && !pic.pixels && pic.width == 0 && pic.height == 0;
  }
};

TEST(PortalPng, EveryChannelLayoutComesOutAsBgrxExactly) {
  for (int channels : {1, 2, 3, 4}) {
    SCOPED_TRACE(channels);
    decoded d(pattern_png(37, 19, channels));
    ASSERT_EQ(d.result, PORTAL_PNG_OK);
    ASSERT_EQ(d.pic.width, 37);
    ASSERT_EQ(d.pic.height, 19);
    std::vector<unsigned char> src = pattern(37, 19, channels);
    for (int i = 0; i < 37 * 19; i++) {
      const unsigned char *s = &src[size_t(i) * channels];
      unsigned char r = s[0], g = channels >= 3 ? s[1] : s[0], b = channels >= 3 ? s[2] : s[0];
      const unsigned char *p = &d.pic.pixels[size_t(i) * 4];
      ASSERT_TRUE(p[0] == b && p[1] == g && p[2] == r && p[3] == 255) << "pixel " << i;
    }
  }
}

// The bounds hold on each side and on the pixel count, exactly at the limit.
TEST(PortalPng, PicturesBeyondTheBoundsAreRefused) {
  std::string png = pattern_png(64, 40, 3);
  struct {
    int32_t max_side;
    uint64_t max_pixels;
    bool taken;
  } cases[] = {
      {64, 64 * 40, true},
      {63, 64 * 40, false},      // too wide
      {64, 64 * 40 - 1, false},  // too many pixels
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.max_side << " a side, " << c.max_pixels << " pixels");
    decoded d(png, c.max_side, c.max_pixels);
    if (c.taken) {
      EXPECT_EQ(d.result, PORTAL_PNG_OK);
    } else {
      EXPECT_TRUE(d.refused());
    }
  }
  decoded tall(pattern_png(40, 64, 3), 63, 64 * 40);
  EXPECT_TRUE(tall.refused());
}

TEST(PortalPng, BrokenFilesAreRefused) {
  std::string png = pattern_png(24, 16, 4);
  ASSERT_FALSE(png.empty());
  size_t idat = png.find("IDAT");
  ASSERT_NE(idat, std::string::npos);
  std::string bad_zlib = png;
  bad_zlib[idat + 4] = 0;  // the zlib header names no compression method
  std::string bad_checksum = png;
  bad_checksum[29] ^= 1;  // the header's CRC
  struct {
    const char *what;
    std::string bytes;
  } cases[] = {
      {"empty", ""},
      {"text", "not a picture at all, but long enough to hold a header"},
      {"the signature alone", png.substr(0, 8)},
      {"a corrupt compressed stream", bad_zlib},
      {"a header with a wrong checksum", bad_checksum},
      {"16 bits per sample", std::string((const char *)kSixteenBitPng, kSixteenBitPngSize)},
      // Headers claiming pictures no data follows for: refused before the
      // pixels they claim are allocated (4 GiB and more, if they were).
      {"2^31-1 x 1", png_claiming(png, 0x7fffffffu, 1)},
      {"1000001 x 1, beyond libpng's own bound", png_claiming(png, 1000001, 1)},
      {"40000 x 1, beyond a side", png_claiming(png, 40000, 1)},
      {"32768 x 32768, beyond the pixel count", png_claiming(png, 32768, 32768)},
      {"0 x 16", png_claiming(png, 0, 16)},
      {"24 x 17, one row more than the data", png_claiming(png, 24, 17)},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    decoded d(c.bytes);
    EXPECT_TRUE(d.refused()) << d.result;
  }
}

// Cut anywhere before its last pixel data is whole (its data checksum
// included), a picture is refused, never half decoded. Only the end marker
// (IEND, the last 12 bytes) may be missing: the picture is all there then.
TEST(PortalPng, EveryTruncationThatLosesDataIsRefused) {
  std::string png = pattern_png(9, 7, 3);
  ASSERT_GT(png.size(), 12u);
  ASSERT_EQ(png.compare(png.size() - 8, 4, "IEND"), 0);
  for (size_t n = 0; n < png.size() - 12; n++) {
    decoded d(png.substr(0, n));
    EXPECT_TRUE(d.refused()) << "cut to " << n << " of " << png.size() << " bytes";
  }
  decoded whole(png.substr(0, png.size() - 12));
  EXPECT_EQ(whole.result, PORTAL_PNG_OK);
}

}  // namespace
