// The compact encoder behind screenshot_encode and screenshot_save: every
// PNG read back by libpng, an independent decoder, pixel for pixel; RGB
// exactly when every pixel is opaque; the levels; parts of the zlib stream
// joined anywhere; JPEG read back by libjpeg; the formats and refusals.
#include <gtest/gtest.h>
#include <jpeglib.h>
#include <png.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "core/compact_png.h"
#include "core/deflate_stream.h"
#include "test_frames.h"
#include "test_support.h"
#include "vantorel_screenshot.h"

namespace {

struct owned {
  unsigned char *bytes = nullptr;
  int length = 0;
  ~owned() { screenshot_free_mem(bytes); }
  std::vector<uint8_t> vector() const { return std::vector<uint8_t>(bytes, bytes + length); }
};

screenshot_picture picture_of(frame &f) {
  screenshot_picture p = {0, 0, f.width, f.height, f.rgba.data()};
  return p;
}

struct libpng_image {
  bool ok = false;
  int width = 0, height = 0;
  unsigned colour_type = 0;
  bytes rgba;
};

libpng_image read_with_libpng(const uint8_t *data, size_t length) {
  libpng_image out;
  png_image image;
  memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, data, length)) return out;
  out.colour_type = (image.format & PNG_FORMAT_FLAG_COLORMAP) ? 3
                    : (image.format & PNG_FORMAT_FLAG_ALPHA)  ? 6
                                                              : 2;
  image.format = PNG_FORMAT_RGBA;
  out.rgba.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, out.rgba.data(), 0, nullptr)) return out;
  out.ok = (image.warning_or_error & PNG_IMAGE_ERROR) == 0;
  out.width = (int)image.width;
  out.height = (int)image.height;
  return out;
}

frame with_alpha(frame f, uint8_t alpha, size_t every) {
  for (size_t i = 0; i < f.rgba.size() / 4; i += every) f.rgba[i * 4 + 3] = alpha;
  return f;
}

// A photo (noise) in the top half, a desktop of windows and glyphs below:
// both of the compressor's methods in one stream.
frame mixed_frame(int width, int height) {
  frame top = noise_frame(width, height / 2);
  frame bottom = desktop_frame(width, height - height / 2);
  frame f;
  f.width = width;
  f.height = height;
  f.rgba = top.rgba;
  f.rgba.insert(f.rgba.end(), bottom.rgba.begin(), bottom.rgba.end());
  for (size_t i = 0; i < f.rgba.size() / 4; i++) f.rgba[i * 4 + 3] = 255;
  return f;
}

// count opaque colours, each once, in a row; then the first again.
frame colours_frame(int count) {
  frame f;
  f.width = count + 1;
  f.height = 2;
  for (int row = 0; row < 2; row++)
    for (int x = 0; x <= count; x++) {
      uint32_t c = (uint32_t)(x % count) * 0x010203u;
      f.rgba.insert(f.rgba.end(), {(uint8_t)(c >> 16), (uint8_t)(c >> 8), (uint8_t)c, 255});
    }
  return f;
}

}  // namespace

TEST(CompactPng, EveryPictureReadsBackExactlyInTheSmallestColourType) {
  // Opaque: a palette for 256 colours or fewer, else RGB; RGBA only when a
  // pixel is not opaque.
  struct {
    const char *name;
    frame f;
    unsigned colour_type;
  } cases[] = {
      {"1x1", solid_frame(1, 1, 0x336699), 3},
      {"one column", desktop_frame(1, 300), 3},
      {"one row", noise_frame(997, 1), 6},
      {"odd width", desktop_frame(333, 77), 3},
      {"stripes", stripes_frame(640, 480), 3},
      {"256 colours", colours_frame(256), 3},
      {"257 colours", colours_frame(257), 2},
      {"noise, opaque", with_alpha(noise_frame(257, 129), 255, 1), 2},
      {"one translucent pixel", with_alpha(desktop_frame(200, 100), 254, 20000), 6},
      {"clear everywhere", with_alpha(pattern_frame(64, 48), 0, 1), 6},
      {"mixed 1920x1080", mixed_frame(1920, 1080), 2},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    screenshot_picture p = picture_of(c.f);
    for (int level = -1; level <= 9; level++) {
      SCOPED_TRACE(level);
      owned png;
      ASSERT_EQ(screenshot_encode(&p, "png", level, &png.bytes, &png.length), 0)
          << screenshot_last_error();
      libpng_image back = read_with_libpng(png.bytes, (size_t)png.length);
      ASSERT_TRUE(back.ok);
      EXPECT_EQ(back.width, c.f.width);
      EXPECT_EQ(back.height, c.f.height);
      EXPECT_EQ(back.colour_type, c.colour_type);
      EXPECT_EQ(png.bytes[25], c.colour_type);  // IHDR's colour type
      EXPECT_TRUE(back.rgba == c.f.rgba);
      std::vector<png_chunk> chunks = png_chunks(png.vector());
      ASSERT_EQ(chunks.size(), c.colour_type == 3 ? 4u : 3u);
      for (const png_chunk &chunk : chunks) EXPECT_TRUE(chunk.crc_ok) << chunk.type;
    }
  }
}

