// wl_shm buffers of our own for both copy protocols, and the four pixel
// layouts the layer reads. The memory file is sealed against shrinking before
// the compositor sees it, and every figure of a description is checked in 64
// bits before a buffer is made from it.
#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wayland-client.h>

#include "linux/wayland/wl_internal.h"

// wl_shm's four layouts of 8-bit channels that we read.
int vs_wl_format_rank(uint32_t format) {
  switch (format) {
    case WL_SHM_FORMAT_XRGB8888:
      return 4;
    case WL_SHM_FORMAT_ARGB8888:
      return 3;
    case WL_SHM_FORMAT_XBGR8888:
      return 2;
    case WL_SHM_FORMAT_ABGR8888:
      return 1;
    default:
      return 0;
  }
}

int vs_wl_format_swaps(uint32_t format) {
  return format == WL_SHM_FORMAT_XBGR8888 || format == WL_SHM_FORMAT_ABGR8888;
}

void vs_wl_release_buffer(vs_wl_buffer *b) {
  if (b->buffer) wl_buffer_destroy(b->buffer);
  if (b->pool) wl_shm_pool_destroy(b->pool);
  if (b->data) munmap(b->data, b->size);
  if (b->fd >= 0) close(b->fd);
  b->buffer = NULL;
  b->pool = NULL;
  b->data = NULL;
  b->fd = -1;
}

// The memory file is sealed against shrinking before the compositor sees it:
// one that cut it short would otherwise end the host with SIGBUS when the
// frame is read.
int vs_wl_make_buffer_locked(vs_wl_buffer *b, uint32_t format, uint32_t width, uint32_t height,
                             uint32_t stride) {
  memset(b, 0, sizeof *b);
  b->fd = -1;
  uint64_t size = (uint64_t)stride * height;
  if (width == 0 || height == 0 || stride < (uint64_t)width * 4 || size > 0x7fffffffu) {
    vs_set_last_error(VS_ERROR_WL_FORMAT);
    return VS_FAILED;
  }
  b->size = (size_t)size;
  b->fd = memfd_create("vantorel-screenshot", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (b->fd < 0 || ftruncate(b->fd, (off_t)b->size) != 0 ||
      fcntl(b->fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_SEAL) != 0) {
    vs_wl_release_buffer(b);
    vs_set_last_error(VS_ERROR_WL_NO_MEMORY);
    return VS_FAILED;
  }
  void *data = mmap(NULL, b->size, PROT_READ, MAP_SHARED, b->fd, 0);
  if (data == MAP_FAILED) {
    vs_wl_release_buffer(b);
    vs_set_last_error(VS_ERROR_WL_NO_MEMORY);
    return VS_FAILED;
  }
  b->data = (uint8_t *)data;
  b->pool = wl_shm_create_pool(g_vs_wl.shm, b->fd, (int32_t)b->size);
  if (b->pool) {
    b->buffer = wl_shm_pool_create_buffer(b->pool, 0, (int32_t)width, (int32_t)height,
                                          (int32_t)stride, format);
  }
  if (!b->buffer) {
    vs_wl_release_buffer(b);
    vs_set_last_error(VS_ERROR_WL_NO_MEMORY);
    return VS_FAILED;
  }
  return 0;
}

// The copy is read only while the file still holds every byte the
// description names; the seal keeps it so, and this says so at no cost.
int vs_wl_buffer_intact(const vs_wl_buffer *b) {
  struct stat st;
  return fstat(b->fd, &st) == 0 && st.st_size >= 0 && (uint64_t)st.st_size >= b->size;
}
