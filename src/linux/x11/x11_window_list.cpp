// The window list on X11: the window manager's _NET_CLIENT_LIST_STACKING
// (bottom first, so read backwards), or, without a window manager that keeps
// one, the root's mapped children (QueryTree's order is the stacking order,
// bottom first, too). Each window's title, class, process and absolute
// geometry come from its own properties; focus from _NET_ACTIVE_WINDOW, else
// the input focus; minimized from _NET_WM_STATE_HIDDEN, WM_STATE's Iconic or
// an unmapped client.
//
// Few round trips: the atoms in one go, the root's properties in one, then
// every window's requests in batches whose replies are collected together,
// all against the call's deadline. A batch is small enough that its requests
// fit the socket's buffer, so sending never waits on a server that stopped
// reading. Properties are read to a bounded length and their bytes are not
// trusted (the core checks the UTF-8).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "linux/x11/x11_internal.h"

// Windows whose requests go out before their replies are collected.
#define BATCH 32
// Longest property read, in 32-bit units: a title beyond it is cut anyway.
#define TEXT_LONGS (VS_WINDOW_TEXT_SIZE / 4)
// The stacking list read: far more clients than any desktop has.
#define STACK_LONGS 8192
#define FOCUS_DEPTH 64

enum atom_index {
  A_STACKING,
  A_ACTIVE,
  A_NET_WM_NAME,
  A_UTF8,
  A_PID,
  A_STATE,
  A_HIDDEN,
  A_WM_STATE,
  A_COUNT
};

static const char *const k_atom_names[A_COUNT] = {
    "_NET_CLIENT_LIST_STACKING",
    "_NET_ACTIVE_WINDOW",
    "_NET_WM_NAME",
    "UTF8_STRING",
    "_NET_WM_PID",
    "_NET_WM_STATE",
    "_NET_WM_STATE_HIDDEN",
    "WM_STATE",
};

// Atoms the server does not know yet are XCB_NONE: nothing carries them.
static int intern_atoms_locked(xcb_atom_t *atoms) {
  xcb_connection_t *c = g_x11.conn;
  xcb_intern_atom_cookie_t cookies[A_COUNT];
  for (int i = 0; i < A_COUNT; i++) {
    cookies[i] = xcb_intern_atom(c, 1, (uint16_t)strlen(k_atom_names[i]), k_atom_names[i]);
  }
  int result = 0;
  for (int i = 0; i < A_COUNT; i++) {
    atoms[i] = XCB_NONE;
    if (result != 0) {
      xcb_discard_reply(c, cookies[i].sequence);
      continue;
    }
    xcb_generic_error_t *error = NULL;
    xcb_intern_atom_reply_t *reply =
        (xcb_intern_atom_reply_t *)x11_reply_locked(cookies[i].sequence, &error);
    if (!reply) {
      x11_fail_request(error);
      result = -1;
      continue;
    }
    atoms[i] = reply->atom;
    free(reply);
  }
  return result;
}

static xcb_get_property_cookie_t get_property(xcb_window_t window, xcb_atom_t property,
                                              xcb_atom_t type, uint32_t longs) {
  return xcb_get_property(g_x11.conn, 0, window, property, type, 0, longs);
}

// A property's value as text into out (size bytes, terminated); Latin-1
// (type STRING) becomes UTF-8, anything else is copied as it is.
static void property_text(const xcb_get_property_reply_t *reply, char *out, size_t size) {
  out[0] = '\0';
  if (!reply || reply->format != 8) return;
  const uint8_t *value = (const uint8_t *)xcb_get_property_value(reply);
  int length = xcb_get_property_value_length(reply);
  size_t n = 0;
  for (int i = 0; i < length && value[i] && n + 3 <= size; i++) {
    uint8_t b = value[i];
    if (reply->type == XCB_ATOM_STRING && b >= 0x80) {
      out[n++] = (char)(0xc0 | (b >> 6));
      out[n++] = (char)(0x80 | (b & 0x3f));
    } else {
      out[n++] = (char)b;
    }
  }
  out[n] = '\0';
}

