// The thread's last error code on Linux, as the platform keeps one per thread,
// and the words a peer gave for it, where it gave any (an X server's reason
// for refusing the connection). Every part of the Linux library sets them;
// nothing here depends on them.
#ifndef VANTOREL_LINUX_ERROR_H
#define VANTOREL_LINUX_ERROR_H

#include <stddef.h>
#include <stdint.h>

// Codes every layer uses for refused arguments, mismatches and failed
// allocations. They are X11's BadValue, BadMatch and BadAlloc, which the
// library reported from the start.
#define VS_ERROR_BAD_VALUE 2
#define VS_ERROR_BAD_MATCH 8
#define VS_ERROR_BAD_ALLOC 11

// The longest reason kept, terminator included; an X server's is at most
// 255 bytes.
#define VS_REASON_SIZE 256

// Sets the code; the reason is then empty.
void vs_set_last_error(uint32_t code);
// Sets the code and the peer's reason for it: length bytes, cut to fit, with
// control characters made blanks and blanks at the ends dropped (it comes
// from outside and goes to a terminal).
void vs_set_last_error_reason(uint32_t code, const char *reason, size_t length);
uint32_t vs_last_error(void);
// The reason of the thread's last error, or "".
const char *vs_last_reason(void);

#endif
