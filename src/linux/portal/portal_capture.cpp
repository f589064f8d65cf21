// portal_take_picture: the portal's Screenshot request (portal_request), the
// file it names (portal_file) and its picture (portal_png), put together and
// made again when another capture got in the way.
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
//     writer was half-way through it: it has changed since; a file that does
//     not decode and stays as it was is removed and gets one more request),
//     the whole request is made again, as long as the bound allows. A caller
//     therefore never gets a picture taken before its own request, and
//     never fails because another capture removed the file.
// What remains is the gap between the last lstat and unlink: a writer that
// replaces the file in that gap loses its file to us, and its caller, finding
// it gone, asks again. No picture is handed out wrongly and nothing is left
// behind; only a retry is spent. Linux offers no unlink by descriptor that
// would close the gap.
//
// The file is not trusted (portal_file): one that is not a plain file of
// ours with one link, written since the request and of a picture's size, is
// refused with its own code and left exactly as it is, since it may be
// anybody's. A file that passed those checks is ours: whatever happens after
// (unreadable, undecodable, out of memory) it is removed, as after a success.
#include "linux/portal/portal_capture.h"

#include <limits.h>
#include <stdlib.h>
#include <time.h>

#include "linux/portal/portal_file.h"
#include "linux/portal/portal_png.h"
#include "linux/portal/portal_request.h"

// Requests made again because the file went away or changed under us; each
// costs one more round with the portal, all within the same bound. With n
// captures racing for one name each round has one winner, so a caller loses
// k rounds in a row with odds near ((n-1)/n)^k: 64 makes that nil in
// practice, and a portal that keeps naming a missing file is still told
// apart from the bound's timeout.
static const int kMaxAttempts = 64;

int portal_take_picture(portal_picture *out, uint32_t *code, int64_t deadline) {
  uint32_t dummy = 0;
  if (!code) code = &dummy;
  if (!out) {
    *code = PORTAL_ERROR_BAD_PICTURE;
    return -1;
  }
  out->pixels = nullptr;
  out->width = 0;
  out->height = 0;
  int undecodable = 0;
  for (int attempt = 0; attempt < kMaxAttempts; attempt++) {
    if (attempt > 0 && vs_now_ms() >= deadline) break;
    char path[PATH_MAX];
    struct timespec sent;
    uint32_t c = portal_request_picture(deadline, path, sizeof path, &sent);
    if (c != 0) {
      *code = c;
      return -1;
    }
    portal_file file;
    portal_file_result f = portal_file_read(path, &sent, &file);
    // Another capture got to the same path: ask again.
    if (f == PORTAL_FILE_GONE || f == PORTAL_FILE_CHANGED) continue;
    if (f == PORTAL_FILE_UNTRUSTED || f == PORTAL_FILE_STALE) {
      *code = f == PORTAL_FILE_STALE ? PORTAL_ERROR_STALE_FILE : PORTAL_ERROR_UNTRUSTED_FILE;
      return -1;
    }
    if (f != PORTAL_FILE_OK) {
      if (file.ours) portal_file_remove_if_unchanged(path, &file.state);
      *code = f == PORTAL_FILE_NO_MEMORY ? PORTAL_ERROR_NO_MEMORY : PORTAL_ERROR_BAD_PICTURE;
      return -1;
    }

    portal_png_picture picture;
    portal_png_result p = portal_png_decode(file.data, file.size, PORTAL_PNG_MAX_SIDE,
                                            PORTAL_PNG_MAX_PIXELS, &picture);
    free(file.data);
    if (p == PORTAL_PNG_OK) {
      portal_file_remove_if_unchanged(path, &file.state);
      out->pixels = picture.pixels;
      out->width = picture.width;
      out->height = picture.height;
      *code = 0;
      return 0;
    }
    // A file that does not decode and changes soon after we read it was
    // being written by another request's portal: ask again.
    if (p == PORTAL_PNG_BAD && portal_file_changes_soon(path, &file.state, deadline)) continue;
    // One that stays as it was is a bad picture of ours, or its writer
    // stalled (then its caller finds it gone and asks again): it goes either
    // way, and one more request tells the two apart.
    portal_file_remove_if_unchanged(path, &file.state);
    if (p == PORTAL_PNG_BAD && !undecodable++) continue;
    *code = p == PORTAL_PNG_NO_MEMORY ? PORTAL_ERROR_NO_MEMORY : PORTAL_ERROR_BAD_PICTURE;
    return -1;
  }
  // Out of time, or a portal that keeps naming files that are not there.
  *code = vs_now_ms() >= deadline ? PORTAL_ERROR_TIMEOUT : PORTAL_ERROR_BAD_PICTURE;
  return -1;
}
