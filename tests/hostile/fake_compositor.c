// A compositor that misbehaves on purpose, over the raw Wayland wire format:
//   fake_compositor MODE SOCKET-PATH
// It prints "ready" on stdout once the socket listens, and serves until it is
// killed or the process that started it ends (it then dies too, and so does
// every connection's server it forked). MODE is one of:
//   close    accepts each connection and closes it at once
//   silent   accepts and never answers
//   garbage  answers the first request with bytes that are no message
//   backlog  listens with a full backlog and never accepts
//   hangup   answers with the first bytes of a message, then hangs up
//   changed  speaks enough of the protocol for one screen copy, and describes
//            the buffer again after buffer_done
//   shrink   the same, and cuts the client's memory file to nothing before it
//            says the copy is ready (a sealed file refuses; it then says
//            "sealed" on stderr)
#define _GNU_SOURCE
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#define MAX_OBJECTS 256
#define MAX_FDS 16

enum kind { NONE, REGISTRY, SHM, POOL, BUFFER, OUTPUT, COPY_MANAGER, FRAME, CALLBACK };

struct client {
  int fd;
  int kinds[MAX_OBJECTS];
  int fds[MAX_FDS];
  int fd_count;
  int pool_fd;
  uint8_t in[65536];
  size_t in_len;
};

static const char *s_mode;

static void put32(uint8_t *out, size_t *at, uint32_t value) {
  memcpy(out + *at, &value, 4);
  *at += 4;
}

static void put_string(uint8_t *out, size_t *at, const char *text) {
  uint32_t length = (uint32_t)strlen(text) + 1;
  put32(out, at, length);
  memset(out + *at, 0, (length + 3) / 4 * 4);
  memcpy(out + *at, text, length);
  *at += (length + 3) / 4 * 4;
}

// Sends one event: object, opcode, and the argument bytes.
static void send_event(struct client *c, uint32_t object, uint16_t opcode, const uint8_t *args,
                       size_t length) {
  uint8_t message[512];
  size_t at = 0;
  put32(message, &at, object);
  put32(message, &at, (uint32_t)((8 + length) << 16 | opcode));
  if (length > 0) memcpy(message + at, args, length);
  at += length;
  if (send(c->fd, message, at, MSG_NOSIGNAL) < 0) exit(0);
}

static void send_u32s(struct client *c, uint32_t object, uint16_t opcode, int count,
                      const uint32_t *values) {
  uint8_t args[64];
  size_t at = 0;
  for (int i = 0; i < count; i++) put32(args, &at, values[i]);
  send_event(c, object, opcode, args, at);
}

static void global(struct client *c, uint32_t registry, uint32_t name, const char *interface,
                   uint32_t version) {
  uint8_t args[128];
  size_t at = 0;
  put32(args, &at, name);
  put_string(args, &at, interface);
  put32(args, &at, version);
  send_event(c, registry, 0, args, at);
}

#define WIDTH 64
#define HEIGHT 48

static void bind_object(struct client *c, uint32_t name, uint32_t id) {
  if (id >= MAX_OBJECTS) exit(1);
  if (name == 1) {
    c->kinds[id] = SHM;
    uint32_t format = 1;  // XRGB8888
    send_u32s(c, id, 0, 1, &format);
  } else if (name == 2) {
    c->kinds[id] = OUTPUT;
    uint8_t args[128];
    size_t at = 0;
    put32(args, &at, 0);
    put32(args, &at, 0);
    put32(args, &at, 100);
    put32(args, &at, 75);
    put32(args, &at, 0);
    put_string(args, &at, "fake");
    put_string(args, &at, "fake");
    put32(args, &at, 0);
    send_event(c, id, 0, args, at);
    uint32_t mode[4] = {3, WIDTH, HEIGHT, 60000};
    send_u32s(c, id, 1, 4, mode);
    send_event(c, id, 2, NULL, 0);
  } else if (name == 3) {
    c->kinds[id] = COPY_MANAGER;
  }
}

