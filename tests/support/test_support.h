// Helpers shared by the unit tests: PNG decoding and structure, files in a
// private temporary directory, and the fixture that resets the scripted
// display and checks that every handle came back.
#ifndef VANTOREL_TESTS_SUPPORT_H
#define VANTOREL_TESTS_SUPPORT_H

#include <gtest/gtest.h>
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "scripted_display.h"

struct decoded_png {
  bool ok;
  int width;
  int height;
  int channels_in_file;
  std::vector<uint8_t> rgba;
};

// Decoded with stb_image, always as 4 channels.
decoded_png decode_png(const uint8_t *bytes, size_t len);
decoded_png decode_png_file(const std::string &path);

struct png_chunk {
  std::string type;
  uint32_t length;
  size_t data_offset;  // into the whole stream
  bool crc_ok;
};

// The chunks of a PNG stream, or an empty list if the signature is wrong or a
// chunk runs past the end.
std::vector<png_chunk> png_chunks(const std::vector<uint8_t> &png);
uint32_t read_be32(const uint8_t *p);

std::vector<uint8_t> read_file(const std::string &path);
bool path_exists(const std::string &path);
void write_file(const std::string &path, const std::string &text);

// A fresh directory under TMPDIR (or /tmp), removed with everything in it.
struct temp_dir {
  std::string path;
  temp_dir();
  ~temp_dir();
  std::string file(const char *name) const { return path + "/" + name; }
  std::vector<std::string> entries() const;
};

// Journal entries after the first one that starts with prefix; the whole
// journal if prefix is empty; nothing if it never appears.
std::vector<std::string> journal_after(const char *prefix);

// Expected journals are written as pieces put end to end.
typedef std::vector<std::string> journal;
inline journal concat(journal a, const journal &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The releases that end every screen or window read of the scripted display,
// in their order: bitmap deselected, deleted, memory context, screen context.
inline const journal k_release = {
    "SelectObject(M1,STOCK)=B1",
    "DeleteObject(B1)=1",
    "DeleteDC(M1)=1",
    "ReleaseDC(0,S1)=1",
};

// A pixel as the encoder's input or the decoder's output: R, G, B, A.
std::vector<uint8_t> rgba_of(const sd_pixel &p);

// Resets the layer before each test; after it, every display object must be
// released and the protocol kept. A test that expects a leak clears it.
class display_test : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  temp_dir dir;
};

#endif
