// Windows on X11: the window handle is the window id. Printing with flag 2
// reads the window's own pixmap where a compositing manager has redirected
// it (Composite's NameWindowPixmap), so parts that other windows cover come
// out whole; flag 0 reads the window itself, where only what shows is
// defined. The layer redirects nothing, so it leaves every window as it was.
#include <stdlib.h>
#include <xcb/composite.h>

#include "linux/x11/x11_internal.h"

// Deep enough for any real window tree; guards against a looping reply.
#define MAX_TREE_DEPTH 64

static int window_id(HWND hwnd, xcb_window_t *window) {
  uintptr_t value = (uintptr_t)hwnd;
  if (value == 0 || value > 0xffffffffu) {
    vs_set_last_error(VS_ERROR_BAD_WINDOW);
    return -1;
  }
  *window = (xcb_window_t)value;
  return 0;
}

// The window's outer rectangle (border included) in root coordinates. The
// translation comes first: it is the request that names a window, so an id
// that is no window gives BadWindow rather than BadDrawable.
static int window_rect_locked(xcb_window_t window, RECT *rect, int *border) {
  xcb_connection_t *c = g_x11.conn;
  xcb_get_geometry_cookie_t geometry_cookie = xcb_get_geometry(c, window);
  xcb_translate_coordinates_cookie_t origin_cookie =
      xcb_translate_coordinates(c, window, g_x11.screen->root, 0, 0);
  xcb_generic_error_t *error = NULL;
  xcb_translate_coordinates_reply_t *origin =
      (xcb_translate_coordinates_reply_t *)x11_reply_locked(origin_cookie.sequence, &error);
  if (!origin) {
    xcb_discard_reply(c, geometry_cookie.sequence);
    x11_fail_request(error);
    return -1;
  }
  xcb_get_geometry_reply_t *geometry =
      (xcb_get_geometry_reply_t *)x11_reply_locked(geometry_cookie.sequence, &error);
  if (!geometry) {
    free(origin);
    x11_fail_request(error);
    return -1;
  }
  int ok = origin->same_screen;
  int b = geometry->border_width;
  rect->left = origin->dst_x - b;
  rect->top = origin->dst_y - b;
  rect->right = origin->dst_x + geometry->width + b;
  rect->bottom = origin->dst_y + geometry->height + b;
  *border = b;
  free(geometry);
  free(origin);
  if (!ok) {
    vs_set_last_error(VS_ERROR_BAD_MATCH);
    return -1;
  }
  return 0;
}

// A window that is not viewable (unmapped, or inside one: minimized,
// withdrawn) has no pixels to give; copying the screen at its rectangle
// would be a picture of whatever is there, or black, taken for the window.
// So the rectangle step fails for it, with a code of its own. The state
// comes in the same round trip as the rectangle.
static int viewable_window_rect_locked(xcb_window_t window, RECT *rect) {
  xcb_connection_t *c = g_x11.conn;
  xcb_get_window_attributes_cookie_t cookie = xcb_get_window_attributes(c, window);
  int border = 0;
  if (window_rect_locked(window, rect, &border) != 0) {
    xcb_discard_reply(c, cookie.sequence);
    return -1;
  }
  xcb_generic_error_t *error = NULL;
  xcb_get_window_attributes_reply_t *attributes =
      (xcb_get_window_attributes_reply_t *)x11_reply_locked(cookie.sequence, &error);
  if (!attributes) {
    x11_fail_request(error);
    return -1;
  }
  int viewable = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
  free(attributes);
  if (!viewable) {
    vs_set_last_error(VS_ERROR_X11_NOT_VIEWABLE);
    return -1;
  }
  return 0;
}

int x11_window_rect(HWND hwnd, RECT *rect, int64_t deadline) {
  xcb_window_t window;
  if (window_id(hwnd, &window) != 0) return VS_FAILED;
  x11_guard guard;
  if (x11_lock(&guard, deadline) != 0) return VS_FAILED;
  int result = x11_connect_locked();
  if (result == 0) result = viewable_window_rect_locked(window, rect);
  return x11_unlock(&guard, result);
}

// Flag 0: the window's own image, border included. The server refuses (and
// the core then copies the screen) when the window is not viewable or
// reaches beyond the root.
static int print_window_locked(xcb_window_t window, vs_bitmap *bitmap) {
  RECT rect;
  int border = 0;
  if (window_rect_locked(window, &rect, &border) != 0) return -1;
  int width = rect.right - rect.left;
  int height = rect.bottom - rect.top;
  if (width > bitmap->width) width = bitmap->width;
  if (height > bitmap->height) height = bitmap->height;
  return x11_read_image_locked(window, 0, 0, -border, -border, width, height, bitmap, 0, 0);
}

