// The PNG stage's test frames (test_frames.h).
#include "test_frames.h"

#include <algorithm>

// stb_image, built once for the tests (stb_image_impl.cpp).
#include <stb/stb_image.h>

bytes random_bytes(size_t n, uint32_t seed, int modulo) {
  rng r{seed};
  bytes b(n);
  for (uint8_t &v : b) v = (uint8_t)(r.next() % (uint32_t)modulo);
  return b;
}

namespace {

void fill(frame &f, int x0, int y0, int w, int h, uint32_t rgb) {
  for (int y = std::max(0, y0); y < std::min(f.height, y0 + h); y++)
    for (int x = std::max(0, x0); x < std::min(f.width, x0 + w); x++) {
      uint8_t *p = &f.rgba[((size_t)y * (size_t)f.width + (size_t)x) * 4];
      p[0] = (uint8_t)(rgb >> 16);
      p[1] = (uint8_t)(rgb >> 8);
      p[2] = (uint8_t)rgb;
      p[3] = 255;
    }
}

}  // namespace

frame solid_frame(int w, int h, uint32_t rgb) {
  frame f{w, h, bytes((size_t)w * (size_t)h * 4)};
  fill(f, 0, 0, w, h, rgb);
  return f;
}

frame desktop_frame(int w, int h) {
  frame f = solid_frame(w, h, 0x2d5f8b);
  rng r{7};
  const uint32_t bodies[] = {0xffffff, 0xf3f3f3, 0x1e1e1e};
  for (int k = 0; k < 3; k++) {
    int x0 = w / 16 + k * w / 4, y0 = h / 20 + k * h / 5, ww = w / 2, wh = h / 2;
    fill(f, x0, y0, ww, wh, bodies[k]);
    fill(f, x0, y0, ww, 24, 0x3c3c3c);
    uint32_t ink = k == 2 ? 0xd4d4d4 : 0x101010;
    for (int line = y0 + 32; line + 10 < y0 + wh; line += 14)
      for (int x = x0 + 8; x + 6 < x0 + ww - (int)(r.next() % (uint32_t)(ww / 3 + 1)); x += 6) {
        if (r.next() % 7 == 0) continue;  // a space
        uint32_t glyph = (r.next() % 48) * 2654435761u;
        for (int gy = 0; gy < 7; gy++)
          for (int gx = 0; gx < 5; gx++)
            if ((glyph >> ((gy * 5 + gx) % 32)) & 1) fill(f, x + gx, line + gy, 1, 1, ink);
      }
  }
  fill(f, 0, h - 32, w, 32, 0x202020);
  return f;
}

frame pattern_frame(int w, int h) {
  frame f{w, h, bytes((size_t)w * (size_t)h * 4)};
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      uint8_t *p = &f.rgba[((size_t)y * (size_t)w + (size_t)x) * 4];
      p[0] = (uint8_t)(x * 7 + y);
      p[1] = (uint8_t)(y * 3 + 1);
      p[2] = (uint8_t)(x ^ (y * 4));
      p[3] = 255;
    }
  return f;
}

frame stripes_frame(int w, int h) {
  frame f = solid_frame(w, h, 0x010203);
  for (int y = 0; y < h; y += 2) fill(f, 0, y, w, 1, 0xc86432);
  return f;
}

frame noise_frame(int w, int h) { return frame{w, h, random_bytes((size_t)w * (size_t)h * 4, 99)}; }

frame bench_frame() {
  frame f;
  int n = 0;
  stbi_uc *px = stbi_load(VS_BENCH_IMAGE, &f.width, &f.height, &n, 4);
  if (!px) return f;
  f.rgba.assign(px, px + (size_t)f.width * (size_t)f.height * 4);
  stbi_image_free(px);
  return f;
}
