// The portal's picture decoder on hostile bytes: every input is refused with
// nothing handed out, or decoded within the bounds into opaque pixels, never
// a crash or a read or write out of bounds; and the bounds hold exactly: a
// picture is taken at its own size and refused a pixel or a side short of it.
// Small bounds, so that a header's claim costs the fuzzer little; the shipped
// ones differ only in value.
//
// libpng itself is Debian's, not instrumented, so the fuzzer cannot steer by
// its branches; and libpng drops a chunk whose checksum is wrong, which would
// stop nearly every blind mutation at the door. So the first byte picks the
// mode: odd, the rest is taken as a PNG whose chunk checksums are made right
// before decoding, so that mutations reach the header, palette and image data;
// even, the rest is decoded as it is.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "linux/portal/portal_png.h"

static void check(bool ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "portal png fuzz: %s\n", what);
    abort();
  }
}

static const int32_t k_max_side = 1024;
static const uint64_t k_max_pixels = 1 << 18;

static uint32_t crc32_of(const uint8_t *p, size_t n) {
  uint32_t crc = 0xffffffffu;
  for (size_t i = 0; i < n; i++) {
    crc ^= p[i];
    for (int k = 0; k < 8; k++) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
  }
  return crc ^ 0xffffffffu;
}

static uint32_t be32(const uint8_t *p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

// Each whole chunk after the signature: length, type, data, checksum.
static void fix_checksums(uint8_t *png, size_t size) {
  size_t at = 8;
  while (at + 12 <= size) {
    uint32_t length = be32(png + at);
    if (length > size - at - 12) break;
    uint32_t crc = crc32_of(png + at + 4, 4 + (size_t)length);
    uint8_t *out = png + at + 8 + length;
    for (int i = 0; i < 4; i++) out[i] = (uint8_t)(crc >> (24 - 8 * i));
    at += 12 + (size_t)length;
  }
}

static int decode_checked(const uint8_t *data, size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return decode_checked(data, size);
  if (!(data[0] & 1)) return decode_checked(data + 1, size - 1);
  uint8_t *png = (uint8_t *)malloc(size - 1 ? size - 1 : 1);
  check(png != NULL, "no memory for the input");
  memcpy(png, data + 1, size - 1);
  fix_checksums(png, size - 1);
  decode_checked(png, size - 1);
  free(png);
  return 0;
}

static int decode_checked(const uint8_t *data, size_t size) {
  portal_png_picture pic;
  portal_png_result r = portal_png_decode(data, size, k_max_side, k_max_pixels, &pic);
  if (r != PORTAL_PNG_OK) {
    check(r == PORTAL_PNG_BAD || r == PORTAL_PNG_NO_MEMORY, "unknown result");
    check(!pic.pixels && pic.width == 0 && pic.height == 0, "output left set on refusal");
    return 0;
  }
  check(pic.pixels != NULL, "no pixels");
  check(pic.width >= 1 && pic.width <= k_max_side && pic.height >= 1 && pic.height <= k_max_side,
        "side out of bounds");
  uint64_t count = (uint64_t)pic.width * (uint64_t)pic.height;
  check(count <= k_max_pixels, "pixel count out of bounds");
  for (uint64_t i = 0; i < count; i++) check(pic.pixels[i * 4 + 3] == 255, "pixel not opaque");

  int32_t side = pic.width > pic.height ? pic.width : pic.height;
  portal_png_picture again;
  check(portal_png_decode(data, size, side, count, &again) == PORTAL_PNG_OK,
        "refused at its own size");
  check(again.width == pic.width && again.height == pic.height &&
            memcmp(again.pixels, pic.pixels, count * 4) == 0,
        "a second decoding differs");
  free(again.pixels);
  check(portal_png_decode(data, size, side - 1, count, &again) == PORTAL_PNG_BAD && !again.pixels,
        "taken a side beyond the bound");
  check(portal_png_decode(data, size, side, count - 1, &again) == PORTAL_PNG_BAD && !again.pixels,
        "taken a pixel beyond the bound");
  free(pic.pixels);
  return 0;
}
