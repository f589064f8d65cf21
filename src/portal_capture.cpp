// The desktop portal's Screenshot request, driven on a private connection to
// the session bus with sd-bus, and the picture file it names.
//
// Every step runs through one loop (pump) that waits with sd_bus_wait up to a
// deadline fixed when the call starts; no sd-bus call that waits by itself
// (sd_bus_call, sd_bus_add_match, sd_bus_flush) is used, since their own
// timeouts (25 s and up) know nothing of ours.
//
// The picture file and concurrent captures. The portal writes a new file for
// each request, but not always under a new name: KDE names it after the
// second (two requests within a second write the same path), the wlroots
// backend always writes /tmp/out.png. Two captures (threads or processes) may
// therefore be answered with the same path. The rule:
//   - the file is opened once (O_NOFOLLOW) right after the answer and read
//     whole from that descriptor; its identity and state (device, inode,
//     size, modification and change times) are taken before and after the
//     read, and a read during which the file changed is thrown away;
//   - the file is removed only when the path still names that same, unchanged
//     file just before unlink; otherwise it is someone else's by now and is
//     left to its reader;
//   - when the file is gone before we open it (another capture read and
//     removed it), changed while we read it, or does not decode (another
//     writer may have been half-way through it; retried once), the whole
//     request is made again, as long as the bound allows. A caller therefore
//     never gets a picture taken before its own request, and never fails
//     because another capture removed the file.
// What remains is the gap between the last lstat and unlink: a writer that
// replaces the file in that gap loses its file to us, and its caller, finding
// it gone, asks again. No picture is handed out wrongly and nothing is left
// behind; only a retry is spent. Linux offers no unlink by descriptor that
// would close the gap.
#include "portal_capture.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_NO_STDIO
#define STBI_NO_LINEAR
#define STBI_NO_HDR
#define STBI_MAX_DIMENSIONS 32768
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#include <stb/stb_image.h>
#pragma GCC diagnostic pop

namespace {

const char kPortalName[] = "org.freedesktop.portal.Desktop";
const char kPortalPath[] = "/org/freedesktop/portal/desktop";
const char kRequestPrefix[] = "/org/freedesktop/portal/desktop/request/";

// Sanity limits for the file and the picture: a desktop of 32768 pixels a
// side is already far beyond any real one.
const int32_t kMaxSide = 32768;
const uint64_t kMaxPixels = 1ull << 28;
const off_t kMaxFileBytes = off_t(1) << 30;

// Requests made again because the file went away or changed under us; each
// costs one more round with the portal, all within the same bound.
const int kMaxAttempts = 16;

const int kMaxResponses = 8;

uint64_t now_us() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000000u + uint64_t(ts.tv_nsec) / 1000u;
}

// Drives the connection until done(ctx) holds: 0, -ETIMEDOUT at the
// deadline, or the connection's error.
int pump(sd_bus *bus, int (*done)(void *), void *ctx, uint64_t deadline) {
  for (;;) {
    int r = sd_bus_process(bus, nullptr);
    if (r < 0) return r;
    if (done(ctx)) return 0;
    if (r > 0) continue;
    uint64_t now = now_us();
    if (now >= deadline) return -ETIMEDOUT;
    r = sd_bus_wait(bus, deadline - now);
    if (r < 0 && r != -EINTR) return r;
  }
}

int bus_is_ready(void *bus) { return sd_bus_is_ready(static_cast<sd_bus *>(bus)) > 0; }

// A connection of our own (never the default bus object, which is shared by
// the thread), authenticated and named within the deadline.
int open_session_bus(sd_bus **out, uint64_t deadline) {
  sd_bus *bus = nullptr;
  int r = sd_bus_open_user(&bus);
  if (r < 0) return r;
  r = pump(bus, bus_is_ready, bus, deadline);
  if (r < 0) {
    sd_bus_close_unref(bus);
    return r;
  }
  *out = bus;
  return 0;
}

struct call_state {
  sd_bus_message *reply;
  int done;
};

int on_reply(sd_bus_message *m, void *userdata, sd_bus_error *) {
  call_state *s = static_cast<call_state *>(userdata);
  if (!s->done) s->reply = sd_bus_message_ref(m);
  s->done = 1;
  return 0;
}

int call_done(void *ctx) { return static_cast<call_state *>(ctx)->done; }

