// The read-back's conversion of pixel layouts no server at hand produces:
// most significant byte first (the servers of big-endian machines), 24 bits a
// pixel, 4- and 1-bit indexed pixels in either order. Bitmaps are filled by
// hand and read through GetDIBits, as the core reads them; the expected bytes
// come from the channel values worked out here.
#include <gtest/gtest.h>
#include <string.h>

#include <vector>

#include "linux/linux_display.h"

namespace {

struct layout {
  const char *name;
  int bits_per_pixel;
  int msb_first;
  uint32_t red_mask, green_mask, blue_mask, alpha_mask;
};

uint32_t low_bits(uint32_t mask) { return mask >> __builtin_ctz(mask); }

// (v * 255 + max / 2) / max, written out as the rounding it is.
uint8_t rounded(uint32_t value, uint32_t max) {
  double exact = value * 255.0 / max;
  return (uint8_t)(exact - (int)exact >= 0.5 ? (int)exact + 1 : (int)exact);
}

uint8_t channel(uint32_t pixel, uint32_t mask) {
  return rounded((pixel & mask) >> __builtin_ctz(mask), low_bits(mask));
}

// Reads width pixels of one row through a bitmap whose content is the bytes.
std::vector<uint8_t> read_back(const std::vector<uint8_t> &bytes, int width,
                               const vs_pixel_format &format) {
  HDC dc = CreateCompatibleDC(NULL);
  HBITMAP handle = CreateCompatibleBitmap(dc, width, 1);
  vs_bitmap *bitmap = vs_bitmap_of(handle);
  EXPECT_NE(bitmap, nullptr);
  std::vector<uint8_t> out((size_t)width * 4, 0xee);
  if (!bitmap) return out;
  bitmap->pixels = bytes.data();
  bitmap->stride = (uint32_t)bytes.size();
  bitmap->content_width = width;
  bitmap->content_height = 1;
  bitmap->format = format;
  BITMAPINFO info;
  memset(&info, 0, sizeof info);
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -1;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  EXPECT_EQ(GetDIBits(dc, handle, 0, 1, out.data(), &info, DIB_RGB_COLORS), 1);
  bitmap->pixels = nullptr;
  DeleteObject(handle);
  DeleteDC(dc);
  return out;
}

TEST(PixelFormats, TrueColorLayoutsInBothByteOrders) {
  static const layout layouts[] = {
      {"16-bit 5-6-5", 16, 0, 0xf800, 0x07e0, 0x001f, 0},
      {"16-bit 5-6-5 msb first", 16, 1, 0xf800, 0x07e0, 0x001f, 0},
      {"15-bit 5-5-5", 16, 0, 0x7c00, 0x03e0, 0x001f, 0},
      {"15-bit 5-5-5 msb first", 16, 1, 0x7c00, 0x03e0, 0x001f, 0},
      {"30-bit", 32, 0, 0x3ff00000, 0x000ffc00, 0x000003ff, 0},
      {"30-bit msb first", 32, 1, 0x3ff00000, 0x000ffc00, 0x000003ff, 0},
      {"30-bit blue high, msb first", 32, 1, 0x000003ff, 0x000ffc00, 0x3ff00000, 0},
      {"24 bits a pixel", 24, 0, 0xff0000, 0x00ff00, 0x0000ff, 0},
      {"24 bits a pixel msb first", 24, 1, 0xff0000, 0x00ff00, 0x0000ff, 0},
      {"32-bit ARGB msb first", 32, 1, 0x00ff0000, 0x0000ff00, 0x000000ff, 0xff000000},
      {"16-bit 4-4-4-4 with a low-bits alpha left opaque", 16, 0, 0xf000, 0x0f00, 0x00f0, 0x000f},
  };
  for (const layout &l : layouts) {
    SCOPED_TRACE(l.name);
    vs_pixel_format format;
    ASSERT_EQ(vs_format_from_masks(&format, l.bits_per_pixel, l.msb_first, l.red_mask, l.green_mask,
                                   l.blue_mask, l.alpha_mask),
              0);
    uint32_t all = l.red_mask | l.green_mask | l.blue_mask | l.alpha_mask;
    std::vector<uint32_t> pixels = {all, 0, l.red_mask, l.green_mask, l.blue_mask};
    for (uint32_t i = 0; i < 64; i++) pixels.push_back((i * 0x9e3779b1u ^ i << 7) & all);
    int bytes = l.bits_per_pixel / 8;
    std::vector<uint8_t> row;
    for (uint32_t p : pixels) {
      for (int b = 0; b < bytes; b++) {
        row.push_back((uint8_t)(p >> (l.msb_first ? 8 * (bytes - 1 - b) : 8 * b)));
      }
    }
    std::vector<uint8_t> out = read_back(row, (int)pixels.size(), format);
    for (size_t i = 0; i < pixels.size(); i++) {
      uint32_t p = pixels[i];
      uint8_t alpha = l.alpha_mask && l.bits_per_pixel == 32 ? channel(p, l.alpha_mask) : 255;
      uint8_t want[4] = {channel(p, l.blue_mask), channel(p, l.green_mask), channel(p, l.red_mask),
                         alpha};
      ASSERT_EQ(memcmp(&out[i * 4], want, 4), 0)
          << "pixel " << std::hex << p << ": got " << (int)out[i * 4 + 2] << ","
          << (int)out[i * 4 + 1] << "," << (int)out[i * 4] << "," << (int)out[i * 4 + 3]
          << " expected " << (int)want[2] << "," << (int)want[1] << "," << (int)want[0] << ","
          << (int)want[3];
    }
  }
}

TEST(PixelFormats, ScalingRoundsToNearest) {
  struct {
    uint32_t value;
    int bits;
    uint8_t expected;
  } cases[] = {
      {0, 5, 0},        {31, 5, 255},       {1, 5, 8},  {3, 5, 25},        {16, 5, 132},
      {1, 6, 4},        {63, 6, 255},       {2, 10, 0}, {3, 10, 1},        {1023, 10, 255},
      {1, 1, 255},      {1, 2, 85},         {2, 3, 73}, {0x7fff, 16, 127}, {0x8080, 16, 128},
      {65535, 16, 255}, {257 * 77, 16, 77},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(vs_scale_channel(c.value, c.bits), c.expected) << c.value << " of " << c.bits;
  }
}

TEST(PixelFormats, IndexedPixelsInEitherOrder) {
  struct {
    int bits_per_pixel;
    int msb_first;
    uint8_t byte;
    std::vector<int> values;  // the byte's pixels, leftmost first
  } cases[] = {
      {8, 0, 0xa7, {0xa7}},
      {4, 0, 0xa7, {0x7, 0xa}},
      {4, 1, 0xa7, {0xa, 0x7}},
      {1, 0, 0xa7, {1, 1, 1, 0, 0, 1, 0, 1}},
      {1, 1, 0xa7, {1, 0, 1, 0, 0, 1, 1, 1}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::to_string(c.bits_per_pixel) + " bits, msb first " +
                 std::to_string(c.msb_first));
    vs_pixel_format format;
    ASSERT_EQ(vs_format_indexed(&format, c.bits_per_pixel, c.msb_first), 0);
    for (int v = 0; v < 256; v++) {
      uint8_t entry[4] = {(uint8_t)v, (uint8_t)(255 - v), (uint8_t)(v * 7), 255};
      memcpy(format.palette[v], entry, 4);
    }
    // Two bytes, so a pixel of the second byte shows where the count restarts.
    std::vector<uint8_t> row = {c.byte, c.byte};
    int width = 2 * (int)c.values.size();
    std::vector<uint8_t> out = read_back(row, width, format);
    for (int i = 0; i < width; i++) {
      int v = c.values[(size_t)i % c.values.size()];
      uint8_t want[4] = {(uint8_t)v, (uint8_t)(255 - v), (uint8_t)(v * 7), 255};
      EXPECT_EQ(memcmp(&out[(size_t)i * 4], want, 4), 0) << "pixel " << i << " should be " << v;
    }
  }
}

// A TrueColor visual of 8 bits or fewer a pixel reads through a palette built
// from its masks; DirectColor's tables replace the scaled levels and the
// palette follows them.
TEST(PixelFormats, SmallTrueColorAndDirectColorThroughThePalette) {
  vs_pixel_format format;
  ASSERT_EQ(vs_format_from_masks(&format, 8, 0, 0x07, 0x38, 0xc0, 0), 0);
  EXPECT_EQ(format.kind, VS_PIXELS_INDEXED);
  std::vector<uint8_t> row = {0x00, 0xff, 0x07, 0x38, 0xc0, 0x5d};
  std::vector<uint8_t> out = read_back(row, 6, format);
  const uint8_t want[6][4] = {{0, 0, 0, 255},   {255, 255, 255, 255}, {0, 0, 255, 255},
                              {0, 255, 0, 255}, {255, 0, 0, 255},     {85, 109, 182, 255}};
  for (int i = 0; i < 6; i++) EXPECT_EQ(memcmp(&out[(size_t)i * 4], want[i], 4), 0) << i;

  for (int i = 0; i < 8; i++) format.red_levels[i] = (uint8_t)(200 - i);
  vs_format_refresh_palette(&format);
  out = read_back(row, 6, format);
  EXPECT_EQ(out[2], 200);      // red 0 names cell 0
  EXPECT_EQ(out[4 + 2], 193);  // red 7
  EXPECT_EQ(out[5 * 4 + 2], 195);
}

TEST(PixelFormats, LayoutsTheConversionCannotTakeAreRefused) {
  vs_pixel_format format;
  EXPECT_EQ(vs_format_from_masks(&format, 16, 0, 0xf800, 0x0fe0, 0x001f, 0), -1);       // overlap
  EXPECT_EQ(vs_format_from_masks(&format, 16, 0, 0xf800, 0x07e0, 0x30000, 0), -1);      // beyond
  EXPECT_EQ(vs_format_from_masks(&format, 32, 0, 0xffe00000, 0x1ffc00, 0x3ff, 0), -1);  // 11 bits
  EXPECT_EQ(vs_format_from_masks(&format, 16, 0, 0xf100, 0x07e0, 0x001f, 0), -1);       // gap
  EXPECT_EQ(vs_format_from_masks(&format, 12, 0, 0xf00, 0x0f0, 0x00f, 0), -1);
  EXPECT_EQ(vs_format_indexed(&format, 2, 0), -1);
}

}  // namespace
