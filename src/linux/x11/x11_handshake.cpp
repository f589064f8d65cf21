// The connection to the X server, made without blocking. xcb_connect would
// block in connect() on a server whose backlog is full and in reading the
// setup reply of a server that has stopped; neither has a bound. So the
// socket is connected here with a non-blocking connect and poll, the
// connection setup (with the MIT-MAGIC-COOKIE-1 from the Xauthority file) is
// sent and its reply read here against the deadline, and only then is the
// connection handed to XCB:
//   - xcb_connect_to_fd is given one end of a loopback TCP pair that already
//     holds the server's reply, and reads it from there at once. It sends its
//     own setup request first and, in the poll before that write, would read
//     and misparse a reply that is already waiting; a receive low-water mark
//     above the reply's length keeps poll quiet while recv still hands it over.
//   - The server's socket then takes the pair's place under XCB's descriptor
//     number (dup3), and XCB goes on where the setup left off.
// Where no loopback pair can be had, XCB makes the setup itself on the
// connected socket, and only that read is unbounded.
#include <X11/Xauth.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "linux/x11/x11_internal.h"

// The largest setup reply the protocol can describe: 8 bytes and a 16-bit
// count of 4-byte units.
#define SETUP_REPLY_MAX (8 + 65535 * 4)

// The protocol's host families (X.h's, without the rest of that header).
#define FAMILY_INTERNET 0
#define FAMILY_INTERNET6 6

static int time_left(int64_t deadline) {
  int64_t left = deadline - vs_now_ms();
  if (left <= 0) return 0;
  return left > 60000 ? 60000 : (int)left;
}

// 0 once connected, 1 when nothing listens there (try the next address), -1
// when the deadline passed first.
static int connect_by(int fd, const struct sockaddr *address, socklen_t length, int64_t deadline) {
  for (;;) {
    if (connect(fd, address, length) == 0) return 0;
    if (errno == EINTR) continue;
    if (errno == EINPROGRESS) {
      struct pollfd pfd = {fd, POLLOUT, 0};
      int ready = poll(&pfd, 1, time_left(deadline));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return -1;
      int error = 0;
      socklen_t size = sizeof error;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) return 1;
      return 0;
    }
    // A local server that listens but does not accept (its backlog full)
    // refuses a non-blocking connect with EAGAIN: try again until the deadline.
    if (errno != EAGAIN) return 1;
    int left = time_left(deadline);
    if (left == 0) return -1;
    poll(NULL, 0, left < 10 ? left : 10);
  }
}

// Local sockets as XCB tries them on Linux: the abstract one, then the file.
static int open_local(int display, int64_t deadline, int *timed_out) {
  for (int abstract = 1; abstract >= 0; abstract--) {
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    int n = snprintf(address.sun_path + abstract, sizeof address.sun_path - 1, "/tmp/.X11-unix/X%d",
                     display);
    if (n < 0) return -1;
    socklen_t length = (socklen_t)(offsetof(struct sockaddr_un, sun_path) + abstract + n);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    int connected = connect_by(fd, (const struct sockaddr *)&address, length, deadline);
    if (connected == 0) return fd;
    close(fd);
    if (connected < 0) {
      *timed_out = 1;
      return -1;
    }
  }
  return -1;
}

// A display on another host: TCP port 6000 plus the display number. The
// resolver's own bound applies to the name lookup.
static int open_tcp(const char *host, int display, int64_t deadline, int *timed_out,
                    struct sockaddr_storage *peer) {
  char port[16];
  snprintf(port, sizeof port, "%d", 6000 + display);
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
  struct addrinfo *found = NULL;
  if (getaddrinfo(host, port, &hints, &found) != 0) return -1;
  int fd = -1;
  for (struct addrinfo *a = found; a && fd < 0; a = a->ai_next) {
    fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0) continue;
    int connected = connect_by(fd, a->ai_addr, a->ai_addrlen, deadline);
    if (connected == 0 && a->ai_addrlen <= sizeof *peer) {
      memcpy(peer, a->ai_addr, a->ai_addrlen);
      break;
    }
    close(fd);
    fd = -1;
    if (connected < 0) {
      *timed_out = 1;
      break;
    }
  }
  freeaddrinfo(found);
  return fd;
}

