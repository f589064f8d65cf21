// Monitors on X11: RandR 1.5's active monitors in the server's order (as
// `xrandr --listmonitors` shows them), else Xinerama's screens, else the root
// window as one monitor. Listed afresh on every enumeration.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <xcb/randr.h>
#include <xcb/xinerama.h>

#include "linux/x11/x11_internal.h"

static void set_monitor(vs_monitor_list *list, int x, int y, int width, int height,
                        uint8_t primary) {
  vs_monitor *m = &list->monitors[list->count++];
  memset(m, 0, sizeof *m);
  m->rect.left = x;
  m->rect.top = y;
  m->rect.right = x + width;
  m->rect.bottom = y + height;
  m->primary = primary;
}

static const char *cached_atom_name(xcb_atom_t atom) {
  for (int i = 0; i < g_x11.atom_count; i++) {
    if (g_x11.atoms[i].atom == atom) return g_x11.atoms[i].name;
  }
  return NULL;
}

// Atom names never change while the connection lives, so each is asked once;
// the ones not known yet are asked for together, in one round trip.
static int name_monitors_locked(vs_monitor_list *list, const xcb_atom_t *atoms) {
  xcb_connection_t *c = g_x11.conn;
  xcb_get_atom_name_cookie_t cookies[VS_MAX_MONITORS];
  for (int i = 0; i < list->count; i++) {
    cookies[i].sequence = 0;
    if (!cached_atom_name(atoms[i])) cookies[i] = xcb_get_atom_name(c, atoms[i]);
  }
  int result = 0;
  for (int i = 0; i < list->count; i++) {
    if (!cookies[i].sequence) continue;
    xcb_generic_error_t *error = NULL;
    xcb_get_atom_name_reply_t *reply =
        (xcb_get_atom_name_reply_t *)x11_reply_locked(cookies[i].sequence, &error);
    if (!reply) {
      // A name that cannot be had leaves the monitor nameless; only a broken
      // connection fails the enumeration.
      if (error) {
        free(error);
        continue;
      }
      x11_fail_request(NULL);
      result = -1;
      continue;
    }
    if (g_x11.atom_count == X11_ATOM_CACHE_SIZE) g_x11.atom_count = 0;
    int slot = g_x11.atom_count++;
    int len = xcb_get_atom_name_name_length(reply);
    if (len > CCHDEVICENAME - 1) len = CCHDEVICENAME - 1;
    g_x11.atoms[slot].atom = atoms[i];
    memset(g_x11.atoms[slot].name, 0, sizeof g_x11.atoms[slot].name);
    memcpy(g_x11.atoms[slot].name, xcb_get_atom_name_name(reply), (size_t)len);
    free(reply);
  }
  for (int i = 0; i < list->count; i++) {
    const char *name = cached_atom_name(atoms[i]);
    if (name) memcpy(list->monitors[i].name, name, sizeof list->monitors[i].name);
  }
  return result;
}

