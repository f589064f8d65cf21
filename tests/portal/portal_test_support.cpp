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

#include "child_guard.h"
#include "stb/stb_image_write.h"

child::~child() { stop(); }

bool child::start(const std::vector<std::string> &argv, bool pipe_stdin) {
  int p[2], q[2] = {-1, -1};
  if (pipe2(p, O_CLOEXEC) != 0) return false;
  if (pipe_stdin && pipe2(q, O_CLOEXEC) != 0) return false;
  std::vector<char *> args;
  for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  pid_t parent = getpid();
  pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    child_dies_with_parent(parent);
    dup2(p[1], 1);
    if (pipe_stdin) dup2(q[0], 0);
    execvp(args[0], args.data());
    _exit(127);
  }
  guard_child(pid);
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
    pid_t started = pid;
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
    unguard_child(started);
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
  result = portal_take_picture(&pic, &code, vs_now_ms() + PORTAL_TIMEOUT_MS);
  ms = elapsed_ms(t0);
}

taken::~taken() { free(pic.pixels); }

std::vector<unsigned char> pattern(int w, int h, int channels) {
  std::vector<unsigned char> px(size_t(w) * h * channels);
  for (int y = 0; y < h; y++) {
    for (int x = 0; x < w; x++) {
      unsigned char *p = &px[(size_t(y) * w + x) * channels];
      for (int c = 0; c < channels; c++) p[c] = (unsigned char)(x * 7 + y * 13 + c * 71);
    }
  }
  return px;
}

static void append(void *context, void *data, int size) {
  static_cast<std::string *>(context)->append(static_cast<const char *>(data), size_t(size));
}

std::string pattern_png(int w, int h, int channels) {
  std::vector<unsigned char> px = pattern(w, h, channels);
  std::string png;
  if (!stbi_write_png_to_func(append, &png, w, h, channels, px.data(), w * channels)) png.clear();
  return png;
}

static uint32_t crc32_of(const unsigned char *p, size_t n) {
  uint32_t crc = 0xffffffffu;
  for (size_t i = 0; i < n; i++) {
    crc ^= p[i];
    for (int k = 0; k < 8; k++) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
  }
  return crc ^ 0xffffffffu;
}

static void put_be32(std::string *s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; i++) (*s)[at + i] = char(v >> (24 - 8 * i));
}

std::string png_claiming(const std::string &png, uint32_t w, uint32_t h) {
  // The signature, then IHDR: length 13 at 8, type at 12, data at 16 (width,
  // height, ...), checksum over type and data at 29.
  if (png.size() < 33 || png.compare(12, 4, "IHDR") != 0) return "";
  std::string out = png;
  put_be32(&out, 16, w);
  put_be32(&out, 20, h);
  put_be32(&out, 29, crc32_of((const unsigned char *)out.data() + 12, 17));
  return out;
}

const unsigned char kSixteenBitPng[] = {
    0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48,
    0x44, 0x52, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x10, 0x00, 0x00, 0x00,
    0x00, 0x81, 0xd9, 0xfc, 0x15, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x44, 0x41, 0x54, 0x78,
    0x9c, 0x63, 0x10, 0x32, 0x09, 0xab, 0x00, 0x00, 0x02, 0x0d, 0x01, 0x15, 0xa9, 0x7e,
    0xa5, 0xc6, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};
const size_t kSixteenBitPngSize = sizeof kSixteenBitPng;

bool set_mtime(const std::string &path, double seconds_from_now) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  long long ns = (long long)now.tv_nsec + (long long)(seconds_from_now * 1e9);
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = now.tv_sec + ns / 1000000000;
  times[1].tv_nsec = ns % 1000000000;
  if (times[1].tv_nsec < 0) {
    times[1].tv_nsec += 1000000000;
    times[1].tv_sec--;
  }
  return utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}
