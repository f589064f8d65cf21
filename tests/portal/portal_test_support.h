// Helpers of the portal tests: child processes (buses, the fake portal, the
// known-picture client) started and stopped by pid, and what a capture left.
#ifndef VS_PORTAL_TEST_SUPPORT_H
#define VS_PORTAL_TEST_SUPPORT_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "portal_capture.h"

// A child with its stdout on a pipe; stopped (SIGTERM, then SIGKILL) when it
// goes out of scope.
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
