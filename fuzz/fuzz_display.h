// A display layer for the fuzzers: monitors come from the fuzz input, every
// capture call fails. Enough to drive enumeration, clamping and the JSON text.
#ifndef VANTOREL_FUZZ_DISPLAY_H
#define VANTOREL_FUZZ_DISPLAY_H

#include <stddef.h>
#include <stdint.h>

#define FUZZ_MAX_MONITORS 24

struct fuzz_monitor {
  int32_t left, top, right, bottom;
  int info_fails;
  uint32_t flags;
  char device[32];
};

struct fuzz_layout {
  fuzz_monitor monitors[FUZZ_MAX_MONITORS];
  int count;
  int enum_fails;
};

extern fuzz_layout g_fuzz_layout;

// Reads up to `size` bytes from the input cursor; missing bytes read as 0.
struct fuzz_input {
  const uint8_t *data;
  size_t size;
  size_t pos;
};
void fuzz_read(fuzz_input *in, void *out, size_t n);
int32_t fuzz_int(fuzz_input *in);
uint8_t fuzz_byte(fuzz_input *in);
void fuzz_read_layout(fuzz_input *in, fuzz_layout *layout);

#endif