// WM_CLASS holds the instance and the class, each ended by a NUL: the class
// names the application.
static void class_text(const xcb_get_property_reply_t *reply, char *out, size_t size) {
  out[0] = '\0';
  if (!reply || reply->format != 8) return;
  const char *value = (const char *)xcb_get_property_value(reply);
  size_t length = (size_t)xcb_get_property_value_length(reply);
  size_t instance = strnlen(value, length);
  const char *name = value;
  size_t name_length = instance;
  if (instance + 1 < length) {
    name = value + instance + 1;
    name_length = strnlen(name, length - instance - 1);
  }
  if (name_length >= size) name_length = size - 1;
  memcpy(out, name, name_length);
  out[name_length] = '\0';
}

static int has_atom(const xcb_get_property_reply_t *reply, xcb_atom_t atom) {
  if (!reply || atom == XCB_NONE || reply->format != 32 || reply->type != XCB_ATOM_ATOM) return 0;
  const xcb_atom_t *value = (const xcb_atom_t *)xcb_get_property_value(reply);
  int count = xcb_get_property_value_length(reply) / 4;
  for (int i = 0; i < count; i++) {
    if (value[i] == atom) return 1;
  }
  return 0;
}

static uint32_t first_long(const xcb_get_property_reply_t *reply, xcb_atom_t type, int *found) {
  *found = 0;
  if (!reply || reply->format != 32 || (type != XCB_NONE && reply->type != type) ||
      xcb_get_property_value_length(reply) < 4) {
    return 0;
  }
  *found = 1;
  return *(const uint32_t *)xcb_get_property_value(reply);
}

// The root's candidates, topmost first, into *windows (malloc'd) and their
// number; *managed says whether a window manager listed them.
static int candidates_locked(const xcb_atom_t *atoms, xcb_window_t **windows, int *count,
                             int *managed, xcb_window_t *active, int *has_active) {
  xcb_connection_t *c = g_x11.conn;
  xcb_window_t root = g_x11.screen->root;
  *windows = NULL;
  *count = 0;
  *managed = 0;
  *has_active = 0;
  xcb_get_property_cookie_t stack_cookie =
      get_property(root, atoms[A_STACKING], XCB_ATOM_WINDOW, STACK_LONGS);
  xcb_get_property_cookie_t active_cookie = get_property(root, atoms[A_ACTIVE], XCB_ATOM_WINDOW, 1);
  xcb_query_tree_cookie_t tree_cookie = xcb_query_tree(c, root);
  xcb_generic_error_t *error = NULL;
  xcb_get_property_reply_t *stack =
      (xcb_get_property_reply_t *)x11_reply_locked(stack_cookie.sequence, &error);
  free(error);
  xcb_get_property_reply_t *active_reply =
      (xcb_get_property_reply_t *)x11_reply_locked(active_cookie.sequence, &error);
  free(error);
  xcb_query_tree_reply_t *tree =
      (xcb_query_tree_reply_t *)x11_reply_locked(tree_cookie.sequence, &error);
  int result = 0;
  if (!tree) {
    x11_fail_request(error);
    result = -1;
  }
  if (result == 0 && active_reply) {
    *active = first_long(active_reply, XCB_ATOM_WINDOW, has_active);
  }
  const xcb_window_t *list = NULL;
  int length = 0;
  if (result == 0 && stack && stack->type == XCB_ATOM_WINDOW && stack->format == 32) {
    list = (const xcb_window_t *)xcb_get_property_value(stack);
    length = xcb_get_property_value_length(stack) / 4;
    *managed = 1;
  } else if (result == 0) {
    list = xcb_query_tree_children(tree);
    length = xcb_query_tree_children_length(tree);
  }
  if (result == 0 && length > 0) {
    *windows = (xcb_window_t *)malloc((size_t)length * sizeof **windows);
    if (!*windows) {
      vs_set_last_error(VS_ERROR_BAD_ALLOC);
      result = -1;
    } else {
      for (int i = 0; i < length; i++) (*windows)[i] = list[length - 1 - i];
      *count = length;
    }
  }
  free(stack);
  free(active_reply);
  free(tree);
  return result;
}

struct window_cookies {
  xcb_get_property_cookie_t net_name, name, klass, pid, state, wm_state;
  xcb_get_geometry_cookie_t geometry;
  xcb_translate_coordinates_cookie_t origin;
  xcb_get_window_attributes_cookie_t attributes;
};

