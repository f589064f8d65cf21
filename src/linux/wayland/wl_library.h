// libwayland-client as the layer reaches it: opened at run time by its
// SONAME, never linked, so the library loads where it is missing (a minimal
// container, an X11-only desktop) and only this layer is then not offered.
//
// The build puts this header in front of every file of the layer, the
// generated protocol code included (-include, see cmake/library_linux.cmake),
// so that the calls libwayland's own headers make in their inline request
// functions reach the loaded table as well as ours do. It must come before
// any other Wayland header: the entry points' declarations are read first,
// and only then are their names turned into the table's members.
//
// The core interfaces (wl_output, wl_shm, wl_registry, ...) are compiled in
// from wayland.xml under vs_-prefixed names (vs-wayland-names.h, made from
// the XML by the build), so a newer wl_output than the running libwayland
// knows is still ours to bind: libwayland marshals what the interface
// describes.
#ifndef VANTOREL_WL_LIBRARY_H
#define VANTOREL_WL_LIBRARY_H

#include <stdint.h>
#include <wayland-client-core.h>
#include <wayland-version.h>

#include "vs-wayland-names.h"

#define VS_WL_LIBRARY "libwayland-client.so.0"

// Headers from 1.20 on send every request through wl_proxy_marshal_flags;
// older ones through the three calls it replaced.
#if WAYLAND_VERSION_MAJOR > 1 || WAYLAND_VERSION_MINOR >= 20
#define VS_WL_MARSHAL_FLAGS 1
#else
#define VS_WL_MARSHAL_FLAGS 0
#endif

#ifdef __cplusplus
extern "C" {
#endif

struct wl_interface;

// The entry points the layer and the generated code use; their types as
// libwayland 1.18 and later declare them.
struct vs_wl_functions {
  struct wl_display *(*display_connect_to_fd)(int fd);
  void (*display_disconnect)(struct wl_display *display);
  int (*display_get_fd)(struct wl_display *display);
  int (*display_dispatch_pending)(struct wl_display *display);
  int (*display_flush)(struct wl_display *display);
  int (*display_get_error)(struct wl_display *display);
  uint32_t (*display_get_protocol_error)(struct wl_display *display,
                                         const struct wl_interface **interface, uint32_t *id);
  int (*display_prepare_read)(struct wl_display *display);
  int (*display_read_events)(struct wl_display *display);
  void (*display_cancel_read)(struct wl_display *display);
  int (*display_roundtrip)(struct wl_display *display);
  struct wl_proxy *(*proxy_marshal_flags)(struct wl_proxy *proxy, uint32_t opcode,
                                          const struct wl_interface *interface, uint32_t version,
                                          uint32_t flags, ...);
  void (*proxy_marshal)(struct wl_proxy *proxy, uint32_t opcode, ...);
  struct wl_proxy *(*proxy_marshal_constructor)(struct wl_proxy *proxy, uint32_t opcode,
                                                const struct wl_interface *interface, ...);
  struct wl_proxy *(*proxy_marshal_constructor_versioned)(struct wl_proxy *proxy, uint32_t opcode,
                                                          const struct wl_interface *interface,
                                                          uint32_t version, ...);
  int (*proxy_add_listener)(struct wl_proxy *proxy, void (**implementation)(void), void *data);
  void (*proxy_set_user_data)(struct wl_proxy *proxy, void *user_data);
  void *(*proxy_get_user_data)(struct wl_proxy *proxy);
  uint32_t (*proxy_get_version)(struct wl_proxy *proxy);
  uint32_t (*proxy_get_id)(struct wl_proxy *proxy);
  void (*proxy_destroy)(struct wl_proxy *proxy);
};

extern struct vs_wl_functions g_vs_wl_functions;

// Opens the library once per process: 0, or -1 with the last error
// VS_ERROR_NO_LIBRARY and the loader's words for it (the library's name and
// what failed) as its reason. Every later call gives the same answer.
int vs_wl_library_load(void);

#ifdef __cplusplus
}
#endif

#define wl_display_connect_to_fd g_vs_wl_functions.display_connect_to_fd
#define wl_display_disconnect g_vs_wl_functions.display_disconnect
#define wl_display_get_fd g_vs_wl_functions.display_get_fd
#define wl_display_dispatch_pending g_vs_wl_functions.display_dispatch_pending
#define wl_display_flush g_vs_wl_functions.display_flush
#define wl_display_get_error g_vs_wl_functions.display_get_error
#define wl_display_get_protocol_error g_vs_wl_functions.display_get_protocol_error
#define wl_display_prepare_read g_vs_wl_functions.display_prepare_read
#define wl_display_read_events g_vs_wl_functions.display_read_events
#define wl_display_cancel_read g_vs_wl_functions.display_cancel_read
#define wl_display_roundtrip g_vs_wl_functions.display_roundtrip
#define wl_proxy_marshal_flags g_vs_wl_functions.proxy_marshal_flags
#define wl_proxy_marshal g_vs_wl_functions.proxy_marshal
#define wl_proxy_marshal_constructor g_vs_wl_functions.proxy_marshal_constructor
#define wl_proxy_marshal_constructor_versioned g_vs_wl_functions.proxy_marshal_constructor_versioned
#define wl_proxy_add_listener g_vs_wl_functions.proxy_add_listener
#define wl_proxy_set_user_data g_vs_wl_functions.proxy_set_user_data
#define wl_proxy_get_user_data g_vs_wl_functions.proxy_get_user_data
#define wl_proxy_get_version g_vs_wl_functions.proxy_get_version
#define wl_proxy_get_id g_vs_wl_functions.proxy_get_id
#define wl_proxy_destroy g_vs_wl_functions.proxy_destroy

#endif
