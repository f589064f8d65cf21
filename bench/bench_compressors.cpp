// The compressors the compact PNG could use, on its own filtered rows of a
// picture: zlib's levels with its default strategy, with Z_FILTERED and
// Z_RLE, on one core; libdeflate's levels (a whole buffer, one core) where it
// is installed; and deflate_stream, the encoder's own (zlib in parts, every
// core). Size and the best of three times each.
//
//   vs-bench-compressors PICTURE.png...
#include <png.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <zlib.h>

#include <vector>

#include "core/compact_png.h"
#include "core/deflate_stream.h"

#if defined(VS_BENCH_LIBDEFLATE)
#include <libdeflate.h>
#endif

namespace {

double now_ms() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

template <typename F>
void measure(const char *what, int level, F compress) {
  double best = 1e30;
  size_t size = 0;
  for (int i = 0; i < 3; i++) {
    double start = now_ms();
    size = compress();
    double took = now_ms() - start;
    if (took < best) best = took;
  }
  printf("  %-28s %2d %10zu bytes %8.1f ms\n", what, level, size, best);
}

size_t zlib_size(const std::vector<uint8_t> &data, int level, int strategy) {
  std::vector<uint8_t> out(compressBound((uLong)data.size()));
  z_stream s;
  memset(&s, 0, sizeof s);
  deflateInit2(&s, level, Z_DEFLATED, 15, 9, strategy);
  s.next_in = (Bytef *)data.data();
  s.avail_in = (uInt)data.size();
  s.next_out = out.data();
  s.avail_out = (uInt)out.size();
  deflate(&s, Z_FINISH);
  size_t size = s.total_out;
  deflateEnd(&s);
  return size;
}

}  // namespace

int main(int argc, char **argv) {
  for (int a = 1; a < argc; a++) {
    png_image image;
    memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, argv[a])) {
      fprintf(stderr, "vs-bench-compressors: cannot read %s\n", argv[a]);
      return 1;
    }
    image.format = PNG_FORMAT_RGBA;
    std::vector<uint8_t> rgba(PNG_IMAGE_SIZE(image));
    png_image_finish_read(&image, nullptr, rgba.data(), 0, nullptr);
    int width = (int)image.width, height = (int)image.height;
    int channels = picture_is_opaque(rgba.data(), (size_t)width * height) ? 3 : 4;
    std::vector<uint8_t> rows(((size_t)width * channels + 1) * height);
    compact_png_filter(rgba.data(), width, height, channels, 6, rows.data());
    printf("%s: %dx%d, %d channels, %zu bytes of filtered rows\n", argv[a], width, height, channels,
           rows.size());
    for (int level = 1; level <= 9; level++)
      measure("zlib, default strategy", level,
              [&] { return zlib_size(rows, level, Z_DEFAULT_STRATEGY); });
    for (int level = 4; level <= 9; level++)
      measure("zlib, Z_FILTERED", level, [&] { return zlib_size(rows, level, Z_FILTERED); });
    measure("zlib, Z_RLE", 6, [&] { return zlib_size(rows, 6, Z_RLE); });
#if defined(VS_BENCH_LIBDEFLATE)
    for (int level = 1; level <= 12; level++) {
      measure("libdeflate (one core)", level, [&] {
        libdeflate_compressor *c = libdeflate_alloc_compressor(level);
        std::vector<uint8_t> out(libdeflate_zlib_compress_bound(c, rows.size()));
        size_t size = libdeflate_zlib_compress(c, rows.data(), rows.size(), out.data(), out.size());
        libdeflate_free_compressor(c);
        return size;
      });
    }
#endif
    for (int level = 1; level <= 9; level++) {
      measure("ours: zlib parts, every core", level, [&] {
        uint8_t *out = nullptr;
        size_t size = 0;
        deflate_stream(rows.data(), rows.size(), level, 0, &out, &size);
        free(out);
        return size;
      });
    }
  }
  return 0;
}
