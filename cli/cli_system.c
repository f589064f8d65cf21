/* What the program asks of the system itself rather than of the library: the
 * focused window, where a picture goes when no file is named, temporary files,
 * the delay. */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 200809L /* open flags, fdopen, lstat, sigaction, ... */
#endif
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include "cli.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#include <xcb/xcb.h>

#endif

void sleep_ms(unsigned ms) {
#if defined(_WIN32)
  Sleep(ms);
#else
  struct timespec left;
  left.tv_sec = (time_t)(ms / 1000);
  left.tv_nsec = (long)(ms % 1000) * 1000000L;
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
#endif
}

/* ---- the focused window ---------------------------------------------------- */

#if defined(_WIN32)

int focused_window(uintptr_t *window, char *id, size_t size) {
  HWND foreground = GetForegroundWindow();
  (void)id;
  (void)size;
  if (!foreground) return failed("no focused window: GetForegroundWindow names none");
  *window = (uintptr_t)foreground;
  return EXIT_OK;
}

#else

enum { X11_ANSWER_SECONDS = 5 };

static void x11_too_slow(int signal_number) {
  static const char message[] = PROGRAM
      ": the X server did not answer in time (_NET_ACTIVE_WINDOW query failed, error 102)\n";
  (void)signal_number;
  if (write(STDERR_FILENO, message, sizeof message - 1) < 0) {
  }
  _exit(EXIT_FAILED);
}

static int x11_failed(const char *what, unsigned code) {
  char message[128];
  snprintf(message, sizeof message, "%s failed (error %u)", what, code);
  report_failure(message, NULL);
  return EXIT_FAILED;
}

/* A Wayland session, or the library told to use a Wayland layer: the
 * protocol gives a client no way to learn which window has the focus beyond
 * what the library's window list says. */
static int on_wayland(void) {
  const char *backend = getenv("VANTOREL_SCREENSHOT_BACKEND");
  const char *wayland = getenv("WAYLAND_DISPLAY");
  const char *session = getenv("XDG_SESSION_TYPE");
  if (backend && *backend) return strcmp(backend, "x11") != 0;
  return (wayland && *wayland) || (session && !strcmp(session, "wayland"));
}

/* The window manager's _NET_ACTIVE_WINDOW on the root window. XCB's connect
 * and replies wait as long as the server takes, so one alarm bounds the whole
 * query: a silent server ends the program with a message, not a hang. */
int focused_window(uintptr_t *window, char *id, size_t size) {
  static const char name[] = "_NET_ACTIVE_WINDOW";
  struct sigaction action, previous;
  xcb_connection_t *connection;
  xcb_intern_atom_reply_t *atom = NULL;
  xcb_get_property_reply_t *property = NULL;
  xcb_generic_error_t *error = NULL;
  int screen_number = 0;
  int status = EXIT_OK;
  int code;

  if (on_wayland() && focused_in_list(id, size) == EXIT_OK) return EXIT_OK;
  if (on_wayland())
    return failed(
        "no focused window on Wayland: the compositor tells no client which window has the "
        "focus (capture a region with -g, e.g. -g \"$(slurp)\", or an Xwayland window by id)");

  memset(&action, 0, sizeof action);
  action.sa_handler = x11_too_slow;
  sigemptyset(&action.sa_mask);
  sigaction(SIGALRM, &action, &previous);
  alarm(X11_ANSWER_SECONDS);

  connection = xcb_connect(NULL, &screen_number);
  code = xcb_connection_has_error(connection);
  if (code) {
    status = x11_failed("xcb_connect", (unsigned)code);
  } else {
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    while (screen_number-- > 0 && screens.rem) xcb_screen_next(&screens);
    atom = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 1, (uint16_t)(sizeof name - 1), name), &error);
    if (!atom || !screens.rem) {
      status =
          x11_failed("_NET_ACTIVE_WINDOW query",
                     error ? error->error_code : (unsigned)xcb_connection_has_error(connection));
    } else if (atom->atom == XCB_ATOM_NONE) {
      status = failed("no focused window: no window manager sets _NET_ACTIVE_WINDOW");
    } else {
      property =
          xcb_get_property_reply(connection,
                                 xcb_get_property(connection, 0, screens.data->root, atom->atom,
                                                  XCB_GET_PROPERTY_TYPE_ANY, 0, 1),
                                 &error);
      if (!property) {
        status =
            x11_failed("_NET_ACTIVE_WINDOW query",
                       error ? error->error_code : (unsigned)xcb_connection_has_error(connection));
      } else if (property->format != 32 || xcb_get_property_value_length(property) < 4) {
        status = failed("no focused window: no window manager sets _NET_ACTIVE_WINDOW");
      } else {
        uint32_t id;
        memcpy(&id, xcb_get_property_value(property), sizeof id);
        if (id == 0)
          status = failed("no focused window: the window manager says no window has the focus");
        else
          *window = id;
      }
    }
  }
  alarm(0);
  sigaction(SIGALRM, &previous, NULL);
  free(property);
  free(error);
  free(atom);
  xcb_disconnect(connection);
  return status;
}

