// The PNG stage: packed 8-bit RGBA rows, top row first, to PNG bytes or a file.
// Neither function sets an error text; their callers word the message.
#ifndef VANTOREL_PNGENC_H
#define VANTOREL_PNGENC_H

#include <stddef.h>
#include <stdint.h>

// PNG bytes in a malloc'd block of pngenc_capacity(*out_len) bytes, which the
// caller frees. On -1 nothing is kept; outputs are untouched when an argument
// was refused, else NULL and 0.
int pngenc_encode_rgba(const uint8_t *rgba, int width, int height, uint8_t **out_png,
                       size_t *out_len);

// Exactly the bytes of pngenc_encode_rgba, written to path (on Windows read
// as UTF-8 or ANSI, win32_path.h). On -1 errno tells why, no file that this
// call created is left behind, and a file that was there keeps its old
// contents when the room for the new ones cannot be had (a full disk).
int pngenc_write_rgba_file(const uint8_t *rgba, int width, int height, const char *path);

// Smallest power of two that is at least 65,536 and at least len.
uint64_t pngenc_capacity(uint64_t len);

#endif
