// Helpers of the portal tests: child processes (buses, the fake portal, the
// known-picture client) started and stopped by pid, and what a capture left.
#ifndef VS_PORTAL_TEST_SUPPORT_H
#define VS_PORTAL_TEST_SUPPORT_H

#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "linux/portal/portal_capture.h"

// A child with its stdout on a pipe; stopped (SIGTERM, then SIGKILL) when it
// goes out of scope, and dying with the test whatever way it ends
// (child_guard.h).
struct child {
  pid_t pid = -1;
  int out = -1;
  child() = default;
  child(const child &) = delete;
  child &operator=(const child &) = delete;
  ~child();
  bool start(const std::vector<std::string> &argv, bool pipe_stdin = false);
  int in = -1;
  // The next line of its stdout, waiting at most timeout_ms; false if none.
  bool read_line(std::string *line, int timeout_ms);
  void stop();
};

// A private session bus listening on dir/name; its address in address.
struct private_bus {
  child daemon;
  std::string address;
  bool start(const std::string &dir, const std::string &name);
};

std::string make_temp_dir();
void remove_tree(const std::string &dir);
bool write_file(const std::string &path, const std::string &text);
bool file_exists(const std::string &path);
std::vector<std::string> png_files_in(const std::string &dir);
int open_fd_count();
size_t heap_in_use();
double elapsed_ms(const struct timespec &since);
struct timespec now_mono();

// A picture of w x h with `channels` channels whose every pixel differs, and
// the same as PNG bytes (stb_image_write).
std::vector<unsigned char> pattern(int w, int h, int channels);
std::string pattern_png(int w, int h, int channels);

// The PNG with its header (IHDR) claiming w x h, its checksum made right, so
// that only the claim is wrong; "" if png has no header where PNGs have it.
std::string png_claiming(const std::string &png, uint32_t w, uint32_t h);

// 2x1, 16 bits per sample: a valid PNG, but not a picture a portal writes.
extern const unsigned char kSixteenBitPng[];
extern const size_t kSixteenBitPngSize;

// Sets a file's modification time to now + seconds (not following a link).
bool set_mtime(const std::string &path, double seconds_from_now);

// Owns what portal_take_picture handed out.
struct taken {
  portal_picture pic = {nullptr, 0, 0};
  uint32_t code = 0;
  int result = 0;
  double ms = 0;
  taken();
  ~taken();
  taken(const taken &) = delete;
  taken &operator=(const taken &) = delete;
};

#endif
