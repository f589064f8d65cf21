// Windows on Wayland: the compositor's ext-foreign-toplevel-list, bound for
// one call. Binding it makes the compositor announce every mapped toplevel
// with its identifier, title and application id, each closed by done; one
// round trip later all of them are in. The list is then stopped, and once the
// compositor says it has finished, the handles and the list are destroyed.
//
// A window's id is "wl:" and the compositor's identifier for it, which the
// protocol keeps unique and stable while the window is mapped, and which is
// never a number (so no X11 id reads like it). A window named so is captured
// through ext-image-copy-capture's window source, down the same frame path as
// the outputs (wl_ext_capture.cpp): the window alone, covered or not.
//
// The list says nothing of a window's place, process, focus or state. Where
// the compositor also offers wlroots' toplevel management (sway, labwc), it
// is bound for the same call, and a window whose title and application id
// name exactly one of its toplevels (or several that agree) takes its focus
// (activated) and minimized state from there; otherwise they stay unknown
// (null in the JSON), as do the place and the process. Nor is there a
// stacking order: the windows come in the order the compositor announced
// them.
//
// Nothing the compositor sends is trusted: titles are cut to our records
// (the core checks their UTF-8), identifiers that are not the protocol's
// printable ASCII leave their window out (no id could name it back), and
// handles beyond our bound are destroyed as they come.
#include <stdlib.h>
#include <string.h>
#include <wayland-client.h>

#include "ext-foreign-toplevel-list-v1-client-protocol.h"
#include "ext-image-capture-source-v1-client-protocol.h"
#include "linux/linux_frame.h"
#include "linux/wayland/wl_internal.h"
#include "wlr-foreign-toplevel-management-unstable-v1-client-protocol.h"

#define ID_PREFIX "wl:"
// The protocol allows 32 bytes; a little room for a compositor that takes more.
#define IDENTIFIER_MAX (VS_WINDOW_ID_SIZE - sizeof ID_PREFIX)
// Handles kept for one listing; more are destroyed unread.
#define MAX_HANDLES (2 * VS_MAX_WINDOWS)

struct toplevel {
  ext_foreign_toplevel_handle_v1 *handle;
  char identifier[IDENTIFIER_MAX + 1];
  char title[VS_WINDOW_TEXT_SIZE];
  char app[VS_WINDOW_TEXT_SIZE];
  uint8_t bad_identifier;
  uint8_t done;
  uint8_t closed;
};

// A toplevel as wlroots' management tells of it.
struct managed {
  zwlr_foreign_toplevel_handle_v1 *handle;
  char title[VS_WINDOW_TEXT_SIZE];
  char app[VS_WINDOW_TEXT_SIZE];
  uint8_t activated;
  uint8_t minimized;
  uint8_t done;
  uint8_t closed;
};

struct toplevel_list {
  ext_foreign_toplevel_list_v1 *list;
  toplevel **items;  // MAX_HANDLES slots
  int count;
  int finished;
  uint8_t out_of_memory;
  zwlr_foreign_toplevel_manager_v1 *manager;  // NULL where not offered
  managed **managed_items;                    // MAX_HANDLES slots
  int managed_count;
  int manager_finished;
};

static void copy_text(char *out, size_t size, const char *text) {
  size_t n = text ? strnlen(text, size - 1) : 0;
  if (n) memcpy(out, text, n);
  out[n] = '\0';
}

static void handle_closed(void *data, ext_foreign_toplevel_handle_v1 *handle) {
  (void)handle;
  ((toplevel *)data)->closed = 1;
}

static void handle_done(void *data, ext_foreign_toplevel_handle_v1 *handle) {
  (void)handle;
  ((toplevel *)data)->done = 1;
}

static void handle_title(void *data, ext_foreign_toplevel_handle_v1 *handle, const char *title) {
  (void)handle;
  toplevel *t = (toplevel *)data;
  copy_text(t->title, sizeof t->title, title);
}

static void handle_app_id(void *data, ext_foreign_toplevel_handle_v1 *handle, const char *app_id) {
  (void)handle;
  toplevel *t = (toplevel *)data;
  copy_text(t->app, sizeof t->app, app_id);
}

