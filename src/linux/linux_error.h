// The thread's last error code on Linux, as the platform keeps one per thread,
// the words a peer gave for it where it gave any (an X server's reason for
// refusing the connection), and every code the Linux library sets, once, in
// one list.
//
// Ranges: 1 to 19 are the X protocol's own error codes of a failed request
// and, when the connection itself failed, XCB's connection errors (the two
// share numbers, as XCB gives them); every layer also uses BadValue, BadMatch
// and BadAlloc (2, 8, 11) for refused arguments, mismatches and failed
// allocations, as the library did from the start. 100 to 109: the dispatch
// and the X11 layer's own; 110 to 129: the Wayland layer; 200 to 229: the
// desktop portal layer. A new layer takes the next free range here.
//
// Each entry: the code, its name in the code, and its reason in words for a
// person (the command-line program, Python's ScreenshotError.reason and the
// README's table of codes all come from this list).
#ifndef VANTOREL_LINUX_ERROR_H
#define VANTOREL_LINUX_ERROR_H

#include <stddef.h>
#include <stdint.h>

#define VS_ERROR_CODES(X)                                                                         \
  X(1, VS_ERROR_X11_CONNECTION, "the X server is gone or cannot be reached")                      \
  X(2, VS_ERROR_BAD_VALUE, "an argument is out of range, or a needed X extension is missing")     \
  X(3, VS_ERROR_BAD_WINDOW, "no such window")                                                     \
  X(5, VS_ERROR_X11_BAD_DISPLAY,                                                                  \
    "no display: DISPLAY is unset or malformed and no Wayland compositor answered")               \
  X(6, VS_ERROR_X11_BAD_SCREEN, "DISPLAY names a screen the X server does not have")              \
  X(8, VS_ERROR_BAD_MATCH, "the request does not fit what it is applied to (BadMatch)")           \
  X(9, VS_ERROR_BAD_DRAWABLE, "the window or pixmap is gone (BadDrawable)")                       \
  X(11, VS_ERROR_BAD_ALLOC, "out of memory")                                                      \
  X(100, VS_ERROR_BAD_BACKEND,                                                                    \
    "VANTOREL_SCREENSHOT_BACKEND names no layer (x11, wayland, portal)")                          \
  X(101, VS_ERROR_XWAYLAND,                                                                       \
    "the X server is Xwayland, whose root window shows no Wayland windows' pixels")               \
  X(102, VS_ERROR_X11_TIMEOUT, "the X server did not answer in time")                             \
  X(103, VS_ERROR_NO_CAPTURE_PATH,                                                                \
    "the Wayland compositor offers neither screen copy nor the portal, and there is no X server") \
  X(104, VS_ERROR_X11_REFUSED, "the X server refused the connection")                             \
  X(105, VS_ERROR_X11_NOT_VIEWABLE, "the window is not shown: minimized or unmapped")             \
  X(106, VS_ERROR_X11_NO_XFIXES, "the X server has no XFixes extension, which the pointer needs") \
  X(107, VS_ERROR_NO_LIBRARY, "a library the display layer needs could not be loaded")            \
  X(110, VS_ERROR_WL_NO_COMPOSITOR, "no Wayland compositor answered at WAYLAND_DISPLAY")          \
  X(111, VS_ERROR_WL_NO_SCREENCOPY, "the Wayland compositor offers no screen-copy protocol")      \
  X(112, VS_ERROR_WL_COPY_FAILED, "the Wayland compositor refused or failed the screen copy")     \
  X(113, VS_ERROR_WL_GONE, "the connection to the Wayland compositor broke")                      \
  X(114, VS_ERROR_WL_TIMEOUT, "the Wayland compositor did not answer in time")                    \
  X(115, VS_ERROR_WL_FORMAT, "the Wayland compositor offers no pixel format the library reads")   \
  X(116, VS_ERROR_WL_NO_MEMORY, "shared memory for the screen copy could not be had")             \
  X(117, VS_ERROR_WL_NO_OUTPUTS, "the Wayland compositor has no outputs")                         \
  X(118, VS_ERROR_WL_BUFFER_CHANGED,                                                              \
    "the Wayland compositor described the copy's buffer again after settling it")                 \
  X(119, VS_ERROR_WL_TOO_MANY_OUTPUTS,                                                            \
    "the Wayland compositor has more outputs than the library lists")                             \
  X(120, VS_ERROR_WL_STOPPED, "the Wayland compositor ended the capture session")                 \
  X(121, VS_ERROR_WL_CONSTRAINTS,                                                                 \
    "the Wayland compositor refused buffers made to its own constraints")                         \
  X(122, VS_ERROR_WL_OUT_OF_ORDER,                                                                \
    "the Wayland compositor answered a copy before it was asked for it")                          \
  X(123, VS_ERROR_WL_NO_WINDOW, "the Wayland compositor lists no window with this id")            \
  X(124, VS_ERROR_WL_WINDOW_UNCAPTURABLE, "the Wayland compositor cannot capture single windows") \
  X(200, PORTAL_ERROR_NO_BUS, "no D-Bus session bus could be reached")                            \
  X(201, PORTAL_ERROR_NO_PORTAL, "no desktop portal with a Screenshot interface is running")      \
  X(202, PORTAL_ERROR_DENIED, "the screenshot was cancelled or not permitted")                    \
  X(203, PORTAL_ERROR_PORTAL_FAILED, "the desktop portal failed the screenshot")                  \
  X(204, PORTAL_ERROR_TIMEOUT, "the desktop portal did not answer in time")                       \
  X(205, PORTAL_ERROR_BAD_PICTURE, "the picture the desktop portal named could not be read")      \
  X(206, PORTAL_ERROR_NO_PICTURES_DIR,                                                            \
    "the desktop portal refused because the Pictures folder does not exist")                      \
  X(207, PORTAL_ERROR_NO_MEMORY, "out of memory while reading the portal's picture")              \
  X(208, PORTAL_ERROR_UNTRUSTED_FILE,                                                             \
    "the file the desktop portal named is not one it can have written for this request")          \
  X(209, PORTAL_ERROR_STALE_FILE,                                                                 \
    "the file the desktop portal named was written before the request")                           \
  X(210, PORTAL_ERROR_PICTURE_MISMATCH,                                                           \
    "the portal's picture does not fit the monitors listed (they changed meanwhile)")             \
  X(211, PORTAL_ERROR_NO_POINTER, "this desktop's portal cannot put the pointer into its picture")

