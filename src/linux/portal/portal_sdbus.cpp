// libsystemd's sd-bus entry points, looked up once (portal_sdbus.h).
#include "linux/portal/portal_sdbus.h"

#include <pthread.h>
#include <stddef.h>
#include <string.h>

#include "linux/linux_library.h"

portal_sdbus_functions g_portal_sdbus;

// # and ## take the names as written, before the call macros could turn them
// into members.
#define PORTAL_SDBUS_SYMBOL(name) {#name, offsetof(portal_sdbus_functions, m_##name), 1},
static const vs_symbol k_symbols[] = {PORTAL_SDBUS_SYMBOLS(PORTAL_SDBUS_SYMBOL)};
#undef PORTAL_SDBUS_SYMBOL

static pthread_once_t s_once = PTHREAD_ONCE_INIT;
static int s_loaded;
static char s_why[256];

static void load_once(void) {
  s_loaded =
      vs_open_library(PORTAL_SDBUS_LIBRARY, k_symbols, sizeof k_symbols / sizeof k_symbols[0],
                      &g_portal_sdbus, s_why, sizeof s_why) == 0;
}

int portal_sdbus_load(void) {
  pthread_once(&s_once, load_once);
  return s_loaded ? 0 : -1;
}

const char *portal_sdbus_why(void) {
  pthread_once(&s_once, load_once);
  return s_why;
}
