// The display services of display.h on Linux, and the records the display
// layers share. One dispatch (linux_dispatch) picks a display layer for the
// process at the first call that needs the display: X11, Wayland or the
// desktop portal, and picks again once the chosen connection broke. The core
// never learns which layer runs.
//
// A layer is a table of functions (vs_layer) that the layer fills once, in
// its folder's <layer>_layer.cpp, declared by its <layer>_layer.h; the
// dispatch holds a pointer to the chosen table and calls through it. A layer
// never calls back into the dispatch: its functions report a broken
// connection by their result (VS_BROKEN), and the dispatch chooses afresh.
//
// Device contexts and bitmaps are plain records shared by all layers, so a
// window printed by X11 and a screen copied by Wayland can meet in one window
// capture. A bitmap holds no pixels of its own: its content refers to pixels
// that the last copy left somewhere (an X11 image reply, the X11 shared
// segment, a frame assembled by the Wayland layer), described by a pixel
// format, and GetDIBits converts from there into the caller's buffer. The
// layer that filled it gives it the function that lets go of them.
//
// Errors: GetLastError gives the thread's last code. The X11 layer reports X
// error codes and XCB's connection errors (all below 20 or from 128 on); the
// codes of the dispatch and of the other layers are the VS_ERROR_* of
// linux_error.h's one list.
//
// Waits: every layer call gets a deadline (CLOCK_MONOTONIC milliseconds) and
// returns by it, whatever its peer does.
#ifndef VANTOREL_LINUX_DISPLAY_H
#define VANTOREL_LINUX_DISPLAY_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>
#include <time.h>

#include "core/display.h"
#include "linux/linux_error.h"

// The longest one layer call waits for its peer (compositor, X server). The
// tests build the layers with a shorter one.
#ifndef VS_WAIT_MS
#define VS_WAIT_MS 5000
#endif

// The longest all the display calls of one export wait together: the
// dispatch starts it at the first display call of an export (every export
// begins with EnumDisplayMonitors or GetWindowRect) and no later call of the
// same export waits past it. Only the portal's waits are not charged to it:
// its probe when the layer is chosen, and its window for an answer.
#ifndef VS_CALL_BUDGET_MS
#define VS_CALL_BUDGET_MS 12000
#endif

// Enough for every monitor the core can take, with room to spare.
#define VS_MAX_MONITORS 64

static inline int64_t vs_now_ms(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// A vs_now_ms time as the absolute CLOCK_MONOTONIC time that the waits
// taking a clock (pthread_mutex_clocklock, pthread_cond_clockwait) want.
static inline struct timespec vs_monotonic_time(int64_t ms) {
  struct timespec at;
  at.tv_sec = (time_t)(ms / 1000);
  at.tv_nsec = (long)(ms % 1000) * 1000000L;
  return at;
}

// ThreadSanitizer (GCC 12's, clang 14's) does not know
// pthread_mutex_clocklock: it would see the lock's unlock only, and report
// it. Its builds wait for the lock on the wall clock instead.
#if defined(__SANITIZE_THREAD__)
#define VS_LOCK_ON_WALL_CLOCK 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VS_LOCK_ON_WALL_CLOCK 1
#endif
#endif

// Takes a layer's lock by the deadline (a vs_now_ms time): 0, or -1 when
// another thread held it that long, waiting on its own peer. The wait is
// measured on the monotonic clock, so a step of the wall clock neither
// stretches nor cuts it.
static inline int vs_lock_by(pthread_mutex_t *mutex, int64_t deadline) {
#ifdef VS_LOCK_ON_WALL_CLOCK
  struct timespec until;
  clock_gettime(CLOCK_REALTIME, &until);
  int64_t left = deadline - vs_now_ms();
  if (left < 0) left = 0;
  until.tv_sec += (time_t)(left / 1000);
  until.tv_nsec += (long)(left % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_sec++;
    until.tv_nsec -= 1000000000L;
  }
  return pthread_mutex_timedlock(mutex, &until) == 0 ? 0 : -1;
#else
  struct timespec until = vs_monotonic_time(deadline);
  return pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &until) == 0 ? 0 : -1;
#endif
}

// Connects the non-blocking socket fd by the deadline, whatever the peer
// does: 0, or -1 with errno ETIMEDOUT when the deadline passed first, else
// why the connect failed (ECONNREFUSED, ENOENT: nothing listens there).
int vs_connect_by(int fd, const struct sockaddr *address, socklen_t length, int64_t deadline);

