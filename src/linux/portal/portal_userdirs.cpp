#include "linux/portal/portal_userdirs.h"

#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int home_dir(char *home, size_t size) {
  const char *h = getenv("HOME");
  if (h && h[0]) return snprintf(home, size, "%s", h) < int(size) ? 0 : -1;
  passwd pw;
  passwd *found = nullptr;
  char buf[4096];
  if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &found) != 0 || !found) return -1;
  return snprintf(home, size, "%s", found->pw_dir) < int(size) ? 0 : -1;
}

// XDG_PICTURES_DIR="..." in user-dirs.dirs, with $HOME expanded: 0, or -1
// when the file or the line is not there.
static int from_user_dirs(const char *home, char *dir, size_t size) {
  char config[PATH_MAX];
  const char *xch = getenv("XDG_CONFIG_HOME");
  int n = xch && xch[0] ? snprintf(config, sizeof config, "%s/user-dirs.dirs", xch)
                        : snprintf(config, sizeof config, "%s/.config/user-dirs.dirs", home);
  if (n <= 0 || n >= int(sizeof config)) return -1;
  // O_NONBLOCK: a FIFO in the file's place must not hold the call up.
  int fd = open(config, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
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
  return -1;
}

int portal_pictures_dir(char *dir, size_t size) {
  const char *env = getenv("XDG_PICTURES_DIR");
  if (env && env[0]) return snprintf(dir, size, "%s", env) < int(size) ? 0 : -1;
  char home[PATH_MAX];
  if (home_dir(home, sizeof home) < 0) return -1;
  if (from_user_dirs(home, dir, size) == 0) return 0;
  return snprintf(dir, size, "%s/Pictures", home) < int(size) ? 0 : -1;
}

int portal_pictures_dir_missing(void) {
  char dir[PATH_MAX];
  if (portal_pictures_dir(dir, sizeof dir) < 0) return 0;
  struct stat st;
  return stat(dir, &st) != 0 || !S_ISDIR(st.st_mode);
}