static void handle_identifier(void *data, ext_foreign_toplevel_handle_v1 *handle,
                              const char *identifier) {
  (void)handle;
  toplevel *t = (toplevel *)data;
  size_t n = identifier ? strnlen(identifier, IDENTIFIER_MAX + 1) : 0;
  t->bad_identifier = n == 0 || n > IDENTIFIER_MAX;
  for (size_t i = 0; i < n && !t->bad_identifier; i++) {
    if (identifier[i] < 0x21 || identifier[i] > 0x7e) t->bad_identifier = 1;
  }
  if (!t->bad_identifier) copy_text(t->identifier, sizeof t->identifier, identifier);
}

static const ext_foreign_toplevel_handle_v1_listener k_handle_listener = {
    handle_closed, handle_done, handle_title, handle_app_id, handle_identifier,
};

static void list_toplevel(void *data, ext_foreign_toplevel_list_v1 *list,
                          ext_foreign_toplevel_handle_v1 *handle) {
  (void)list;
  toplevel_list *l = (toplevel_list *)data;
  toplevel *t = l->count < MAX_HANDLES ? (toplevel *)calloc(1, sizeof *t) : NULL;
  if (!t) {
    if (l->count < MAX_HANDLES) l->out_of_memory = 1;
    ext_foreign_toplevel_handle_v1_destroy(handle);
    return;
  }
  t->handle = handle;
  l->items[l->count++] = t;
  ext_foreign_toplevel_handle_v1_add_listener(handle, &k_handle_listener, t);
}

static void list_finished(void *data, ext_foreign_toplevel_list_v1 *list) {
  (void)list;
  ((toplevel_list *)data)->finished = 1;
}

static const ext_foreign_toplevel_list_v1_listener k_list_listener = {list_toplevel, list_finished};

static void managed_title(void *data, zwlr_foreign_toplevel_handle_v1 *handle, const char *title) {
  (void)handle;
  managed *m = (managed *)data;
  copy_text(m->title, sizeof m->title, title);
}

static void managed_app_id(void *data, zwlr_foreign_toplevel_handle_v1 *handle,
                           const char *app_id) {
  (void)handle;
  managed *m = (managed *)data;
  copy_text(m->app, sizeof m->app, app_id);
}

static void managed_output(void *data, zwlr_foreign_toplevel_handle_v1 *handle, wl_output *output) {
  (void)data;
  (void)handle;
  (void)output;
}

static void managed_state(void *data, zwlr_foreign_toplevel_handle_v1 *handle, wl_array *states) {
  (void)handle;
  managed *m = (managed *)data;
  m->activated = 0;
  m->minimized = 0;
  const uint32_t *state = (const uint32_t *)states->data;
  for (size_t i = 0; state && i < states->size / sizeof *state; i++) {
    if (state[i] == ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_ACTIVATED) m->activated = 1;
    if (state[i] == ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_MINIMIZED) m->minimized = 1;
  }
}

static void managed_done(void *data, zwlr_foreign_toplevel_handle_v1 *handle) {
  (void)handle;
  ((managed *)data)->done = 1;
}

static void managed_closed(void *data, zwlr_foreign_toplevel_handle_v1 *handle) {
  (void)handle;
  ((managed *)data)->closed = 1;
}

static const zwlr_foreign_toplevel_handle_v1_listener k_managed_listener = {
    managed_title, managed_app_id, managed_output, managed_output,
    managed_state, managed_done,   managed_closed,
};

static void manager_toplevel(void *data, zwlr_foreign_toplevel_manager_v1 *manager,
                             zwlr_foreign_toplevel_handle_v1 *handle) {
  (void)manager;
  toplevel_list *l = (toplevel_list *)data;
  managed *m = l->managed_count < MAX_HANDLES ? (managed *)calloc(1, sizeof *m) : NULL;
  if (!m) {
    zwlr_foreign_toplevel_handle_v1_destroy(handle);
    return;
  }
  m->handle = handle;
  l->managed_items[l->managed_count++] = m;
  zwlr_foreign_toplevel_handle_v1_add_listener(handle, &k_managed_listener, m);
}