// Flag 2: the pixmap of the window, or of the redirected ancestor that holds
// it (a frame of the window manager), named for the time of one read.
static int print_redirected_locked(xcb_window_t window, vs_bitmap *bitmap) {
  xcb_connection_t *c = g_x11.conn;
  if (!g_x11.has_composite) {
    vs_set_last_error(VS_ERROR_BAD_MATCH);
    return -1;
  }
  RECT rect;
  int border = 0;
  if (window_rect_locked(window, &rect, &border) != 0) return -1;

  xcb_pixmap_t pixmap = xcb_generate_id(c);
  xcb_window_t holder = window;
  for (int depth = 0;; depth++) {
    xcb_generic_error_t *error = NULL;
    int checked =
        x11_check_locked(xcb_composite_name_window_pixmap_checked(c, holder, pixmap), &error);
    if (checked == 0 && !error && !xcb_connection_has_error(c)) break;
    if (!error || error->error_code != VS_ERROR_BAD_MATCH || depth == MAX_TREE_DEPTH) {
      x11_fail_request(error);
      return -1;
    }
    free(error);
    error = NULL;
    xcb_query_tree_reply_t *tree =
        (xcb_query_tree_reply_t *)x11_reply_locked((xcb_query_tree(c, holder)).sequence, &error);
    if (!tree) {
      x11_fail_request(error);
      return -1;
    }
    xcb_window_t parent = tree->parent;
    free(tree);
    if (parent == XCB_NONE || parent == g_x11.screen->root) {
      vs_set_last_error(VS_ERROR_BAD_MATCH);  // not redirected: nothing to name
      return -1;
    }
    holder = parent;
  }

  // The pixmap holds the holder's outer rectangle, border included.
  int result = -1;
  xcb_get_window_attributes_cookie_t attributes_cookie = xcb_get_window_attributes(c, holder);
  xcb_get_geometry_cookie_t geometry_cookie = xcb_get_geometry(c, holder);
  xcb_translate_coordinates_cookie_t origin_cookie =
      xcb_translate_coordinates(c, holder, g_x11.screen->root, 0, 0);
  xcb_generic_error_t *errors[3] = {NULL, NULL, NULL};
  xcb_get_window_attributes_reply_t *attributes =
      (xcb_get_window_attributes_reply_t *)x11_reply_locked(attributes_cookie.sequence, &errors[0]);
  xcb_get_geometry_reply_t *geometry =
      (xcb_get_geometry_reply_t *)x11_reply_locked(geometry_cookie.sequence, &errors[1]);
  xcb_translate_coordinates_reply_t *origin =
      (xcb_translate_coordinates_reply_t *)x11_reply_locked(origin_cookie.sequence, &errors[2]);

  if (attributes && geometry && origin) {
    int b = geometry->border_width;
    int64_t pixmap_width = (int64_t)geometry->width + 2 * b;
    int64_t pixmap_height = (int64_t)geometry->height + 2 * b;
    // The window's outer rectangle within the pixmap, cut to the pixmap.
    int64_t left = (int64_t)rect.left - (origin->dst_x - b);
    int64_t top = (int64_t)rect.top - (origin->dst_y - b);
    int64_t width = rect.right - rect.left;
    int64_t height = rect.bottom - rect.top;
    int64_t right = left + (bitmap->width < width ? bitmap->width : width);
    int64_t bottom = top + (bitmap->height < height ? bitmap->height : height);
    int64_t cut_left = left > 0 ? left : 0;
    int64_t cut_top = top > 0 ? top : 0;
    int64_t cut_right = right < pixmap_width ? right : pixmap_width;
    int64_t cut_bottom = bottom < pixmap_height ? bottom : pixmap_height;
    if (cut_left < cut_right && cut_top < cut_bottom) {
      result = x11_read_image_locked(pixmap, attributes->visual, attributes->colormap,
                                     (int)cut_left, (int)cut_top, (int)(cut_right - cut_left),
                                     (int)(cut_bottom - cut_top), bitmap, (int)(cut_left - left),
                                     (int)(cut_top - top));
    } else {
      vs_set_last_error(VS_ERROR_BAD_MATCH);
    }
  } else {
    int failed = !attributes ? 0 : !geometry ? 1 : 2;
    x11_fail_request(errors[failed]);
    errors[failed] = NULL;
  }
  for (int i = 0; i < 3; i++) free(errors[i]);
  free(attributes);
  free(geometry);
  free(origin);
  xcb_free_pixmap(c, pixmap);
  xcb_flush(c);
  return result;
}

// The pointer, asked for, is drawn where it lies over the window's outer
// rectangle, whatever covers the window there on the screen.
int x11_print_window(HWND hwnd, vs_bitmap *bitmap, UINT flags, int pointer, int64_t deadline) {
  xcb_window_t window;
  if (window_id(hwnd, &window) != 0) return VS_FAILED;
  x11_guard guard;
  if (x11_lock(&guard, deadline) != 0) return VS_FAILED;
  int result = x11_connect_locked();
  if (result == 0 && pointer) result = x11_check_pointer_locked();
  if (result == 0) {
    result = flags == PW_RENDERFULLCONTENT ? print_redirected_locked(window, bitmap)
                                           : print_window_locked(window, bitmap);
  }
  if (result == 0 && pointer) {
    RECT rect;
    int border = 0;
    result = window_rect_locked(window, &rect, &border);
    if (result == 0) result = x11_draw_pointer_locked(bitmap, rect.left, rect.top);
    if (result != 0) vs_clear_content(bitmap);
  }
  return x11_unlock(&guard, result);
}
