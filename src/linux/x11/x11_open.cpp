// The connection to the X server, made by XCB itself: xcb_connect reads
// DISPLAY in every form it knows, chooses the socket and its fallbacks (the
// abstract and the file socket, TCP on localhost, a socket's path) and the
// authorisation (MIT-MAGIC-COOKIE-1, XDM-AUTHORIZATION-1), now and in its
// later versions. xcb_connect has no bound of its own (a connect that is
// never answered, a server that accepts and never sends the setup), so it
// runs on a short-lived thread, and the call waits for that no longer than
// its deadline:
//   - a call that gives up leaves the attempt running; the next call for the
//     same DISPLAY takes the connection it made, or waits for it again;
//   - a call for another DISPLAY starts an attempt of its own: a hung one
//     never holds up the display the host moved to. At most two run at once
//     (a host that moves again while both hang waits for one of them), and
//     what an attempt for a DISPLAY that is no longer asked for makes is
//     dropped by the next call;
//   - the attempt's thread takes no lock the waiting call holds, and the
//     call waits on a condition variable, which gives up its mutex;
//   - the library is linked -z nodelete, so an attempt that outlives every
//     call never outlives its code.
// A connection the attempt made after its call gave up is taken by the next
// call; a failure that came that late is dropped and the next call tries
// afresh.
//
// A server regenerates when its last client leaves (Xvfb and Xorg without
// -noreset, as xvfb-run starts them) and closes the connections that come
// meanwhile before its setup reply, without a word. XCB reports that as it
// reports a server that is not there, so a failure without a reason on a
// local display whose socket still listens is taken for a reset: the
// connect is tried again after a short pause, within the call's deadline.
// A refusal with a reason (a wrong cookie) fails at once.
//
// XCB writes a server's refusal ("Invalid MIT-MAGIC-COOKIE-1 key") to
// descriptor 2 and keeps nothing of it. So the attempt runs in a descriptor
// table of its own (close_range with CLOSE_RANGE_UNSHARE, which also drops
// its copies of the host's descriptors), in which descriptor 2 is a socket
// of ours: the reason comes to us, the host's standard error stays clean,
// and the refusal gets a code of its own. The connected socket comes back
// into the process's table by SCM_RIGHTS under the number XCB knows it by,
// a number reserved there before the attempt starts: in the attempt's table
// every lower number is taken, so XCB's socket gets that one. Where this
// cannot be had (a kernel or sandbox without the call, or a resolver that
// keeps a descriptor open so that XCB's socket got another number) the
// attempts run in the process's table as any XCB client's, and a refusal is
// XCB's connection error 1.
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "linux/x11/x11_internal.h"

// Room for any DISPLAY: a host name of 253 bytes with its numbers, or a
// socket's path.
#define DISPLAY_NAME_SIZE 512

enum { ATTEMPT_NONE, ATTEMPT_RUNNING, ATTEMPT_DONE };

// Attempts that may run at once: one for the DISPLAY asked for now, one
// left hanging on a DISPLAY asked for before.
#define MAX_ATTEMPTS 2

// Pauses between the connects to a server that is resetting.
#define FIRST_RESET_PAUSE_MS 2
#define LONGEST_RESET_PAUSE_MS 64

// One attempt; guarded by s_attempt_mutex, except that the attempt's thread
// reads what was set before it started (nothing changes that while it runs).
struct x11_attempt {
  uint8_t state;
  uint8_t has_display;  // DISPLAY was set (else XCB is told NULL)
  uint8_t own_table;    // to run in a descriptor table of its own
  pid_t pid;            // the process whose thread runs it
  uint64_t serial;      // when it started, in the order of all attempts
  char display[DISPLAY_NAME_SIZE];
  // With own_table, in the process's table: the number reserved for the
  // connection's socket, our end of the channel, and its other end, which
  // is the attempt's descriptor 2 and carries the socket back.
  int reserved;
  int ours;
  int theirs;
  // The outcome, once done.
  xcb_connection_t *conn;  // NULL when it failed
  int screen_number;
  uint32_t code;
  uint8_t ran_own;    // it did run in a table of its own
  uint8_t misplaced;  // ... but its socket could not come back: try without
};

static pthread_mutex_t s_attempt_mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t s_attempt_done = PTHREAD_COND_INITIALIZER;
static x11_attempt s_attempts[MAX_ATTEMPTS];
static uint64_t s_attempt_serial;
// Set once attempts in a table of their own turned out not to work here.
static uint8_t s_shared_table_only;

