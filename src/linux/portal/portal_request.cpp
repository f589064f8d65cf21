#include "linux/portal/portal_request.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/random.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>

#include "linux/linux_display.h"
#include "linux/portal/portal_bus.h"
#include "linux/portal/portal_errors.h"
#include "linux/portal/portal_uri.h"
#include "linux/portal/portal_userdirs.h"

namespace {

const char kRequestPrefix[] = "/org/freedesktop/portal/desktop/request/";

const int kMaxResponses = 8;

struct request_state {
  portal_call call;
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
    random = uint64_t(vs_now_ms()) ^ uint64_t(uintptr_t(&random));
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
  if (sd_bus_message_new_method_call(bus, &m, PORTAL_BUS_NAME, handle,
                                     "org.freedesktop.portal.Request", "Close") >= 0 &&
      sd_bus_message_set_expect_reply(m, 0) >= 0) {
    sd_bus_send(bus, m, nullptr);
  }
  sd_bus_message_unref(m);
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
      if (portal_uri_to_path(uri, path, size) < 0) return PORTAL_ERROR_BAD_PICTURE;
      found = 1;
    } else if (sd_bus_message_skip(m, "v") < 0) {
      return PORTAL_ERROR_PORTAL_FAILED;
    }
    if (sd_bus_message_exit_container(m) < 0) return PORTAL_ERROR_PORTAL_FAILED;
  }
  return found ? 0 : PORTAL_ERROR_BAD_PICTURE;
}

}  // namespace

uint32_t portal_request_picture(int64_t deadline, char *path, size_t size, struct timespec *sent) {
  clock_gettime(CLOCK_REALTIME_COARSE, sent);
  sd_bus *bus = nullptr;
  int r = portal_bus_open(&bus, deadline);
  if (r < 0) {
    // A bus that takes the connection but never completes it cannot be
    // reached either: no request went out, so this is no portal's timeout.
    return r == -ENOMEM ? PORTAL_ERROR_NO_MEMORY : PORTAL_ERROR_NO_BUS;
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
    r = sd_bus_message_new_method_call(bus, &m, PORTAL_BUS_NAME, PORTAL_BUS_PATH,
                                       "org.freedesktop.portal.Screenshot", "Screenshot");
  }
  if (r >= 0) r = sd_bus_message_append(m, "s", "");
  if (r >= 0) {
    r = sd_bus_message_append(m, "a{sv}", 3, "handle_token", "s", token, "interactive", "b", 0,
                              "modal", "b", 0);
  }
  if (r >= 0) {
    int64_t left = deadline - vs_now_ms();
    // The picture's file is written after this; its time is judged against
    // this reading (the wall clock, as file times are: no wait is measured
    // on it).
    clock_gettime(CLOCK_REALTIME_COARSE, sent);
    // The call's own timeout is left longer than ours, so that the deadline
    // decides, in one place.
    r = sd_bus_call_async(bus, nullptr, m, portal_call_on_reply, &s.call,
                          (uint64_t(left > 0 ? left : 0) + 1000) * 1000u);
  }
  if (r < 0) {
    code = code_for_errno(-r);
    goto done;
  }
  r = portal_bus_pump(bus, portal_call_done, &s.call, deadline);
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
  r = portal_bus_pump(bus, answer_arrived, &s, deadline);
  if (r < 0 || s.match_errno) {
    code = r == -ETIMEDOUT ? PORTAL_ERROR_TIMEOUT : code_for_errno(r < 0 ? -r : s.match_errno);
    if (r == -ETIMEDOUT) close_request(bus, s.handle);
    goto done;
  }
  {
    uint32_t response = 0;
    code = read_answer(s.answer, &response, path, size);
    if (code == 0 && response == 1) {
      code = portal_pictures_dir_missing() ? PORTAL_ERROR_NO_PICTURES_DIR : PORTAL_ERROR_DENIED;
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