struct request_state {
  call_state call;
  int match_errno;
  char space[256];  // our connection's request objects
  char handle[512];
  char sender[256];
  sd_bus_message *responses[kMaxResponses];
  int response_count;
  sd_bus_message *answer;  // the one of responses that is our answer
};

// Before the call's reply names the handle, anything under our connection's
// request objects may be the answer, and (for a portal that picks its own
// handle) anything else too; afterwards only the handle's answer is kept.
int on_response(sd_bus_message *m, void *userdata, sd_bus_error *) {
  request_state *s = static_cast<request_state *>(userdata);
  const char *path = sd_bus_message_get_path(m);
  if (!path || s->response_count >= kMaxResponses) return 0;
  size_t n = strlen(s->space);
  int ours = strncmp(path, s->space, n) == 0 && path[n] == '/';
  if (s->call.done ? strcmp(path, s->handle) == 0 : ours || s->response_count + 1 < kMaxResponses) {
    s->responses[s->response_count++] = sd_bus_message_ref(m);
  }
  return 0;
}

int on_match_installed(sd_bus_message *m, void *userdata, sd_bus_error *) {
  request_state *s = static_cast<request_state *>(userdata);
  if (sd_bus_message_is_method_error(m, nullptr)) {
    int e = sd_bus_message_get_errno(m);
    s->match_errno = e > 0 ? e : EIO;
  }
  return 0;
}

// The answer counts only once the call's reply told us the handle and who the
// portal is: a Response from anyone else, or for another handle, is not ours.
int answer_arrived(void *ctx) {
  request_state *s = static_cast<request_state *>(ctx);
  if (s->match_errno) return 1;
  for (int i = 0; i < s->response_count; i++) {
    const char *path = sd_bus_message_get_path(s->responses[i]);
    const char *sender = sd_bus_message_get_sender(s->responses[i]);
    if (path && sender && strcmp(path, s->handle) == 0 && strcmp(sender, s->sender) == 0) {
      s->answer = s->responses[i];
      return 1;
    }
  }
  return 0;
}

uint32_t code_for_errno(int e) {
  if (e == ENOMEM) return PORTAL_ERROR_NO_MEMORY;
  if (e == ETIMEDOUT) return PORTAL_ERROR_TIMEOUT;
  return PORTAL_ERROR_PORTAL_FAILED;
}

uint32_t code_for_call_error(sd_bus_message *reply) {
  const sd_bus_error *e = sd_bus_message_get_error(reply);
  const char *name = e && e->name ? e->name : "";
  static const char *const kNoPortal[] = {SD_BUS_ERROR_SERVICE_UNKNOWN,
                                          SD_BUS_ERROR_NAME_HAS_NO_OWNER,
                                          SD_BUS_ERROR_UNKNOWN_METHOD,
                                          SD_BUS_ERROR_UNKNOWN_OBJECT,
                                          SD_BUS_ERROR_UNKNOWN_INTERFACE,
                                          SD_BUS_ERROR_UNKNOWN_PROPERTY,
                                          "org.freedesktop.DBus.Error.Spawn.ExecFailed"};
  for (const char *n : kNoPortal) {
    if (strcmp(name, n) == 0) return PORTAL_ERROR_NO_PORTAL;
  }
  if (strncmp(name, "org.freedesktop.DBus.Error.Spawn.", 33) == 0) return PORTAL_ERROR_NO_PORTAL;
  if (strcmp(name, SD_BUS_ERROR_NO_REPLY) == 0 || strcmp(name, SD_BUS_ERROR_TIMEOUT) == 0) {
    return PORTAL_ERROR_TIMEOUT;
  }
  if (strcmp(name, SD_BUS_ERROR_NO_MEMORY) == 0) return PORTAL_ERROR_NO_MEMORY;
  return PORTAL_ERROR_PORTAL_FAILED;
}

// The per-call token: the pid tells processes apart, the counter the calls of
// one process, the random part a reused pid.
void make_token(char *token, size_t size) {
  static std::atomic<uint32_t> counter{0};
  uint64_t random = 0;
  if (getrandom(&random, sizeof random, GRND_NONBLOCK) != ssize_t(sizeof random)) {
    random = now_us() ^ uint64_t(uintptr_t(&random));
  }
  snprintf(token, size, "vantorel_%ld_%u_%016llx", long(getpid()), unsigned(counter.fetch_add(1)),
           static_cast<unsigned long long>(random));
}

