// libwayland-client's entry points, looked up once (wl_library.h).
#include "linux/wayland/wl_library.h"

#include <pthread.h>
#include <string.h>

#include "linux/linux_error.h"
#include "linux/linux_library.h"

struct vs_wl_functions g_vs_wl_functions;

// The generated request functions of the build's headers need their own
// marshalling calls; the others are taken where the library has them.
#define VS_WL_SYMBOLS(X)                                       \
  X(display_connect_to_fd, 1)                                  \
  X(display_disconnect, 1)                                     \
  X(display_get_fd, 1)                                         \
  X(display_dispatch_pending, 1)                               \
  X(display_flush, 1)                                          \
  X(display_get_error, 1)                                      \
  X(display_get_protocol_error, 1)                             \
  X(display_prepare_read, 1)                                   \
  X(display_read_events, 1)                                    \
  X(display_cancel_read, 1)                                    \
  X(display_roundtrip, 1)                                      \
  X(proxy_marshal_flags, VS_WL_MARSHAL_FLAGS)                  \
  X(proxy_marshal, !VS_WL_MARSHAL_FLAGS)                       \
  X(proxy_marshal_constructor, !VS_WL_MARSHAL_FLAGS)           \
  X(proxy_marshal_constructor_versioned, !VS_WL_MARSHAL_FLAGS) \
  X(proxy_add_listener, 1)                                     \
  X(proxy_set_user_data, 1)                                    \
  X(proxy_get_user_data, 1)                                    \
  X(proxy_get_version, 1)                                      \
  X(proxy_get_id, 1)                                           \
  X(proxy_destroy, 1)

#define VS_WL_SYMBOL(member, needed) \
  {"wl_" #member, offsetof(struct vs_wl_functions, member), (uint8_t)(needed)},
static const vs_symbol k_symbols[] = {VS_WL_SYMBOLS(VS_WL_SYMBOL)};
#undef VS_WL_SYMBOL

static pthread_once_t s_once = PTHREAD_ONCE_INIT;
static int s_loaded;
static char s_why[VS_REASON_SIZE];

static void load_once(void) {
  s_loaded = vs_open_library(VS_WL_LIBRARY, k_symbols, sizeof k_symbols / sizeof k_symbols[0],
                             &g_vs_wl_functions, s_why, sizeof s_why) == 0;
}

int vs_wl_library_load(void) {
  pthread_once(&s_once, load_once);
  if (s_loaded) return 0;
  vs_set_last_error_reason(VS_ERROR_NO_LIBRARY, s_why, strlen(s_why));
  return -1;
}
