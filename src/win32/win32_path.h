// Paths reach the library as narrow text from hosts of two kinds: programs
// that speak UTF-8 (and Python, .NET's LPUTF8Str, text from a UTF-8 file), and
// programs that speak the ANSI code page, as every narrow Windows call does.
// Both are taken: text that is valid UTF-8 is UTF-8, anything else is the
// ANSI code page. ASCII reads the same either way, and ANSI text with a byte
// of 0x80 or more is almost never valid UTF-8 (1252's accented letters are
// lone lead bytes before ASCII; 932's lead bytes 0x81-0x9F are continuation
// bytes in UTF-8). The file is then opened with the wide calls, so the name
// is not squeezed through the ANSI code page again.
#ifndef VANTOREL_WIN32_PATH_H
#define VANTOREL_WIN32_PATH_H

#if defined(_WIN32)

#include <wchar.h>

// The path as UTF-16 in a malloc'd block the caller frees; NULL with errno
// set (ENOMEM, or EINVAL for text neither reading accepts).
wchar_t *path_to_wide(const char *path);

#endif
#endif
