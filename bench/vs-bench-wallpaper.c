/* vs-bench-wallpaper: makes a PNG the background of the X screen's root
 * window, so every capture tool in the whole-process benchmark sees the same
 * picture, and exits.
 *
 *   vs-bench-wallpaper IMAGE.png
 *
 * The image goes into a pixmap that becomes the root's background; the root
 * keeps the pixmap alive after this client is gone, so the picture stays and
 * comes back on every expose. The image is placed at the top-left corner; a
 * screen larger than it shows black beyond. Needs a 24-bit TrueColor screen
 * with 32 bits per pixel (the rig's default).
 */
#include <stb/stb_image.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <xcb/xcb.h>

int main(int argc, char **argv) {
  int width, height, channels, y;
  unsigned char *rgba, *row_block;
  xcb_connection_t *c;
  xcb_screen_t *screen;
  xcb_pixmap_t pixmap;
  xcb_gcontext_t gc;
  uint32_t rows_per_request, max_bytes;

  if (argc != 2) {
    fprintf(stderr, "usage: vs-bench-wallpaper IMAGE.png\n");
    return 2;
  }
  rgba = stbi_load(argv[1], &width, &height, &channels, 4);
  if (!rgba) {
    fprintf(stderr, "vs-bench-wallpaper: cannot read '%s': %s\n", argv[1], stbi_failure_reason());
    return 1;
  }
  c = xcb_connect(NULL, NULL);
  if (xcb_connection_has_error(c)) {
    fprintf(stderr, "vs-bench-wallpaper: cannot open the display\n");
    return 1;
  }
  screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  if (screen->root_depth != 24) {
    fprintf(stderr, "vs-bench-wallpaper: the screen's depth is %d, not 24\n", screen->root_depth);
    return 1;
  }

  /* The X server takes B, G, R, X in memory order for depth 24. */
  for (y = 0; y < width * height; ++y) {
    unsigned char *p = rgba + (size_t)y * 4, r = p[0];
    p[0] = p[2];
    p[2] = r;
    p[3] = 0;
  }

  pixmap = xcb_generate_id(c);
  xcb_create_pixmap(c, 24, pixmap, screen->root, (uint16_t)width, (uint16_t)height);
  gc = xcb_generate_id(c);
  xcb_create_gc(c, gc, pixmap, 0, NULL);
  /* Bands of whole rows that fit one request, with room for its header. */
  max_bytes = xcb_get_maximum_request_length(c) * 4u;
  if (max_bytes > (1u << 22)) max_bytes = 1u << 22;
  rows_per_request = (max_bytes - 64) / ((uint32_t)width * 4u);
  if (rows_per_request < 1) {
    fprintf(stderr, "vs-bench-wallpaper: the image is too wide for one request\n");
    return 1;
  }
  for (y = 0; y < height; y += (int)rows_per_request) {
    int rows = height - y < (int)rows_per_request ? height - y : (int)rows_per_request;
    row_block = rgba + (size_t)y * width * 4;
    xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, gc, (uint16_t)width, (uint16_t)rows, 0,
                  (int16_t)y, 0, 24, (uint32_t)rows * (uint32_t)width * 4u, row_block);
  }
  xcb_change_window_attributes(c, screen->root, XCB_CW_BACK_PIXMAP, &pixmap);
  xcb_clear_area(c, 0, screen->root, 0, 0, 0, 0);
  xcb_free_gc(c, gc);
  xcb_free_pixmap(c, pixmap);
  /* A round trip: the picture is on the screen before this program says so. */
  free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), NULL));
  if (xcb_connection_has_error(c)) {
    fprintf(stderr, "vs-bench-wallpaper: the X server closed the connection\n");
    return 1;
  }
  xcb_disconnect(c);
  stbi_image_free(rgba);
  return 0;
}
