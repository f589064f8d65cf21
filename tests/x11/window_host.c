/* vs-window-host: top-level X windows of known content and titles for the
 * window list's checks. Each window's background is a pixmap holding
 * host_pattern, so the server repaints it whatever covers or uncovers it.
 * Once every window is mapped it prints one line per window:
 *
 *   0xID X Y WIDTH HEIGHT SEED
 *
 * (X, Y as asked for; a window manager may place them elsewhere) and then
 * reads commands from standard input until it ends: "iconify N" asks the
 * window manager to minimize window N, "focus N" gives it the input focus.
 *
 * The windows and their titles:
 *   0  _NET_WM_NAME in UTF-8 "Fenêtre ✓ eins", WM_CLASS, _NET_WM_PID
 *   1  WM_NAME only, Latin-1 "Café zwei"
 *   2  _NET_WM_NAME with malformed UTF-8 and 600 more bytes
 *   3, 4  both titled "twin" */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <xcb/xcb.h>

enum { WINDOWS = 5 };

static const struct {
  int x, y, width, height;
} k_places[WINDOWS] = {
    {40, 60, 200, 120}, {400, 60, 160, 100}, {100, 320, 60, 40},
    {300, 320, 50, 30}, {450, 320, 50, 30},
};

static xcb_connection_t *c;
static xcb_screen_t *screen;

static xcb_atom_t atom(const char *name) {
  xcb_intern_atom_reply_t *r =
      xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, (uint16_t)strlen(name), name), NULL);
  xcb_atom_t a = r ? r->atom : XCB_NONE;
  free(r);
  return a;
}

/* The colour of (x, y) in window seed's pattern, 0xRRGGBB; the checks
 * compute the same. */
static uint32_t host_pattern(int x, int y, int seed) {
  uint32_t r = (uint32_t)(x * 3 + seed * 50) & 255;
  uint32_t g = (uint32_t)(y * 5 + seed * 20) & 255;
  uint32_t b = (uint32_t)((x >> 2) ^ (y >> 2) ^ (seed * 7)) & 255;
  return r << 16 | g << 8 | b;
}

static xcb_pixmap_t pattern_pixmap(int width, int height, int seed) {
  xcb_pixmap_t pixmap = xcb_generate_id(c);
  xcb_gcontext_t gc = xcb_generate_id(c);
  uint32_t *row = (uint32_t *)malloc((size_t)width * 4);
  xcb_create_pixmap(c, screen->root_depth, pixmap, screen->root, (uint16_t)width, (uint16_t)height);
  xcb_create_gc(c, gc, pixmap, 0, NULL);
  for (int y = 0; y < height; y++) {
    for (int x = 0; x < width; x++) row[x] = host_pattern(x, y, seed);
    xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, gc, (uint16_t)width, 1, 0, (int16_t)y, 0,
                  screen->root_depth, (uint32_t)width * 4, (const uint8_t *)row);
  }
  free(row);
  xcb_free_gc(c, gc);
  return pixmap;
}

static void set_text(xcb_window_t w, xcb_atom_t property, xcb_atom_t type, const char *text,
                     size_t length) {
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, property, type, 8, (uint32_t)length, text);
}