// What a layer's function gives back: 0, or one of these with the last error
// set.
#define VS_FAILED (-1)    // this call failed; the connection is still good
#define VS_BROKEN (-2)    // the connection broke or went quiet: choose afresh
#define VS_NOT_OFFERED 1  // list_windows: the layer has no list of its own here

struct vs_monitor {
  RECT rect;
  uint8_t primary;
  char name[CCHDEVICENAME];
};

struct vs_monitor_list {
  vs_monitor monitors[VS_MAX_MONITORS];
  int count;
};

// How the content's pixels map to the B, G, R, X bytes that GetDIBits
// delivers. A zeroed record with shifts 16, 8 and 0 is the common case: 32
// bits a pixel, least significant byte first, 8-bit channels, X,R,G,B.
enum vs_pixel_kind {
  VS_PIXELS_DIRECT = 0,  // 32 bits, 8-bit channels taken as they are
  VS_PIXELS_MAPPED,      // 16, 24 or 32 bits, each channel through its level table
  VS_PIXELS_INDEXED,     // 1, 4 or 8 bits, the value through the palette
};

// Channels up to this wide have a level table; no X server offers wider ones.
#define VS_MAX_CHANNEL_BITS 10

struct vs_pixel_format {
  uint8_t msb_first;  // pixels stored most significant byte (or nibble, or bit) first
  uint8_t red_shift;
  uint8_t green_shift;
  uint8_t blue_shift;
  uint8_t has_alpha;  // the pixel's alpha byte sits at alpha_shift; without it X is 255
  uint8_t alpha_shift;
  uint8_t kind;            // vs_pixel_kind
  uint8_t bits_per_pixel;  // mapped and indexed pixels
  // Mapped: a channel's output is levels[(pixel >> shift) & mask].
  uint16_t red_mask;
  uint16_t green_mask;
  uint16_t blue_mask;
  uint8_t red_levels[1 << VS_MAX_CHANNEL_BITS];
  uint8_t green_levels[1 << VS_MAX_CHANNEL_BITS];
  uint8_t blue_levels[1 << VS_MAX_CHANNEL_BITS];
  uint8_t palette[256][4];  // indexed: B, G, R, X of every value
};

// A channel value of the given width (1 to 16 bits) scaled to 8 bits,
// rounded to nearest: 0 stays 0 and full intensity becomes 255.
static inline uint8_t vs_scale_channel(uint32_t value, int bits) {
  uint32_t max = (1u << bits) - 1;
  return (uint8_t)((value * 255u + max / 2) / max);
}

// Describes pixels of bits_per_pixel bits whose channels lie under the three
// masks (contiguous bits, at most VS_MAX_CHANNEL_BITS wide), each scaled by
// vs_scale_channel; an 8-bit alpha_mask (32-bit pixels only) passes the
// alpha through. Up to 8 bits a pixel, the palette holds every value. 0, or
// -1 for a layout the conversion cannot take.
int vs_format_from_masks(vs_pixel_format *format, int bits_per_pixel, int msb_first,
                         uint32_t red_mask, uint32_t green_mask, uint32_t blue_mask,
                         uint32_t alpha_mask);

// Makes an indexed format of 1, 4 or 8 bits a pixel, its palette black.
int vs_format_indexed(vs_pixel_format *format, int bits_per_pixel, int msb_first);

// After the level tables of a format from vs_format_from_masks changed
// (a DirectColor colormap), brings an indexed format's palette in line.
void vs_format_refresh_palette(vs_pixel_format *format);

struct vs_bitmap;
struct vs_frame;

// Lets go of what the bitmap's content refers to (a heap frame, an image
// reply, a lease on the X11 segment). It takes no lock a layer holds while it
// waits on its peer.
typedef void (*vs_release_fn)(vs_bitmap *bitmap);

struct vs_bitmap {
  uint32_t magic;
  int32_t width;
  int32_t height;
  // The last copy filled this rectangle of the bitmap; the rest reads black.
  int32_t content_x;
  int32_t content_y;
  int32_t content_width;
  int32_t content_height;
  const uint8_t *pixels;  // first pixel of the content, rows stride bytes apart
  uint32_t stride;
  vs_pixel_format format;
  void *hold;             // what release lets go of: a heap block, or NULL
  vs_release_fn release;  // NULL: the content refers to nothing
};