// The cookie for this display, as XCB looks it up: a local connection (a
// socket, or TCP to this machine) by the host's name, another by the
// server's address.
static Xauth *find_cookie(const struct sockaddr_storage *peer, int display) {
  char number[16];
  snprintf(number, sizeof number, "%d", display);
  static char k_cookie_name[] = "MIT-MAGIC-COOKIE-1";
  char *types[1] = {k_cookie_name};
  int type_lengths[1] = {(int)sizeof k_cookie_name - 1};
  unsigned short family = FamilyLocal;
  const char *address = NULL;
  unsigned short address_length = 0;
  char host[256];
  const struct sockaddr_in *v4 = (const struct sockaddr_in *)(const void *)peer;
  const struct sockaddr_in6 *v6 = (const struct sockaddr_in6 *)(const void *)peer;
  if (peer->ss_family == AF_INET && ntohl(v4->sin_addr.s_addr) >> 24 != 127) {
    family = FAMILY_INTERNET;
    address = (const char *)&v4->sin_addr;
    address_length = 4;
  } else if (peer->ss_family == AF_INET6 && !IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr)) {
    if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
      family = FAMILY_INTERNET;
      address = (const char *)&v6->sin6_addr + 12;
      address_length = 4;
    } else {
      family = FAMILY_INTERNET6;
      address = (const char *)&v6->sin6_addr;
      address_length = 16;
    }
  }
  if (family == FamilyLocal) {
    if (gethostname(host, sizeof host) != 0) return NULL;
    host[sizeof host - 1] = '\0';
    address = host;
    address_length = (unsigned short)strlen(host);
  }
  return XauGetBestAuthByAddr(family, address_length, address, (unsigned short)strlen(number),
                              number, 1, types, type_lengths);
}

