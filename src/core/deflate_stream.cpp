// The compact PNG's compressor: zlib in parts, on every core.
//
// Measured on three 1920x1080 desktops (docs/performance.md): libdeflate is
// the faster compressor per byte at equal settings, but takes a whole buffer
// only, so its stream cannot be cut into parts for the second core, and it
// has no counterpart of Z_FILTERED or Z_RLE, which is what makes a busy
// screen small; and the Windows library links zlib alone. zlib it is, on
// every platform, so a picture gives the same bytes everywhere.
#include "core/deflate_stream.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <zlib.h>

#include "core/parallel.h"

namespace {

enum { WINDOW = 32768, MAX_PARTS = 64 };
const size_t k_part_bytes = (size_t)1 << 20;

// zlib takes its lengths in uInt: bigger inputs are fed in slices.
const size_t k_slice = (size_t)1 << 30;

struct zlib_part {
  const uint8_t *data;  // this part's bytes
  size_t length;
  size_t primed;  // bytes before data that prime the window
  int last;
  uint8_t *out;
  size_t out_length;
  uLong adler;
  int failed;
};

struct zlib_job {
  zlib_part *parts;
  int level;
};

// Room for a part's raw stream: zlib's own bound for stored and compressed
// blocks, with slack for the flush's empty stored block.
size_t raw_bound(size_t length) { return length + length / 1000 * 5 + (length >> 12) + 64; }

// How busy filtering left a part's rows: the share of bytes that are not
// zero, in 1/24ths.
int busy_24ths(const uint8_t *data, size_t length) {
  size_t zeros = 0;
  for (size_t i = 0; i < length; i++) zeros += data[i] == 0;
  return length ? (int)((length - zeros) * 24 / length) : 0;
}

// The method a part's bytes call for. Over a third non-zero (a photo,
// noise): matching finds next to nothing and takes ever longer looking,
// where Z_RLE's runs give a smaller stream in a tenth of the time. Between an
// eighth and a third (text over a gradient, a busy window): matching pays,
// but its lazy search past level 4 costs twice the time for a per cent, so
// levels up to 7 stop there. Below (windows, text, flat colour): the level
// asked for, which is cheap on such bytes.
void choose_method(const uint8_t *data, size_t length, int level, int *zlib_level, int *strategy) {
  int busy = busy_24ths(data, length);
  *zlib_level = level;
  *strategy = Z_FILTERED;
  if (level == 0) return;
  if (busy > 8)
    *strategy = Z_RLE;
  else if (busy >= 3 && level > 4 && level <= 7)
    *zlib_level = 4;
}

void compress_part(void *context, int index) {
  zlib_job *job = (zlib_job *)context;
  zlib_part *part = &job->parts[index];
  z_stream s;
  memset(&s, 0, sizeof s);
  part->adler = adler32(1L, Z_NULL, 0);
  for (size_t done = 0; done < part->length;) {
    size_t n = part->length - done < k_slice ? part->length - done : k_slice;
    part->adler = adler32(part->adler, part->data + done, (uInt)n);
    done += n;
  }
  int zlib_level, strategy;
  choose_method(part->data, part->length, job->level, &zlib_level, &strategy);
  size_t capacity = raw_bound(part->length);
  part->out = (uint8_t *)malloc(capacity);
  if (!part->out || deflateInit2(&s, zlib_level, Z_DEFLATED, -15, 9, strategy) != Z_OK) {
    part->failed = 1;
    return;
  }
  if (part->primed &&
      deflateSetDictionary(&s, part->data - part->primed, (uInt)part->primed) != Z_OK) {
    part->failed = 1;
    deflateEnd(&s);
    return;
  }
  // Slices of at most k_slice in and out, for zlib's uInt lengths.
  const int final_flush = part->last ? Z_FINISH : Z_FULL_FLUSH;
  size_t fed = 0, produced = 0;
  int done = 0;
  for (;;) {
    if (s.avail_in == 0 && fed < part->length) {
      size_t n = part->length - fed < k_slice ? part->length - fed : k_slice;
      s.next_in = (Bytef *)(part->data + fed);
      s.avail_in = (uInt)n;
      fed += n;
    }
    size_t room = capacity - produced;
    if (room == 0) break;
    s.next_out = part->out + produced;
    s.avail_out = room < k_slice ? (uInt)room : (uInt)k_slice;
    int flush = fed == part->length ? final_flush : Z_NO_FLUSH;
    int status = deflate(&s, flush);
    produced = (size_t)(s.next_out - part->out);
    if (status == Z_STREAM_ERROR) break;
    if (flush == Z_FINISH && status == Z_STREAM_END) {
      done = 1;
      break;
    }
    // A flush is complete once zlib leaves output room unused.
    if (flush == Z_FULL_FLUSH && s.avail_in == 0 && s.avail_out != 0) {
      done = 1;
      break;
    }
  }
  part->out_length = produced;
  deflateEnd(&s);
  if (!done) part->failed = 1;
}

void put_be32(uint8_t *p, uint32_t v) {
  p[0] = (uint8_t)(v >> 24);
  p[1] = (uint8_t)(v >> 16);
  p[2] = (uint8_t)(v >> 8);
  p[3] = (uint8_t)v;
}

// The two header bytes of a zlib stream with a 32 KiB window: FLEVEL from the
// level, FCHECK so that the pair is a multiple of 31.
void zlib_header(uint8_t *p, int level) {
  unsigned flevel = level < 2 ? 0 : level < 6 ? 1 : level == 6 ? 2 : 3;
  unsigned cmf = 0x78, flg = flevel << 6;
  flg += 31 - (cmf * 256 + flg) % 31;
  p[0] = (uint8_t)cmf;
  p[1] = (uint8_t)flg;
}

}  // namespace

