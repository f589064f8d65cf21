// A server that stops reading must not end the host with SIGPIPE. Alone in
// its binary: the library keeps one connection for the process, so only a
// fresh process connects to this server.
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <string>
#include <thread>
#include <vector>

#include "rig_support.h"
#include "vantorel_screenshot.h"

namespace {

// A server that takes the connection, then stops reading: the library's next
// write fails with EPIPE, which raises SIGPIPE in the writing thread. Nothing
// shows on poll() first (no hang-up, nothing to read), so only blocking the
// signal keeps the host alive. Needs no rig: the server is a socket of the
// test's own on a display number nobody uses.
class half_dead_server {
 public:
  bool start() {
    for (int n = 4000; n < 4100 && listen_fd_ < 0; n++) {
      int fd = socket(AF_UNIX, SOCK_STREAM, 0);
      sockaddr_un address;
      memset(&address, 0, sizeof address);
      address.sun_family = AF_UNIX;
      // The abstract name that XCB tries first for a local display.
      int len =
          snprintf(address.sun_path + 1, sizeof address.sun_path - 1, "/tmp/.X11-unix/X%d", n);
      socklen_t size = (socklen_t)(offsetof(sockaddr_un, sun_path) + 1 + len);
      if (access(("/tmp/.X11-unix/X" + std::to_string(n)).c_str(), F_OK) != 0 &&
          bind(fd, (sockaddr *)&address, size) == 0 && listen(fd, 1) == 0) {
        listen_fd_ = fd;
        display_ = ":" + std::to_string(n);
      } else {
        close(fd);
      }
    }
    if (listen_fd_ < 0) return false;
    thread_ = std::thread([this] { serve(); });
    return true;
  }
  ~half_dead_server() {
    if (thread_.joinable()) thread_.join();
    if (client_fd_ >= 0) close(client_fd_);
    if (listen_fd_ >= 0) close(listen_fd_);
  }
  const std::string &display() const { return display_; }

 private:
  static bool read_all(int fd, void *data, size_t size) {
    uint8_t *p = (uint8_t *)data;
    while (size > 0) {
      ssize_t n = read(fd, p, size);
      if (n <= 0) return false;
      p += n;
      size -= (size_t)n;
    }
    return true;
  }

  // One screen, 64x64, depth 24 TrueColor: enough for XCB to accept it.
  static std::vector<uint8_t> setup_reply() {
    const char vendor[] = "test";  // 4 bytes, no padding
    xcb_setup_t setup;
    memset(&setup, 0, sizeof setup);
    xcb_format_t format;
    memset(&format, 0, sizeof format);
    xcb_screen_t screen;
    memset(&screen, 0, sizeof screen);
    xcb_depth_t depth;
    memset(&depth, 0, sizeof depth);
    xcb_visualtype_t visual;
    memset(&visual, 0, sizeof visual);

    setup.status = 1;
    setup.protocol_major_version = 11;
    setup.resource_id_base = 0x00200000;
    setup.resource_id_mask = 0x001fffff;
    setup.vendor_len = 4;
    setup.maximum_request_length = 65535;
    setup.roots_len = 1;
    setup.pixmap_formats_len = 1;
    setup.bitmap_format_scanline_unit = 32;
    setup.bitmap_format_scanline_pad = 32;
    setup.min_keycode = 8;
    setup.max_keycode = 255;
    format.depth = 24;
    format.bits_per_pixel = 32;
    format.scanline_pad = 32;
    screen.root = 0x100;
    screen.default_colormap = 0x101;
    screen.white_pixel = 0xffffff;
    screen.width_in_pixels = 64;
    screen.height_in_pixels = 64;
    screen.width_in_millimeters = 17;
    screen.height_in_millimeters = 17;
    screen.min_installed_maps = 1;
    screen.max_installed_maps = 1;
    screen.root_visual = 0x21;
    screen.root_depth = 24;
    screen.allowed_depths_len = 1;
    depth.depth = 24;
    depth.visuals_len = 1;
    visual.visual_id = 0x21;
    visual._class = XCB_VISUAL_CLASS_TRUE_COLOR;
    visual.bits_per_rgb_value = 8;
    visual.colormap_entries = 256;
    visual.red_mask = 0xff0000;
    visual.green_mask = 0xff00;
    visual.blue_mask = 0xff;

    std::vector<uint8_t> out;
    auto add = [&out](const void *data, size_t size) {
      out.insert(out.end(), (const uint8_t *)data, (const uint8_t *)data + size);
    };
    add(&setup, sizeof setup);
    add(vendor, 4);
    add(&format, sizeof format);
    add(&screen, sizeof screen);
    add(&depth, sizeof depth);
    add(&visual, sizeof visual);
    uint16_t length = (uint16_t)((out.size() - 8) / 4);
    memcpy(&out[6], &length, 2);
    return out;
  }

  void serve() {
    // Never waits for ever, whatever the library does.
    pollfd waiting = {listen_fd_, POLLIN, 0};
    if (poll(&waiting, 1, 10000) != 1) return;
    client_fd_ = accept(listen_fd_, nullptr, nullptr);
    if (client_fd_ < 0) return;
    uint8_t request[12];
    if (!read_all(client_fd_, request, sizeof request)) return;
    uint16_t name_len, data_len;
    memcpy(&name_len, request + 6, 2);
    memcpy(&data_len, request + 8, 2);
    std::vector<uint8_t> auth((size_t)((name_len + 3) / 4 + (data_len + 3) / 4) * 4);
    if (!auth.empty() && !read_all(client_fd_, auth.data(), auth.size())) return;
    // From here on every write of the client fails with EPIPE.
    shutdown(client_fd_, SHUT_RD);
    std::vector<uint8_t> reply = setup_reply();
    if (write(client_fd_, reply.data(), reply.size()) != (ssize_t)reply.size()) return;
  }

  int listen_fd_ = -1;
  int client_fd_ = -1;
  std::string display_;
  std::thread thread_;
};

TEST(X11Environment, ServerThatStopsReadingRaisesNoSignal) {
  half_dead_server server;
  ASSERT_TRUE(server.start());
  signal(SIGPIPE, SIG_DFL);
  setenv("DISPLAY", server.display().c_str(), 1);
  EXPECT_EQ(screenshot_list_monitors_json(), nullptr);
  EXPECT_STREQ(screenshot_last_error(), "EnumDisplayMonitors failed (error 1)");
  EXPECT_FALSE(sigpipe_pending());
  EXPECT_FALSE(sigpipe_blocked());
}

}  // namespace
