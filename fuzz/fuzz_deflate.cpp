// The PNG stage's compressor against stb_image_write's built-in one on the
// same bytes at stb's quality: any difference in the streams is a crash.
//
// The first byte modulo 8 picks how the rest becomes the compressor's input,
// so that short inputs reach what only long ones would show:
//   1          runs: each pair (count, value) is count + 1 copies of value;
//   2          the window: the rest, filler of bytes that cost 8 bits each,
//              and the rest again, 32,760 + (second byte % 16) bytes after it
//              began, around the 32,767 bytes both matchers look back;
//   otherwise  the bytes as they are.
// The long inputs of modes 1 and 2 take most of the time, so they are the
// rarer picks.
// The seeds (fuzz/corpus/deflate) are rows of screen images as stb filters
// them, runs around 3 and 258, the window's edges and inputs of 0 to 4 bytes.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "core/pngenc_deflate.h"
#include "stb_write_oracle.h"

namespace {

const size_t k_max_input = 80000;  // past two stored blocks and the window

void check(bool ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "deflate fuzz: %s\n", what);
    abort();
  }
}

std::vector<uint8_t> expand(const uint8_t *data, size_t size) {
  std::vector<uint8_t> out;
  if (size == 0) return out;
  uint8_t mode = data[0] % 8;
  data++;
  size--;
  if (mode == 1) {
    for (size_t k = 0; k + 1 < size; k += 2)
      out.insert(out.end(), (size_t)data[k] + 1, data[k + 1]);
  } else if (mode == 2 && size > 0) {
    size_t distance = 32760 + data[0] % 16;
    data++;
    size--;
    out.assign(data, data + size);
    uint32_t state = 0x9e3779b9u ^ (uint32_t)size;
    while (out.size() < distance) {
      state = state * 1664525u + 1013904223u;
      out.push_back((uint8_t)((state >> 24) % 144));
    }
    out.resize(distance);
    out.insert(out.end(), data, data + size);
  } else {
    out.assign(data, data + size);
  }
  if (out.size() > k_max_input) out.resize(k_max_input);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<uint8_t> in = expand(data, size);
  int n = (int)in.size();
  int ours_len = -1, stb_len = -1;
  unsigned char *ours = pngenc_deflate(in.data(), n, &ours_len, 8);
  unsigned char *stb = oracle_zlib_compress(in.data(), n, &stb_len, 8);
  check(ours != NULL && stb != NULL, "no stream");
  check(ours_len == stb_len, "lengths differ");
  check(memcmp(ours, stb, (size_t)ours_len) == 0, "bytes differ");
  free(stb);
  free(ours);
  return 0;
}