// The replies of one window; NULL where the server had an error for it.
struct window_replies {
  xcb_get_property_reply_t *net_name, *name, *klass, *pid, *state, *wm_state;
  xcb_get_geometry_reply_t *geometry;
  xcb_translate_coordinates_reply_t *origin;
  xcb_get_window_attributes_reply_t *attributes;
};

static void send_requests(xcb_window_t w, const xcb_atom_t *atoms, window_cookies *k) {
  xcb_connection_t *c = g_x11.conn;
  xcb_window_t root = g_x11.screen->root;
  k->net_name = get_property(w, atoms[A_NET_WM_NAME], XCB_GET_PROPERTY_TYPE_ANY, TEXT_LONGS);
  k->name = get_property(w, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, TEXT_LONGS);
  k->klass = get_property(w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, TEXT_LONGS);
  k->pid = get_property(w, atoms[A_PID], XCB_ATOM_CARDINAL, 1);
  k->state = get_property(w, atoms[A_STATE], XCB_ATOM_ATOM, 64);
  k->wm_state = get_property(w, atoms[A_WM_STATE], XCB_GET_PROPERTY_TYPE_ANY, 2);
  k->geometry = xcb_get_geometry(c, w);
  k->origin = xcb_translate_coordinates(c, w, root, 0, 0);
  k->attributes = xcb_get_window_attributes(c, w);
}

// Every reply of the window, waited for; -1 when a wait failed (timeout or
// a broken connection), with the last error set.
static int collect_replies(const window_cookies *k, window_replies *r) {
  const unsigned sequences[9] = {k->net_name.sequence, k->name.sequence,   k->klass.sequence,
                                 k->pid.sequence,      k->state.sequence,  k->wm_state.sequence,
                                 k->geometry.sequence, k->origin.sequence, k->attributes.sequence};
  void *replies[9];
  int result = 0;
  for (int i = 0; i < 9; i++) {
    replies[i] = NULL;
    if (result != 0) {
      xcb_discard_reply(g_x11.conn, sequences[i]);
      continue;
    }
    xcb_generic_error_t *error = NULL;
    replies[i] = x11_reply_locked(sequences[i], &error);
    if (!replies[i] && !error) {
      x11_fail_request(NULL);
      result = -1;
    }
    free(error);
  }
  r->net_name = (xcb_get_property_reply_t *)replies[0];
  r->name = (xcb_get_property_reply_t *)replies[1];
  r->klass = (xcb_get_property_reply_t *)replies[2];
  r->pid = (xcb_get_property_reply_t *)replies[3];
  r->state = (xcb_get_property_reply_t *)replies[4];
  r->wm_state = (xcb_get_property_reply_t *)replies[5];
  r->geometry = (xcb_get_geometry_reply_t *)replies[6];
  r->origin = (xcb_translate_coordinates_reply_t *)replies[7];
  r->attributes = (xcb_get_window_attributes_reply_t *)replies[8];
  return result;
}

static void free_replies(window_replies *r) {
  free(r->net_name);
  free(r->name);
  free(r->klass);
  free(r->pid);
  free(r->state);
  free(r->wm_state);
  free(r->geometry);
  free(r->origin);
  free(r->attributes);
}

// 1 when the window goes into the list, with *w filled.
static int describe(xcb_window_t id, const window_replies *r, const xcb_atom_t *atoms, int managed,
                    vs_window_entry *w) {
  // Gone meanwhile, or not a window one can see.
  if (!r->attributes || !r->geometry || !r->origin) return 0;
  if (r->attributes->_class == XCB_WINDOW_CLASS_INPUT_ONLY) return 0;
  int mapped = r->attributes->map_state != XCB_MAP_STATE_UNMAPPED;
  // Without a window manager only what is mapped is a window on the screen;
  // popups that bypass the manager are none of the desktop's windows.
  if (!managed && (!mapped || r->attributes->override_redirect)) return 0;

  memset(w, 0, sizeof *w);
  snprintf(w->id, sizeof w->id, "0x%x", (unsigned)id);
  if (r->net_name && r->net_name->format == 8 && xcb_get_property_value_length(r->net_name) > 0)
    property_text(r->net_name, w->title, sizeof w->title);
  else
    property_text(r->name, w->title, sizeof w->title);
  class_text(r->klass, w->app, sizeof w->app);
  int found = 0;
  uint32_t pid = first_long(r->pid, XCB_ATOM_CARDINAL, &found);
  w->pid = found && pid > 0 ? (int64_t)pid : -1;
  w->x = r->origin->dst_x;
  w->y = r->origin->dst_y;
  w->width = r->geometry->width;
  w->height = r->geometry->height;
  w->has_rect = r->origin->same_screen ? 1 : 0;
  uint32_t wm_state = first_long(r->wm_state, XCB_NONE, &found);
  w->minimized =
      (uint8_t)(has_atom(r->state, atoms[A_HIDDEN]) || (found && wm_state == 3) || !mapped);
  w->focused = 0;
  return 1;
}

