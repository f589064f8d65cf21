// stb_image_write's zlib stream, token for token: one fixed-Huffman block
// from a greedy matcher with one step of lazy evaluation over a 3-byte hash,
// or stored blocks when that does not pay, then the Adler-32. What differs
// from stb is only how it gets there: 208 KB of tables and one output buffer
// allocated once per call instead of 16,384 arrays and a buffer grown by
// realloc, candidates rejected and matches compared many bytes at a time,
// and each token written with table look-ups and one 64-bit store.
//
// The choices that fix the bytes, all stb's:
// - positions enter the table at every match start and every literal, never
//   inside a match;
// - a bucket keeps its entries in arrival order; once it holds 2 x quality,
//   the next arrival first cuts it to its newest quality entries;
// - a candidate counts when it is at most 32,767 bytes back; the longest
//   match of at least 3 wins, and among equal lengths the newest;
// - a match found at i is dropped for a literal when i + 1 has a strictly
//   longer one within the same distance (the table already holding i);
// - the matcher stops 3 bytes before the end; those go out as literals.
//
// Here a bucket is a chain, newest first, from its head through a ring that
// links each position to the one before it in its bucket, with stb's count
// of the bucket's entries beside it: the walk takes at most that many steps,
// so what stb cut off is never reached. Only positions within the window are
// ever followed, and the ring of 32,768 holds all of those, whatever the
// input's length.
#include "core/pngenc_deflate.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

const int k_buckets = 16384;  // stb's hash table: a bucket is the hash's low 14 bits
const int k_max_match = 258;
const int k_max_distance = 32767;
const int k_min_quality = 5;
const int k_ring_mask = 32767;  // the ring of links, one per position of the window

struct code {
  uint32_t bits;  // LSB first, as they go into the stream
  uint32_t len;
};

// The fixed Huffman codes (RFC 1951, 3.2.6) with their extra bits folded in.
struct fixed_codes {
  code literal[256];
  code length[k_max_match + 1];  // by match length 3..258: the code, then the extra bits
  uint32_t distance_code[30];    // the 5-bit code, reversed
  uint32_t distance_extra[30];   // how many extra bits follow it
  uint32_t distance_base[30];
  uint8_t distance_small[256];  // code of distance d <= 256, at d - 1
  uint8_t distance_large[256];  // code of distance d > 256, at (d - 1) >> 7
};

constexpr uint32_t reversed(uint32_t v, int bits) {
  uint32_t r = 0;
  for (int i = 0; i < bits; i++) r |= ((v >> i) & 1u) << (bits - 1 - i);
  return r;
}

constexpr code huffman(int symbol) {
  if (symbol <= 143) return {reversed(0x30u + (uint32_t)symbol, 8), 8};
  if (symbol <= 255) return {reversed(0x190u + (uint32_t)symbol - 144, 9), 9};
  if (symbol <= 279) return {reversed((uint32_t)symbol - 256, 7), 7};
  return {reversed(0xc0u + (uint32_t)symbol - 280, 8), 8};
}

