// The one reading of a narrow path on Windows (win32_path.h).
#include "win32/win32_path.h"

#include <errno.h>
#include <stdlib.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

wchar_t *path_to_wide(const char *path) {
  UINT page = CP_UTF8;
  DWORD flags = MB_ERR_INVALID_CHARS;
  int count = MultiByteToWideChar(page, flags, path, -1, NULL, 0);
  if (count <= 0) {
    page = CP_ACP;
    flags = 0;
    count = MultiByteToWideChar(page, flags, path, -1, NULL, 0);
  }
  if (count <= 0) {
    errno = EINVAL;
    return NULL;
  }
  wchar_t *wide = (wchar_t *)malloc((size_t)count * sizeof(wchar_t));
  if (!wide) {
    errno = ENOMEM;
    return NULL;
  }
  if (MultiByteToWideChar(page, flags, path, -1, wide, count) != count) {
    free(wide);
    errno = EINVAL;
    return NULL;
  }
  return wide;
}
