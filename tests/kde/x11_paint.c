/* An X11 window with a known picture, for window captures through Xwayland:
 *
 *   x11_paint WIDTH HEIGHT
 *
 * maps a WIDTHxHEIGHT window whose pixel (x, y) is
 *   R = (3 * x) & 255, G = (5 * y) & 255, B = (x + y) & 255,
 * prints its id as "window 0x..." once the picture is drawn and the server
 * has taken it, redraws it on every Expose, and runs until its standard
 * input closes. */
#define _GNU_SOURCE
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>
#include <xcb/xcb.h>

static void die(const char *what) {
  fprintf(stderr, "x11_paint: %s\n", what);
  exit(1);
}

static void draw(xcb_connection_t *c, xcb_window_t window, xcb_gcontext_t gc,
                 const uint32_t *pixels, int width, int height) {
  // Strips, so that no request goes beyond the server's maximum length.
  int rows = 65536 / width;
  if (rows < 1) rows = 1;
  for (int y = 0; y < height; y += rows) {
    int n = height - y < rows ? height - y : rows;
    xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, window, gc, (uint16_t)width, (uint16_t)n, 0,
                  (int16_t)y, 0, 24, (uint32_t)(width * n * 4),
                  (const uint8_t *)(pixels + (size_t)y * (size_t)width));
  }
  free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), NULL));
}

int main(int argc, char **argv) {
  if (argc != 3) die("usage: x11_paint WIDTH HEIGHT");
  int width = atoi(argv[1]), height = atoi(argv[2]);
  if (width <= 0 || height <= 0 || width > 4096 || height > 4096) die("bad size");
  xcb_connection_t *c = xcb_connect(NULL, NULL);
  if (xcb_connection_has_error(c)) die("no X display");
  xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  if (screen->root_depth != 24) die("the root depth is not 24");

  uint32_t *pixels = malloc((size_t)width * (size_t)height * 4);
  if (!pixels) die("out of memory");
  for (int y = 0; y < height; y++)
    for (int x = 0; x < width; x++)
      pixels[(size_t)y * (size_t)width + (size_t)x] = ((uint32_t)(3 * x) & 255u) << 16 |
                                                      ((uint32_t)(5 * y) & 255u) << 8 |
                                                      ((uint32_t)(x + y) & 255u);

  xcb_window_t window = xcb_generate_id(c);
  uint32_t values[] = {screen->black_pixel,
                       XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_STRUCTURE_NOTIFY};
  xcb_create_window(c, 24, window, screen->root, 40, 40, (uint16_t)width, (uint16_t)height, 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                    XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, 9,
                      "x11_paint");
  xcb_gcontext_t gc = xcb_generate_id(c);
  xcb_create_gc(c, gc, window, 0, NULL);
  xcb_map_window(c, window);
  xcb_flush(c);

  // The window manager reparents the window into its frame and maps it; the
  // picture drawn before that may be lost, so the id is announced only after
  // a draw that follows both, and after half a second without events:
  // Xwayland moves what was drawn into the window's composited pixmap only
  // at its next frame.
  int announced = 0, mapped = 0, reparented = 0, drawn = 0;
  struct pollfd fds[2] = {{xcb_get_file_descriptor(c), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
  for (;;) {
    xcb_generic_event_t *event;
    while ((event = xcb_poll_for_event(c))) {
      int type = event->response_type & 0x7f;
      if (type == XCB_MAP_NOTIFY) mapped = 1;
      if (type == XCB_REPARENT_NOTIFY) reparented = 1;
      if (type == XCB_EXPOSE || type == XCB_MAP_NOTIFY) {
        draw(c, window, gc, pixels, width, height);
        drawn = mapped && reparented;
      }
      free(event);
    }
    if (xcb_connection_has_error(c)) die("connection lost");
    int ready = poll(fds, 2, drawn && !announced ? 500 : -1);
    if (ready == 0) {
      printf("window 0x%x\n", window);
      fflush(stdout);
      announced = 1;
      continue;
    }
    if (ready < 0) continue;
    if (fds[1].revents & (POLLIN | POLLHUP)) {
      char byte;
      if (read(STDIN_FILENO, &byte, 1) <= 0) break;
    }
  }
  free(pixels);
  xcb_disconnect(c);
  return 0;
}
