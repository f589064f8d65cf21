// The file a portal's answer names. It comes from another process and is not
// trusted: it is read only when it is a file the portal can have written for
// this request (a plain file of ours, written since the request went out, of
// a size a picture can have), and removed only while it is still that file.
#ifndef VANTOREL_PORTAL_FILE_H
#define VANTOREL_PORTAL_FILE_H

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>
#include <time.h>

enum portal_file_result {
  PORTAL_FILE_OK,          // read whole and unchanged
  PORTAL_FILE_GONE,        // nothing at the path
  PORTAL_FILE_CHANGED,     // removed, replaced or rewritten while we read it
  PORTAL_FILE_UNTRUSTED,   // a symbolic link, not a regular file, another user's,
                           // more than one link, or larger than any picture
  PORTAL_FILE_STALE,       // last written before the request went out
  PORTAL_FILE_UNREADABLE,  // could not be opened or read
  PORTAL_FILE_NO_MEMORY,
};

struct portal_file {
  uint8_t *data;  // the whole file (malloc'd) for PORTAL_FILE_OK, else null
  size_t size;
  struct stat state;  // the file as opened, once it passed the checks
  int ours;           // it passed the checks: ours to remove (see state)
};

// Looks at the file first (a FIFO or device in its place is never opened),
// opens it with O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, checks what was opened
// and reads it whole from that descriptor; a file that changed meanwhile is
// PORTAL_FILE_CHANGED. `sent` is the time the request went out
// (CLOCK_REALTIME_COARSE). Refused files are left as they are.
portal_file_result portal_file_read(const char *path, const struct timespec *sent,
                                    portal_file *out);

// Whether the path stops naming that same, unchanged file within about 50 ms
// (a writer between its truncation and its first write, or between two
// writes, shows no change at once; file times also move only once a tick).
// Not past the deadline (a vs_now_ms time).
int portal_file_changes_soon(const char *path, const struct stat *state, int64_t deadline);

// Removes the file, only when the path still names that same, unchanged file.
void portal_file_remove_if_unchanged(const char *path, const struct stat *state);

#endif