// ":1.42" -> "1_42", as the portal names request objects after the sender.
int sender_path_part(const char *unique, char *out, size_t size) {
  if (unique[0] == ':') unique++;
  size_t n = strlen(unique);
  if (n == 0 || n >= size) return -1;
  for (size_t i = 0; i < n; i++) out[i] = unique[i] == '.' ? '_' : unique[i];
  out[n] = '\0';
  return 0;
}

// Asks the portal to stop a request we give up on (GNOME then drops its
// dialog). Sent without waiting: the connection closes right after.
void close_request(sd_bus *bus, const char *handle) {
  sd_bus_message *m = nullptr;
  if (sd_bus_message_new_method_call(bus, &m, kPortalName, handle, "org.freedesktop.portal.Request",
                                     "Close") >= 0 &&
      sd_bus_message_set_expect_reply(m, 0) >= 0) {
    sd_bus_send(bus, m, nullptr);
  }
  sd_bus_message_unref(m);
}

int percent_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// file:///a/b%20c.png -> /a/b c.png; only local absolute paths.
int uri_to_path(const char *uri, char *path, size_t size) {
  if (strncmp(uri, "file://", 7) != 0) return -1;
  const char *p = uri + 7;
  if (strncmp(p, "localhost/", 10) == 0) p += 9;
  if (*p != '/') return -1;
  size_t n = 0;
  while (*p) {
    char c = *p++;
    if (c == '%') {
      int hi = percent_value(p[0]);
      int lo = hi < 0 ? -1 : percent_value(p[1]);
      if (lo < 0 || (hi == 0 && lo == 0)) return -1;
      c = char(hi * 16 + lo);
      p += 2;
    }
    if (n + 1 >= size) return -1;
    path[n++] = c;
  }
  path[n] = '\0';
  return 0;
}

// Reads the Response's code and, for 0, its uri into path.
uint32_t read_answer(sd_bus_message *m, uint32_t *response, char *path, size_t size) {
  path[0] = '\0';
  if (sd_bus_message_read(m, "u", response) < 0) return PORTAL_ERROR_PORTAL_FAILED;
  if (*response != 0) return 0;
  if (sd_bus_message_enter_container(m, 'a', "{sv}") <= 0) return PORTAL_ERROR_PORTAL_FAILED;
  int found = 0;
  for (;;) {
    int r = sd_bus_message_enter_container(m, 'e', "sv");
    if (r < 0) return PORTAL_ERROR_PORTAL_FAILED;
    if (r == 0) break;
    const char *key = nullptr;
    if (sd_bus_message_read(m, "s", &key) < 0) return PORTAL_ERROR_PORTAL_FAILED;
    const char *contents = nullptr;
    char type = 0;
    if (sd_bus_message_peek_type(m, &type, &contents) < 0) return PORTAL_ERROR_PORTAL_FAILED;
    if (strcmp(key, "uri") == 0 && contents && strcmp(contents, "s") == 0) {
      const char *uri = nullptr;
      if (sd_bus_message_read(m, "v", "s", &uri) < 0) return PORTAL_ERROR_PORTAL_FAILED;
      if (uri_to_path(uri, path, size) < 0) return PORTAL_ERROR_BAD_PICTURE;
      found = 1;
    } else if (sd_bus_message_skip(m, "v") < 0) {
      return PORTAL_ERROR_PORTAL_FAILED;
    }
    if (sd_bus_message_exit_container(m) < 0) return PORTAL_ERROR_PORTAL_FAILED;
  }
  return found ? 0 : PORTAL_ERROR_BAD_PICTURE;
}