TEST(CompactPng, LevelsTradeSizeAndTheDefaultIsSeven) {
  frame f = mixed_frame(800, 600);
  screenshot_picture p = picture_of(f);
  std::vector<size_t> sizes;
  for (int level = 0; level <= 9; level++) {
    owned png;
    ASSERT_EQ(screenshot_encode(&p, "PNG", level, &png.bytes, &png.length), 0);
    sizes.push_back((size_t)png.length);
  }
  // Level 0 stores: a filter byte and three bytes a pixel, and a little.
  EXPECT_GT(sizes[0], (size_t)(800 * 3 + 1) * 600);
  EXPECT_LT(sizes[1], sizes[0] * 3 / 4);  // half of it is noise
  EXPECT_LE(sizes[9], sizes[6]);
  EXPECT_LE(sizes[6], sizes[1]);
  owned by_default;
  ASSERT_EQ(screenshot_encode(&p, "png", -1, &by_default.bytes, &by_default.length), 0);
  EXPECT_EQ((size_t)by_default.length, sizes[7]);
  // The same picture, the same bytes.
  owned again;
  ASSERT_EQ(screenshot_encode(&p, "png", -1, &again.bytes, &again.length), 0);
  EXPECT_TRUE(again.vector() == by_default.vector());
}

TEST(CompactPng, PartsJoinIntoOneStreamWhereverTheyAreCut) {
  // Busy bytes then quiet ones, so parts take both methods.
  bytes data = random_bytes(200000, 7);
  bytes quiet(300000, 0);
  for (size_t i = 0; i < quiet.size(); i += 97) quiet[i] = (uint8_t)(i / 97);
  data.insert(data.end(), quiet.begin(), quiet.end());
  size_t n = data.size();
  std::vector<std::vector<size_t>> cuts = {
      {n},
      {1, n},
      {n - 1, n},
      {40000, 40001, 200000, 232768, n},  // a 1-byte part; one primed with exactly 32 KiB
      {10, 20, 30, 40, 50, n},            // parts shorter than the window
  };
  for (int level = 0; level <= 9; level += 3) {
    for (const auto &ends : cuts) {
      SCOPED_TRACE(testing::Message() << "level " << level << ", " << ends.size() << " parts");
      uint8_t *out = nullptr;
      size_t length = 0;
      ASSERT_EQ(deflate_stream_parts(data.data(), n, level, ends.data(), (int)ends.size(), 5, &out,
                                     &length),
                0);
      bytes back(n + 1);
      uLongf back_length = (uLongf)back.size();
      EXPECT_EQ(uncompress(back.data(), &back_length, out + 5, (uLong)length), Z_OK);
      back.resize(back_length);
      EXPECT_TRUE(back == data);
      free(out);
    }
  }
  // Ends that do not rise, or do not end at the length, are refused.
  uint8_t *out = nullptr;
  size_t length = 0;
  const size_t falling[] = {300, 200, n};
  EXPECT_EQ(deflate_stream_parts(data.data(), n, 6, falling, 3, 0, &out, &length), -1);
  const size_t short_end[] = {n - 1};
  EXPECT_EQ(deflate_stream_parts(data.data(), n, 6, short_end, 1, 0, &out, &length), -1);
  EXPECT_EQ(out, nullptr);
}