// Plain unsigned constants in C++, so a code mixes with DWORD and uint32_t
// without casts; an enum in C (the command-line program).
#ifdef __cplusplus
#define VS_ERROR_CONSTANT(code, name, reason) constexpr uint32_t name = code;
VS_ERROR_CODES(VS_ERROR_CONSTANT)
#undef VS_ERROR_CONSTANT
#else
enum {
#define VS_ERROR_ENUM(code, name, reason) name = code,
  VS_ERROR_CODES(VS_ERROR_ENUM)
#undef VS_ERROR_ENUM
};
#endif

// The reason in words for a code of the list, or NULL for another code.
static inline const char *vs_error_reason(uint32_t code) {
  switch (code) {
#define VS_ERROR_CASE(code, name, reason) \
  case code:                              \
    return reason;
    VS_ERROR_CODES(VS_ERROR_CASE)
#undef VS_ERROR_CASE
  }
  return 0;
}

// The longest reason kept, terminator included; an X server's is at most
// 255 bytes.
#define VS_REASON_SIZE 256

// Sets the code; the reason is then empty.
void vs_set_last_error(uint32_t code);
// Sets the code and the peer's reason for it: length bytes, cut to fit, with
// control characters made blanks and blanks at the ends dropped (it comes
// from outside and goes to a terminal).
void vs_set_last_error_reason(uint32_t code, const char *reason, size_t length);
uint32_t vs_last_error(void);
// The reason of the thread's last error, or "".
const char *vs_last_reason(void);

#endif