constexpr fixed_codes make_fixed_codes() {
  const uint16_t length_base[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                    31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
  const uint8_t length_extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                    2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
  const uint16_t distance_base[30] = {
      1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
      193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
  const uint8_t distance_extra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                      6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
  fixed_codes t{};
  for (int c = 0; c < 256; c++) t.literal[c] = huffman(c);
  for (int j = 0; j < 29; j++) {
    int end = j == 28 ? 259 : length_base[j + 1];
    code h = huffman(257 + j);
    for (int len = length_base[j]; len < end; len++)
      t.length[len] = {h.bits | (uint32_t)(len - length_base[j]) << h.len, h.len + length_extra[j]};
  }
  for (int j = 0; j < 30; j++) {
    t.distance_code[j] = reversed((uint32_t)j, 5);
    t.distance_extra[j] = distance_extra[j];
    t.distance_base[j] = distance_base[j];
    int end = j == 29 ? 32769 : distance_base[j + 1];
    for (int d = distance_base[j]; d < end; d++) {
      if (d <= 256)
        t.distance_small[d - 1] = (uint8_t)j;
      else
        t.distance_large[(d - 1) >> 7] = (uint8_t)j;
    }
  }
  return t;
}

constexpr fixed_codes k_codes = make_fixed_codes();

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ && defined(__GNUC__)
#define PNGENC_DEFLATE_WORDS 1
#else
#define PNGENC_DEFLATE_WORDS 0
#endif

inline uint64_t load64(const uint8_t *p) {
  uint64_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

// Length of the common prefix of a and b, at most limit; a lies before b.
inline int match_length(const uint8_t *a, const uint8_t *b, int limit) {
  int len = 0;
#if defined(__SSE2__)
  while (len + 16 <= limit) {
    __m128i x = _mm_cmpeq_epi8(_mm_loadu_si128((const __m128i *)(a + len)),
                               _mm_loadu_si128((const __m128i *)(b + len)));
    unsigned differ = (unsigned)_mm_movemask_epi8(x) ^ 0xffffu;
    if (differ) return len + __builtin_ctz(differ);
    len += 16;
  }
#endif
#if PNGENC_DEFLATE_WORDS
  while (len + 8 <= limit) {
    uint64_t x = load64(a + len) ^ load64(b + len);
    if (x) return len + (__builtin_ctzll(x) >> 3);
    len += 8;
  }
#endif
  while (len < limit && a[len] == b[len]) len++;
  return len;
}

inline uint32_t load32(const uint8_t *p) {
  uint32_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

// Whether a and b can have a common prefix longer than best (at least 2):
// the bytes up to a[best] must agree. Up to eight of them are checked at
// once; at best 2 the fourth byte is read but not compared, so b[3] must be
// there.
inline bool may_beat(const uint8_t *a, const uint8_t *b, int best) {
#if PNGENC_DEFLATE_WORDS
  if (best >= 7) return load64(a + best - 7) == load64(b + best - 7);
  if (best >= 3) return load32(a + best - 3) == load32(b + best - 3);
  return ((load32(a) ^ load32(b)) & 0xffffff) == 0;
#else
  return a[best] == b[best];
#endif
}

inline uint32_t hash3(const uint8_t *p) {
  uint32_t h = (uint32_t)p[0] + ((uint32_t)p[1] << 8) + ((uint32_t)p[2] << 16);
  h ^= h << 3;
  h += h >> 5;
  h ^= h << 4;
  h += h >> 17;
  h ^= h << 25;
  h += h >> 6;
  return h & (k_buckets - 1);
}

// Bits go in LSB first; after each put fewer than 8 are pending and the byte
// they start is already stored, zero above them. A put of up to 32 bits
// stores 8 bytes, so the buffer needs that much room past its end.
struct bit_writer {
  uint8_t *out;
  uint64_t pending;
  uint32_t count;
};

inline void put(bit_writer &w, uint32_t bits, uint32_t len) {
  w.pending |= (uint64_t)bits << w.count;
  w.count += len;
#if PNGENC_DEFLATE_WORDS
  memcpy(w.out, &w.pending, 8);
#else
  for (int k = 0; k < 8; k++) w.out[k] = (uint8_t)(w.pending >> (8 * k));
#endif
  w.out += w.count >> 3;
  w.pending >>= w.count & ~7u;
  w.count &= 7;
}

inline void put_match(bit_writer &w, int len, int distance) {
  unsigned j = distance <= 256 ? k_codes.distance_small[distance - 1]
                               : k_codes.distance_large[(distance - 1) >> 7];
  const code &l = k_codes.length[len];
  uint32_t d = k_codes.distance_code[j] | ((uint32_t)distance - k_codes.distance_base[j]) << 5;
  put(w, l.bits | d << l.len, l.len + 5 + k_codes.distance_extra[j]);  // at most 31 bits
}

inline void put_literal(bit_writer &w, uint8_t c) {
  put(w, k_codes.literal[c].bits, k_codes.literal[c].len);
}

// The one fixed-Huffman block after the 2-byte header at out. Returns the
// stream's length with the header, or -1 as soon as it passes give_up.
template <typename count_t>
int64_t compress_block(const uint8_t *data, int n, int keep, uint8_t *out, int64_t give_up,
                       int32_t *head, int32_t *prev, count_t *counts) {
  const int cap = 2 * keep;
  bit_writer w = {out + 2, 0, 0};
  put(w, 1 | 1 << 1, 3);  // BFINAL, fixed Huffman codes
  const uint8_t *out_end = out + give_up;
  int i = 0;
  uint32_t h = n > 3 ? hash3(data) : 0;
  while (i < n - 3) {
    const uint8_t *here = data + i;
    uint32_t h1 = hash3(here + 1);
    int filled = counts[h];

    // Newest first with a strictly longer rule: the newest of the longest.
    int limit = n - i < k_max_match ? n - i : k_max_match;
    int best = 2, best_at = -1;
    int oldest = i - k_max_distance;
    int p = filled ? head[h] : -1;  // an empty bucket's head was never written
    for (int left = filled; left > 0 && p >= oldest; p = prev[p & k_ring_mask]) {
      const uint8_t *cand = data + p;
      if (may_beat(cand, here, best)) {
        int len = match_length(cand, here, limit);
        if (len > best) {
          best = len;
          best_at = p;
          if (len == limit) break;
        }
      }
      if (--left == 0) break;
    }

    prev[i & k_ring_mask] = filled ? head[h] : -1;
    head[h] = i;
    counts[h] = (count_t)((filled == cap ? keep : filled) + 1);

    if (best_at >= 0) {
      // Lazy step: does i + 1 have a longer match? Its window reaches one
      // byte less far back from i.
      int limit1 = n - i - 1 < k_max_match ? n - i - 1 : k_max_match;
      if (best < limit1) {
        int oldest1 = i + 1 - k_max_distance;
        int left = counts[h1];
        for (int q = left ? head[h1] : -1; left > 0 && q >= oldest1; q = prev[q & k_ring_mask]) {
          const uint8_t *cand = data + q;
          if (may_beat(cand, here + 1, best) && match_length(cand, here + 1, limit1) > best) {
            best_at = -1;
            break;
          }
          if (--left == 0) break;
        }
      }
    }

    if (best_at >= 0) {
      put_match(w, best, i - best_at);
      i += best;
      if (i < n - 3) h = hash3(data + i);
    } else {
      put_literal(w, *here);
      i++;
      h = h1;
    }
    if (w.out > out_end) return -1;
  }
  for (; i < n; i++) put_literal(w, data[i]);
  put(w, 0, 7);  // end of block
  int64_t len = (int64_t)(w.out - out) + (w.count ? 1 : 0);
  return len > give_up ? -1 : len;
}

// Blocks of at most 32,767 bytes after the header; none at all for no data.
int64_t store_blocks(const uint8_t *data, int n, uint8_t *out) {
  uint8_t *o = out + 2;
  for (int j = 0; j < n;) {
    int len = n - j < k_max_distance ? n - j : k_max_distance;
    o[0] = n - j == len;
    o[1] = (uint8_t)len;
    o[2] = (uint8_t)(len >> 8);
    o[3] = (uint8_t)~len;
    o[4] = (uint8_t)(~len >> 8);
    memcpy(o + 5, data + j, (size_t)len);
    o += 5 + len;
    j += len;
  }
  return o - out;
}

const uint32_t k_adler_mod = 65521;
const int k_adler_block = 5552;  // the most bytes before s2 can pass 2^32

uint32_t adler32_bytes(const uint8_t *data, int n, uint32_t s1, uint32_t s2) {
  for (; n > 0; n--) {
    s1 += *data++;
    s2 += s1;
  }
  return s2 % k_adler_mod << 16 | s1 % k_adler_mod;
}

#if defined(__SSE2__)
// Sixteen bytes a step: the byte sums by psadbw, the sums of the steps before
// (each counts 16 more times in s2), and the bytes weighted 16 down to 1.
uint32_t adler32(const uint8_t *data, int n) {
  uint32_t s1 = 1, s2 = 0;
  const __m128i zero = _mm_setzero_si128();
  const __m128i weights_lo = _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9);
  const __m128i weights_hi = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
  while (n >= 16) {
    int block = (n < k_adler_block ? n : k_adler_block) & ~15;
    n -= block;
    s2 += s1 * (uint32_t)block;  // less than 65521 x 5552 more
    __m128i sums = zero, before = zero, weighted = zero;
    for (int k = 0; k < block; k += 16, data += 16) {
      __m128i v = _mm_loadu_si128((const __m128i *)data);
      before = _mm_add_epi32(before, sums);
      sums = _mm_add_epi32(sums, _mm_sad_epu8(v, zero));
      weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpacklo_epi8(v, zero), weights_lo));
      weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpackhi_epi8(v, zero), weights_hi));
    }
    uint32_t lanes[4];
    _mm_storeu_si128((__m128i *)lanes, sums);
    uint64_t sum = (uint64_t)lanes[0] + lanes[2];
    _mm_storeu_si128((__m128i *)lanes, before);
    uint64_t sum_before = (uint64_t)lanes[0] + lanes[2];
    _mm_storeu_si128((__m128i *)lanes, weighted);
    uint64_t sum_weighted = (uint64_t)lanes[0] + lanes[1] + lanes[2] + lanes[3];
    s1 = (uint32_t)((s1 + sum) % k_adler_mod);
    s2 = (uint32_t)((s2 + 16 * sum_before + sum_weighted) % k_adler_mod);
  }
  return adler32_bytes(data, n, s1, s2);
}
#else
uint32_t adler32(const uint8_t *data, int n) {
  uint32_t s1 = 1, s2 = 0;
  while (n > 0) {
    int block = n < k_adler_block ? n : k_adler_block;
    uint32_t a = adler32_bytes(data, block, s1, s2);
    s1 = a & 0xffff;
    s2 = a >> 16;
    data += block;
    n -= block;
  }
  return s2 << 16 | s1;
}
#endif

}  // namespace