TEST(CompactPng, AStreamCutIntoManyIdatChunksReadsBack) {
  // PNG's chunks hold 2^31 - 1 bytes; a longer stream is cut, and each piece
  // gets its own head and CRC. Shown with small chunks, palette and RGB.
  for (frame f : {desktop_frame(300, 200), mixed_frame(300, 200)}) {
    for (size_t max_chunk : {(size_t)1, (size_t)7, (size_t)1000}) {
      SCOPED_TRACE(max_chunk);
      uint8_t *png = nullptr;
      size_t length = 0;
      ASSERT_EQ(
          compact_png_encode_chunks(f.rgba.data(), f.width, f.height, 6, max_chunk, &png, &length),
          0);
      std::vector<uint8_t> bytes(png, png + length);
      free(png);
      size_t idat = 0, idat_bytes = 0;
      for (const png_chunk &chunk : png_chunks(bytes)) {
        EXPECT_TRUE(chunk.crc_ok) << chunk.type;
        if (chunk.type == "IDAT") {
          EXPECT_LE(chunk.length, max_chunk);
          idat++;
          idat_bytes += chunk.length;
        }
      }
      EXPECT_EQ(idat, (idat_bytes + max_chunk - 1) / max_chunk);
      libpng_image back = read_with_libpng(bytes.data(), bytes.size());
      ASSERT_TRUE(back.ok);
      EXPECT_TRUE(back.rgba == f.rgba);
    }
  }
}

TEST(CompactPng, TheBenchDesktopReadsBack) {
  frame f = bench_frame();
  if (f.width == 0) GTEST_SKIP() << "no bench desktop beside the source tree";
  screenshot_picture p = picture_of(f);
  owned png;
  ASSERT_EQ(screenshot_encode(&p, "png", -1, &png.bytes, &png.length), 0);
  libpng_image back = read_with_libpng(png.bytes, (size_t)png.length);
  ASSERT_TRUE(back.ok);
  EXPECT_TRUE(back.rgba == f.rgba);
}

TEST(Encode, JpegAndPpmHoldThePixels) {
  frame f = desktop_frame(321, 123);
  screenshot_picture p = picture_of(f);
  owned ppm;
  ASSERT_EQ(screenshot_encode(&p, "Ppm", 5, &ppm.bytes, &ppm.length), 0);
  std::string header = "P6\n321 123\n255\n";
  ASSERT_EQ((size_t)ppm.length, header.size() + 321 * 123 * 3);
  EXPECT_EQ(memcmp(ppm.bytes, header.data(), header.size()), 0);
  for (size_t i = 0; i < 321 * 123; i++) {
    ASSERT_EQ(memcmp(ppm.bytes + header.size() + i * 3, &f.rgba[i * 4], 3), 0) << i;
  }

  std::vector<size_t> sizes;
  for (int quality : {10, -1, 100}) {
    owned jpeg;
    ASSERT_EQ(screenshot_encode(&p, "jpg", quality, &jpeg.bytes, &jpeg.length), 0);
    sizes.push_back((size_t)jpeg.length);
    jpeg_decompress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, jpeg.bytes, (unsigned long)jpeg.length);
    ASSERT_EQ(jpeg_read_header(&info, TRUE), JPEG_HEADER_OK);
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    EXPECT_EQ((int)info.output_width, 321);
    EXPECT_EQ((int)info.output_height, 123);
    bytes row(321 * 3);
    double difference = 0;
    while (info.output_scanline < info.output_height) {
      int y = (int)info.output_scanline;
      JSAMPROW rows[1] = {row.data()};
      jpeg_read_scanlines(&info, rows, 1);
      for (int x = 0; x < 321; x++)
        for (int c = 0; c < 3; c++)
          difference += abs(row[x * 3 + c] - f.rgba[(y * 321 + x) * 4 + c]);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    if (quality != 10) {
      EXPECT_LT(difference / (321.0 * 123 * 3), 8.0) << quality;
    }
  }
  EXPECT_LT(sizes[0], sizes[1]);
  EXPECT_LT(sizes[1], sizes[2]);
}

