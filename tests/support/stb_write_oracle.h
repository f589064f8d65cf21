// stb_image_write exactly as Debian ships it, with its built-in zlib
// compressor: what the library's PNG bytes must equal. For the tests, the
// differential fuzzer and the benchmarks only; the library never links it.
#ifndef VANTOREL_TESTS_STB_WRITE_ORACLE_H
#define VANTOREL_TESTS_STB_WRITE_ORACLE_H

// stbi_zlib_compress: a malloc'd stream, or NULL.
unsigned char *oracle_zlib_compress(unsigned char *data, int data_len, int *out_len, int quality);

// stbi_write_png_to_mem of packed RGBA rows at stb's defaults.
unsigned char *oracle_png_to_mem(const unsigned char *rgba, int width, int height, int *out_len);

#endif