struct vs_dc {
  uint32_t magic;
  uint8_t is_screen;
  uint8_t pointer;    // copies into it carry the mouse pointer (vs_ask_pointer)
  vs_bitmap *bitmap;  // selected bitmap, or NULL
};

vs_dc *vs_memory_dc(HDC hdc);
vs_bitmap *vs_bitmap_of(HGDIOBJ object);

// Drops what the bitmap's content refers to; it then reads black.
void vs_clear_content(vs_bitmap *bitmap);

// Makes the content a heap copy the bitmap owns, the whole bitmap as B, G,
// R, X bytes as GetDIBits would deliver them, so that it can be drawn on
// without touching pixels that others read (the X11 shared segment). 0, or
// -1 with VS_ERROR_BAD_ALLOC (the content is then unchanged).
int vs_own_content(vs_bitmap *bitmap);

// Blends premultiplied A, R, G, B pixels (32-bit words, rows width apart)
// over the content from vs_own_content with their top-left pixel at (left,
// top) of the bitmap; what falls outside the bitmap is left out. Each
// channel: source + destination * (255 - source alpha) / 255, rounded to
// nearest.
void vs_blend_over(vs_bitmap *bitmap, int left, int top, const uint32_t *argb, int width,
                   int height);

// Makes the list's primary flags sound: exactly one monitor is primary, the
// one the layer flagged, else the one at (0,0), else the first.
void vs_settle_primary(vs_monitor_list *list);

// The monitors' bounding box; the list holds at least one.
void vs_bounding_box(const vs_monitor_list *list, RECT *box);

// One display layer, as its functions. Each takes the call's deadline and
// returns 0, VS_FAILED or VS_BROKEN with the last error set. A layer leaves
// NULL what it does not have.
struct vs_layer {
  const char *name;  // as VANTOREL_SCREENSHOT_BACKEND names it
  // The longest one call of the layer waits, and one screen copy; the
  // dispatch gives each call this much, within what is left of the export's
  // budget. A copy_wait_ms beyond wait_ms is a window for an answer (the
  // portal's) that the dispatch grants a copy beyond the budget.
  int wait_ms;
  int copy_wait_ms;
  // Whether the layer would serve this session, for the choice.
  int (*probe)(int64_t deadline);
  // Connects, or checks the connection: whether the layer can serve now.
  int (*open)(int64_t deadline);
  int (*list_monitors)(vs_monitor_list *list, int64_t deadline);
  // The virtual screen: the root window on X11, else the outputs' bounding
  // box as the last listing found it.
  int (*virtual_screen)(RECT *box, int64_t deadline);
  // Copies the rectangle of the virtual screen into the bitmap's content;
  // with pointer 1 the mouse pointer is drawn in where it lies over the
  // rectangle, or the copy fails with the layer's reason why it cannot be.
  int (*copy_screen)(int x, int y, int width, int height, int pointer, vs_bitmap *bitmap,
                     int64_t deadline);
  // 1 when the layer's screen holds no real pixels (Xwayland's root window),
  // 0 when it does.
  int (*screen_is_blind)(int64_t deadline);
  int (*window_rect)(HWND hwnd, RECT *rect, int64_t deadline);
  // The window's own pixels; pointer as for copy_screen.
  int (*print_window)(HWND hwnd, vs_bitmap *bitmap, UINT flags, int pointer, int64_t deadline);
  // The top-level windows, topmost first: at most max records and *count.
  // VS_NOT_OFFERED when the layer has no list of its own here (a Wayland
  // compositor without one): the dispatch then lists X11's (Xwayland's).
  int (*list_windows)(vs_window_entry *windows, int max, int *count, int64_t deadline);
  // A window named by the layer's own text id (not an X11 number), whole,
  // into a new frame; pointer as for copy_screen.
  int (*capture_window)(const char *id, int pointer, vs_frame *frame, int64_t deadline);
  // Drops the connection, if any.
  void (*close)(void);
};

// Whether the environment makes this a Wayland session, for the choice of a
// layer: WAYLAND_DISPLAY or WAYLAND_SOCKET set, or DISPLAY not (an empty
// value counts as unset).
int vs_session_is_wayland(void);

#endif