#endif

/* ---- files ----------------------------------------------------------------- */

#if !defined(_WIN32)
/* The value of XDG_PICTURES_DIR in user-dirs.dirs: one shell assignment a
 * line, the path in double quotes, either absolute or starting "$HOME/". */
static int pictures_from_user_dirs(const char *file_name, const char *home, char *out,
                                   size_t size) {
  static const char key[] = "XDG_PICTURES_DIR=\"";
  char line[4096];
  int found = 0;
  FILE *file = fopen(file_name, "r");
  if (!file) return 0;
  while (!found && fgets(line, sizeof line, file)) {
    const char *p = line;
    size_t n = 0;
    while (*p == ' ' || *p == '\t') ++p;
    if (strncmp(p, key, sizeof key - 1) != 0) continue;
    p += sizeof key - 1;
    if (!strncmp(p, "$HOME", 5) && (p[5] == '/' || p[5] == '"')) {
      if (!home || home[0] != '/' || strlen(home) >= size) continue;
      n = strlen(home);
      memcpy(out, home, n);
      p += 5;
    } else if (*p != '/') {
      continue;
    }
    for (; *p && *p != '"' && n + 1 < size; ++p) {
      if (*p == '\\' && p[1]) ++p;
      out[n++] = *p;
    }
    if (*p != '"') continue; /* cut short: no path at all rather than another one */
    out[n] = '\0';
    found = 1;
  }
  fclose(file);
  return found;
}

static int is_directory(const char *path) {
  struct stat info;
  return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}
#endif

/* The directory for a picture no file was named for: $XDG_PICTURES_DIR, else
 * the one user-dirs.dirs names, else ~/Pictures, the first that exists; ""
 * for the current one. */
static void pictures_dir(char *out, size_t size) {
#if defined(_WIN32)
  (void)size;
  out[0] = '\0';
#else
  const char *from_environment = getenv("XDG_PICTURES_DIR");
  const char *config = getenv("XDG_CONFIG_HOME");
  const char *home = getenv("HOME");
  char file_name[4096];
  int n = -1;
  if (from_environment && from_environment[0] == '/' && strlen(from_environment) < size &&
      is_directory(from_environment)) {
    strcpy(out, from_environment);
    return;
  }
  if (config && config[0] == '/')
    n = snprintf(file_name, sizeof file_name, "%s/user-dirs.dirs", config);
  else if (home && home[0] == '/')
    n = snprintf(file_name, sizeof file_name, "%s/.config/user-dirs.dirs", home);
  if (n > 0 && (size_t)n < sizeof file_name &&
      pictures_from_user_dirs(file_name, home, out, size) && is_directory(out))
    return;
  if (home && home[0] == '/') {
    n = snprintf(out, size, "%s/Pictures", home);
    if (n > 0 && (size_t)n < size && is_directory(out)) return;
  }
  out[0] = '\0';
#endif
}

/* The file reserved for this run's picture, while it may have to go: made
 * is set last and cleared first, so a signal handler that finds it set finds
 * the rest in place. */
#if defined(_WIN32)
static struct {
  volatile sig_atomic_t made;
  wchar_t *path;
} s_reserved;
#else
static struct {
  volatile sig_atomic_t made;
  dev_t device;
  ino_t inode;
  char path[4096];
} s_reserved;
#endif

