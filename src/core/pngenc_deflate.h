// The PNG stage's zlib compressor, handed to stb_image_write as
// STBIW_ZLIB_COMPRESS. It writes exactly the bytes of stb's built-in one for
// every input and quality: callers may compare, cache or hash our PNGs, and
// those have always been stb's. Only pngenc.cpp uses it.
#ifndef VANTOREL_PNGENC_DEFLATE_H
#define VANTOREL_PNGENC_DEFLATE_H

// The zlib stream of data[0, data_len) in a malloc'd block that the caller
// frees, its length in *out_len; NULL when memory runs out (nothing else can
// fail), and then nothing is kept. quality bounds the matches kept per hash
// bucket as stb's does: at least 5, each bucket cut from 2 x quality to its
// newest quality entries.
unsigned char *pngenc_deflate(unsigned char *data, int data_len, int *out_len, int quality);

#endif