static void manager_finished(void *data, zwlr_foreign_toplevel_manager_v1 *manager) {
  (void)manager;
  ((toplevel_list *)data)->manager_finished = 1;
}

static const zwlr_foreign_toplevel_manager_v1_listener k_manager_listener = {manager_toplevel,
                                                                             manager_finished};

// The focus and minimized state wlroots' management gives the window: from
// the toplevels of the same title and application id, when there are some
// and all of them agree; else unknown (-1).
static void state_of(const toplevel_list *l, const toplevel *t, signed char *focused,
                     signed char *minimized) {
  int matches = 0, activated = 0, hidden = 0;
  for (int i = 0; i < l->managed_count; i++) {
    const managed *m = l->managed_items[i];
    if (!m->done || m->closed || strcmp(m->title, t->title) != 0 || strcmp(m->app, t->app) != 0)
      continue;
    matches++;
    activated += m->activated;
    hidden += m->minimized;
  }
  *focused =
      matches && (activated == 0 || activated == matches) ? (signed char)(activated > 0) : -1;
  *minimized = matches && (hidden == 0 || hidden == matches) ? (signed char)(hidden > 0) : -1;
}

// Binds the list and takes in every toplevel the compositor announces. 0,
// VS_NOT_OFFERED, VS_FAILED, or VS_BROKEN (after end_listing).
static int begin_listing_locked(toplevel_list *l, int64_t deadline) {
  memset(l, 0, sizeof *l);
  if (!g_vs_wl.toplevel_list_global) return VS_NOT_OFFERED;
  l->items = (toplevel **)calloc(MAX_HANDLES, sizeof *l->items);
  if (!l->items) {
    vs_set_last_error(VS_ERROR_WL_NO_MEMORY);
    return VS_FAILED;
  }
  l->list = (ext_foreign_toplevel_list_v1 *)wl_registry_bind(
      g_vs_wl.registry, g_vs_wl.toplevel_list_global, &ext_foreign_toplevel_list_v1_interface, 1);
  if (!l->list) {
    free(l->items);
    l->items = NULL;
    vs_set_last_error(VS_ERROR_WL_GONE);
    return VS_BROKEN;
  }
  ext_foreign_toplevel_list_v1_add_listener(l->list, &k_list_listener, l);
  if (g_vs_wl.wlr_toplevel_global) {
    l->managed_items = (managed **)calloc(MAX_HANDLES, sizeof *l->managed_items);
    if (l->managed_items) {
      l->manager = (zwlr_foreign_toplevel_manager_v1 *)wl_registry_bind(
          g_vs_wl.registry, g_vs_wl.wlr_toplevel_global,
          &zwlr_foreign_toplevel_manager_v1_interface, 1);
    }
    if (l->manager)
      zwlr_foreign_toplevel_manager_v1_add_listener(l->manager, &k_manager_listener, l);
  }
  // The toplevels and their first state come right after the bind.
  return vs_wl_roundtrip_locked(deadline);
}

// Stops the list and lets go of everything; on a working connection after
// the compositor said it has finished, as the protocol asks, so that no
// announcement reaches a list already gone. 0, or VS_BROKEN.
static int end_listing_locked(toplevel_list *l, int result, int64_t deadline) {
  if (l->list && result != VS_BROKEN) {
    ext_foreign_toplevel_list_v1_stop(l->list);
    if (l->manager) zwlr_foreign_toplevel_manager_v1_stop(l->manager);
    if (vs_wl_wait_locked(&l->finished, deadline) != 0 ||
        (l->manager && vs_wl_wait_locked(&l->manager_finished, deadline) != 0)) {
      result = VS_BROKEN;
    }
  }
  for (int i = 0; i < l->count; i++) {
    ext_foreign_toplevel_handle_v1_destroy(l->items[i]->handle);
    free(l->items[i]);
  }
  for (int i = 0; i < l->managed_count; i++) {
    zwlr_foreign_toplevel_handle_v1_destroy(l->managed_items[i]->handle);
    free(l->managed_items[i]);
  }
  // The manager has no destroy request: after finished the compositor let
  // go of it itself.
  if (l->manager) zwlr_foreign_toplevel_manager_v1_destroy(l->manager);
  free(l->managed_items);
  if (l->list) ext_foreign_toplevel_list_v1_destroy(l->list);
  free(l->items);
  memset(l, 0, sizeof *l);
  // The compositor lets go of them now, not at our next call (the socket
  // takes the few bytes without waiting).
  if (result != VS_BROKEN) wl_display_flush(g_vs_wl.display);
  if (result == VS_BROKEN) vs_wl_drop_locked();
  return result;
}

