#include "portal_test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

child::~child() { stop(); }

bool child::start(const std::vector<std::string> &argv, bool pipe_stdin) {
  int p[2], q[2] = {-1, -1};
  if (pipe2(p, O_CLOEXEC) != 0) return false;
  if (pipe_stdin && pipe2(q, O_CLOEXEC) != 0) return false;
  std::vector<char *> args;
  for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    dup2(p[1], 1);
    if (pipe_stdin) dup2(q[0], 0);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(p[1]);
  out = p[0];
  if (pipe_stdin) {
    close(q[0]);
    in = q[1];
  }
  return true;
}

bool child::read_line(std::string *line, int timeout_ms) {
  line->clear();
  struct timespec t0 = now_mono();
  for (;;) {
    int left = timeout_ms - int(elapsed_ms(t0));
    if (left <= 0) return false;
    struct pollfd fd = {out, POLLIN, 0};
    if (poll(&fd, 1, left) <= 0) continue;
    char c;
    if (read(out, &c, 1) != 1) return false;
    if (c == '\n') return true;
    *line += c;
  }
}

void child::stop() {
  if (in >= 0) close(in);
  in = -1;
  if (pid > 0) {
    kill(pid, SIGTERM);
    for (int i = 0; i < 100; i++) {
      if (waitpid(pid, nullptr, WNOHANG) == pid) {
        pid = -1;
        break;
      }
      usleep(20000);
    }
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  pid = -1;
  if (out >= 0) close(out);
  out = -1;
}

bool private_bus::start(const std::string &dir, const std::string &name) {
  std::string socket = dir + "/" + name;
  std::string conf = dir + "/" + name + ".conf";
  if (!write_file(conf, "<busconfig><type>session</type><listen>unix:path=" + socket +
                            "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                            "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                            "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy>"
                            "</busconfig>\n")) {
    return false;
  }
  if (!daemon.start({"dbus-daemon", "--config-file=" + conf, "--nofork", "--print-address"})) {
    return false;
  }
  std::string line;
  if (!daemon.read_line(&line, 10000)) return false;
  address = "unix:path=" + socket;
  return true;
}

std::string make_temp_dir() {
  char dir[] = "/tmp/vs-portal-test.XXXXXX";
  if (!mkdtemp(dir)) return "";
  return dir;
}

static int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
  return remove(path);
}

void remove_tree(const std::string &dir) {
  if (!dir.empty()) nftw(dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

bool write_file(const std::string &path, const std::string &text) {
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  return fclose(f) == 0 && ok;
}

bool file_exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> png_files_in(const std::string &dir) {
  std::vector<std::string> names;
  DIR *d = opendir(dir.c_str());
  if (!d) return names;
  while (struct dirent *e = readdir(d)) {
    size_t n = strlen(e->d_name);
    if (n > 4 && strcmp(e->d_name + n - 4, ".png") == 0) names.push_back(e->d_name);
  }
  closedir(d);
  return names;
}

int open_fd_count() {
  int n = 0;
  DIR *d = opendir("/proc/self/fd");
  if (!d) return -1;
  while (struct dirent *e = readdir(d)) {
    if (e->d_name[0] != '.') n++;
  }
  closedir(d);
  return n - 1;  // the directory's own descriptor
}

size_t heap_in_use() { return mallinfo2().uordblks; }

struct timespec now_mono() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t;
}

double elapsed_ms(const struct timespec &since) {
  struct timespec t = now_mono();
  return (t.tv_sec - since.tv_sec) * 1e3 + (t.tv_nsec - since.tv_nsec) / 1e6;
}

taken::taken() {
  struct timespec t0 = now_mono();
  result = portal_take_picture(&pic, &code);
  ms = elapsed_ms(t0);
}

taken::~taken() { free(pic.pixels); }