// The top-level window that holds the input focus, without a window
// manager's word for it: the focus window's ancestor just below the root.
static xcb_window_t focused_top_locked(void) {
  xcb_connection_t *c = g_x11.conn;
  xcb_window_t root = g_x11.screen->root;
  xcb_generic_error_t *error = NULL;
  xcb_get_input_focus_reply_t *focus =
      (xcb_get_input_focus_reply_t *)x11_reply_locked(xcb_get_input_focus(c).sequence, &error);
  free(error);
  if (!focus) return XCB_NONE;
  xcb_window_t w = focus->focus;
  free(focus);
  for (int depth = 0; depth < FOCUS_DEPTH && w != XCB_NONE && w != root && w != 1; depth++) {
    xcb_query_tree_reply_t *tree =
        (xcb_query_tree_reply_t *)x11_reply_locked(xcb_query_tree(c, w).sequence, &error);
    free(error);
    if (!tree) return XCB_NONE;
    xcb_window_t parent = tree->parent;
    free(tree);
    if (parent == root) return w;
    w = parent;
  }
  return XCB_NONE;
}

static int list_locked(vs_window_entry *out, int max, int *count) {
  xcb_atom_t atoms[A_COUNT];
  if (intern_atoms_locked(atoms) != 0) return -1;
  xcb_window_t *windows = NULL;
  int length = 0;
  int managed = 0;
  int has_active = 0;
  xcb_window_t active = XCB_NONE;
  if (candidates_locked(atoms, &windows, &length, &managed, &active, &has_active) != 0) return -1;
  if (!has_active) active = focused_top_locked();

  window_cookies *cookies = (window_cookies *)malloc(BATCH * sizeof *cookies);
  if (!cookies) {
    free(windows);
    vs_set_last_error(VS_ERROR_BAD_ALLOC);
    return -1;
  }
  int result = 0;
  for (int start = 0; start < length && *count < max && result == 0; start += BATCH) {
    int n = length - start < BATCH ? length - start : BATCH;
    for (int i = 0; i < n; i++) send_requests(windows[start + i], atoms, &cookies[i]);
    for (int i = 0; i < n; i++) {
      window_replies r;
      if (result == 0) {
        result = collect_replies(&cookies[i], &r);
      } else {
        // Late replies of a failed batch are not kept.
        const window_cookies *k = &cookies[i];
        const unsigned rest[9] = {k->net_name.sequence, k->name.sequence,   k->klass.sequence,
                                  k->pid.sequence,      k->state.sequence,  k->wm_state.sequence,
                                  k->geometry.sequence, k->origin.sequence, k->attributes.sequence};
        for (unsigned s : rest) xcb_discard_reply(g_x11.conn, s);
        continue;
      }
      if (result == 0 && *count < max &&
          describe(windows[start + i], &r, atoms, managed, &out[*count])) {
        out[*count].focused = windows[start + i] == active ? 1 : 0;
        (*count)++;
      }
      free_replies(&r);
    }
  }
  free(cookies);
  free(windows);
  return result;
}

int x11_list_windows(vs_window_entry *windows, int max, int *count, int64_t deadline) {
  *count = 0;
  x11_guard guard;
  if (x11_lock(&guard, deadline) != 0) return VS_FAILED;
  int result = x11_connect_locked();
  if (result == 0) result = list_locked(windows, max, count);
  if (result != 0) *count = 0;
  return x11_unlock(&guard, result);
}
