// The portal's answer names its picture by URI; the module reads local files
// only.
#ifndef VANTOREL_PORTAL_URI_H
#define VANTOREL_PORTAL_URI_H

#include <stddef.h>

// file:///a/b%20c.png (or file://localhost/...) -> /a/b c.png: 0, or -1 for
// another scheme or host, a relative path, a bad or NUL escape, or a path that
// does not fit.
int portal_uri_to_path(const char *uri, char *path, size_t size);

#endif