int main(void) {
  int screen_number = 0;
  c = xcb_connect(NULL, &screen_number);
  if (xcb_connection_has_error(c)) {
    fprintf(stderr, "vs-window-host: no X server\n");
    return 1;
  }
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
  while (screen_number-- > 0) xcb_screen_next(&it);
  screen = it.data;
  xcb_atom_t utf8 = atom("UTF8_STRING");
  xcb_atom_t net_name = atom("_NET_WM_NAME");
  xcb_atom_t net_pid = atom("_NET_WM_PID");
  xcb_atom_t change_state = atom("WM_CHANGE_STATE");

  char hostile[700];
  memcpy(hostile, "bad\xff\xfe", 5);
  memset(hostile + 5, 'x', 600);
  xcb_window_t ids[WINDOWS];
  for (int i = 0; i < WINDOWS; i++) {
    int w = k_places[i].width, h = k_places[i].height;
    xcb_pixmap_t background = pattern_pixmap(w, h, i + 1);
    ids[i] = xcb_generate_id(c);
    uint32_t values[] = {background, XCB_EVENT_MASK_STRUCTURE_NOTIFY};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, ids[i], screen->root, (int16_t)k_places[i].x,
                      (int16_t)k_places[i].y, (uint16_t)w, (uint16_t)h, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                      XCB_CW_BACK_PIXMAP | XCB_CW_EVENT_MASK, values);
    xcb_free_pixmap(c, background);
    /* USPosition | USSize: a window manager keeps them where they are asked
     * to be, so none covers another. */
    uint32_t hints[18] = {1 | 2, (uint32_t)k_places[i].x, (uint32_t)k_places[i].y, (uint32_t)w,
                          (uint32_t)h};
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, ids[i], XCB_ATOM_WM_NORMAL_HINTS,
                        XCB_ATOM_WM_SIZE_HINTS, 32, 18, hints);
    switch (i) {
      case 0: {
        static const char title[] = "Fen\xc3\xaatre \xe2\x9c\x93 eins";
        static const char klass[] = "vs-window-host\0VsWindowHost";
        uint32_t pid = (uint32_t)getpid();
        set_text(ids[i], net_name, utf8, title, sizeof title - 1);
        set_text(ids[i], XCB_ATOM_WM_NAME, XCB_ATOM_STRING, "Fenetre eins", 12);
        set_text(ids[i], XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, klass, sizeof klass);
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, ids[i], net_pid, XCB_ATOM_CARDINAL, 32, 1,
                            &pid);
        break;
      }
      case 1:
        set_text(ids[i], XCB_ATOM_WM_NAME, XCB_ATOM_STRING, "Caf\xe9 zwei", 9);
        break;
      case 2:
        set_text(ids[i], net_name, utf8, hostile, 605);
        break;
      default:
        set_text(ids[i], net_name, utf8, "twin", 4);
        break;
    }
    xcb_map_window(c, ids[i]);
  }
  xcb_flush(c);

  /* Viewable (mapped by the window manager, where one runs) before the list
   * goes out. A window manager still starting may miss a map request: one
   * not viewable after a second is asked for again; after ten, give up. */
  for (int attempt = 0;; attempt++) {
    int viewable = 0;
    for (int i = 0; i < WINDOWS; i++) {
      xcb_get_window_attributes_reply_t *a =
          xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, ids[i]), NULL);
      if (a && a->map_state == XCB_MAP_STATE_VIEWABLE) {
        viewable++;
      } else if (attempt % 50 == 49) {
        xcb_map_window(c, ids[i]);
      }
      free(a);
    }
    if (viewable == WINDOWS) break;
    if (attempt == 500) {
      fprintf(stderr, "vs-window-host: the windows were never shown\n");
      return 1;
    }
    xcb_flush(c);
    usleep(20000);
  }
  xcb_set_input_focus(c, XCB_INPUT_FOCUS_POINTER_ROOT, ids[0], XCB_CURRENT_TIME);
  free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), NULL));
  for (int i = 0; i < WINDOWS; i++) {
    printf("0x%x %d %d %d %d %d\n", (unsigned)ids[i], k_places[i].x, k_places[i].y,
           k_places[i].width, k_places[i].height, i + 1);
  }
  fflush(stdout);

  char line[64];
  while (fgets(line, sizeof line, stdin)) {
    int n = -1;
    if (sscanf(line, "iconify %d", &n) == 1 && n >= 0 && n < WINDOWS) {
      xcb_client_message_event_t event;
      memset(&event, 0, sizeof event);
      event.response_type = XCB_CLIENT_MESSAGE;
      event.format = 32;
      event.window = ids[n];
      event.type = change_state;
      event.data.data32[0] = 3; /* IconicState */
      xcb_send_event(c, 0, screen->root,
                     XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                     (const char *)&event);
    } else if (sscanf(line, "focus %d", &n) == 1 && n >= 0 && n < WINDOWS) {
      xcb_set_input_focus(c, XCB_INPUT_FOCUS_POINTER_ROOT, ids[n], XCB_CURRENT_TIME);
    }
    free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), NULL));
    printf("done\n");
    fflush(stdout);
  }
  xcb_disconnect(c);
  return 0;
}