unsigned char *pngenc_deflate(unsigned char *data, int data_len, int *out_len, int quality) {
  if (data_len < 0 || (data_len > 0 && !data)) return NULL;
  const int n = data_len;
  if (quality < k_min_quality) quality = k_min_quality;
  // Beyond this stb's 2 x quality overflows and no bucket is ever cut; a cap
  // that no bucket can reach in an int-sized input does the same.
  const int keep = quality > INT32_MAX / 2 ? INT32_MAX / 2 : quality;
  const bool narrow = keep <= 127;

  // The links and counts first, so that the block handed back is the last
  // one allocated. Inputs too short to match need none.
  const size_t link_bytes = (k_buckets + k_ring_mask + 1) * sizeof(int32_t);
  const size_t count_bytes = (size_t)k_buckets * (narrow ? 1 : sizeof(uint32_t));
  uint8_t *table = NULL;
  if (n > 3) {
    table = (uint8_t *)malloc(link_bytes + count_bytes);
    if (!table) return NULL;
    memset(table + link_bytes, 0, count_bytes);  // a link is read only below its bucket's count
  }

  // Stored blocks take exactly this much with the header; the compressed
  // stream is kept only while it is not longer.
  const int64_t stored = (int64_t)n + 2 + 5 * (((int64_t)n + 32766) / 32767);
  const size_t capacity = (size_t)stored + 4 + 32;  // the Adler-32, the bit writer's stores
  uint8_t *out = (uint8_t *)malloc(capacity);
  if (!out) {
    free(table);
    return NULL;
  }
  out[0] = 0x78;  // deflate, 32K window
  out[1] = 0x5e;  // the check bits stb writes for level 1

  int32_t *head = (int32_t *)table, *prev = table ? head + k_buckets : NULL;
  uint8_t *counts = table ? table + link_bytes : NULL;
  int64_t len = narrow ? compress_block(data, n, keep, out, stored, head, prev, counts)
                       : compress_block(data, n, keep, out, stored, head, prev, (uint32_t *)counts);
  free(table);
  if (len < 0) len = store_blocks(data, n, out);
  if (len + 4 > INT32_MAX) {  // stb's int length would overflow; only near-2 GiB inputs get here
    free(out);
    return NULL;
  }

  uint32_t adler = adler32(data, n);
  out[len] = (uint8_t)(adler >> 24);
  out[len + 1] = (uint8_t)(adler >> 16);
  out[len + 2] = (uint8_t)(adler >> 8);
  out[len + 3] = (uint8_t)adler;
  *out_len = (int)(len + 4);
  return out;
}
