#include "fake_compositor.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wayland-server.h>

#include <thread>

#include "child_guard.h"
#include "ext-foreign-toplevel-list-v1-server-protocol.h"
#include "ext-image-capture-source-v1-server-protocol.h"
#include "ext-image-copy-capture-v1-server-protocol.h"
#include "wlr-foreign-toplevel-management-unstable-v1-server-protocol.h"
#include "wlr-screencopy-unstable-v1-server-protocol.h"

uint32_t fake_pixel(int index, int x, int y) {
  return (uint32_t)(0x40 * (index + 1)) << 16 | (uint32_t)(y & 0xff) << 8 | (uint32_t)(x & 0xff);
}

namespace {

struct server {
  const fake_script *script;
  fake_log *log;
  wl_display *display;
};

server g_server;

struct session_data {
  int output;  // index into the script's outputs
  wl_resource *resource;
  fake_batch latest;  // the last batch sent
  int frames;         // frames made so far
};

struct frame_data {
  session_data *session;
  wl_resource *buffer;
  bool captured;
};

void destroy_resource(wl_client *client, wl_resource *resource) {
  (void)client;
  wl_resource_destroy(resource);
}

// --- wl_output

void output_release(wl_client *client, wl_resource *resource) {
  destroy_resource(client, resource);
}

const struct wl_output_interface k_output_impl = {output_release};

void bind_output(wl_client *client, void *data, uint32_t version, uint32_t id) {
  int index = (int)(intptr_t)data;
  const fake_output &o = g_server.script->outputs[index];
  wl_resource *r = wl_resource_create(client, &wl_output_interface, (int)version, id);
  wl_resource_set_implementation(r, &k_output_impl, data, nullptr);
  wl_output_send_geometry(r, o.x, o.y, 300, 200, WL_OUTPUT_SUBPIXEL_UNKNOWN, "fake", "fake",
                          WL_OUTPUT_TRANSFORM_NORMAL);
  wl_output_send_mode(r, WL_OUTPUT_MODE_CURRENT, o.width, o.height, 60000);
  if (version >= 2) wl_output_send_scale(r, 1);
  if (version >= 4) {
    char name[32];
    snprintf(name, sizeof name, "FAKE-%d", index + 1);
    wl_output_send_name(r, name);
  }
  if (version >= 2) wl_output_send_done(r);
}

// --- image capture sources

const struct ext_image_capture_source_v1_interface k_source_impl = {destroy_resource};

void create_source(wl_client *client, wl_resource *resource, uint32_t id, wl_resource *output) {
  wl_resource *r = wl_resource_create(client, &ext_image_capture_source_v1_interface,
                                      wl_resource_get_version(resource), id);
  wl_resource_set_implementation(r, &k_source_impl, wl_resource_get_user_data(output), nullptr);
}

const struct ext_output_image_capture_source_manager_v1_interface k_sources_impl = {
    create_source, destroy_resource};

void bind_sources(wl_client *client, void *data, uint32_t version, uint32_t id) {
  (void)data;
  wl_resource *r = wl_resource_create(client, &ext_output_image_capture_source_manager_v1_interface,
                                      (int)version, id);
  wl_resource_set_implementation(r, &k_sources_impl, nullptr, nullptr);
}

// --- windows: the toplevel list and the window source

void handle_destroyed(wl_resource *resource) {
  (void)resource;
  g_server.log->handles_alive--;
}

const struct ext_foreign_toplevel_handle_v1_interface k_handle_impl = {destroy_resource};

void list_stop(wl_client *client, wl_resource *resource) {
  (void)client;
  g_server.log->lists_stopped++;
  if (!g_server.script->list_never_finishes) ext_foreign_toplevel_list_v1_send_finished(resource);
}

const struct ext_foreign_toplevel_list_v1_interface k_list_impl = {list_stop, destroy_resource};

void bind_toplevel_list(wl_client *client, void *data, uint32_t version, uint32_t id) {
  (void)data;
  const fake_script &script = *g_server.script;
  wl_resource *list =
      wl_resource_create(client, &ext_foreign_toplevel_list_v1_interface, (int)version, id);
  wl_resource_set_implementation(list, &k_list_impl, nullptr, nullptr);
  for (size_t i = 0; i < script.toplevels.size(); i++) {
    const fake_toplevel &t = script.toplevels[i];
    wl_resource *h =
        wl_resource_create(client, &ext_foreign_toplevel_handle_v1_interface, (int)version, 0);
    wl_resource_set_implementation(h, &k_handle_impl, (void *)(intptr_t)(script.outputs.size() + i),
                                   handle_destroyed);
    g_server.log->handles_alive++;
    ext_foreign_toplevel_list_v1_send_toplevel(list, h);
    ext_foreign_toplevel_handle_v1_send_identifier(h, t.identifier.c_str());
    ext_foreign_toplevel_handle_v1_send_title(h, t.title.c_str());
    ext_foreign_toplevel_handle_v1_send_app_id(h, t.app_id.c_str());
    ext_foreign_toplevel_handle_v1_send_done(h);
    if (t.closed) ext_foreign_toplevel_handle_v1_send_closed(h);
  }
}

// wlroots' toplevel management: every window with its state, then done.
void wlr_handle_request(wl_client *client, wl_resource *resource) {
  (void)client;
  (void)resource;
}

void wlr_handle_activate(wl_client *client, wl_resource *resource, wl_resource *seat) {
  (void)client;
  (void)resource;
  (void)seat;
}

void wlr_handle_set_rectangle(wl_client *client, wl_resource *resource, wl_resource *surface,
                              int32_t x, int32_t y, int32_t w, int32_t h) {
  (void)client;
  (void)resource;
  (void)surface;
  (void)x;
  (void)y;
  (void)w;
  (void)h;
}

const struct zwlr_foreign_toplevel_handle_v1_interface k_wlr_handle_impl = {
    wlr_handle_request,  wlr_handle_request, wlr_handle_request,       wlr_handle_request,
    wlr_handle_activate, wlr_handle_request, wlr_handle_set_rectangle, destroy_resource};

void wlr_manager_stop(wl_client *client, wl_resource *resource) {
  (void)client;
  zwlr_foreign_toplevel_manager_v1_send_finished(resource);
  wl_resource_destroy(resource);
}

const struct zwlr_foreign_toplevel_manager_v1_interface k_wlr_manager_impl = {wlr_manager_stop};

void bind_wlr_toplevels(wl_client *client, void *data, uint32_t version, uint32_t id) {
  (void)data;
  wl_resource *manager =
      wl_resource_create(client, &zwlr_foreign_toplevel_manager_v1_interface, (int)version, id);
  wl_resource_set_implementation(manager, &k_wlr_manager_impl, nullptr, nullptr);
  for (const fake_toplevel &t : g_server.script->toplevels) {
    wl_resource *h =
        wl_resource_create(client, &zwlr_foreign_toplevel_handle_v1_interface, (int)version, 0);
    wl_resource_set_implementation(h, &k_wlr_handle_impl, nullptr, handle_destroyed);
    g_server.log->handles_alive++;
    zwlr_foreign_toplevel_manager_v1_send_toplevel(manager, h);
    zwlr_foreign_toplevel_handle_v1_send_title(h, t.title.c_str());
    zwlr_foreign_toplevel_handle_v1_send_app_id(h, t.app_id.c_str());
    wl_array states;
    wl_array_init(&states);
    if (t.activated) {
      *(uint32_t *)wl_array_add(&states, sizeof(uint32_t)) =
          ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_ACTIVATED;
    }
    if (t.minimized) {
      *(uint32_t *)wl_array_add(&states, sizeof(uint32_t)) =
          ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_MINIMIZED;
    }
    zwlr_foreign_toplevel_handle_v1_send_state(h, &states);
    wl_array_release(&states);
    zwlr_foreign_toplevel_handle_v1_send_done(h);
    if (t.closed) zwlr_foreign_toplevel_handle_v1_send_closed(h);
  }
}

void create_window_source(wl_client *client, wl_resource *resource, uint32_t id,
                          wl_resource *handle) {
  wl_resource *r = wl_resource_create(client, &ext_image_capture_source_v1_interface,
                                      wl_resource_get_version(resource), id);
  wl_resource_set_implementation(r, &k_source_impl, wl_resource_get_user_data(handle), nullptr);
}

const struct ext_foreign_toplevel_image_capture_source_manager_v1_interface k_window_sources_impl =
    {create_window_source, destroy_resource};

void bind_window_sources(wl_client *client, void *data, uint32_t version, uint32_t id) {
  (void)data;
  wl_resource *r = wl_resource_create(
      client, &ext_foreign_toplevel_image_capture_source_manager_v1_interface, (int)version, id);
  wl_resource_set_implementation(r, &k_window_sources_impl, nullptr, nullptr);
}

// --- frames

// A source's size: an output's mode, or a window's (past the outputs).
void source_size(int index, int32_t *width, int32_t *height) {
  const fake_script &script = *g_server.script;
  if (index < (int)script.outputs.size()) {
    *width = script.outputs[(size_t)index].width;
    *height = script.outputs[(size_t)index].height;
  } else {
    const fake_toplevel &t = script.toplevels[(size_t)index - script.outputs.size()];
    *width = t.width;
    *height = t.height;
  }
}

void send_batch(session_data *s, const fake_batch &b) {
  int32_t width = 0, height = 0;
  source_size(s->output, &width, &height);
  fake_batch sent = b;
  if (sent.width == 0 && sent.height == 0) {
    sent.width = (uint32_t)width;
    sent.height = (uint32_t)height;
  }
  for (uint32_t format : sent.formats) {
    ext_image_copy_capture_session_v1_send_shm_format(s->resource, format);
  }
  if (sent.has_size) {
    ext_image_copy_capture_session_v1_send_buffer_size(s->resource, sent.width, sent.height);
  }
  ext_image_copy_capture_session_v1_send_done(s->resource);
  s->latest = sent;
}

// Whether the buffer keeps the last batch: its size, one of its formats.
bool buffer_fits(wl_shm_buffer *shm, const fake_batch &b) {
  if (!shm || !b.has_size) return false;
  if ((uint32_t)wl_shm_buffer_get_width(shm) != b.width ||
      (uint32_t)wl_shm_buffer_get_height(shm) != b.height) {
    return false;
  }
  for (uint32_t format : b.formats) {
    if (wl_shm_buffer_get_format(shm) == format) return true;
  }
  return false;
}

void fill(wl_shm_buffer *shm, int index) {
  wl_shm_buffer_begin_access(shm);
  uint8_t *data = (uint8_t *)wl_shm_buffer_get_data(shm);
  int32_t stride = wl_shm_buffer_get_stride(shm);
  bool swap = wl_shm_buffer_get_format(shm) == FAKE_XBGR8888;
  for (int y = 0; y < wl_shm_buffer_get_height(shm); y++) {
    uint32_t *row = (uint32_t *)(void *)(data + (size_t)y * (size_t)stride);
    for (int x = 0; x < wl_shm_buffer_get_width(shm); x++) {
      uint32_t rgb = fake_pixel(index, x, y);
      if (swap) rgb = (rgb & 0x00ff00u) | (rgb >> 16 & 0xffu) | (rgb & 0xffu) << 16;
      row[x] = 0xff000000u | rgb;
    }
  }
  wl_shm_buffer_end_access(shm);
}

void frame_attach(wl_client *client, wl_resource *resource, wl_resource *buffer) {
  (void)client;
  ((frame_data *)wl_resource_get_user_data(resource))->buffer = buffer;
}

void frame_damage(wl_client *client, wl_resource *resource, int32_t x, int32_t y, int32_t w,
                  int32_t h) {
  (void)client;
  (void)resource;
  (void)x;
  (void)y;
  (void)w;
  (void)h;
}

fake_outcome outcome_of(const session_data *s) {
  const fake_script &script = *g_server.script;
  size_t n = (size_t)s->frames - 1;
  return script.frames[n < script.frames.size() ? n : script.frames.size() - 1];
}

void frame_capture(wl_client *client, wl_resource *resource) {
  (void)client;
  frame_data *f = (frame_data *)wl_resource_get_user_data(resource);
  session_data *s = f->session;
  const fake_script &script = *g_server.script;
  g_server.log->captures++;
  if (g_server.log->withhold > 0) {
    g_server.log->withhold--;
    return;
  }
  fake_outcome outcome = outcome_of(s);
  wl_shm_buffer *shm = f->buffer ? wl_shm_buffer_get(f->buffer) : nullptr;
  fake_batch fitting = s->latest;
  if (outcome == FAKE_READY_RESIZED) {
    // New constraints while the frame is under way: they are for the next
    // frame, this one is copied into the buffer it has.
    for (const fake_batch &b : script.refusal) send_batch(s, b);
  }
  switch (outcome) {
    case FAKE_READY:
    case FAKE_READY_RESIZED:
      if (!buffer_fits(shm, fitting)) {
        g_server.log->mismatched_buffers++;
        ext_image_copy_capture_frame_v1_send_failed(
            resource, EXT_IMAGE_COPY_CAPTURE_FRAME_V1_FAILURE_REASON_BUFFER_CONSTRAINTS);
        return;
      }
      fill(shm, s->output);
      ext_image_copy_capture_frame_v1_send_damage(resource, 0, 0, wl_shm_buffer_get_width(shm),
                                                  wl_shm_buffer_get_height(shm));
      ext_image_copy_capture_frame_v1_send_transform(resource, script.transform);
      ext_image_copy_capture_frame_v1_send_presentation_time(resource, 0, 1, 2);
      ext_image_copy_capture_frame_v1_send_ready(resource);
      return;
    case FAKE_FAIL_CONSTRAINTS:
      for (const fake_batch &b : script.refusal) send_batch(s, b);
      ext_image_copy_capture_frame_v1_send_failed(
          resource, EXT_IMAGE_COPY_CAPTURE_FRAME_V1_FAILURE_REASON_BUFFER_CONSTRAINTS);
      return;
    case FAKE_FAIL_STOPPED:
      ext_image_copy_capture_frame_v1_send_failed(
          resource, EXT_IMAGE_COPY_CAPTURE_FRAME_V1_FAILURE_REASON_STOPPED);
      return;
    case FAKE_FAIL_UNKNOWN:
      ext_image_copy_capture_frame_v1_send_failed(
          resource, EXT_IMAGE_COPY_CAPTURE_FRAME_V1_FAILURE_REASON_UNKNOWN);
      return;
    case FAKE_STOP_SESSION:
      ext_image_copy_capture_session_v1_send_stopped(s->resource);
      ext_image_copy_capture_frame_v1_send_failed(
          resource, EXT_IMAGE_COPY_CAPTURE_FRAME_V1_FAILURE_REASON_STOPPED);
      return;
    case FAKE_SILENT:
    case FAKE_EARLY_READY:
    case FAKE_EARLY_FAILED:
      return;
  }
}

const struct ext_image_copy_capture_frame_v1_interface k_frame_impl = {
    destroy_resource, frame_attach, frame_damage, frame_capture};

void free_frame(wl_resource *resource) { delete (frame_data *)wl_resource_get_user_data(resource); }

// --- sessions

void session_create_frame(wl_client *client, wl_resource *resource, uint32_t id) {
  session_data *s = (session_data *)wl_resource_get_user_data(resource);
  s->frames++;
  g_server.log->frames++;
  wl_resource *r = wl_resource_create(client, &ext_image_copy_capture_frame_v1_interface,
                                      wl_resource_get_version(resource), id);
  wl_resource_set_implementation(r, &k_frame_impl, new frame_data{s, nullptr, false}, free_frame);
  // The answer before the question: nothing was attached or captured yet.
  if (outcome_of(s) == FAKE_EARLY_READY) ext_image_copy_capture_frame_v1_send_ready(r);
  if (outcome_of(s) == FAKE_EARLY_FAILED) {
    ext_image_copy_capture_frame_v1_send_failed(
        r, EXT_IMAGE_COPY_CAPTURE_FRAME_V1_FAILURE_REASON_UNKNOWN);
  }
}

const struct ext_image_copy_capture_session_v1_interface k_session_impl = {session_create_frame,
                                                                           destroy_resource};

void free_session(wl_resource *resource) {
  delete (session_data *)wl_resource_get_user_data(resource);
}

void create_session(wl_client *client, wl_resource *resource, uint32_t id, wl_resource *source,
                    uint32_t options) {
  (void)options;
  g_server.log->sessions++;
  wl_resource *r = wl_resource_create(client, &ext_image_copy_capture_session_v1_interface,
                                      wl_resource_get_version(resource), id);
  session_data *s = new session_data{};
  s->output = (int)(intptr_t)wl_resource_get_user_data(source);
  s->resource = r;
  wl_resource_set_implementation(r, &k_session_impl, s, free_session);
  if (g_server.script->session_silent) return;
  for (const fake_batch &b : g_server.script->batches) send_batch(s, b);
}

void create_cursor_session(wl_client *client, wl_resource *resource, uint32_t id,
                           wl_resource *source, wl_resource *pointer) {
  (void)client;
  (void)id;
  (void)source;
  (void)pointer;
  wl_resource_post_error(resource, 0, "no cursor sessions here");
}

const struct ext_image_copy_capture_manager_v1_interface k_manager_impl = {
    create_session, create_cursor_session, destroy_resource};

void bind_manager(wl_client *client, void *data, uint32_t version, uint32_t id) {
  (void)data;
  wl_resource *r =
      wl_resource_create(client, &ext_image_copy_capture_manager_v1_interface, (int)version, id);
  wl_resource_set_implementation(r, &k_manager_impl, nullptr, nullptr);
}

// --- wlroots' screen copy, as the script says

// The region a wlroots frame copies, in the output's pixels.
struct wlr_frame_data {
  int output;
  int32_t x, y, width, height;
};

void wlr_answer(wl_resource *resource) {
  zwlr_screencopy_frame_v1_send_flags(resource, 0);
  zwlr_screencopy_frame_v1_send_ready(resource, 0, 1, 0);
}

void wlr_frame_copy(wl_client *client, wl_resource *resource, wl_resource *buffer) {
  (void)client;
  const wlr_frame_data *f = (const wlr_frame_data *)wl_resource_get_user_data(resource);
  wl_shm_buffer *shm = buffer ? wl_shm_buffer_get(buffer) : nullptr;
  switch (g_server.script->wlr_copy) {
    case FAKE_WLR_EARLY_READY:
      return;
    case FAKE_WLR_FAIL:
      zwlr_screencopy_frame_v1_send_failed(resource);
      return;
    case FAKE_WLR_COPY:
      if (!shm || wl_shm_buffer_get_width(shm) != f->width ||
          wl_shm_buffer_get_height(shm) != f->height) {
        zwlr_screencopy_frame_v1_send_failed(resource);
        return;
      }
      wl_shm_buffer_begin_access(shm);
      for (int32_t v = 0; v < f->height; v++) {
        uint8_t *data = (uint8_t *)wl_shm_buffer_get_data(shm);
        uint32_t *row = (uint32_t *)(void *)(data + (size_t)v * wl_shm_buffer_get_stride(shm));
        for (int32_t u = 0; u < f->width; u++) {
          row[u] = 0xff000000u | fake_pixel(f->output, f->x + u, f->y + v);
        }
      }
      wl_shm_buffer_end_access(shm);
      wlr_answer(resource);
      return;
  }
}

const struct zwlr_screencopy_frame_v1_interface k_wlr_frame_impl = {
    wlr_frame_copy, destroy_resource, wlr_frame_copy};

void free_wlr_frame(wl_resource *resource) {
  delete (wlr_frame_data *)wl_resource_get_user_data(resource);
}

void wlr_frame(wl_client *client, wl_resource *resource, uint32_t id, wl_resource *output,
               int32_t x, int32_t y, int32_t w, int32_t h) {
  g_server.log->wlr_requests++;
  int index = (int)(intptr_t)wl_resource_get_user_data(output);
  const fake_output &o = g_server.script->outputs[index];
  if (w < 0) {
    x = 0;
    y = 0;
    w = o.width;
    h = o.height;
  }
  wl_resource *r = wl_resource_create(client, &zwlr_screencopy_frame_v1_interface,
                                      wl_resource_get_version(resource), id);
  wl_resource_set_implementation(r, &k_wlr_frame_impl, new wlr_frame_data{index, x, y, w, h},
                                 free_wlr_frame);
  zwlr_screencopy_frame_v1_send_buffer(r, FAKE_XRGB8888, (uint32_t)w, (uint32_t)h, (uint32_t)w * 4);
  if (wl_resource_get_version(r) >= 3) zwlr_screencopy_frame_v1_send_buffer_done(r);
  // The answer before the question: the buffer is not even made yet.
  if (g_server.script->wlr_copy == FAKE_WLR_EARLY_READY) wlr_answer(r);
}

void wlr_capture_output(wl_client *client, wl_resource *resource, uint32_t id, int32_t cursor,
                        wl_resource *output) {
  (void)cursor;
  wlr_frame(client, resource, id, output, 0, 0, -1, -1);
}

void wlr_capture_region(wl_client *client, wl_resource *resource, uint32_t id, int32_t cursor,
                        wl_resource *output, int32_t x, int32_t y, int32_t w, int32_t h) {
  (void)cursor;
  wlr_frame(client, resource, id, output, x, y, w, h);
}

const struct zwlr_screencopy_manager_v1_interface k_wlr_impl = {
    wlr_capture_output, wlr_capture_region, destroy_resource};

void bind_wlr(wl_client *client, void *data, uint32_t version, uint32_t id) {
  (void)data;
  wl_resource *r =
      wl_resource_create(client, &zwlr_screencopy_manager_v1_interface, (int)version, id);
  wl_resource_set_implementation(r, &k_wlr_impl, nullptr, nullptr);
}

void client_created(wl_listener *listener, void *data) {
  (void)listener;
  (void)data;
  g_server.log->clients++;
}

wl_listener g_client_listener = {{nullptr, nullptr}, client_created};

}  // namespace

