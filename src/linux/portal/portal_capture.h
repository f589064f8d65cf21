// One picture of the whole desktop through the desktop portal's Screenshot
// interface (org.freedesktop.portal.Screenshot on the session bus), for
// desktops that offer ordinary clients no screen-copy protocol (GNOME, KDE).
//
// Every call opens its own connection to the session bus and closes it before
// returning, so calls from several threads never share bus state, and a
// child of fork never finds a connection of its parent's (sd-bus refuses a
// connection in any process but the one that opened it).
//
// Both functions wait until the deadline they are given, a vs_now_ms time
// (linux_display.h's monotonic clock), as every layer's calls do.
#ifndef VANTOREL_PORTAL_CAPTURE_H
#define VANTOREL_PORTAL_CAPTURE_H

#include <stdint.h>

#include "linux/linux_display.h"
#include "linux/portal/portal_errors.h"

#define PORTAL_HIDDEN __attribute__((visibility("hidden")))

// The portal's window for an answer: the portal layer gives every request
// this long, whatever the listing before it took. GNOME never answers a
// request the user has not yet permitted (it shows a dialog nobody will
// click), so without a bound the host would hang. Ten seconds leave room for
// a cold portal (the first request starts xdg-desktop-portal and its backend,
// which takes a few seconds on a loaded machine) and stay well below the half
// minute a host would tolerate.
#define PORTAL_TIMEOUT_MS 10000

// Its error codes, PORTAL_ERROR_* (from 200), are in portal_errors.h, a
// header of their own so that the module's parts below this one share them
// without including it.

// B,G,R,X bytes per pixel (X = 255), rows top first, no gaps between rows.
// pixels comes from malloc and belongs to the caller (free).
struct portal_picture {
  uint8_t *pixels;
  int32_t width;
  int32_t height;
};

// 0 with *out filled, or -1 with *code set to one of the PORTAL_ERROR_* codes
// and *out cleared. The file the portal wrote for this request is removed,
// whether it gave a picture or not; a file refused as not ours (208, 209) is
// not. PORTAL_ERROR_TIMEOUT means a request went out and its answer did not
// come by the deadline; a bus that does not take the connection in time is
// PORTAL_ERROR_NO_BUS.
PORTAL_HIDDEN int portal_take_picture(portal_picture *out, uint32_t *code, int64_t deadline);

// 1 when a session bus is reachable and org.freedesktop.portal.Desktop offers
// (or can be started to offer) the Screenshot interface, else 0. A portal the
// bus is still starting at the deadline counts as offered.
PORTAL_HIDDEN int portal_available(int64_t deadline);

#endif