static void describe_buffer(struct client *c, uint32_t frame) {
  uint32_t buffer[4] = {1, WIDTH, HEIGHT, WIDTH * 4};
  send_u32s(c, frame, 0, 4, buffer);
}

// One request: the bytes after the header in args.
static void handle(struct client *c, uint32_t object, uint16_t opcode, const uint8_t *args,
                   size_t length) {
  uint32_t a[8] = {0};
  memcpy(a, args, length < sizeof a ? length : sizeof a);
  int kind = object == 1 ? -1 : (object < MAX_OBJECTS ? c->kinds[object] : NONE);
  if (kind == -1 && opcode == 0) {  // wl_display.sync
    uint32_t serial = 1;
    send_u32s(c, a[0], 0, 1, &serial);
    send_u32s(c, 1, 1, 1, &a[0]);          // delete_id
  } else if (kind == -1 && opcode == 1) {  // get_registry
    c->kinds[a[0]] = REGISTRY;
    global(c, a[0], 1, "wl_shm", 1);
    global(c, a[0], 2, "wl_output", 3);
    // A compositor of the GNOME or KDE kind offers no screen copy at all.
    if (strcmp(s_mode, "nocopy") != 0) global(c, a[0], 3, "zwlr_screencopy_manager_v1", 3);
  } else if (kind == REGISTRY && opcode == 0) {  // bind: name, interface, version, id
    uint32_t name = a[0];
    uint32_t string_length = a[1];
    size_t at = 8 + (string_length + 3) / 4 * 4 + 4;
    uint32_t id = 0;
    if (at + 4 <= length) memcpy(&id, args + at, 4);
    bind_object(c, name, id);
  } else if (kind == SHM && opcode == 0) {  // create_pool: id, fd, size
    c->kinds[a[0]] = POOL;
    if (c->fd_count > 0) {
      if (c->pool_fd >= 0) close(c->pool_fd);
      c->pool_fd = c->fds[0];
      memmove(c->fds, c->fds + 1, (size_t)--c->fd_count * sizeof c->fds[0]);
    }
  } else if (kind == POOL && opcode == 0) {
    c->kinds[a[0]] = BUFFER;
  } else if (kind == COPY_MANAGER && (opcode == 0 || opcode == 1)) {
    c->kinds[a[0]] = FRAME;
    describe_buffer(c, a[0]);
    send_event(c, a[0], 6, NULL, 0);                           // buffer_done
  } else if (kind == FRAME && (opcode == 0 || opcode == 2)) {  // copy
    if (strcmp(s_mode, "changed") == 0) {
      uint32_t bigger[4] = {1, WIDTH * 2, HEIGHT * 2, WIDTH * 8};
      send_u32s(c, object, 0, 4, bigger);
    } else if (c->pool_fd >= 0) {
      if (ftruncate(c->pool_fd, 0) != 0) fprintf(stderr, "sealed\n");
    }
    uint32_t flags = 0;
    send_u32s(c, object, 1, 1, &flags);
    uint32_t when[3] = {0, 1, 0};
    send_u32s(c, object, 2, 3, when);  // ready
  }
}

static void take_fds(struct client *c, struct msghdr *message) {
  for (struct cmsghdr *cm = CMSG_FIRSTHDR(message); cm; cm = CMSG_NXTHDR(message, cm)) {
    if (cm->cmsg_level != SOL_SOCKET || cm->cmsg_type != SCM_RIGHTS) continue;
    int count = (int)((cm->cmsg_len - CMSG_LEN(0)) / sizeof(int));
    for (int i = 0; i < count; i++) {
      int fd;
      memcpy(&fd, CMSG_DATA(cm) + i * sizeof(int), sizeof fd);
      if (c->fd_count < MAX_FDS) {
        c->fds[c->fd_count++] = fd;
      } else {
        close(fd);
      }
    }
  }
}

