// One Screenshot request of the desktop portal (org.freedesktop.portal
// .Screenshot, answered through org.freedesktop.portal.Request's Response
// signal), made on a connection of its own that is closed before returning.
#ifndef VANTOREL_PORTAL_REQUEST_H
#define VANTOREL_PORTAL_REQUEST_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

// Asks for a picture of the whole desktop, non-interactively, and waits for
// the answer up to the deadline (a vs_now_ms time): 0 with the local path the
// answer names, or one of the PORTAL_ERROR_* codes (portal_errors.h);
// PORTAL_ERROR_TIMEOUT only once the request went out.
// *sent is the wall-clock time (CLOCK_REALTIME_COARSE, the clock file times
// are stamped from) read just before the request went out, whatever the
// outcome.
uint32_t portal_request_picture(int64_t deadline, char *path, size_t size, struct timespec *sent);

#endif
