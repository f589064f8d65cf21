// The optional libraries a layer opens at run time (libwayland-client,
// libsystemd's sd-bus) rather than links, so the library itself loads on a
// system without them and only the layers that need them are not offered.
#ifndef VANTOREL_LINUX_LIBRARY_H
#define VANTOREL_LINUX_LIBRARY_H

#include <stddef.h>
#include <stdint.h>

// One entry point: its name in the library and where its pointer goes in the
// caller's table. One the build's headers call is needed; another is taken
// when the running library has it and left NULL otherwise.
struct vs_symbol {
  const char *name;
  size_t offset;
  uint8_t needed;
};

// Opens the library by its exact SONAME (never closed again: code of ours may
// hold its pointers on any thread) and fills the table. 0, or -1 with the
// loader's words in why: the library's name and what is wrong with it (not
// found, a dependency of its own missing, an entry point it lacks).
int vs_open_library(const char *soname, const vs_symbol *symbols, size_t count, void *table,
                    char *why, size_t why_size);

#endif
