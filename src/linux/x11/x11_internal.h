// The X11 layer's insides, shared by its files; its face to the dispatch is
// x11_layer.h. The display services over XCB, as the table vs_x11_layer.
// One connection to the display named by DISPLAY serves the process; it is
// opened on first use, opened again once it broke or went quiet, and opened
// afresh in a child process (fork), which never uses its parent's.
//
// Window handles are X11 window ids on every layer, so the dispatch reads
// windows through this layer whichever layer copies the screen.
//
// Waits: XCB makes the connection on a short-lived thread that the call
// waits for no longer than its deadline (x11_open), and every reply is
// waited for on XCB's socket against the call's deadline. A server that does
// not answer by then fails the call with VS_ERROR_X11_TIMEOUT and the
// connection is dropped.
//
// Errors: the X11 error code of the failed request (BadWindow 3, BadMatch 8,
// ...) or, when the connection itself failed, XCB's connection error (1
// socket error, 5 bad DISPLAY, ...), VS_ERROR_X11_TIMEOUT, or
// VS_ERROR_X11_REFUSED with the server's reason (vs_last_reason). Nothing is
// printed, no error handler is installed, and SIGPIPE from a dead server is
// absorbed.
#ifndef VANTOREL_X11_INTERNAL_H
#define VANTOREL_X11_INTERNAL_H

#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include <xcb/xcb.h>

#include "linux/linux_display.h"

#define X11_ATOM_CACHE_SIZE 64

// State shared by all threads; every field is guarded by x11_lock.
struct x11_shared {
  xcb_connection_t *conn;
  pid_t pid;             // the process that made conn
  xcb_screen_t *screen;  // default screen, inside the connection's setup
  uint32_t generation;   // bumped by every new connection
  uint8_t has_shm;
  uint8_t has_randr15;
  uint8_t has_xinerama;
  uint8_t has_composite;   // 0.2 or later: NameWindowPixmap
  uint8_t has_xfixes;      // 1.0 or later: GetCursorImage
  uint8_t is_xwayland;     // the server is Xwayland: its root shows no Wayland pixels
  uint8_t xwayland_known;  // is_xwayland is settled for this connection
  uint16_t root_width;     // as last read from the server
  uint16_t root_height;
  uint8_t timed_out;  // a wait passed its deadline: the connection is of no more use
  int64_t deadline;   // of the call that holds the lock

