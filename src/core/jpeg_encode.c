/* JPEG through libjpeg-turbo, or through stb's writer where the library
 * must not import anything but the system's DLLs. Plain C: libjpeg reports
 * failure by longjmp, which must not cross C++ frames. */
#include "core/jpeg_encode.h"

#include <stdlib.h>
#include <string.h>

#if defined(VS_HAVE_LIBJPEG)

#include <setjmp.h>
#include <stdio.h>

/* After stdio.h, which jpeglib.h needs and does not include. */
#include <jerror.h>
#include <jpeglib.h>

struct jpeg_failure {
  struct jpeg_error_mgr manager;
  jmp_buf back;
};

/* libjpeg's own error_exit ends the process; ours returns to the encoder. */
static void jpeg_failed(j_common_ptr info) {
  struct jpeg_failure *failure = (struct jpeg_failure *)info->err;
  longjmp(failure->back, 1);
}

static void jpeg_quiet(j_common_ptr info, int level) {
  (void)info;
  (void)level;
}

/* The output in one malloc'd block that this file owns, so that a failure
 * half way releases exactly what was made. */
struct jpeg_block {
  struct jpeg_destination_mgr manager;
  uint8_t *bytes;
  size_t capacity;
};

static void block_start(j_compress_ptr info) {
  struct jpeg_block *block = (struct jpeg_block *)info->dest;
  block->manager.next_output_byte = block->bytes;
  block->manager.free_in_buffer = block->capacity;
}

static boolean block_grow(j_compress_ptr info) {
  struct jpeg_block *block = (struct jpeg_block *)info->dest;
  size_t capacity = block->capacity * 2;
  uint8_t *grown = (uint8_t *)realloc(block->bytes, capacity);
  if (!grown) ERREXIT1(info, JERR_OUT_OF_MEMORY, 0);
  block->manager.next_output_byte = grown + block->capacity;
  block->manager.free_in_buffer = capacity - block->capacity;
  block->bytes = grown;
  block->capacity = capacity;
  return TRUE;
}

static void block_end(j_compress_ptr info) { (void)info; }

int jpeg_encode_rgba(const uint8_t *rgba, int width, int height, int quality, uint8_t **out,
                     size_t *out_length) {
  struct jpeg_compress_struct info;
  struct jpeg_failure failure;
  struct jpeg_block block;
  *out = NULL;
  *out_length = 0;
  if (!rgba || width <= 0 || height <= 0 || width > 65500 || height > 65500) return -1;
  memset(&info, 0, sizeof info);
  memset(&block, 0, sizeof block);
  /* A screen's JPEG at the default quality takes about a byte a pixel. */
  block.capacity = (size_t)width * (size_t)height + 65536;
  block.bytes = (uint8_t *)malloc(block.capacity);
  if (!block.bytes) return -1;
  block.manager.init_destination = block_start;
  block.manager.empty_output_buffer = block_grow;
  block.manager.term_destination = block_end;
  info.err = jpeg_std_error(&failure.manager);
  failure.manager.error_exit = jpeg_failed;
  failure.manager.emit_message = jpeg_quiet;
  if (setjmp(failure.back)) {
    jpeg_destroy_compress(&info);
    free(block.bytes);
    return -1;
  }
  jpeg_create_compress(&info);
  info.dest = &block.manager;
  info.image_width = (JDIMENSION)width;
  info.image_height = (JDIMENSION)height;
  /* libjpeg-turbo reads the four bytes as they are and skips the fourth. */
  info.input_components = 4;
  info.in_color_space = JCS_EXT_RGBA;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, quality, TRUE);
  info.dct_method = JDCT_ISLOW;
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < info.image_height) {
    JSAMPROW row = (JSAMPROW)(rgba + (size_t)info.next_scanline * (size_t)width * 4);
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  *out_length = block.capacity - block.manager.free_in_buffer;
  *out = block.bytes;
  jpeg_destroy_compress(&info);
  return 0;
}

#else

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#define STBI_WRITE_NO_STDIO
/* stb declares static writers this file never uses (and C warns about those
 * at the end of the file, past any pop): left on for the rest of it. */
#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#endif
#include <stb/stb_image_write.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

struct byte_buffer {
  uint8_t *bytes;
  size_t length, capacity;
  int failed;
};

static void append(void *context, void *data, int size) {
  struct byte_buffer *buffer = (struct byte_buffer *)context;
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

int jpeg_encode_rgba(const uint8_t *rgba, int width, int height, int quality, uint8_t **out,
                     size_t *out_length) {
  struct byte_buffer buffer = {NULL, 0, 0, 0};
  *out = NULL;
  *out_length = 0;
  if (!rgba || width <= 0 || height <= 0 || width > 65535 || height > 65535) return -1;
  /* stb reads R, G, B of each four bytes and leaves alpha out. */
  if (!stbi_write_jpg_to_func(append, &buffer, width, height, 4, rgba, quality) || buffer.failed) {
    free(buffer.bytes);
    return -1;
  }
  *out = buffer.bytes;
  *out_length = buffer.length;
  return 0;
}

#endif