static void speak(int fd) {
  struct client *c = calloc(1, sizeof *c);
  if (!c) exit(1);
  c->fd = fd;
  c->pool_fd = -1;
  for (;;) {
    char control[CMSG_SPACE(sizeof(int) * MAX_FDS)];
    struct iovec iov = {c->in + c->in_len, sizeof c->in - c->in_len};
    struct msghdr message;
    memset(&message, 0, sizeof message);
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n = recvmsg(fd, &message, 0);
    if (n <= 0) exit(0);
    take_fds(c, &message);
    c->in_len += (size_t)n;
    size_t at = 0;
    while (c->in_len - at >= 8) {
      uint32_t object, size_opcode;
      memcpy(&object, c->in + at, 4);
      memcpy(&size_opcode, c->in + at + 4, 4);
      size_t size = size_opcode >> 16;
      if (size < 8) exit(1);
      if (c->in_len - at < size) break;
      handle(c, object, (uint16_t)(size_opcode & 0xffff), c->in + at + 8, size - 8);
      at += size;
    }
    memmove(c->in, c->in + at, c->in_len - at);
    c->in_len -= at;
  }
}

// Until the client hangs up (or the compositor is gone: the death signal).
static void wait_for_hangup(int fd) {
  char sink[256];
  while (read(fd, sink, sizeof sink) > 0) {
  }
  exit(0);
}

static void serve(int listener) {
  pid_t compositor = getpid();
  for (;;) {
    int fd = accept(listener, NULL, NULL);
    if (fd < 0) {
      if (errno == EINTR) continue;
      exit(1);
    }
    if (strcmp(s_mode, "close") == 0) {
      close(fd);
    } else if (strcmp(s_mode, "silent") == 0) {
      // Kept open, never read: the client's requests pile up unanswered.
    } else if (fork() == 0) {
      // A connection's server goes with the compositor, also one that was
      // killed before this line ran.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != compositor) exit(0);
      close(listener);
      char first[64];
      if (strcmp(s_mode, "garbage") == 0) {
        if (read(fd, first, sizeof first) <= 0) exit(0);
        static const char junk[] = "\xff\xff\xff\x7f\x05\x00\x01\x00this is no wayland message";
        for (int i = 0; i < 64; i++) send(fd, junk, sizeof junk, MSG_NOSIGNAL);
        wait_for_hangup(fd);
      } else if (strcmp(s_mode, "hangup") == 0) {
        if (read(fd, first, sizeof first) <= 0) exit(0);
        // The first 6 bytes of a wl_registry.global event, then nothing.
        static const uint8_t part[] = {2, 0, 0, 0, 0, 0};
        send(fd, part, sizeof part, MSG_NOSIGNAL);
        exit(0);
      } else {
        speak(fd);
      }
      exit(0);
    } else {
      close(fd);
    }
  }
}

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: fake_compositor MODE SOCKET-PATH\n");
    return 2;
  }
  s_mode = argv[1];
  // Whatever way the test or script that started it ends, this ends with it
  // (its starters set this before exec too, which also covers a starter
  // that died before this line).
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  signal(SIGCHLD, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
  struct sockaddr_un address;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (strlen(argv[2]) >= sizeof address.sun_path) return 2;
  strcpy(address.sun_path, argv[2]);
  unlink(argv[2]);
  int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  int backlog = strcmp(s_mode, "backlog") == 0 ? 0 : 16;
  if (listener < 0 || bind(listener, (struct sockaddr *)&address, sizeof address) != 0 ||
      listen(listener, backlog) != 0) {
    perror("fake_compositor");
    return 1;
  }
  if (backlog == 0) {
    // Fill the backlog with connections of our own, never accepted.
    for (int i = 0; i < 64; i++) {
      int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
      if (connect(fd, (struct sockaddr *)&address, sizeof address) != 0) {
        close(fd);
        break;
      }
    }
    printf("ready\n");
    fflush(stdout);
    for (;;) pause();
  }
  printf("ready\n");
  fflush(stdout);
  serve(listener);
  return 0;
}