// The folder the portal writes pictures to, as the user's settings name it:
// $XDG_PICTURES_DIR, else XDG_PICTURES_DIR in user-dirs.dirs, else ~/Pictures.
int pictures_dir(char *dir, size_t size) {
  const char *env = getenv("XDG_PICTURES_DIR");
  if (env && env[0]) return snprintf(dir, size, "%s", env) < int(size) ? 0 : -1;
  char home[PATH_MAX];
  const char *h = getenv("HOME");
  if (h && h[0]) {
    if (snprintf(home, sizeof home, "%s", h) >= int(sizeof home)) return -1;
  } else {
    passwd pw;
    passwd *found = nullptr;
    char buf[4096];
    if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &found) != 0 || !found) return -1;
    if (snprintf(home, sizeof home, "%s", found->pw_dir) >= int(sizeof home)) return -1;
  }
  char config[PATH_MAX];
  const char *xch = getenv("XDG_CONFIG_HOME");
  int n = xch && xch[0] ? snprintf(config, sizeof config, "%s/user-dirs.dirs", xch)
                        : snprintf(config, sizeof config, "%s/.config/user-dirs.dirs", home);
  if (n > 0 && n < int(sizeof config)) {
    int fd = open(config, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0) {
      char text[8192];
      ssize_t got = read(fd, text, sizeof text - 1);
      close(fd);
      text[got > 0 ? got : 0] = '\0';
      static const char key[] = "XDG_PICTURES_DIR=\"";
      for (char *line = text; line && *line;) {
        char *next = strchr(line, '\n');
        if (next) *next++ = '\0';
        while (*line == ' ' || *line == '\t') line++;
        if (strncmp(line, key, sizeof key - 1) == 0) {
          char *value = line + sizeof key - 1;
          char *end = strchr(value, '"');
          if (end) {
            *end = '\0';
            int w = strncmp(value, "$HOME", 5) == 0 ? snprintf(dir, size, "%s%s", home, value + 5)
                                                    : snprintf(dir, size, "%s", value);
            if (w > 0 && w < int(size)) return 0;
          }
        }
        line = next;
      }
    }
  }
  return snprintf(dir, size, "%s/Pictures", home) < int(size) ? 0 : -1;
}

int pictures_dir_missing() {
  char dir[PATH_MAX];
  if (pictures_dir(dir, sizeof dir) < 0) return 0;
  struct stat st;
  return stat(dir, &st) != 0 || !S_ISDIR(st.st_mode);
}

// One Screenshot request on its own connection, closed before returning:
// 0 with the picture's path, or an error code.
uint32_t request_picture(uint64_t deadline, char *path, size_t size) {
  sd_bus *bus = nullptr;
  int r = open_session_bus(&bus, deadline);
  if (r < 0) {
    // A bus that takes the connection but never completes it is there but
    // silent: a timeout like any other, not a missing bus.
    return r == -ENOMEM      ? PORTAL_ERROR_NO_MEMORY
           : r == -ETIMEDOUT ? PORTAL_ERROR_TIMEOUT
                             : PORTAL_ERROR_NO_BUS;
  }

  request_state s;
  memset(&s, 0, sizeof s);
  uint32_t code = 0;
  sd_bus_message *m = nullptr;
  char token[96], sender[200];
  const char *unique = nullptr;
  make_token(token, sizeof token);
  if (sd_bus_get_unique_name(bus, &unique) < 0 ||
      sender_path_part(unique, sender, sizeof sender) < 0) {
    code = PORTAL_ERROR_NO_BUS;
    goto done;
  }
  // The portal names the request object after our name and token, so the
  // answer is subscribed to before asking and cannot slip past. The match
  // takes every Response, not only the predicted path: a portal that returns
  // a handle of its own (older ones did) answers there, possibly before its
  // reply reaches us. xdg-desktop-portal sends each Response to its requester
  // alone, so this costs nothing there.
  snprintf(s.space, sizeof s.space, "%s%s", kRequestPrefix, sender);
  snprintf(s.handle, sizeof s.handle, "%s/%s", s.space, token);
  r = sd_bus_add_match_async(bus, nullptr,
                             "type='signal',interface='org.freedesktop.portal.Request',"
                             "member='Response'",
                             on_response, on_match_installed, &s);
  if (r >= 0) {
    r = sd_bus_message_new_method_call(bus, &m, kPortalName, kPortalPath,
                                       "org.freedesktop.portal.Screenshot", "Screenshot");
  }
  if (r >= 0) r = sd_bus_message_append(m, "s", "");
  if (r >= 0) {
    r = sd_bus_message_append(m, "a{sv}", 3, "handle_token", "s", token, "interactive", "b", 0,
                              "modal", "b", 0);
  }
  if (r >= 0) {
    uint64_t now = now_us();
    // The call's own timeout is left longer than ours, so that the deadline
    // decides, in one place.
    r = sd_bus_call_async(bus, nullptr, m, on_reply, &s.call,
                          (deadline > now ? deadline - now : 0) + 1000000);
  }
  if (r < 0) {
    code = code_for_errno(-r);
    goto done;
  }
  r = pump(bus, call_done, &s.call, deadline);
  if (r < 0) {
    code = r == -ETIMEDOUT ? PORTAL_ERROR_TIMEOUT : PORTAL_ERROR_PORTAL_FAILED;
    goto done;
  }
  if (sd_bus_message_is_method_error(s.call.reply, nullptr)) {
    code = code_for_call_error(s.call.reply);
    goto done;
  }
  {
    const char *handle = nullptr;
    const char *portal = sd_bus_message_get_sender(s.call.reply);
    if (sd_bus_message_read(s.call.reply, "o", &handle) < 0 || !portal ||
        strlen(handle) >= sizeof s.handle || strlen(portal) >= sizeof s.sender) {
      code = PORTAL_ERROR_PORTAL_FAILED;
      goto done;
    }
    snprintf(s.sender, sizeof s.sender, "%s", portal);
    snprintf(s.handle, sizeof s.handle, "%s", handle);
  }
  r = pump(bus, answer_arrived, &s, deadline);
  if (r < 0 || s.match_errno) {
    code = r == -ETIMEDOUT ? PORTAL_ERROR_TIMEOUT : code_for_errno(r < 0 ? -r : s.match_errno);
    if (r == -ETIMEDOUT) close_request(bus, s.handle);
    goto done;
  }
  {
    uint32_t response = 0;
    code = read_answer(s.answer, &response, path, size);
    if (code == 0 && response == 1) {
      code = pictures_dir_missing() ? PORTAL_ERROR_NO_PICTURES_DIR : PORTAL_ERROR_DENIED;
    } else if (code == 0 && response != 0) {
      code = PORTAL_ERROR_PORTAL_FAILED;
    }
  }

done:
  if (code == PORTAL_ERROR_TIMEOUT && !s.call.done) close_request(bus, s.handle);
  sd_bus_message_unref(m);
  for (int i = 0; i < s.response_count; i++) sd_bus_message_unref(s.responses[i]);
  sd_bus_message_unref(s.call.reply);
  sd_bus_close_unref(bus);
  return code;
}

