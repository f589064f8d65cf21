// Frames for the PNG stage's tests, packed RGBA with the top row first, and
// the byte sources they are made from. Deterministic: the same every run.
#ifndef VANTOREL_TESTS_FRAMES_H
#define VANTOREL_TESTS_FRAMES_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

typedef std::vector<uint8_t> bytes;

struct rng {
  uint32_t state;
  uint32_t next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  }
};

// n bytes below modulo.
bytes random_bytes(size_t n, uint32_t seed, int modulo = 256);

struct frame {
  int width = 0, height = 0;
  bytes rgba;
};

frame solid_frame(int width, int height, uint32_t rgb);
// Windows with lines of 5x7 glyphs drawn from a small set: the repeats at all
// distances that text on a screen makes, without a font.
frame desktop_frame(int width, int height);
// The capture tests' pattern screen, opaque.
frame pattern_frame(int width, int height);
// Rows of two colours in turn.
frame stripes_frame(int width, int height);
frame noise_frame(int width, int height);
// The benchmarks' desktop screenshot, ../shared/bench/desktop-1920x1080.png
// beside the source tree; an empty frame when it is not there.
frame bench_frame();

#endif
