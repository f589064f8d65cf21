/* vs-demo-windows: opens three X windows with known content for the demo and
 * the tests to capture, prints one line per window once all are drawn:
 *
 *   0xID X Y WIDTH HEIGHT NAME
 *
 * and then redraws them on every expose until it is killed or the X server
 * goes away. Positions default to the top-left and top-right of the screen;
 * "X,Y" arguments, one per window, override them.
 *
 * The content is plain filled rectangles in exact 24-bit colours, so a capture
 * can be checked pixel by pixel:
 *   bars     320x240  eight 40-pixel colour bars over rows 0..179, then a white
 *                     band with three lines of black dashes ("text")
 *   checker  256x192  32-pixel squares, orange at (0,0), navy next to it
 *   frames   200x200  nested 20-pixel frames: white, red, black, green, blue
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <xcb/xcb.h>

enum { WINDOW_COUNT = 3 };

typedef struct {
  const char *name;
  int x, y, width, height;
  xcb_window_t id;
  int drawn;
} demo_window;

static const uint32_t bar_colours[8] = {0xff0000, 0x00ff00, 0x0000ff, 0xffff00,
                                        0x00ffff, 0xff00ff, 0xffffff, 0x000000};
static const uint32_t frame_colours[5] = {0xffffff, 0xff0000, 0x000000, 0x00ff00, 0x0000ff};
static const int word_lengths[7] = {28, 44, 16, 36, 52, 20, 40};

static void fill(xcb_connection_t *c, xcb_window_t w, xcb_gcontext_t gc, uint32_t colour, int x,
                 int y, int width, int height) {
  xcb_rectangle_t r;
  r.x = (int16_t)x;
  r.y = (int16_t)y;
  r.width = (uint16_t)width;
  r.height = (uint16_t)height;
  xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &colour);
  xcb_poly_fill_rectangle(c, w, gc, 1, &r);
}

static void draw_bars(xcb_connection_t *c, xcb_window_t w, xcb_gcontext_t gc) {
  int i, line;
  for (i = 0; i < 8; ++i) fill(c, w, gc, bar_colours[i], i * 40, 0, 40, 180);
  fill(c, w, gc, 0xffffff, 0, 180, 320, 60);
  for (line = 0; line < 3; ++line) {
    int x = 12, word = line * 2;
    while (x + word_lengths[word % 7] <= 308) {
      fill(c, w, gc, 0x000000, x, 188 + line * 16, word_lengths[word % 7], 6);
      x += word_lengths[word % 7] + 8;
      ++word;
    }
  }
}

static void draw_checker(xcb_connection_t *c, xcb_window_t w, xcb_gcontext_t gc) {
  int row, column;
  for (row = 0; row < 6; ++row)
    for (column = 0; column < 8; ++column)
      fill(c, w, gc, (row + column) % 2 ? 0x000080 : 0xff8000, column * 32, row * 32, 32, 32);
}

static void draw_frames(xcb_connection_t *c, xcb_window_t w, xcb_gcontext_t gc) {
  int i;
  for (i = 0; i < 5; ++i)
    fill(c, w, gc, frame_colours[i], i * 20, i * 20, 200 - i * 40, 200 - i * 40);
}

static void draw(xcb_connection_t *c, demo_window *w, xcb_gcontext_t gc) {
  if (!strcmp(w->name, "bars")) draw_bars(c, w->id, gc);
  if (!strcmp(w->name, "checker")) draw_checker(c, w->id, gc);
  if (!strcmp(w->name, "frames")) draw_frames(c, w->id, gc);
}

int main(int argc, char **argv) {
  demo_window windows[WINDOW_COUNT] = {{"bars", 0, 0, 320, 240, 0, 0},
                                       {"checker", 0, 0, 256, 192, 0, 0},
                                       {"frames", 0, 0, 200, 200, 0, 0}};
  xcb_connection_t *c = xcb_connect(NULL, NULL);
  xcb_screen_t *screen;
  xcb_gcontext_t gc;
  xcb_generic_event_t *event;
  int i, announced = 0;

  if (xcb_connection_has_error(c)) {
    fprintf(stderr, "vs-demo-windows: cannot open the display\n");
    return 1;
  }
  screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;

  windows[0].x = 40;
  windows[0].y = 40;
  windows[1].x = screen->width_in_pixels - windows[1].width - 40;
  windows[1].y = 40;
  windows[2].x = 400;
  windows[2].y = 40;
  for (i = 1; i < argc && i <= WINDOW_COUNT; ++i)
    if (sscanf(argv[i], "%d,%d", &windows[i - 1].x, &windows[i - 1].y) != 2) {
      fprintf(stderr, "usage: vs-demo-windows [X,Y]...\n");
      return 2;
    }

  gc = xcb_generate_id(c);
  xcb_create_gc(c, gc, screen->root, 0, NULL);
  for (i = 0; i < WINDOW_COUNT; ++i) {
    demo_window *w = &windows[i];
    char title[64];
    /* No window manager on the rig: override-redirect keeps the position
     * exact and the window free of decorations on a real desktop too. */
    uint32_t values[3] = {screen->black_pixel, 1, XCB_EVENT_MASK_EXPOSURE};
    w->id = xcb_generate_id(c);
    xcb_create_window(c, XCB_COPY_FROM_PARENT, w->id, screen->root, (int16_t)w->x, (int16_t)w->y,
                      (uint16_t)w->width, (uint16_t)w->height, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
    snprintf(title, sizeof title, "vantorel demo: %s", w->name);
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, w->id, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                        (uint32_t)strlen(title), title);
    xcb_map_window(c, w->id);
  }
  xcb_flush(c);

  while ((event = xcb_wait_for_event(c)) != NULL) {
    if ((event->response_type & 0x7f) == XCB_EXPOSE) {
      xcb_expose_event_t *expose = (xcb_expose_event_t *)event;
      for (i = 0; i < WINDOW_COUNT; ++i)
        if (windows[i].id == expose->window && expose->count == 0) {
          draw(c, &windows[i], gc);
          windows[i].drawn = 1;
        }
      xcb_flush(c);
      if (!announced && windows[0].drawn && windows[1].drawn && windows[2].drawn) {
        /* A round trip, so the drawing has reached the screen before anyone
         * is told the windows are there. */
        free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), NULL));
        for (i = 0; i < WINDOW_COUNT; ++i)
          printf("0x%08x %d %d %d %d %s\n", windows[i].id, windows[i].x, windows[i].y,
                 windows[i].width, windows[i].height, windows[i].name);
        fflush(stdout);
        announced = 1;
      }
    }
    free(event);
  }
  xcb_disconnect(c);
  return 0;
}
