// The portal layer: for desktops whose compositor offers ordinary clients no
// screen copy (GNOME, KDE). The outputs still come from the Wayland protocols;
// each copy asks the portal for one picture of the whole desktop and cuts the
// rectangle from it.
//
// The picture stands for the outputs' bounding box. A scaled desktop hands
// over more pixels than the logical layout has (KDE at scale 2: 2560x1600 for
// 1280x800); the picture is then cut by the Wayland layer's rule: each
// logical pixel takes the picture's pixel under its centre.
#include "portal_layer.h"

#include <stdlib.h>
#include <string.h>

#include "portal_capture.h"
#include "wl_display.h"

int portal_layer_available(void) { return portal_available(); }

int portal_layer_open(void) { return wl_open_outputs(); }

static void bounding_box(const vs_monitor_list *list, RECT *box) {
  *box = list->monitors[0].rect;
  for (int i = 1; i < list->count; i++) {
    const RECT *r = &list->monitors[i].rect;
    if (r->left < box->left) box->left = r->left;
    if (r->top < box->top) box->top = r->top;
    if (r->right > box->right) box->right = r->right;
    if (r->bottom > box->bottom) box->bottom = r->bottom;
  }
}

// Fills the frame (width x height at x, y of the virtual screen) from the
// picture of the box; what lies outside the box reads opaque black.
static void cut_picture(const portal_picture *picture, const RECT *box, int x, int y, int width,
                        int height, uint32_t *frame) {
  int64_t box_width = (int64_t)box->right - box->left;
  int64_t box_height = (int64_t)box->bottom - box->top;
  const uint32_t *source = (const uint32_t *)(const void *)picture->pixels;
  int exact = box_width == picture->width && box_height == picture->height;
  for (int row = 0; row < height; row++) {
    uint32_t *out = frame + (size_t)row * (size_t)width;
    int64_t ly = (int64_t)y + row - box->top;
    if (ly < 0 || ly >= box_height) {
      for (int column = 0; column < width; column++) out[column] = 0xff000000u;
      continue;
    }
    int64_t py = exact ? ly : (2 * ly + 1) * picture->height / (2 * box_height);
    const uint32_t *line = source + (size_t)py * (size_t)picture->width;
    for (int column = 0; column < width; column++) {
      int64_t lx = (int64_t)x + column - box->left;
      if (lx < 0 || lx >= box_width) {
        out[column] = 0xff000000u;
        continue;
      }
      int64_t px = exact ? lx : (2 * lx + 1) * picture->width / (2 * box_width);
      out[column] = line[px] | 0xff000000u;
    }
  }
}

int portal_layer_copy_screen(int x, int y, int width, int height, vs_bitmap *bitmap) {
  vs_clear_content(bitmap);
  vs_monitor_list *list = (vs_monitor_list *)malloc(sizeof *list);
  if (!list) {
    vs_set_last_error(PORTAL_ERROR_NO_MEMORY);
    return -1;
  }
  int listed = wl_list_monitors(list);
  RECT box;
  if (listed == 0) bounding_box(list, &box);
  free(list);
  if (listed != 0) return -1;

  uint64_t count = (uint64_t)width * (uint64_t)height;
  uint32_t *frame = count <= SIZE_MAX / 4 ? (uint32_t *)malloc((size_t)count * 4) : NULL;
  if (!frame) {
    vs_set_last_error(PORTAL_ERROR_NO_MEMORY);
    return -1;
  }
  portal_picture picture;
  uint32_t code = 0;
  if (portal_take_picture(&picture, &code) != 0) {
    free(frame);
    vs_set_last_error(code);
    return -1;
  }
  cut_picture(&picture, &box, x, y, width, height, frame);
  free(picture.pixels);

  vs_hold_frame(bitmap, frame, width, height);
  return 0;
}
