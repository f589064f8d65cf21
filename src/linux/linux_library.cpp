#include "linux/linux_library.h"

#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

int vs_open_library(const char *soname, const vs_symbol *symbols, size_t count, void *table,
                    char *why, size_t why_size) {
  why[0] = '\0';
  // RTLD_LOCAL: the library's names stay out of the process's global scope,
  // where the host's own copy (a toolkit's) may live beside it.
  void *handle = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char *error = dlerror();
    snprintf(why, why_size, "%s", error ? error : soname);
    return -1;
  }
  for (size_t i = 0; i < count; i++) {
    dlerror();
    void *address = dlsym(handle, symbols[i].name);
    if (!address && symbols[i].needed) {
      snprintf(why, why_size, "%s: undefined symbol: %s (the library is too old)", soname,
               symbols[i].name);
      dlclose(handle);
      return -1;
    }
    memcpy((char *)table + symbols[i].offset, &address, sizeof address);
  }
  return 0;
}