static int listed(const toplevel *t) { return t->done && !t->closed && !t->bad_identifier; }

int vs_wl_list_windows(vs_window_entry *windows, int max, int *count, int64_t deadline) {
  *count = 0;
  if (vs_wl_lock(deadline) != 0) return VS_FAILED;
  int result = vs_wl_connect_locked(0, deadline);
  toplevel_list l;
  memset(&l, 0, sizeof l);
  if (result == 0) result = begin_listing_locked(&l, deadline);
  if (result == 0 && l.out_of_memory) {
    vs_set_last_error(VS_ERROR_WL_NO_MEMORY);
    result = VS_FAILED;
  }
  for (int i = 0; result == 0 && i < l.count && *count < max; i++) {
    const toplevel *t = l.items[i];
    if (!listed(t)) continue;
    vs_window_entry *w = &windows[(*count)++];
    memset(w, 0, sizeof *w);
    memcpy(w->id, ID_PREFIX, sizeof ID_PREFIX - 1);
    copy_text(w->id + sizeof ID_PREFIX - 1, sizeof w->id - (sizeof ID_PREFIX - 1), t->identifier);
    memcpy(w->title, t->title, sizeof w->title);
    memcpy(w->app, t->app, sizeof w->app);
    w->pid = -1;
    state_of(&l, t, &w->focused, &w->minimized);
  }
  if (result != VS_NOT_OFFERED) result = end_listing_locked(&l, result, deadline);
  if (result != 0) *count = 0;
  vs_wl_unlock();
  return result;
}

int vs_wl_capture_window(const char *id, int pointer, vs_frame *frame, int64_t deadline) {
  if (strncmp(id, ID_PREFIX, sizeof ID_PREFIX - 1) != 0) {
    vs_set_last_error(VS_ERROR_WL_NO_WINDOW);
    return VS_FAILED;
  }
  const char *identifier = id + sizeof ID_PREFIX - 1;
  if (vs_wl_lock(deadline) != 0) return VS_FAILED;
  int result = vs_wl_connect_locked(0, deadline);
  toplevel_list l;
  memset(&l, 0, sizeof l);
  if (result == 0) result = begin_listing_locked(&l, deadline);
  if (result == VS_NOT_OFFERED) {
    // No list, so no window of the compositor's has a name we could know.
    vs_set_last_error(VS_ERROR_WL_NO_WINDOW);
    result = VS_FAILED;
  }
  const toplevel *found = NULL;
  for (int i = 0; result == 0 && i < l.count && !found; i++) {
    if (listed(l.items[i]) && strcmp(l.items[i]->identifier, identifier) == 0) found = l.items[i];
  }
  if (result == 0 && !found) {
    vs_set_last_error(VS_ERROR_WL_NO_WINDOW);
    result = VS_FAILED;
  }
  if (result == 0 && (!g_vs_wl.ext_toplevel_sources || !g_vs_wl.ext_manager || !g_vs_wl.shm)) {
    vs_set_last_error(VS_ERROR_WL_WINDOW_UNCAPTURABLE);
    result = VS_FAILED;
  }
  if (result == 0) {
    ext_image_capture_source_v1 *source =
        ext_foreign_toplevel_image_capture_source_manager_v1_create_source(
            g_vs_wl.ext_toplevel_sources, found->handle);
    if (!source) {
      vs_set_last_error(VS_ERROR_WL_GONE);
      result = VS_BROKEN;
    } else {
      result = vs_wl_ext_copy_source_locked(source, pointer, frame, deadline);
      ext_image_capture_source_v1_destroy(source);
    }
  }
  result = end_listing_locked(&l, result, deadline);
  vs_wl_unlock();
  return result;
}