static int send_all(int fd, const uint8_t *data, size_t length, int64_t deadline) {
  size_t sent = 0;
  while (sent < length) {
    ssize_t n = send(fd, data + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += (size_t)n;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return 1;
    struct pollfd pfd = {fd, POLLOUT, 0};
    int ready = poll(&pfd, 1, time_left(deadline));
    if (ready == 0) return -1;
  }
  return 0;
}

// 0 with every byte, 1 when the server hung up or failed, -1 at the deadline.
static int receive_all(int fd, uint8_t *data, size_t length, int64_t deadline) {
  size_t got = 0;
  while (got < length) {
    ssize_t n = recv(fd, data + got, length - got, MSG_DONTWAIT);
    if (n > 0) {
      got += (size_t)n;
      continue;
    }
    if (n == 0) return 1;
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return 1;
    struct pollfd pfd = {fd, POLLIN, 0};
    int ready = poll(&pfd, 1, time_left(deadline));
    if (ready == 0) return -1;
  }
  return 0;
}

static void put16(uint8_t *at, uint16_t value) { memcpy(at, &value, 2); }

// Sends the connection setup and reads the reply: a malloc'd block of
// *length bytes when the server accepted, else NULL with *code set.
static uint8_t *exchange_setup(int fd, const Xauth *cookie, int64_t deadline, size_t *length,
                               uint32_t *code) {
  size_t name_length = cookie ? cookie->name_length : 0;
  size_t data_length = cookie ? cookie->data_length : 0;
  size_t request_length = 12 + (name_length + 3) / 4 * 4 + (data_length + 3) / 4 * 4;
  uint8_t *request = (uint8_t *)calloc(1, request_length);
  *code = XCB_CONN_CLOSED_MEM_INSUFFICIENT;
  if (!request) return NULL;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  request[0] = 'B';
#else
  request[0] = 'l';
#endif
  put16(request + 2, 11);
  put16(request + 4, 0);
  put16(request + 6, (uint16_t)name_length);
  put16(request + 8, (uint16_t)data_length);
  if (name_length) memcpy(request + 12, cookie->name, name_length);
  if (data_length) memcpy(request + 12 + (name_length + 3) / 4 * 4, cookie->data, data_length);

  *code = XCB_CONN_ERROR;
  int step = send_all(fd, request, request_length, deadline);
  free(request);
  uint8_t head[8];
  if (step == 0) step = receive_all(fd, head, sizeof head, deadline);
  uint8_t *reply = NULL;
  if (step == 0) {
    uint16_t units = 0;
    memcpy(&units, head + 6, 2);
    *length = 8 + (size_t)units * 4;
    reply = (uint8_t *)malloc(*length);
    if (!reply) {
      *code = XCB_CONN_CLOSED_MEM_INSUFFICIENT;
      return NULL;
    }
    memcpy(reply, head, sizeof head);
    step = receive_all(fd, reply + 8, *length - 8, deadline);
  }
  if (step < 0) *code = VS_ERROR_X11_TIMEOUT;
  // 0 is a refusal (a wrong cookie), 2 asks for more than a cookie: XCB's
  // setup with the same cookie fails too (and prints the reason).
  if (step != 0 || head[0] != 1) {
    free(reply);
    return NULL;
  }
  return reply;
}

// A connected loopback TCP pair: [0] for XCB, [1] ours. 0 or -1.
static int loopback_pair(int pair[2], size_t room) {
  pair[0] = pair[1] = -1;
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) return -1;
  struct sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  int buffer = (int)room;
  pair[0] = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (pair[0] >= 0) setsockopt(pair[0], SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  // Our own listener, with room in its backlog: connect and accept return at
  // once.
  if (pair[0] < 0 || bind(listener, (struct sockaddr *)&address, sizeof address) != 0 ||
      listen(listener, 1) != 0 || getsockname(listener, (struct sockaddr *)&address, &size) != 0 ||
      connect(pair[0], (struct sockaddr *)&address, sizeof address) != 0 ||
      (pair[1] = accept4(listener, NULL, NULL, SOCK_CLOEXEC)) < 0) {
    close(listener);
    if (pair[0] >= 0) close(pair[0]);
    pair[0] = -1;
    return -1;
  }
  close(listener);
  setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  return 0;
}

// Hands the server's socket, its setup done, to XCB (see the top). NULL
// with *code set.
static xcb_connection_t *hand_over(int server, int pair[2], const uint8_t *reply, size_t length,
                                   int64_t deadline, uint32_t *code) {
  *code = XCB_CONN_ERROR;
  int ready = send_all(pair[1], reply, length, deadline) == 0;
  // Every byte is in XCB's end before it starts.
  while (ready) {
    int queued = 0;
    if (ioctl(pair[0], FIONREAD, &queued) != 0) ready = 0;
    if (!ready || (size_t)queued >= length) break;
    int left = time_left(deadline);
    if (left == 0) ready = 0;
    poll(NULL, 0, 1);
  }
  int mark = (int)length + 1;
  if (!ready || setsockopt(pair[0], SOL_SOCKET, SO_RCVLOWAT, &mark, sizeof mark) != 0) {
    close(pair[0]);
    return NULL;
  }
  xcb_connection_t *conn = xcb_connect_to_fd(pair[0], NULL);
  int broken = xcb_connection_has_error(conn);
  if (!broken && dup3(server, xcb_get_file_descriptor(conn), O_CLOEXEC) < 0) broken = 1;
  if (broken) {
    // XCB closes the descriptor it was given, whichever socket it is now.
    xcb_disconnect(conn);
    return NULL;
  }
  return conn;
}

// One socket to the display, connected by the deadline; -1 with *code set.
static int open_socket(const char *host, int display, int64_t deadline,
                       struct sockaddr_storage *peer, uint32_t *code) {
  int timed_out = 0;
  memset(peer, 0, sizeof *peer);
  peer->ss_family = AF_UNIX;
  int fd = host[0] == '\0' || strcmp(host, "unix") == 0
               ? open_local(display, deadline, &timed_out)
               : open_tcp(host, display, deadline, &timed_out, peer);
  if (fd < 0) *code = timed_out ? VS_ERROR_X11_TIMEOUT : XCB_CONN_ERROR;
  return fd;
}

xcb_connection_t *x11_open_display(int64_t deadline, int *screen_number, uint32_t *code) {
  char *host = NULL;
  int display = 0;
  if (!xcb_parse_display(NULL, &host, &display, screen_number)) {
    *code = XCB_CONN_CLOSED_PARSE_ERR;
    return NULL;
  }
  struct sockaddr_storage peer;
  int fd = open_socket(host, display, deadline, &peer, code);
  free(host);
  if (fd < 0) return NULL;
  Xauth *cookie = find_cookie(&peer, display);
  xcb_connection_t *conn = NULL;
  int pair[2];
  if (loopback_pair(pair, SETUP_REPLY_MAX + 4096) == 0) {
    size_t length = 0;
    uint8_t *reply = exchange_setup(fd, cookie, deadline, &length, code);
    if (reply) {
      conn = hand_over(fd, pair, reply, length, deadline, code);
    } else {
      close(pair[0]);
    }
    close(pair[1]);
    free(reply);
    close(fd);
  } else {
    xcb_auth_info_t auth;
    memset(&auth, 0, sizeof auth);
    if (cookie) {
      auth.namelen = cookie->name_length;
      auth.name = cookie->name;
      auth.datalen = cookie->data_length;
      auth.data = cookie->data;
    }
    // XCB owns the socket from here, and closes it with the connection.
    conn = xcb_connect_to_fd(fd, cookie ? &auth : NULL);
    int broken = xcb_connection_has_error(conn);
    if (broken) {
      xcb_disconnect(conn);
      conn = NULL;
      *code = (uint32_t)broken;
    }
  }
  if (cookie) XauDisposeAuth(cookie);
  return conn;
}
