#include "portal_layer.h"

int portal_layer_available(void) { return 0; }

int portal_layer_open(void) {
  vs_set_last_error(VS_ERROR_PORTAL_MISSING);
  return -1;
}

int portal_layer_copy_screen(int x, int y, int width, int height, vs_bitmap *bitmap) {
  (void)x;
  (void)y;
  (void)width;
  (void)height;
  (void)bitmap;
  vs_set_last_error(VS_ERROR_PORTAL_MISSING);
  return -1;
}
