// The portal layer: for desktops whose compositor offers ordinary clients no
// screen copy (GNOME, KDE). The outputs still come from the Wayland protocols;
// each copy asks the portal for one picture of the whole desktop and cuts the
// rectangle from it.
//
// The picture stands for the outputs' bounding box. A scaled desktop hands
// over more pixels than the logical layout has (KDE at scale 2: 2560x1600 for
// 1280x800); the picture is then cut by linux_frame's rule, the same as the
// Wayland layer's. A picture of another shape (the outputs changed between
// the listing and the picture) fails the copy.
#include "linux/portal/portal_layer.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "linux/linux_frame.h"
#include "linux/portal/portal_capture.h"
#include "linux/wayland/wl_layer.h"

// Waits up to the choice's deadline: a portal the bus has to start first
// answers once it runs (the dispatch does not charge this wait to the
// export).
static int probe(int64_t deadline) {
  if (!portal_available(deadline)) {
    vs_set_last_error(PORTAL_ERROR_NO_PORTAL);
    return VS_FAILED;
  }
  return 0;
}

int portal_picture_fits(int64_t picture_width, int64_t picture_height, int64_t box_width,
                        int64_t box_height) {
  if (picture_width < box_width || picture_height < box_height) return 0;
  // The height the picture's width foretells, against the one it has.
  int64_t expected = (picture_width * box_height * 2 + box_width) / (box_width * 2);
  int64_t slack = (picture_width + box_width - 1) / box_width;
  int64_t off = picture_height - expected;
  return off <= slack && -off <= slack;
}

// The Screenshot portal takes no wish about the pointer: KDE's picture always
// shows it, GNOME's never does. The desktop in XDG_CURRENT_DESKTOP is the one
// whose backend the portal runs (a colon-separated list, most specific first:
// "ubuntu:GNOME", "GNOME-Classic:GNOME").
static int desktop_is_gnome(void) {
  const char *desktops = getenv("XDG_CURRENT_DESKTOP");
  if (!desktops) return 0;
  static const char k_gnome[] = "GNOME";
  const size_t length = sizeof k_gnome - 1;
  for (const char *p = desktops; *p;) {
    const char *end = strchr(p, ':');
    size_t n = end ? (size_t)(end - p) : strlen(p);
    if (n == length && strncasecmp(p, k_gnome, length) == 0) return 1;
    if (!end) break;
    p = end + 1;
  }
  return 0;
}

// A picture with the pointer asked for on a desktop whose portal leaves it
// out is refused before anything is asked: the picture without it would
// pass for what was wanted.
static int copy_screen(int x, int y, int width, int height, int pointer, vs_bitmap *bitmap,
                       int64_t deadline) {
  vs_clear_content(bitmap);
  if (pointer && desktop_is_gnome()) {
    vs_set_last_error(PORTAL_ERROR_NO_POINTER);
    return VS_FAILED;
  }
  vs_monitor_list *list = (vs_monitor_list *)malloc(sizeof *list);
  if (!list) {
    vs_set_last_error(PORTAL_ERROR_NO_MEMORY);
    return VS_FAILED;
  }
  // The listing may not eat the portal's window: the compositor's share of
  // the call ends PORTAL_TIMEOUT_MS before its deadline (the dispatch grants
  // a copy of this layer that much beyond the export's budget).
  int64_t listing = vs_now_ms() + VS_WAIT_MS;
  int64_t share_end = deadline - PORTAL_TIMEOUT_MS;
  int listed = vs_wl_list_monitors(list, listing < share_end ? listing : share_end);
  RECT box;
  if (listed == 0) vs_bounding_box(list, &box);
  free(list);
  if (listed != 0) return listed;

  // The request always goes out, with the whole window before it.
  int64_t answer_by = vs_now_ms() + PORTAL_TIMEOUT_MS;
  if (answer_by > deadline) answer_by = deadline;
  vs_frame frame;
  if (vs_frame_alloc(&frame, width, height) != 0) {
    vs_set_last_error(PORTAL_ERROR_NO_MEMORY);
    return VS_FAILED;
  }
  portal_picture picture;
  uint32_t code = 0;
  if (portal_take_picture(&picture, &code, answer_by) != 0) {
    vs_frame_free(&frame);
    vs_set_last_error(code);
    return VS_FAILED;
  }
  int64_t box_width = (int64_t)box.right - box.left;
  int64_t box_height = (int64_t)box.bottom - box.top;
  int result = 0;
  if (picture.width <= 0 || picture.height <= 0 ||
      !portal_picture_fits(picture.width, picture.height, box_width, box_height)) {
    vs_set_last_error(PORTAL_ERROR_PICTURE_MISMATCH);
    result = VS_FAILED;
  }
  // The part of the request the box covers; the rest stays black.
  vs_cut cut;
  if (result == 0 && vs_frame_cut(&box, x, y, width, height, &cut)) {
    vs_source source;
    memset(&source, 0, sizeof source);
    source.pixels = picture.pixels;
    source.width = (uint32_t)picture.width;
    source.height = (uint32_t)picture.height;
    source.stride = (uint32_t)picture.width * 4u;
    source.size = (uint64_t)source.stride * source.height;
    if (vs_sample(&source, (int)box_width, (int)box_height, cut.x, cut.y, cut.width, cut.height,
                  &frame, cut.dest_x, cut.dest_y) != 0) {
      vs_set_last_error(PORTAL_ERROR_BAD_PICTURE);
      result = VS_FAILED;
    }
  }
  free(picture.pixels);
  if (result != 0) {
    vs_frame_free(&frame);
    return result;
  }
  vs_frame_hold(&frame, bitmap);
  return 0;
}

// A copy lists the outputs (the Wayland layer's bound) and then waits for
// the portal's answer; what copy_wait_ms has beyond wait_ms is that window,
// which the dispatch grants beyond the export's budget.
const vs_layer vs_portal_layer = {
    .name = "portal",
    .wait_ms = VS_WAIT_MS,
    .copy_wait_ms = VS_WAIT_MS + PORTAL_TIMEOUT_MS,
    .probe = probe,
    .open = vs_wl_open_outputs,
    .list_monitors = vs_wl_list_monitors,
    .virtual_screen = vs_wl_virtual_screen,
    .copy_screen = copy_screen,
    .screen_is_blind = NULL,
    .window_rect = NULL,
    .print_window = NULL,
    .list_windows = NULL,
    .capture_window = NULL,
    .close = vs_wl_close,
};
