/* The program's own image formats: JPEG through stb_image_write's JPEG
 * writer, PPM (binary, P6) written here, and a window's PNG read back with
 * stb_image. Both stb implementations live in the program only; the library
 * keeps its PNG stage to itself. */
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cli.h"

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STBI_WRITE_NO_STDIO
#include <stb/stb_image_write.h>

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_NO_LINEAR
#define STBI_NO_HDR
/* One thread here; thread-locals would cost the Windows program a runtime
 * DLL (MinGW's emulated TLS pulls in libwinpthread). */
#define STBI_NO_THREAD_LOCALS
#include <stb/stb_image.h>

typedef struct {
  uint8_t *bytes;
  size_t length, capacity;
  int failed;
} byte_buffer;

static void append(void *context, void *data, int size) {
  byte_buffer *buffer = (byte_buffer *)context;
  if (buffer->failed || size <= 0) return;
  if (buffer->length + (size_t)size > buffer->capacity) {
    size_t capacity = buffer->capacity ? buffer->capacity : 65536;
    uint8_t *grown;
    while (capacity < buffer->length + (size_t)size) capacity *= 2;
    grown = (uint8_t *)realloc(buffer->bytes, capacity);
    if (!grown) {
      buffer->failed = 1;
      return;
    }
    buffer->bytes = grown;
    buffer->capacity = capacity;
  }
  memcpy(buffer->bytes + buffer->length, data, (size_t)size);
  buffer->length += (size_t)size;
}

static uint8_t *encode_jpeg(int quality, const uint8_t *rgba, int width, int height,
                            size_t *out_length) {
  byte_buffer buffer = {NULL, 0, 0, 0};
  /* The writer reads R, G, B of each four bytes and leaves alpha out. */
  if (!stbi_write_jpg_to_func(append, &buffer, width, height, 4, rgba, quality) || buffer.failed) {
    free(buffer.bytes);
    return NULL;
  }
  *out_length = buffer.length;
  return buffer.bytes;
}

static uint8_t *encode_ppm(const uint8_t *rgba, int width, int height, size_t *out_length) {
  char header[32];
  int header_length = snprintf(header, sizeof header, "P6\n%d %d\n255\n", width, height);
  size_t pixels = (size_t)width * (size_t)height;
  size_t i;
  uint8_t *bytes;
  uint8_t *out;
  if (header_length < 0 || pixels > (SIZE_MAX - sizeof header) / 3) return NULL;
  bytes = (uint8_t *)malloc((size_t)header_length + pixels * 3);
  if (!bytes) return NULL;
  memcpy(bytes, header, (size_t)header_length);
  out = bytes + header_length;
  for (i = 0; i < pixels; ++i, rgba += 4, out += 3) memcpy(out, rgba, 3);
  *out_length = (size_t)header_length + pixels * 3;
  return bytes;
}

uint8_t *encode_image(image_format format, int quality, const uint8_t *rgba, int width, int height,
                      size_t *out_length) {
  if (width <= 0 || height <= 0) return NULL;
  if (format == FORMAT_JPEG) return encode_jpeg(quality, rgba, width, height, out_length);
  if (format == FORMAT_PPM) return encode_ppm(rgba, width, height, out_length);
  return NULL;
}

uint8_t *decode_png(FILE *file, int *width, int *height) {
  int channels = 0;
  return stbi_load_from_file(file, width, height, &channels, 4);
}

void free_decoded(uint8_t *pixels) { stbi_image_free(pixels); }