enum file_result { FILE_OK, FILE_GONE, FILE_CHANGED, FILE_BAD, FILE_NO_MEMORY };

int same_state(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// Reads the whole file through one descriptor; *state is what it was.
file_result read_file(const char *path, uint8_t **data, size_t *size, struct stat *state) {
  // O_NONBLOCK: a FIFO put in the picture's place must not hold us up.
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return errno == ENOENT ? FILE_GONE : errno == ENOMEM ? FILE_NO_MEMORY : FILE_BAD;
  struct stat before, after;
  if (fstat(fd, &before) != 0 || !S_ISREG(before.st_mode) || before.st_size > kMaxFileBytes) {
    close(fd);
    return FILE_BAD;
  }
  size_t want = size_t(before.st_size);
  uint8_t *buf = static_cast<uint8_t *>(malloc(want ? want : 1));
  if (!buf) {
    close(fd);
    return FILE_NO_MEMORY;
  }
  size_t got = 0;
  file_result result = FILE_OK;
  while (got < want) {
    ssize_t n = read(fd, buf + got, want - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      result = FILE_BAD;
      break;
    }
    if (n == 0) {
      result = FILE_CHANGED;  // shrank while we read: someone is rewriting it
      break;
    }
    got += size_t(n);
  }
  if (result == FILE_OK && (fstat(fd, &after) != 0 || !same_state(before, after))) {
    result = FILE_CHANGED;
  }
  close(fd);
  if (result != FILE_OK) {
    free(buf);
    return result;
  }
  *data = buf;
  *size = want;
  *state = before;
  return FILE_OK;
}

void remove_if_unchanged(const char *path, const struct stat &state) {
  struct stat now;
  if (lstat(path, &now) == 0 && same_state(now, state)) unlink(path);
}

file_result decode_png(const uint8_t *data, size_t size, portal_picture *out) {
  if (size == 0 || size > size_t(INT_MAX)) return FILE_BAD;
  int w = 0, h = 0, comp = 0;
  if (!stbi_info_from_memory(data, int(size), &w, &h, &comp)) return FILE_BAD;
  if (stbi_is_16_bit_from_memory(data, int(size))) return FILE_BAD;
  if (w <= 0 || h <= 0 || w > kMaxSide || h > kMaxSide || uint64_t(w) * uint64_t(h) > kMaxPixels) {
    return FILE_BAD;
  }
  int dw = 0, dh = 0;
  uint8_t *px = stbi_load_from_memory(data, int(size), &dw, &dh, &comp, 4);
  if (!px) {
    const char *why = stbi_failure_reason();
    return why && strcmp(why, "outofmem") == 0 ? FILE_NO_MEMORY : FILE_BAD;
  }
  if (dw != w || dh != h) {
    stbi_image_free(px);
    return FILE_BAD;
  }
  size_t count = size_t(w) * size_t(h);
  for (size_t i = 0; i < count; i++) {
    uint8_t *p = px + i * 4;
    uint8_t r = p[0];
    p[0] = p[2];
    p[2] = r;
    p[3] = 255;
  }
  out->pixels = px;
  out->width = w;
  out->height = h;
  return FILE_OK;
}

}  // namespace

