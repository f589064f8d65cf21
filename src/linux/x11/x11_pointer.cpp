// The mouse pointer in a copy on X11. The server draws the pointer into no
// image it hands out, so the layer draws it: XFixes tells where the pointer
// is, where its hotspot lies in its image, and the image itself (A, R, G, B
// premultiplied), which is blended over the copy. The copy's pixels may be
// the shared segment or a reply, so the bitmap first takes a copy of its own.
#include <stdlib.h>
#include <xcb/xfixes.h>

#include "linux/x11/x11_internal.h"

int x11_check_pointer_locked(void) {
  if (!g_x11.has_xfixes) {
    vs_set_last_error(VS_ERROR_X11_NO_XFIXES);
    return -1;
  }
  return 0;
}

int x11_draw_pointer_locked(vs_bitmap *bitmap, int left, int top) {
  if (x11_check_pointer_locked() != 0) return -1;
  xcb_generic_error_t *error = NULL;
  xcb_xfixes_get_cursor_image_reply_t *image =
      (xcb_xfixes_get_cursor_image_reply_t *)x11_reply_locked(
          xcb_xfixes_get_cursor_image(g_x11.conn).sequence, &error);
  if (!image) {
    x11_fail_request(error);
    return -1;
  }
  // The image's size is the server's word; its pixels are what the reply
  // really carries.
  int width = image->width;
  int height = image->height;
  int length = xcb_xfixes_get_cursor_image_cursor_image_length(image);
  if (length < 0 || (int64_t)width * height > length) {
    free(image);
    vs_set_last_error(VS_ERROR_BAD_MATCH);
    return -1;
  }
  // Where the image's top-left pixel lands in the bitmap.
  int64_t x = (int64_t)image->x - image->xhot - left;
  int64_t y = (int64_t)image->y - image->yhot - top;
  int result = 0;
  if (width > 0 && height > 0 && x < bitmap->width && y < bitmap->height && x + width > 0 &&
      y + height > 0) {
    result = vs_own_content(bitmap);
    if (result == 0) {
      vs_blend_over(bitmap, (int)x, (int)y, xcb_xfixes_get_cursor_image_cursor_image(image), width,
                    height);
    }
  }
  free(image);
  return result;
}
