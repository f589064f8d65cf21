/* The known picture's colour at a desktop position, shared by the client that
 * shows it and the tests that check a capture against it. */
#ifndef VS_KNOWN_PIXEL_H
#define VS_KNOWN_PIXEL_H

#include <stdint.h>

/* XRGB at desktop position (x, y): red and green are the low bytes of x and
 * y, blue mixes their high bits, so every pixel of a desktop up to 4096x4096
 * differs from every other and a shifted or scaled picture cannot match. */
static inline uint32_t known_pixel(int32_t x, int32_t y) {
  uint32_t r = (uint32_t)x & 0xffu;
  uint32_t g = (uint32_t)y & 0xffu;
  uint32_t b = ((((uint32_t)x >> 8) & 0xfu) | ((((uint32_t)y >> 8) & 0xfu) << 4)) ^ 0x5au;
  return 0xff000000u | (r << 16) | (g << 8) | b;
}

#endif
