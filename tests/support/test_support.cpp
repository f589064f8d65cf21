#include "test_support.h"

#include <stb/stb_image.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>

decoded_png decode_png(const uint8_t *bytes, size_t len) {
  decoded_png out{false, 0, 0, 0, {}};
  int w = 0, h = 0, n = 0;
  stbi_uc *px = stbi_load_from_memory(bytes, (int)len, &w, &h, &n, 4);
  if (!px) return out;
  out.ok = true;
  out.width = w;
  out.height = h;
  out.channels_in_file = n;
  out.rgba.assign(px, px + (size_t)w * (size_t)h * 4);
  stbi_image_free(px);
  return out;
}

decoded_png decode_png_file(const std::string &path) {
  std::vector<uint8_t> bytes = read_file(path);
  return decode_png(bytes.data(), bytes.size());
}

uint32_t read_be32(const uint8_t *p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | (uint32_t)p[3];
}

static uint32_t crc32_of(const uint8_t *p, size_t n) {
  uint32_t crc = 0xffffffffu;
  for (size_t i = 0; i < n; i++) {
    crc ^= p[i];
    for (int k = 0; k < 8; k++) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
  }
  return crc ^ 0xffffffffu;
}

std::vector<png_chunk> png_chunks(const std::vector<uint8_t> &png) {
  static const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  std::vector<png_chunk> chunks;
  if (png.size() < 8 || memcmp(png.data(), signature, 8) != 0) return chunks;
  size_t at = 8;
  while (at < png.size()) {
    if (png.size() - at < 12) return {};
    uint32_t len = read_be32(&png[at]);
    if (png.size() - at - 12 < len) return {};
    png_chunk c;
    c.type.assign((const char *)&png[at + 4], 4);
    c.length = len;
    c.data_offset = at + 8;
    c.crc_ok = crc32_of(&png[at + 4], (size_t)len + 4) == read_be32(&png[at + 8 + len]);
    chunks.push_back(c);
    at += 12 + (size_t)len;
  }
  return chunks;
}

std::vector<uint8_t> read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

bool path_exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

void write_file(const std::string &path, const std::string &text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

temp_dir::temp_dir() {
  const char *base = getenv("TMPDIR");
  std::string pattern = std::string(base && base[0] ? base : "/tmp") + "/vs-test-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data())) path = buf.data();
}

temp_dir::~temp_dir() {
  std::error_code ec;
  if (!path.empty()) std::filesystem::remove_all(path, ec);
}

std::vector<std::string> temp_dir::entries() const {
  std::vector<std::string> names;
  for (const auto &e : std::filesystem::directory_iterator(path))
    names.push_back(e.path().filename().string());
  return names;
}

std::vector<std::string> journal_after(const char *prefix) {
  std::vector<std::string> j = sd_journal();
  size_t n = strlen(prefix);
  if (n == 0) return j;
  for (size_t i = 0; i < j.size(); i++)
    if (j[i].compare(0, n, prefix) == 0)
      return std::vector<std::string>(j.begin() + (long)i + 1, j.end());
  return {};
}

std::vector<uint8_t> rgba_of(const sd_pixel &p) { return {p.r, p.g, p.b, p.x}; }

void display_test::SetUp() {
  sd_reset();
  ASSERT_FALSE(dir.path.empty());
}

void display_test::TearDown() {
  sd_live_counts live = sd_live();
  EXPECT_EQ(live.screen_dcs, 0) << "screen DCs left";
  EXPECT_EQ(live.memory_dcs, 0) << "memory DCs left";
  EXPECT_EQ(live.bitmaps, 0) << "bitmaps left";
  EXPECT_EQ(live.selections, 0) << "selections left";
  EXPECT_EQ(sd_misuse(), std::vector<std::string>{});
}

// Some tests ask malloc for more than any machine has and expect NULL back;
// under AddressSanitizer that must not abort the run.
extern "C" const char *__asan_default_options(void);
extern "C" const char *__asan_default_options(void) { return "allocator_may_return_null=1"; }