  // One MIT-SHM segment kept for the process and grown on demand; a bitmap
  // that holds pixels in it leases it until it is refilled or deleted. The
  // bitmap gives the lease back without the lock (an atomic store), so a
  // bitmap is never held up by a thread that waits on the server.
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
// Takes the lock by the deadline, which then bounds every wait of the call.
// 0, or -1 with VS_ERROR_X11_TIMEOUT (another thread held it that long).
int x11_lock(x11_guard *guard, int64_t deadline);
// Releases the lock; the result a layer function returns: result, or
// VS_BROKEN for a failure that left the connection broken or quiet.
int x11_unlock(x11_guard *guard, int result);

// With the lock held: makes sure a working connection exists. 0, or -1 with
// the connection's error as the thread's last error.
int x11_connect_locked(void);

// Opens the display DISPLAY names by the deadline (x11_open). NULL with the
// last error set: XCB's connection error, VS_ERROR_X11_TIMEOUT, or
// VS_ERROR_X11_REFUSED with the server's reason.
xcb_connection_t *x11_open_display(int64_t deadline, int *screen_number);
// Drops what attempts for a DISPLAY no longer asked for made once they
// ended (an attempt that hung on a server that went on later), so that a
// process whose connection works keeps no second one. Cheap: one lock.
void x11_drop_stale_attempts(void);
// Frees a connection made by this process's parent without shutting down
// the socket the parent still uses.
void x11_forget_connection(xcb_connection_t *conn);
// Registers, once, what a fork does to the layer's locks and connections.
void x11_watch_fork(void);
// In a child, at fork: the layer's lock, should a thread of the parent have
// held it.
void x11_after_fork_child(void);

// The reply to the request of this sequence number, waited for on XCB's
// socket until the call's deadline: what xcb_wait_for_reply gives, or NULL
// (with *error NULL) when the wait passed the deadline or the connection
// broke. Takes an error pointer as the xcb_*_reply functions do.
void *x11_reply_locked(unsigned int sequence, xcb_generic_error_t **error);
// xcb_request_check against the deadline: 0 with *error the request's error
// (or NULL), or -1 when the wait failed.
int x11_check_locked(xcb_void_cookie_t cookie, xcb_generic_error_t **error);

// Takes the code of an X error reply and releases it; without one (a NULL
// reply and no error) the wait timed out or the connection broke, and that
// is the code.
void x11_fail_request(xcb_generic_error_t *error);

// Reads the root window's size from the server into g_x11. 0 or -1.
int x11_refresh_root_size_locked(void);

// Bits a pixel and scanline padding of Z images of this depth. 0 or -1.
int x11_pixmap_format(uint8_t depth, int *bits_per_pixel, int *scanline_pad);

// Finds how a drawable of this visual and depth delivers its pixels. Visuals
// with a colormap (every class but TrueColor) read its cells now, in one
// QueryColors: from the colormap given, else from the drawable's window. With
// the lock held. 0, or -1 with the last error set (BadMatch for a layout the
// conversion cannot take).
int x11_format_for_visual_locked(xcb_visualid_t visual, uint8_t depth, xcb_drawable_t drawable,
                                 xcb_colormap_t colormap, vs_pixel_format *format);

// Copies the drawable's rectangle (x, y, width, height, in its own coordinates
// and wholly inside it) into bitmap as its content at (dest_x, dest_y). The
// visual is the one that describes the drawable's pixels (0: take it from the
// reply), the colormap the one that gives them colours (0: the window's own).
// With the lock held. 0, or -1 with the last error set.
int x11_read_image_locked(xcb_drawable_t drawable, xcb_visualid_t visual, xcb_colormap_t colormap,
                          int x, int y, int width, int height, vs_bitmap *bitmap, int dest_x,
                          int dest_y);

// The pointer over a bitmap the layer just filled, whose top-left pixel lies
// at (left, top) of the root window: XFixes' cursor image, its hotspot on the
// pointer, blended over a copy of the content that the bitmap then owns (its
// pixels may be the shared segment or a reply other readers hold). With the
// lock held. 0, or -1 with the last error set (VS_ERROR_X11_NO_XFIXES where
// the server has no XFixes).
int x11_draw_pointer_locked(vs_bitmap *bitmap, int left, int top);
// Fails with VS_ERROR_X11_NO_XFIXES before a copy the pointer cannot be
// drawn into. With the lock held and the connection made.
int x11_check_pointer_locked(void);

// Settles g_x11.is_xwayland for the connection, with the lock held. 0 or -1.
int x11_check_xwayland_locked(void);
// Whether RandR's monitor names are Xwayland's (XWAYLAND0, XWAYLAND1, ...).
int x11_names_say_xwayland(const vs_monitor_list *list);

// The layer's functions for its table; each takes the lock itself and leaves
// the last error on failure.
int x11_list_monitors(vs_monitor_list *list, int64_t deadline);
int x11_copy_screen(int x, int y, int width, int height, int pointer, vs_bitmap *bitmap,
                    int64_t deadline);
int x11_screen_is_blind(int64_t deadline);
int x11_window_rect(HWND hwnd, RECT *rect, int64_t deadline);
int x11_print_window(HWND hwnd, vs_bitmap *bitmap, UINT flags, int pointer, int64_t deadline);
int x11_list_windows(vs_window_entry *windows, int max, int *count, int64_t deadline);
void x11_close(void);

#endif