static const int k_ending_signals[] = {
    SIGINT,
    SIGTERM,
#if !defined(_WIN32)
    SIGHUP,
#endif
};

/* Ctrl-C while the capture waits (a silent server, a portal dialog) or a
 * kill: the reserved file is removed, while the path still names it, before
 * the signal ends the program as it would have. Only calls that are safe in
 * a handler. */
static void remove_reserved_and_end(int signal_number) {
  if (s_reserved.made) {
    s_reserved.made = 0;
#if defined(_WIN32)
    _wremove(s_reserved.path);
#else
    struct stat now;
    if (lstat(s_reserved.path, &now) == 0 && now.st_dev == s_reserved.device &&
        now.st_ino == s_reserved.inode)
      unlink(s_reserved.path);
#endif
  }
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

/* The handlers, for the signals the program was not told to ignore (nohup). */
static void watch_ending_signals(void) {
  size_t i;
  for (i = 0; i < sizeof k_ending_signals / sizeof k_ending_signals[0]; ++i) {
#if defined(_WIN32)
    if (signal(k_ending_signals[i], remove_reserved_and_end) == SIG_IGN)
      signal(k_ending_signals[i], SIG_IGN);
#else
    struct sigaction action, previous;
    memset(&action, 0, sizeof action);
    action.sa_handler = remove_reserved_and_end;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (sigaction(k_ending_signals[i], NULL, &previous) == 0 && previous.sa_handler != SIG_IGN)
      sigaction(k_ending_signals[i], &action, NULL);
#endif
  }
}

int reserve_timestamped_file(const char *extension, char *path, size_t size) {
  char dir[4096];
  char stamp[32];
  time_t now = time(NULL);
  struct tm local;
  int attempt;
#if defined(_WIN32)
  /* The C runtime's localtime keeps its result per thread on Windows. */
  const struct tm *converted = localtime(&now);
  if (!converted) return failed("the local time is not known");
  local = *converted;
#else
  if (!localtime_r(&now, &local)) return failed("the local time is not known");
#endif
  strftime(stamp, sizeof stamp, "%Y-%m-%d-%H%M%S", &local);
  pictures_dir(dir, sizeof dir);
  /* Two pictures in one second: the second gets a number, never the first's
   * file. */
  for (attempt = 1; attempt <= 100; ++attempt) {
    char number[16] = "";
    int fd, n;
    if (attempt > 1) snprintf(number, sizeof number, "-%d", attempt);
    n = snprintf(path, size, "%s%s%s_" PROGRAM "%s.%s", dir, *dir ? "/" : "", stamp, number,
                 extension);
    if (n < 0 || (size_t)n >= size) return failed("the pictures directory's path is too long");
#if defined(_WIN32)
    {
      wchar_t *wide = utf8_to_wide(path);
      fd = wide ? _wopen(wide, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE)
                : -1;
      free(wide);
    }
    if (fd >= 0) {
      _close(fd);
      s_reserved.path = utf8_to_wide(path);
      if (s_reserved.path) {
        s_reserved.made = 1;
        watch_ending_signals();
      }
      return EXIT_OK;
    }
#else
    fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      struct stat info;
      if (fstat(fd, &info) == 0 && strlen(path) < sizeof s_reserved.path) {
        s_reserved.device = info.st_dev;
        s_reserved.inode = info.st_ino;
        strcpy(s_reserved.path, path);
        s_reserved.made = 1;
        watch_ending_signals();
      }
      close(fd);
      return EXIT_OK;
    }
#endif
    if (errno != EEXIST) return failed_errno("creating", path);
  }
  return failed("every name for this second's picture is taken");
}

void remove_reserved_file(const char *path) {
  int made = s_reserved.made;
  s_reserved.made = 0;
#if defined(_WIN32)
  if (made) remove_file(path);
#else
  struct stat now;
  if (made && lstat(path, &now) == 0 && now.st_dev == s_reserved.device &&
      now.st_ino == s_reserved.inode)
    unlink(path);
#endif
}

void keep_reserved_file(void) { s_reserved.made = 0; }
