/* Finished bytes to a file, for the library's PNG files and the program's
 * JPEG and PPM files alike: both compile file_replace.c, so that the program
 * needs nothing of the library's but its exports. Plain C. */
#ifndef VANTOREL_FILE_REPLACE_H
#define VANTOREL_FILE_REPLACE_H

#include <stddef.h>
#include <stdint.h>
#if defined(_WIN32)
#include <wchar.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The path the file calls take: UTF-16 on Windows (its wide calls, so no name
 * is squeezed through the ANSI code page), bytes elsewhere. */
#if defined(_WIN32)
typedef wchar_t file_path_char;
#else
typedef char file_path_char;
#endif

/* Writes length bytes to path, creating the file or writing over the one
 * that is there. Returns 0, or an errno value; then no file this call created
 * is left behind, and a file that was there keeps its old contents when the
 * room for the new ones cannot be had (a full disk). */
int file_replace(const file_path_char *path, const uint8_t *bytes, size_t length);

#ifdef __cplusplus
}
#endif

#endif
