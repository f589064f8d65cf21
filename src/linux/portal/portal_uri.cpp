#include "linux/portal/portal_uri.h"

#include <string.h>

static int percent_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int portal_uri_to_path(const char *uri, char *path, size_t size) {
  if (strncmp(uri, "file://", 7) != 0) return -1;
  const char *p = uri + 7;
  if (strncmp(p, "localhost/", 10) == 0) p += 9;
  if (*p != '/') return -1;
  size_t n = 0;
  while (*p) {
    char c = *p++;
    if (c == '%') {
      int hi = percent_value(p[0]);
      int lo = hi < 0 ? -1 : percent_value(p[1]);
      if (lo < 0 || (hi == 0 && lo == 0)) return -1;
      c = char(hi * 16 + lo);
      p += 2;
    }
    if (n + 1 >= size) return -1;
    path[n++] = c;
  }
  path[n] = '\0';
  return 0;
}
