// The clock every bound of the portal module is measured on: monotonic, so a
// change of the wall clock neither cuts a wait short nor stretches it.
#ifndef VANTOREL_PORTAL_CLOCK_H
#define VANTOREL_PORTAL_CLOCK_H

#include <stdint.h>
#include <time.h>

inline uint64_t portal_now_us() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000000u + uint64_t(ts.tv_nsec) / 1000u;
}

#endif