int deflate_stream_parts(const uint8_t *data, size_t length, int level, const size_t *ends,
                         int count, size_t front, uint8_t **out, size_t *out_length) {
  *out = NULL;
  *out_length = 0;
  if (level < 0 || level > 9 || count < 1 || count > MAX_PARTS || ends[count - 1] != length)
    return -1;
  zlib_part part[MAX_PARTS];
  memset(part, 0, sizeof part);
  size_t begin = 0;
  for (int i = 0; i < count; i++) {
    if (ends[i] < begin || (ends[i] == begin && count > 1)) return -1;
    part[i].data = data + begin;
    part[i].length = ends[i] - begin;
    part[i].primed = begin < (size_t)WINDOW ? begin : (size_t)WINDOW;
    part[i].last = i == count - 1;
    begin = ends[i];
  }
  zlib_job job = {part, level};
  run_parts(count, compress_part, &job);

  int failed = 0;
  size_t total = front + 2 + 4;
  uLong adler = adler32(1L, Z_NULL, 0);
  for (int i = 0; i < count; i++) {
    failed |= part[i].failed;
    total += part[i].out_length;
    adler = adler32_combine(adler, part[i].adler, (z_off_t)part[i].length);
  }
  uint8_t *block = failed ? NULL : (uint8_t *)malloc(total);
  if (block) {
    uint8_t *p = block + front;
    zlib_header(p, level);
    p += 2;
    for (int i = 0; i < count; i++) {
      memcpy(p, part[i].out, part[i].out_length);
      p += part[i].out_length;
    }
    put_be32(p, (uint32_t)adler);
  }
  for (int i = 0; i < count; i++) free(part[i].out);
  if (!block) return -1;
  *out = block;
  *out_length = total - front;
  return 0;
}

int deflate_stream(const uint8_t *data, size_t length, int level, size_t front, uint8_t **out,
                   size_t *out_length) {
  size_t ends[MAX_PARTS];
  size_t count = (length + k_part_bytes - 1) / k_part_bytes;
  if (count < 1) count = 1;
  if (count > MAX_PARTS) count = MAX_PARTS;
  for (size_t i = 0; i < count; i++) ends[i] = length / count * (i + 1);
  ends[count - 1] = length;
  return deflate_stream_parts(data, length, level, ends, (int)count, front, out, out_length);
}

uint32_t png_crc32(uint32_t crc, const uint8_t *data, size_t length) {
  uLong c = crc;
  while (length > 0) {
    size_t n = length < k_slice ? length : k_slice;
    c = crc32(c, data, (uInt)n);
    data += n;
    length -= n;
  }
  return (uint32_t)c;
}
