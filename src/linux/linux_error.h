// The thread's last error code on Linux, as the platform keeps one per thread.
// Every part of the Linux library sets it; nothing here depends on them.
#ifndef VANTOREL_LINUX_ERROR_H
#define VANTOREL_LINUX_ERROR_H

#include <stdint.h>

// Codes every layer uses for refused arguments, mismatches and failed
// allocations. They are X11's BadValue, BadMatch and BadAlloc, which the
// library reported from the start.
#define VS_ERROR_BAD_VALUE 2
#define VS_ERROR_BAD_MATCH 8
#define VS_ERROR_BAD_ALLOC 11

void vs_set_last_error(uint32_t code);
uint32_t vs_last_error(void);

#endif
