// libsystemd's sd-bus as the portal module reaches it: opened at run time by
// its SONAME, never linked, so the library loads where it is missing and only
// the portal layer is then not offered. Included by portal_bus.h, after
// sd-bus.h's declarations: from here on each sd_bus_* name the module calls
// is the loaded table's member.
#ifndef VANTOREL_PORTAL_SDBUS_H
#define VANTOREL_PORTAL_SDBUS_H

#include <systemd/sd-bus.h>

#define PORTAL_SDBUS_LIBRARY "libsystemd.so.0"

// Every entry point is in libsystemd 240 and later (Debian 11 has 247).
#define PORTAL_SDBUS_SYMBOLS(X)      \
  X(sd_bus_add_match_async)          \
  X(sd_bus_call_async)               \
  X(sd_bus_call_method_async)        \
  X(sd_bus_close_unref)              \
  X(sd_bus_get_unique_name)          \
  X(sd_bus_is_ready)                 \
  X(sd_bus_message_append)           \
  X(sd_bus_message_append_basic)     \
  X(sd_bus_message_at_end)           \
  X(sd_bus_message_close_container)  \
  X(sd_bus_message_enter_container)  \
  X(sd_bus_message_exit_container)   \
  X(sd_bus_message_get_errno)        \
  X(sd_bus_message_get_error)        \
  X(sd_bus_message_get_path)         \
  X(sd_bus_message_get_sender)       \
  X(sd_bus_message_is_method_error)  \
  X(sd_bus_message_new_method_call)  \
  X(sd_bus_message_open_container)   \
  X(sd_bus_message_peek_type)        \
  X(sd_bus_message_read)             \
  X(sd_bus_message_read_basic)       \
  X(sd_bus_message_ref)              \
  X(sd_bus_message_set_expect_reply) \
  X(sd_bus_message_skip)             \
  X(sd_bus_message_unref)            \
  X(sd_bus_open_user)                \
  X(sd_bus_process)                  \
  X(sd_bus_send)                     \
  X(sd_bus_slot_unref)               \
  X(sd_bus_wait)

struct portal_sdbus_functions {
#define PORTAL_SDBUS_MEMBER(name) decltype(&::name) m_##name;
  PORTAL_SDBUS_SYMBOLS(PORTAL_SDBUS_MEMBER)
#undef PORTAL_SDBUS_MEMBER
};

extern portal_sdbus_functions g_portal_sdbus;

// The members are the entry points' names with m_ before them, so a name
// turned into the member below never meets itself.
// Opens the library once per process: 0, or -1 (every later call gives the
// same answer). The module's own functions fail as without a bus; the layer
// reports VS_ERROR_NO_LIBRARY with portal_sdbus_why()'s words: the library's
// name and what failed.
int portal_sdbus_load(void);
const char *portal_sdbus_why(void);

#define sd_bus_add_match_async g_portal_sdbus.m_sd_bus_add_match_async
#define sd_bus_call_async g_portal_sdbus.m_sd_bus_call_async
#define sd_bus_call_method_async g_portal_sdbus.m_sd_bus_call_method_async
#define sd_bus_close_unref g_portal_sdbus.m_sd_bus_close_unref
#define sd_bus_get_unique_name g_portal_sdbus.m_sd_bus_get_unique_name
#define sd_bus_is_ready g_portal_sdbus.m_sd_bus_is_ready
#define sd_bus_message_append g_portal_sdbus.m_sd_bus_message_append
#define sd_bus_message_append_basic g_portal_sdbus.m_sd_bus_message_append_basic
#define sd_bus_message_at_end g_portal_sdbus.m_sd_bus_message_at_end
#define sd_bus_message_close_container g_portal_sdbus.m_sd_bus_message_close_container
#define sd_bus_message_enter_container g_portal_sdbus.m_sd_bus_message_enter_container
#define sd_bus_message_exit_container g_portal_sdbus.m_sd_bus_message_exit_container
#define sd_bus_message_get_errno g_portal_sdbus.m_sd_bus_message_get_errno
#define sd_bus_message_get_error g_portal_sdbus.m_sd_bus_message_get_error
#define sd_bus_message_get_path g_portal_sdbus.m_sd_bus_message_get_path
#define sd_bus_message_get_sender g_portal_sdbus.m_sd_bus_message_get_sender
#define sd_bus_message_is_method_error g_portal_sdbus.m_sd_bus_message_is_method_error
#define sd_bus_message_new_method_call g_portal_sdbus.m_sd_bus_message_new_method_call
#define sd_bus_message_open_container g_portal_sdbus.m_sd_bus_message_open_container
#define sd_bus_message_peek_type g_portal_sdbus.m_sd_bus_message_peek_type
#define sd_bus_message_read g_portal_sdbus.m_sd_bus_message_read
#define sd_bus_message_read_basic g_portal_sdbus.m_sd_bus_message_read_basic
#define sd_bus_message_ref g_portal_sdbus.m_sd_bus_message_ref
#define sd_bus_message_set_expect_reply g_portal_sdbus.m_sd_bus_message_set_expect_reply
#define sd_bus_message_skip g_portal_sdbus.m_sd_bus_message_skip
#define sd_bus_message_unref g_portal_sdbus.m_sd_bus_message_unref
#define sd_bus_open_user g_portal_sdbus.m_sd_bus_open_user
#define sd_bus_process g_portal_sdbus.m_sd_bus_process
#define sd_bus_send g_portal_sdbus.m_sd_bus_send
#define sd_bus_slot_unref g_portal_sdbus.m_sd_bus_slot_unref
#define sd_bus_wait g_portal_sdbus.m_sd_bus_wait

#endif