TEST(Encode, RefusalsSayWhyAndWriteNothing) {
  frame f = solid_frame(8, 8, 0x102030);
  screenshot_picture p = picture_of(f);
  screenshot_picture empty = {0, 0, 0, 8, f.rgba.data()};
  screenshot_picture no_pixels = {0, 0, 8, 8, nullptr};
  owned out;
  struct {
    const screenshot_picture *picture;
    const char *format;
    int level;
    const char *message;
  } cases[] = {
      {&p, "gif", -1, "unknown image format 'gif' (png, jpeg or ppm)"},
      {&p, "pngx", -1, "unknown image format 'pngx' (png, jpeg or ppm)"},
      {&p, "png", 10, "PNG level 10 out of range (0-9, or -1 for the default)"},
      {&p, "png", -2, "PNG level -2 out of range (0-9, or -1 for the default)"},
      {&p, "jpeg", 0, "JPEG quality 0 out of range (1-100, or -1 for the default)"},
      {&p, "jpeg", 101, "JPEG quality 101 out of range (1-100, or -1 for the default)"},
      {&empty, "png", -1, "invalid picture size 0x8"},
      {&no_pixels, "png", -1, "picture is NULL"},
      {nullptr, "png", -1, "picture is NULL"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.message);
    out.bytes = (unsigned char *)1;
    out.length = 5;
    EXPECT_EQ(screenshot_encode(c.picture, c.format, c.level, &out.bytes, &out.length), -1);
    EXPECT_STREQ(screenshot_last_error(), c.message);
    EXPECT_EQ(out.bytes, nullptr);
    EXPECT_EQ(out.length, 0);
  }
  EXPECT_EQ(screenshot_encode(&p, "png", -1, nullptr, &out.length), -1);
  EXPECT_STREQ(screenshot_last_error(), "out params are NULL");

  char dir[] = "/tmp/vs-encode-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string base = dir;
  struct {
    std::string name;
    const char *format;
    const char *message;
  } saves[] = {
      {"x.gif", nullptr, "unknown image format 'gif' (png, jpeg or ppm)"},
      {"x.png", "tiff", "unknown image format 'tiff' (png, jpeg or ppm)"},
      {"x", "", nullptr},
  };
  for (const auto &s : saves) {
    std::string path = base + "/" + s.name;
    EXPECT_EQ(screenshot_save(&p, path.c_str(), s.format, -1), -1);
    std::string expected =
        s.message ? s.message
                  : "no image format: '" + path + "' has no extension (png, jpeg or ppm)";
    EXPECT_EQ(screenshot_last_error(), expected);
    EXPECT_FALSE(path_exists(path));
  }
  EXPECT_EQ(screenshot_save(&p, "", "png", -1), -1);
  EXPECT_STREQ(screenshot_last_error(), "output file is empty");
  // The format by name wins over the extension; the extension in any case.
  std::string named = base + "/named.ppm";
  ASSERT_EQ(screenshot_save(&p, named.c_str(), "png", 1), 0);
  EXPECT_TRUE(read_with_libpng(read_file(named).data(), read_file(named).size()).ok);
  std::string upper = base + "/SHOT.JPEG";
  ASSERT_EQ(screenshot_save(&p, upper.c_str(), nullptr, -1), 0);
  EXPECT_EQ(read_file(upper)[0], 0xff);
  std::string missing = base + "/no-such-dir/x.png";
  EXPECT_EQ(screenshot_save(&p, missing.c_str(), nullptr, -1), -1);
  EXPECT_EQ(screenshot_last_error(),
            "PNG write failed for 8x8 frame to '" + missing + "' (No such file or directory)");
  unlink(named.c_str());
  unlink(upper.c_str());
  rmdir(dir);
}

TEST(Encode, SaveWritesTheBytesEncodeGives) {
  frame f = mixed_frame(500, 400);
  screenshot_picture p = picture_of(f);
  char dir[] = "/tmp/vs-encode-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  for (const char *format : {"png", "jpeg", "ppm"}) {
    SCOPED_TRACE(format);
    std::string path = std::string(dir) + "/shot." + format;
    owned bytes_out;
    ASSERT_EQ(screenshot_encode(&p, format, -1, &bytes_out.bytes, &bytes_out.length), 0);
    ASSERT_EQ(screenshot_save(&p, path.c_str(), nullptr, -1), 0);
    EXPECT_TRUE(read_file(path) == bytes_out.vector());
    unlink(path.c_str());
  }
  rmdir(dir);
}