std::string run_with_compositor(const fake_script &script, fake_log *log,
                                const std::function<std::string()> &body) {
  char dir[] = "/tmp/vs-fake-wl.XXXXXX";
  if (!mkdtemp(dir)) return "mkdtemp failed";
  setenv("XDG_RUNTIME_DIR", dir, 1);
  setenv("WAYLAND_DISPLAY", script.socket, 1);
  unsetenv("WAYLAND_SOCKET");
  unsetenv("DISPLAY");
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  unsetenv("VANTOREL_SCREENSHOT_BACKEND");
  g_server.script = &script;
  g_server.log = log;
  g_server.display = wl_display_create();
  if (!g_server.display || wl_display_add_socket(g_server.display, script.socket) != 0) {
    return "the fake compositor has no socket";
  }
  wl_display_add_client_created_listener(g_server.display, &g_client_listener);
  wl_display_init_shm(g_server.display);
  wl_display_add_shm_format(g_server.display, FAKE_XBGR8888);
  wl_display_add_shm_format(g_server.display, FAKE_RGB565);
  for (size_t i = 0; i < script.outputs.size(); i++) {
    wl_global_create(g_server.display, &wl_output_interface, 4, (void *)(intptr_t)i, bind_output);
  }
  if (script.ext) {
    wl_global_create(g_server.display, &ext_image_copy_capture_manager_v1_interface, 1, nullptr,
                     bind_manager);
    wl_global_create(g_server.display, &ext_output_image_capture_source_manager_v1_interface, 1,
                     nullptr, bind_sources);
  }
  if (script.wlr) {
    wl_global_create(g_server.display, &zwlr_screencopy_manager_v1_interface, 3, nullptr, bind_wlr);
  }
  if (script.toplevel_list) {
    wl_global_create(g_server.display, &ext_foreign_toplevel_list_v1_interface, 1, nullptr,
                     bind_toplevel_list);
  }
  if (script.wlr_toplevels) {
    wl_global_create(g_server.display, &zwlr_foreign_toplevel_manager_v1_interface, 1, nullptr,
                     bind_wlr_toplevels);
  }
  if (script.toplevel_sources) {
    wl_global_create(g_server.display,
                     &ext_foreign_toplevel_image_capture_source_manager_v1_interface, 1, nullptr,
                     bind_window_sources);
  }
  // The child ends with the test: the thread is never joined.
  std::thread([] {
    wl_event_loop *loop = wl_display_get_event_loop(g_server.display);
    for (;;) {
      wl_event_loop_dispatch(loop, 50);
      wl_display_flush_clients(g_server.display);
    }
  }).detach();
  std::string text = body();
  std::string socket = std::string(dir) + "/" + script.socket;
  unlink(socket.c_str());
  unlink((socket + ".lock").c_str());
  rmdir(dir);
  return text;
}

std::string run_in_child(const std::function<std::string()> &body, int timeout_s) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return "pipe failed";
  fflush(nullptr);
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) return "fork failed";
  if (pid == 0) {
    child_dies_with_parent(parent);
    close(pipe_fds[0]);
    alarm((unsigned)timeout_s);
    std::string text = body();
    if (write(pipe_fds[1], text.data(), text.size()) < 0) _exit(3);
    _exit(0);
  }
  guard_child(pid);
  close(pipe_fds[1]);
  std::string text;
  char chunk[4096];
  for (;;) {
    ssize_t n = read(pipe_fds[0], chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(chunk, (size_t)n);
  }
  close(pipe_fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  unguard_child(pid);
  if (WIFSIGNALED(status)) {
    return text + " [child killed by signal " + std::to_string(WTERMSIG(status)) + "]";
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return text + " [child failed]";
  return text;
}
