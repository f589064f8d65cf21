// The sampling shared by the Wayland copy and the portal's picture, on small
// buffers where every pixel can be named: the transforms, y-invert and the
// channel order land each pixel where it is seen, and a description that does
// not fit its buffer is refused before a byte is read. The cut of the
// rectangle asked for, the frame a bitmap holds, and which portal pictures
// may stand for a listed layout.
#include <gtest/gtest.h>
#include <string.h>

#include <vector>

#include "linux/linux_display.h"
#include "linux/linux_frame.h"
#include "linux/portal/portal_layer.h"

namespace {

// A 3x2 buffer whose pixel (x, y) holds the value 10 * y + x in its blue byte.
std::vector<uint8_t> numbered_buffer(uint32_t stride) {
  std::vector<uint8_t> bytes((size_t)stride * 2, 0);
  for (int y = 0; y < 2; y++) {
    for (int x = 0; x < 3; x++) bytes[(size_t)y * stride + (size_t)x * 4] = (uint8_t)(10 * y + x);
  }
  return bytes;
}

struct transform_case {
  const char *what;
  uint8_t transform;
  uint8_t y_invert;
  int width, height;    // as seen
  uint8_t expected[6];  // rows as seen, top first
};

TEST(Frame, TransformsAndInversionAsSeen) {
  const transform_case cases[] = {
      {"normal", 0, 0, 3, 2, {0, 1, 2, 10, 11, 12}},
      {"y-invert", 0, 1, 3, 2, {10, 11, 12, 0, 1, 2}},
      {"90", 1, 0, 2, 3, {10, 0, 11, 1, 12, 2}},
      {"180", 2, 0, 3, 2, {12, 11, 10, 2, 1, 0}},
      {"270", 3, 0, 2, 3, {2, 12, 1, 11, 0, 10}},
      {"flipped", 4, 0, 3, 2, {2, 1, 0, 12, 11, 10}},
      {"flipped 90", 5, 0, 2, 3, {0, 10, 1, 11, 2, 12}},
  };
  std::vector<uint8_t> bytes = numbered_buffer(16);
  for (const transform_case &c : cases) {
    SCOPED_TRACE(c.what);
    vs_source source = {bytes.data(), bytes.size(), 3, 2, 16, 0, c.transform, c.y_invert};
    std::vector<uint32_t> pixels((size_t)c.width * c.height, 0);
    vs_frame frame = {pixels.data(), c.width, c.height};
    ASSERT_EQ(vs_sample(&source, c.width, c.height, 0, 0, c.width, c.height, &frame, 0, 0), 0);
    for (int i = 0; i < c.width * c.height; i++) {
      EXPECT_EQ(pixels[(size_t)i] & 0xffu, c.expected[i]) << i;
      EXPECT_EQ(pixels[(size_t)i] >> 24, 0xffu) << i;
    }
  }
}

// The centre rule at scale 2 and the channel swap of XBGR buffers.
TEST(Frame, ScaledAndSwapped) {
  std::vector<uint8_t> bytes(4 * 4 * 4, 0);
  for (int y = 0; y < 4; y++) {
    for (int x = 0; x < 4; x++) bytes[(size_t)(y * 4 + x) * 4] = (uint8_t)(10 * y + x);
  }
  vs_source source = {bytes.data(), bytes.size(), 4, 4, 16, 1, 0, 0};
  uint32_t pixels[4] = {0};
  vs_frame frame = {pixels, 2, 2};
  ASSERT_EQ(vs_sample(&source, 2, 2, 0, 0, 2, 2, &frame, 0, 0), 0);
  // Logical (0,0) takes buffer (1,1); swapped, its first byte is now red.
  EXPECT_EQ(pixels[0], 0xff000000u | 11u << 16);
  EXPECT_EQ(pixels[3], 0xff000000u | 33u << 16);
}

TEST(Frame, DescriptionsThatDoNotFitAreRefused) {
  std::vector<uint8_t> bytes = numbered_buffer(12);
  uint32_t pixels[6] = {0};
  vs_frame frame = {pixels, 3, 2};
  struct bad {
    const char *what;
    vs_source source;
    int area_width, area_height, x, y, width, height, dest_x;
  } cases[] = {
      {"stride shorter than a row",
       {bytes.data(), bytes.size(), 3, 2, 8, 0, 0, 0},
       3,
       2,
       0,
       0,
       3,
       2,
       0},
      {"rows beyond the buffer",
       {bytes.data(), bytes.size(), 3, 3, 12, 0, 0, 0},
       3,
       3,
       0,
       0,
       3,
       2,
       0},
      {"size that wraps in 32 bits",
       {bytes.data(), bytes.size(), 0x40000001u, 2, 4, 0, 0, 0},
       3,
       2,
       0,
       0,
       3,
       2,
       0},
      {"part beyond the area",
       {bytes.data(), bytes.size(), 3, 2, 12, 0, 0, 0},
       3,
       2,
       1,
       0,
       3,
       2,
       0},
      {"part beyond the frame",
       {bytes.data(), bytes.size(), 3, 2, 12, 0, 0, 0},
       3,
       2,
       0,
       0,
       3,
       2,
       1},
  };
  for (const bad &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(vs_sample(&c.source, c.area_width, c.area_height, c.x, c.y, c.width, c.height, &frame,
                        c.dest_x, 0),
              -1);
  }
  for (uint32_t p : pixels) EXPECT_EQ(p, 0u);
}

// Where a source's area meets the rectangle asked for, edges summed in 64
// bits: a rectangle near the end of the int range must not wrap.
TEST(Frame, CutsOfTheRectangleAskedFor) {
  struct cut_case {
    const char *what;
    RECT area;
    int x, y, width, height;
    int meets;
    vs_cut expected;
  } cases[] = {
      {"inside", {0, 0, 100, 50}, 10, 10, 20, 20, 1, {10, 10, 20, 20, 0, 0}},
      {"over the top left", {0, 0, 100, 50}, -5, -5, 10, 10, 1, {0, 0, 5, 5, 5, 5}},
      {"over the bottom right", {100, 0, 200, 50}, 150, 40, 100, 100, 1, {50, 40, 50, 10, 0, 0}},
      {"left of the origin", {-1920, 0, 0, 1080}, -10, -10, 20, 20, 1, {1910, 0, 10, 10, 0, 10}},
      {"touching an edge", {0, 0, 100, 50}, 100, 0, 10, 10, 0, {}},
      {"near the end of int",
       {INT32_MAX - 100, 0, INT32_MAX, 10},
       INT32_MAX - 5,
       0,
       10,
       10,
       1,
       {95, 0, 5, 10, 0, 0}},
  };
  for (const cut_case &c : cases) {
    SCOPED_TRACE(c.what);
    vs_cut cut = {-1, -1, -1, -1, -1, -1};
    ASSERT_EQ(vs_frame_cut(&c.area, c.x, c.y, c.width, c.height, &cut), c.meets);
    if (!c.meets) continue;
    EXPECT_EQ(cut.x, c.expected.x);
    EXPECT_EQ(cut.y, c.expected.y);
    EXPECT_EQ(cut.width, c.expected.width);
    EXPECT_EQ(cut.height, c.expected.height);
    EXPECT_EQ(cut.dest_x, c.expected.dest_x);
    EXPECT_EQ(cut.dest_y, c.expected.dest_y);
  }
}

// A fresh frame is opaque black, and a bitmap that holds it reads it back
// through GetDIBits as B, G, R, X bytes, then frees it (ASan, valgrind).
TEST(Frame, HeldFrameReadsBack) {
  vs_frame frame;
  ASSERT_EQ(vs_frame_alloc(&frame, 3, 2), 0);
  for (int i = 0; i < 6; i++) EXPECT_EQ(frame.pixels[i], 0xff000000u) << i;
  frame.pixels[1] = 0xff112233u;
  HDC dc = CreateCompatibleDC(NULL);
  ASSERT_NE(dc, nullptr);
  HBITMAP bitmap = CreateCompatibleBitmap(dc, 3, 2);
  ASSERT_NE(bitmap, nullptr);
  vs_frame_hold(&frame, vs_bitmap_of(bitmap));
  EXPECT_EQ(frame.pixels, nullptr);
  BITMAPINFO info;
  memset(&info, 0, sizeof info);
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = 3;
  info.bmiHeader.biHeight = -2;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  uint8_t out[24];
  ASSERT_EQ(GetDIBits(dc, bitmap, 0, 2, out, &info, DIB_RGB_COLORS), 2);
  const uint8_t expected[8] = {0, 0, 0, 255, 0x33, 0x22, 0x11, 255};
  EXPECT_EQ(memcmp(out, expected, sizeof expected), 0);
  DeleteObject(bitmap);
  DeleteDC(dc);

  EXPECT_EQ(vs_frame_alloc(&frame, 0, 2), -1);
  EXPECT_EQ(frame.pixels, nullptr);
}

TEST(Frame, PortalPicturesThatFitTheLayout) {
  struct fit {
    int64_t picture_width, picture_height, box_width, box_height;
    bool fits;
  } cases[] = {
      {2304, 800, 2304, 800, true},    // the layout, pixel for pixel
      {5120, 1600, 2560, 800, true},   // scale 2
      {1920, 1080, 1536, 864, true},   // scale 1.25
      {1281, 801, 1280, 800, true},    // rounding at a fractional scale
      {1280, 800, 2304, 800, false},   // an output went away meanwhile
      {3584, 800, 2304, 800, false},   // one came
      {2304, 1600, 2304, 800, false},  // another shape
      {1152, 400, 2304, 800, false},   // smaller than the layout
  };
  for (const fit &c : cases) {
    EXPECT_EQ(
        portal_picture_fits(c.picture_width, c.picture_height, c.box_width, c.box_height) != 0,
        c.fits)
        << c.picture_width << "x" << c.picture_height << " for " << c.box_width << "x"
        << c.box_height;
  }
}

}  // namespace