int portal_take_picture(portal_picture *out, uint32_t *code) {
  uint32_t dummy = 0;
  if (!code) code = &dummy;
  if (!out) {
    *code = PORTAL_ERROR_BAD_PICTURE;
    return -1;
  }
  out->pixels = nullptr;
  out->width = 0;
  out->height = 0;
  const uint64_t deadline = now_us() + uint64_t(PORTAL_TIMEOUT_MS) * 1000u;
  int undecodable = 0;
  for (int attempt = 0; attempt < kMaxAttempts; attempt++) {
    if (attempt > 0 && now_us() >= deadline) break;
    char path[PATH_MAX];
    uint32_t c = request_picture(deadline, path, sizeof path);
    if (c != 0) {
      *code = c;
      return -1;
    }
    uint8_t *data = nullptr;
    size_t size = 0;
    struct stat state;
    file_result f = read_file(path, &data, &size, &state);
    if (f == FILE_OK) {
      f = decode_png(data, size, out);
      free(data);
      // Half written by another request's portal, or truly bad: one more
      // request tells which.
      if (f == FILE_BAD && !undecodable++) continue;
    }
    if (f == FILE_OK) {
      remove_if_unchanged(path, state);
      *code = 0;
      return 0;
    }
    if (f == FILE_BAD || f == FILE_NO_MEMORY) {
      *code = f == FILE_BAD ? PORTAL_ERROR_BAD_PICTURE : PORTAL_ERROR_NO_MEMORY;
      return -1;
    }
    // FILE_GONE, FILE_CHANGED: another capture got to the same path; ask again.
  }
  // Out of time, or a portal that keeps naming files that are not there.
  *code = now_us() >= deadline ? PORTAL_ERROR_TIMEOUT : PORTAL_ERROR_BAD_PICTURE;
  return -1;
}

namespace {

struct probe_state {
  call_state get;
  call_state names;
};

int probe_done(void *ctx) { return static_cast<probe_state *>(ctx)->get.done; }

int name_activatable(sd_bus_message *reply) {
  if (!reply || sd_bus_message_is_method_error(reply, nullptr)) return 0;
  if (sd_bus_message_enter_container(reply, 'a', "s") <= 0) return 0;
  const char *name = nullptr;
  while (sd_bus_message_read(reply, "s", &name) > 0) {
    if (strcmp(name, kPortalName) == 0) return 1;
  }
  return 0;
}

}  // namespace

int portal_available(void) {
  const uint64_t deadline = now_us() + uint64_t(PORTAL_PROBE_TIMEOUT_MS) * 1000u;
  sd_bus *bus = nullptr;
  if (open_session_bus(&bus, deadline) < 0) return 0;
  probe_state s;
  memset(&s, 0, sizeof s);
  // Asking for the interface's version starts the portal when it is only
  // activatable; if it is too slow to answer, being activatable is taken as
  // enough, and the capture itself will say what is missing.
  int r = sd_bus_call_method_async(bus, nullptr, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                   "org.freedesktop.DBus", "ListActivatableNames", on_reply,
                                   &s.names, nullptr);
  if (r >= 0) {
    r = sd_bus_call_method_async(bus, nullptr, kPortalName, kPortalPath,
                                 "org.freedesktop.DBus.Properties", "Get", on_reply, &s.get, "ss",
                                 "org.freedesktop.portal.Screenshot", "version");
  }
  int available = 0;
  if (r >= 0) {
    r = pump(bus, probe_done, &s, deadline);
    if (r == 0) {
      available = !sd_bus_message_is_method_error(s.get.reply, nullptr);
    } else if (r == -ETIMEDOUT) {
      available = name_activatable(s.names.reply);
    }
  }
  sd_bus_message_unref(s.get.reply);
  sd_bus_message_unref(s.names.reply);
  sd_bus_close_unref(bus);
  return available;
}