static void close_if_open(int *fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

// ---------------------------------------------------------------------------
// The attempt's thread

// close_range by its number: glibc has a wrapper from 2.34 on only, and the
// library runs on older ones (Debian 11's 2.31); a kernel without the call
// (before 5.9) answers ENOSYS, and the attempts then stay in the process's
// table.
#ifndef __NR_close_range
#define __NR_close_range 436
#endif
#define VS_CLOSE_RANGE_UNSHARE (1u << 1)
static int close_fds(unsigned first, unsigned last, unsigned flags) {
  return (int)syscall(__NR_close_range, first, last, flags);
}

// Leaves the calling thread in a descriptor table of its own that holds only
// the channel, under every number below `reserved` and its own. 0; -1 when
// the thread is still in the process's table (the call is not there or not
// allowed); -2 when it is in its own table but could not fill it.
static int enter_own_table(int channel, int reserved) {
  if (close_fds((unsigned)channel + 1, ~0u, VS_CLOSE_RANGE_UNSHARE) != 0) return -1;
  if (channel > 0) close_fds(0, (unsigned)channel - 1, 0);
  for (int fd = 0; fd < reserved; fd++) {
    if (fd != channel && dup2(channel, fd) < 0) return -2;
  }
  return 0;
}

static int send_socket(int channel, int fd) {
  char marker = '\0';
  struct iovec part = {&marker, 1};
  union {
    struct cmsghdr align;
    char bytes[CMSG_SPACE(sizeof(int))];
  } control;
  memset(&control, 0, sizeof control);
  struct msghdr message;
  memset(&message, 0, sizeof message);
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control.bytes;
  message.msg_controllen = sizeof control.bytes;
  struct cmsghdr *header = CMSG_FIRSTHDR(&message);
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SCM_RIGHTS;
  header->cmsg_len = CMSG_LEN(sizeof(int));
  memcpy(CMSG_DATA(header), &fd, sizeof fd);
  ssize_t sent;
  do {
    sent = sendmsg(channel, &message, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent == 1 ? 0 : -1;
}

// ThreadSanitizer keeps one table of descriptors for the whole process: two
// attempts, each in a table of its own, use the same numbers for different
// descriptors, which it would report as a race on them. Its builds leave the
// attempt's own accesses unwatched (its locks still order it).
#if defined(__SANITIZE_THREAD__)
#define VS_ATTEMPT_UNWATCHED 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VS_ATTEMPT_UNWATCHED 1
#endif
#endif
#ifdef VS_ATTEMPT_UNWATCHED
extern "C" void __tsan_ignore_thread_begin(void);
extern "C" void __tsan_ignore_thread_end(void);
#endif

// Runs with every signal blocked (the host's handlers never run here, and
// nothing interrupts XCB's calls).
static void *run_attempt(void *record) {
#ifdef VS_ATTEMPT_UNWATCHED
  __tsan_ignore_thread_begin();
#endif
  x11_attempt *a = (x11_attempt *)record;
  int entered = a->own_table ? enter_own_table(a->theirs, a->reserved) : -1;
  int own = entered == 0;
  int misplaced = entered == -2;
  xcb_connection_t *conn = NULL;
  int screen_number = 0;
  uint32_t code = XCB_CONN_ERROR;
  if (!misplaced) {
    conn = xcb_connect(a->has_display ? a->display : NULL, &screen_number);
    code = (uint32_t)xcb_connection_has_error(conn);
    if (own && code == 0 &&
        (xcb_get_file_descriptor(conn) != a->reserved ||
         send_socket(a->theirs, a->reserved) != 0)) {
      misplaced = 1;
    }
    if (code != 0 || misplaced) {
      xcb_disconnect(conn);
      conn = NULL;
    }
  }
  pthread_mutex_lock(&s_attempt_mutex);
  if (a->own_table && entered == -1) s_shared_table_only = 1;
  a->conn = conn;
  a->screen_number = screen_number;
  a->code = code;
  a->ran_own = (uint8_t)own;
  a->misplaced = (uint8_t)misplaced;
  a->state = ATTEMPT_DONE;
  pthread_cond_broadcast(&s_attempt_done);
  pthread_mutex_unlock(&s_attempt_mutex);
#ifdef VS_ATTEMPT_UNWATCHED
  __tsan_ignore_thread_end();
#endif
  // The thread's own table, and with it every copy it held, goes now.
  return NULL;
}

// ---------------------------------------------------------------------------
// Starting and taking an attempt

static void close_channel_locked(x11_attempt *a) {
  close_if_open(&a->reserved);
  close_if_open(&a->ours);
  close_if_open(&a->theirs);
}

// 0 once the attempt runs in the free record a, else XCB's code for the
// failure.
static uint32_t start_attempt_locked(x11_attempt *a, const char *display) {
  size_t length = display ? strlen(display) : 0;
  if (length >= sizeof a->display) return XCB_CONN_CLOSED_PARSE_ERR;
  a->has_display = display != NULL;
  if (display) memcpy(a->display, display, length + 1);
  a->reserved = a->ours = a->theirs = -1;
  a->own_table = 0;
  int pair[2];
  if (!s_shared_table_only && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0) {
    a->ours = pair[0];
    a->theirs = pair[1];
    // Not below 3: 0 to 2 stay the channel in the attempt's table, so that
    // what XCB writes to descriptor 2 reaches us and nothing else.
    a->reserved = fcntl(pair[1], F_DUPFD_CLOEXEC, 3);
    if (a->reserved >= 0) {
      a->own_table = 1;
    } else {
      close_channel_locked(a);
    }
  }
  a->conn = NULL;
  a->screen_number = 0;
  a->code = 0;
  a->ran_own = 0;
  a->misplaced = 0;
  a->pid = getpid();
  a->serial = ++s_attempt_serial;
  a->state = ATTEMPT_RUNNING;

  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  pthread_t thread;
  int started = pthread_create(&thread, &attributes, run_attempt, a);
  pthread_sigmask(SIG_SETMASK, &old, NULL);
  pthread_attr_destroy(&attributes);
  if (started != 0) {
    close_channel_locked(a);
    a->state = ATTEMPT_NONE;
    return XCB_CONN_CLOSED_MEM_INSUFFICIENT;
  }
  return 0;
}

// Reads what the attempt left in the channel: what XCB wrote to descriptor
// 2 into reason (always terminated), and the socket, if one came (else -1).
static int drain_channel(int channel, char *reason, size_t size) {
  size_t used = 0;
  int socket_fd = -1;
  for (;;) {
    char bytes[512];
    struct iovec part = {bytes, sizeof bytes};
    union {
      struct cmsghdr align;
      char bytes[CMSG_SPACE(4 * sizeof(int))];
    } control;
    struct msghdr message;
    memset(&message, 0, sizeof message);
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control.bytes;
    message.msg_controllen = sizeof control.bytes;
    ssize_t n = recvmsg(channel, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (struct cmsghdr *h = CMSG_FIRSTHDR(&message); h; h = CMSG_NXTHDR(&message, h)) {
      if (h->cmsg_level != SOL_SOCKET || h->cmsg_type != SCM_RIGHTS) continue;
      size_t count = (h->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (size_t i = 0; i < count; i++) {
        int fd;
        memcpy(&fd, CMSG_DATA(h) + i * sizeof(int), sizeof fd);
        if (socket_fd < 0) {
          socket_fd = fd;
        } else {
          close(fd);
        }
      }
    }
    for (ssize_t i = 0; i < n; i++) {
      if (bytes[i] != '\0' && used + 1 < size) reason[used++] = bytes[i];
    }
  }
  reason[used] = '\0';
  return socket_fd;
}

// With the attempt done: its connection, now in the process's table, or
// NULL with *code and the reason set. The record is free again.
static xcb_connection_t *take_attempt_locked(x11_attempt *a, int *screen_number, uint32_t *code,
                                             char *reason, size_t size) {
  xcb_connection_t *conn = a->conn;
  *screen_number = a->screen_number;
  *code = a->code;
  reason[0] = '\0';
  if (a->ran_own) {
    int fd = drain_channel(a->ours, reason, size);
    if (conn) {
      if (fd >= 0 && dup3(fd, a->reserved, O_CLOEXEC) >= 0) {
        // The reserved number is the connection's socket from now on.
        a->reserved = -1;
      } else {
        // XCB's record names the reserved number, which still holds a
        // copy of the channel: closing it there harms nobody.
        xcb_disconnect(conn);
        a->reserved = -1;
        conn = NULL;
        *code = XCB_CONN_ERROR;
      }
    } else if (*code == XCB_CONN_ERROR && reason[0]) {
      *code = VS_ERROR_X11_REFUSED;
    }
    if (fd >= 0) close(fd);
  }
  if (conn) reason[0] = '\0';
  close_channel_locked(a);
  a->conn = NULL;
  a->state = ATTEMPT_NONE;
  return conn;
}

// An attempt started by the parent of this process: its thread is not here,
// and what it made belongs to the parent.
static void forget_parents_attempt_locked(x11_attempt *a) {
  if (a->state == ATTEMPT_DONE && a->conn) {
    // Its socket's number is the reserved one where it ran in its own table.
    if (a->ran_own && xcb_get_file_descriptor(a->conn) == a->reserved) a->reserved = -1;
    x11_forget_connection(a->conn);
  }
  close_channel_locked(a);
  a->conn = NULL;
  a->state = ATTEMPT_NONE;
}

static int same_display(const x11_attempt *a, const char *display) {
  if (!display) return !a->has_display;
  return a->has_display && strcmp(a->display, display) == 0;
}

// XCB sets both on its TCP sockets; a version that does not gets them here:
// a lost peer is noticed, and small requests are not held back.
static void tune_tcp(int fd) {
  struct sockaddr_storage address;
  socklen_t length = sizeof address;
  if (getsockname(fd, (struct sockaddr *)&address, &length) != 0) return;
  if (address.ss_family != AF_INET && address.ss_family != AF_INET6) return;
  const int options[2][2] = {{IPPROTO_TCP, TCP_NODELAY}, {SOL_SOCKET, SO_KEEPALIVE}};
  for (const auto &option : options) {
    int value = 0;
    socklen_t size = sizeof value;
    if (getsockopt(fd, option[0], option[1], &value, &size) == 0 && value == 0) {
      value = 1;
      setsockopt(fd, option[0], option[1], &value, sizeof value);
    }
  }
}

// ---------------------------------------------------------------------------
// The call

// Whether a socket listens at the local display DISPLAY names (":N",
// "unix:N"), in /proc/net/unix: a server that is there but closed our
// connection before its setup reply is resetting. Looked up without
// connecting, so the look itself is no client the server would count.
static int local_server_listens(const char *display) {
  char *host = NULL;
  int number = 0;
  if (!xcb_parse_display(display, &host, &number, NULL)) return 0;
  int local = host[0] == '\0' || strcmp(host, "unix") == 0;
  free(host);
  if (!local) return 0;
  char file_socket[64];
  snprintf(file_socket, sizeof file_socket, "/tmp/.X11-unix/X%d", number);
  FILE *table = fopen("/proc/net/unix", "re");
  if (!table) return 0;
  int listens = 0;
  char line[512];
  int line_start = 1;
  while (!listens && fgets(line, sizeof line, table)) {
    int whole = strchr(line, '\n') != NULL;
    if (line_start) {
      // Num RefCount Protocol Flags Type St Inode Path; __SO_ACCEPTCON in
      // the flags marks a listening socket.
      unsigned long flags = 0;
      int path_at = 0;
      if (sscanf(line, "%*s %*x %*x %lx %*x %*x %*u %n", &flags, &path_at) == 1 && path_at > 0 &&
          (flags & 0x10000ul)) {
        char *path = line + path_at;
        path[strcspn(path, "\n")] = '\0';
        if (path[0] == '@') path++;
        listens = strcmp(path, file_socket) == 0;
      }
    }
    line_start = whole;
  }
  fclose(table);
  return listens;
}

// Takes what every finished attempt for another DISPLAY made, and drops it.
static void drop_other_displays_locked(const char *display) {
  for (x11_attempt &a : s_attempts) {
    if (a.state != ATTEMPT_DONE || same_display(&a, display)) continue;
    int screen_number = 0;
    uint32_t code = 0;
    char reason[VS_REASON_SIZE];
    xcb_connection_t *conn = take_attempt_locked(&a, &screen_number, &code, reason, sizeof reason);
    if (a.misplaced) s_shared_table_only = 1;
    if (conn) xcb_disconnect(conn);
  }
}

static x11_attempt *attempt_for_locked(const char *display) {
  for (x11_attempt &a : s_attempts) {
    if (a.state != ATTEMPT_NONE && same_display(&a, display)) return &a;
  }
  return NULL;
}

static x11_attempt *free_attempt_locked(void) {
  for (x11_attempt &a : s_attempts) {
    if (a.state == ATTEMPT_NONE) return &a;
  }
  return NULL;
}

// Sleeps ms milliseconds with the attempts' lock given up.
static void pause_unlocked(int64_t ms) {
  pthread_mutex_unlock(&s_attempt_mutex);
  struct timespec pause = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
  pthread_mutex_lock(&s_attempt_mutex);
}

// ---------------------------------------------------------------------------
// The call

xcb_connection_t *x11_open_display(int64_t deadline, int *screen_number) {
  const char *display = getenv("DISPLAY");
  // No form of DISPLAY is empty: XCB refuses it at once, without a thread.
  if (!display || !display[0]) {
    vs_set_last_error(XCB_CONN_CLOSED_PARSE_ERR);
    return NULL;
  }
  char reason[VS_REASON_SIZE];
  reason[0] = '\0';
  xcb_connection_t *conn = NULL;
  uint32_t code = 0;
  int64_t reset_pause = FIRST_RESET_PAUSE_MS;
  pthread_mutex_lock(&s_attempt_mutex);
  for (x11_attempt &a : s_attempts) {
    if (a.state != ATTEMPT_NONE && a.pid != getpid()) forget_parents_attempt_locked(&a);
  }
  // An attempt started from here on answers for this call; a failure of an
  // older one may be stale by now.
  uint64_t first_serial = s_attempt_serial + 1;
  for (;;) {
    drop_other_displays_locked(display);
    x11_attempt *a = attempt_for_locked(display);
    if (a && a->state == ATTEMPT_DONE) {
      int misplaced = a->misplaced;
      int fresh = a->serial >= first_serial;
      conn = take_attempt_locked(a, screen_number, &code, reason, sizeof reason);
      if (misplaced) {
        s_shared_table_only = 1;
        if (conn) xcb_disconnect(conn);
        conn = NULL;
        continue;
      }
      // A connection to this DISPLAY is taken however late it came.
      if (conn) break;
      if (!fresh) continue;
      if (code == XCB_CONN_ERROR && !reason[0] && local_server_listens(display) &&
          deadline - vs_now_ms() > reset_pause) {
        pause_unlocked(reset_pause);
        if (reset_pause < LONGEST_RESET_PAUSE_MS) reset_pause *= 2;
        continue;
      }
      break;
    }
    if (!a) {
      a = free_attempt_locked();
      if (a) {
        code = start_attempt_locked(a, display);
        if (code != 0) break;
        continue;
      }
      // Both run, for other displays, and hang: one of them may end.
    }
    struct timespec until = vs_monotonic_time(deadline);
    int waited = pthread_cond_clockwait(&s_attempt_done, &s_attempt_mutex, CLOCK_MONOTONIC, &until);
    if (waited == ETIMEDOUT) {
      a = attempt_for_locked(display);
      if (!a || a->state == ATTEMPT_RUNNING) {
        code = VS_ERROR_X11_TIMEOUT;
        break;
      }
    }
  }
  pthread_mutex_unlock(&s_attempt_mutex);
  if (!conn) {
    if (code == VS_ERROR_X11_REFUSED) {
      vs_set_last_error_reason(code, reason, strlen(reason));
    } else {
      vs_set_last_error(code);
    }
    return NULL;
  }
  tune_tcp(xcb_get_file_descriptor(conn));
  return conn;
}

void x11_drop_stale_attempts(void) {
  const char *display = getenv("DISPLAY");
  pthread_mutex_lock(&s_attempt_mutex);
  for (x11_attempt &a : s_attempts) {
    if (a.state != ATTEMPT_NONE && a.pid != getpid()) forget_parents_attempt_locked(&a);
  }
  if (display && display[0]) drop_other_displays_locked(display);
  pthread_mutex_unlock(&s_attempt_mutex);
}

// Lets go of a connection without touching its socket, which a parent
// process still uses: xcb_disconnect would shut it down for both. A fresh,
// unconnected socket takes the descriptor's number first, so what
// xcb_disconnect shuts down and closes is that one, and the record's memory
// is freed all the same.
void x11_forget_connection(xcb_connection_t *conn) {
  int fd = xcb_get_file_descriptor(conn);
  int fresh = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fresh >= 0 && dup3(fresh, fd, O_CLOEXEC) >= 0) {
    close(fresh);
    xcb_disconnect(conn);
    return;
  }
  if (fresh >= 0) close(fresh);
  // Without a socket to put there, the record is left behind: a small leak
  // in this process rather than the parent's connection shut down.
  close(fd);
}

// ---------------------------------------------------------------------------
// fork

// The attempt's lock is only ever held for moments, so it is taken across a
// fork and the child gets it free; its condition variable may count waiters
// of the parent's and is made new. The layer's own lock can be held for a
// whole call, so fork does not wait for it; the child makes it new if a
// thread of the parent held it (x11_after_fork_child).
static void before_fork(void) { pthread_mutex_lock(&s_attempt_mutex); }

static void after_fork_in_parent(void) { pthread_mutex_unlock(&s_attempt_mutex); }

static void after_fork_in_child(void) {
  pthread_cond_t fresh = PTHREAD_COND_INITIALIZER;
  s_attempt_done = fresh;
  pthread_mutex_unlock(&s_attempt_mutex);
  x11_after_fork_child();
}

static pthread_once_t s_fork_once = PTHREAD_ONCE_INIT;

static void watch_fork(void) {
  pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
}

void x11_watch_fork(void) { pthread_once(&s_fork_once, watch_fork); }
