// Work split over the machine's cores: the parts of one job, taken in turn
// by a thread per core (the caller's among them), all done when it returns.
#ifndef VANTOREL_PARALLEL_H
#define VANTOREL_PARALLEL_H

#include <stddef.h>

// Runs part(context, i) once for each i in 0..count-1 and returns once every
// part is done. Threads that cannot be had leave their share to the others,
// so the result never depends on how many threads ran.
void run_parts(int count, void (*part)(void *context, int index), void *context);

// How many parts a job of this many bytes is worth: the cores there are, at
// most max_parts, and none that would get less than min_bytes.
int parts_for(size_t bytes, size_t min_bytes, int max_parts);

#endif