// Fills list with the monitors of the moment, with the lock held. The root's
// size is read in the same round trip, which keeps the clipping of screen
// copies current at no cost.
static int list_monitors_locked(vs_monitor_list *list) {
  xcb_connection_t *c = g_x11.conn;
  xcb_window_t root = g_x11.screen->root;
  list->count = 0;

  xcb_get_geometry_cookie_t geometry_cookie = xcb_get_geometry(c, root);
  xcb_randr_get_monitors_cookie_t randr_cookie = {0};
  xcb_xinerama_is_active_cookie_t active_cookie = {0};
  xcb_xinerama_query_screens_cookie_t screens_cookie = {0};
  if (g_x11.has_randr15) randr_cookie = xcb_randr_get_monitors(c, root, 1);
  if (g_x11.has_xinerama) {
    active_cookie = xcb_xinerama_is_active(c);
    screens_cookie = xcb_xinerama_query_screens(c);
  }

  xcb_generic_error_t *error = NULL;
  xcb_get_geometry_reply_t *geometry =
      (xcb_get_geometry_reply_t *)x11_reply_locked(geometry_cookie.sequence, &error);
  if (!geometry) {
    x11_fail_request(error);
    if (randr_cookie.sequence) xcb_discard_reply(c, randr_cookie.sequence);
    if (active_cookie.sequence) xcb_discard_reply(c, active_cookie.sequence);
    if (screens_cookie.sequence) xcb_discard_reply(c, screens_cookie.sequence);
    return -1;
  }
  g_x11.root_width = geometry->width;
  g_x11.root_height = geometry->height;
  free(geometry);

  xcb_randr_get_monitors_reply_t *monitors = NULL;
  if (randr_cookie.sequence) {
    error = NULL;
    monitors = (xcb_randr_get_monitors_reply_t *)x11_reply_locked(randr_cookie.sequence, &error);
    free(error);
  }
  xcb_atom_t atoms[VS_MAX_MONITORS];
  if (monitors) {
    xcb_randr_monitor_info_iterator_t it = xcb_randr_get_monitors_monitors_iterator(monitors);
    for (; it.rem && list->count < VS_MAX_MONITORS; xcb_randr_monitor_info_next(&it)) {
      const xcb_randr_monitor_info_t *m = it.data;
      atoms[list->count] = m->name;
      set_monitor(list, m->x, m->y, m->width, m->height, m->primary ? 1 : 0);
    }
    free(monitors);
  }

  int xinerama_active = 0;
  if (active_cookie.sequence) {
    xcb_xinerama_is_active_reply_t *active =
        (xcb_xinerama_is_active_reply_t *)x11_reply_locked(active_cookie.sequence, NULL);
    xinerama_active = active && active->state;
    free(active);
  }
  xcb_xinerama_query_screens_reply_t *screens = NULL;
  if (screens_cookie.sequence)
    screens = (xcb_xinerama_query_screens_reply_t *)x11_reply_locked(screens_cookie.sequence, NULL);

  if (list->count > 0) {
    free(screens);
    int named = name_monitors_locked(list, atoms);
    if (named == 0 && !g_x11.xwayland_known) {
      g_x11.is_xwayland = (uint8_t)x11_names_say_xwayland(list);
      g_x11.xwayland_known = 1;
    }
    return named;
  }
  if (screens && xinerama_active) {
    xcb_xinerama_screen_info_iterator_t it =
        xcb_xinerama_query_screens_screen_info_iterator(screens);
    for (; it.rem && list->count < VS_MAX_MONITORS; xcb_xinerama_screen_info_next(&it)) {
      const xcb_xinerama_screen_info_t *s = it.data;
      int n = list->count;
      set_monitor(list, s->x_org, s->y_org, s->width, s->height, n == 0 ? 1 : 0);
      snprintf(list->monitors[n].name, sizeof list->monitors[n].name, "XINERAMA%d", n);
    }
  }
  free(screens);
  if (list->count > 0) return 0;

  if (xcb_connection_has_error(c)) {
    x11_fail_request(NULL);
    return -1;
  }
  set_monitor(list, 0, 0, g_x11.root_width, g_x11.root_height, 1);
  snprintf(list->monitors[0].name, sizeof list->monitors[0].name, "SCREEN");
  return 0;
}

int x11_names_say_xwayland(const vs_monitor_list *list) {
  for (int i = 0; i < list->count; i++) {
    if (strncmp(list->monitors[i].name, "XWAYLAND", 8) == 0) return 1;
  }
  return 0;
}

// A server without RandR 1.5 lists no RandR names: Xwayland always has it.
int x11_check_xwayland_locked(void) {
  if (g_x11.xwayland_known) return 0;
  if (g_x11.has_randr15) {
    vs_monitor_list list;
    if (list_monitors_locked(&list) != 0) return -1;
  }
  g_x11.xwayland_known = 1;
  return 0;
}

int x11_list_monitors(vs_monitor_list *list, int64_t deadline) {
  list->count = 0;
  x11_guard guard;
  if (x11_lock(&guard, deadline) != 0) return VS_FAILED;
  int result = x11_connect_locked();
  if (result == 0) result = list_monitors_locked(list);
  return x11_unlock(&guard, result);
}
