// The X11 layer: the display services of display.h provided over XCB for the
// Linux library. One connection to the display named by DISPLAY serves the
// whole process; it is opened on first use and opened again once it broke.
//
// Handles: a window handle is the X11 window id; a monitor handle is its
// position in the enumeration running on the calling thread, plus one; the
// screen DC is one static record; memory DCs and bitmaps are small heap
// records. A bitmap holds no pixels of its own: it refers to where the last
// copy put them (the shared MIT-SHM segment or an image reply), and GetDIBits
// converts from there into the caller's buffer in one pass.
//
// Errors: GetLastError gives the X11 error code of the failed request
// (BadWindow 3, BadMatch 8, ...) or, when the connection itself failed, XCB's
// connection error (1 socket error, 5 bad DISPLAY, ...). Nothing is printed,
// no error handler is installed, and SIGPIPE from a dead server is absorbed.
#ifndef VANTOREL_X11_DISPLAY_H
#define VANTOREL_X11_DISPLAY_H

#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <xcb/xcb.h>

#include "linux_display.h"

// X11 core error codes that the layer reports for its own refusals.
#define X11_BAD_VALUE 2
#define X11_BAD_WINDOW 3
#define X11_BAD_MATCH 8
#define X11_BAD_ALLOC 11

#define X11_ATOM_CACHE_SIZE 64

// State shared by all threads; every field is guarded by x11_lock.
struct x11_shared {
  xcb_connection_t *conn;
  xcb_screen_t *screen;  // default screen, inside the connection's setup
  uint32_t generation;   // bumped by every new connection
  uint8_t has_shm;
  uint8_t has_randr15;
  uint8_t has_xinerama;
  uint8_t has_composite;   // 0.2 or later: NameWindowPixmap
  uint8_t is_xwayland;     // the server is Xwayland: its root shows no Wayland pixels
  uint8_t xwayland_known;  // is_xwayland is settled for this connection
  uint16_t root_width;     // as last read from the server
  uint16_t root_height;

  // One MIT-SHM segment kept for the process and grown on demand; a bitmap
  // that holds pixels in it leases it until it is refilled or deleted.
  struct {
    uint8_t *addr;
    size_t size;
    uint32_t id;  // xcb_shm_seg_t
    uint32_t generation;
    uint8_t leased;
  } segment;

  struct {
    xcb_atom_t atom;
    char name[CCHDEVICENAME];
  } atoms[X11_ATOM_CACHE_SIZE];
  int atom_count;
};

extern x11_shared g_x11;

// The lock guards g_x11. While it is held SIGPIPE is blocked on the calling
// thread, and one raised by a write to a dead server is taken back before the
// lock is released, so it never reaches the host.
struct x11_guard {
  sigset_t old_mask;
  int pipe_was_pending;
};
void x11_lock(x11_guard *guard);
void x11_unlock(x11_guard *guard);
// The plain mutex, for bookkeeping that sends nothing to the server.
void x11_lock_state(void);
void x11_unlock_state(void);

// With the lock held: makes sure a working connection exists. 0, or -1 with
// the connection's error as the thread's last error.
int x11_connect_locked(void);

static inline void x11_set_last_error(DWORD code) { vs_set_last_error(code); }
// Takes the code of an X error reply and releases it; without one (a NULL
// reply and no error) the connection broke and its error is taken.
void x11_fail_request(xcb_generic_error_t *error);

// Reads the root window's size from the server into g_x11. 0 or -1.
int x11_refresh_root_size_locked(void);

// Finds how a drawable of this visual and depth delivers its pixels. 0, or -1
// for anything but 24- or 32-bit TrueColor at 32 bits per pixel.
int x11_format_for_visual(xcb_visualid_t visual, uint8_t depth, vs_pixel_format *format);

// Copies the drawable's rectangle (x, y, width, height, in its own coordinates
// and wholly inside it) into bitmap as its content at (dest_x, dest_y). The
// visual is the one that describes the drawable's pixels (0: take it from the
// reply). With the lock held. 0, or -1 with the last error set.
int x11_read_image_locked(xcb_drawable_t drawable, xcb_visualid_t visual, int x, int y, int width,
                          int height, vs_bitmap *bitmap, int dest_x, int dest_y);

// Settles g_x11.is_xwayland for the connection, with the lock held. 0 or -1.
int x11_check_xwayland_locked(void);
// Whether RandR's monitor names are Xwayland's (XWAYLAND0, XWAYLAND1, ...).
int x11_names_say_xwayland(const vs_monitor_list *list);

// Drops what the bitmap's content refers to; with the state mutex held.
void x11_clear_content_locked(vs_bitmap *bitmap);

// The layer's part of the display services; each takes the lock itself and
// leaves the last error on failure.
int x11_open(void);
int x11_list_monitors(vs_monitor_list *list);
int x11_virtual_screen_size(int *width, int *height);
int x11_copy_screen(int x, int y, int width, int height, vs_bitmap *bitmap);
int x11_window_rect(HWND hwnd, RECT *rect);
int x11_print_window(HWND hwnd, vs_bitmap *bitmap, UINT flags);

#endif
