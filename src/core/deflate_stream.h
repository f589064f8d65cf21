// The zlib stream (RFC 1950) inside a compact PNG's IDAT chunks.
#ifndef VANTOREL_DEFLATE_STREAM_H
#define VANTOREL_DEFLATE_STREAM_H

#include <stddef.h>
#include <stdint.h>

// data as one zlib stream at level 0 (stored) to 9, in a malloc'd block the
// caller frees, with room for front bytes before it (left unwritten).
// Returns 0, or -1 when memory runs out or the compressor refuses.
//
// The data is cut into parts of about a MiB, compressed on every core
// and joined as they are into one stream (pigz's way: each part primed with
// the 32 KiB before it, each but the last ending in a full flush). Each part
// takes the method its bytes call for: filtered rows that are mostly zeros
// (windows, text, flat colour) get zlib's matching at level with
// Z_FILTERED; rows more than a third non-zero (a photo, noise) get Z_RLE,
// which finds what matching would on such bytes in a small part of its time.
// The bytes depend on the data and level only, never on the machine.
int deflate_stream(const uint8_t *data, size_t length, int level, size_t front, uint8_t **out,
                   size_t *out_length);

// The same with the parts given: a part ends at each of the count offsets
// in ends (rising, the last one length), so the tests can join parts where
// they like.
int deflate_stream_parts(const uint8_t *data, size_t length, int level, const size_t *ends,
                         int count, size_t front, uint8_t **out, size_t *out_length);

// CRC-32 as PNG chunks carry it.
uint32_t png_crc32(uint32_t crc, const uint8_t *data, size_t length);

#endif
