/* vantorel-screenshot: screen capture to PNG behind a plain C interface.
 *
 * Every function runs to completion on the caller's thread. Functions that
 * can fail return 0 on success and -1 on failure (the JSON listing returns
 * NULL); the reason is then in screenshot_last_error(). The error text and the
 * JSON text are process-wide buffers: a host that calls from several threads
 * serialises those calls and copies the text before the next one.
 */
#ifndef VANTOREL_SCREENSHOT_H
#define VANTOREL_SCREENSHOT_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(VANTOREL_SCREENSHOT_BUILD)
#define VANTOREL_SCREENSHOT_API __declspec(dllexport)
#elif defined(VANTOREL_SCREENSHOT_STATIC)
#define VANTOREL_SCREENSHOT_API
#else
#define VANTOREL_SCREENSHOT_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define VANTOREL_SCREENSHOT_API __attribute__((visibility("default")))
#else
#define VANTOREL_SCREENSHOT_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* "1.0.0"; the same pointer on every call. */
VANTOREL_SCREENSHOT_API const char *screenshot_version(void);

/* Message of the most recent failure in the process; empty before the first.
 * Always the same pointer; a successful call leaves the text unchanged. */
VANTOREL_SCREENSHOT_API const char *screenshot_last_error(void);

/* The attached monitors as one line of JSON, or NULL on failure. The text is
 * the library's and is overwritten by the next successful call. */
VANTOREL_SCREENSHOT_API const char *screenshot_list_monitors_json(void);

/* The whole virtual screen, one monitor (0-based, in the order of the JSON
 * listing) or a rectangle of the virtual screen, to a PNG file. */
VANTOREL_SCREENSHOT_API int screenshot_capture_all_png(const char *path);
VANTOREL_SCREENSHOT_API int screenshot_capture_monitor_png(int index, const char *path);
VANTOREL_SCREENSHOT_API int screenshot_capture_region_png(int x, int y, int width, int height,
                                                          const char *path);

/* One window to a PNG file. hwnd is the platform's window handle: an HWND on
 * Windows, the X11 window id (cast to a pointer) on Linux. */
VANTOREL_SCREENSHOT_API int screenshot_capture_window_png(void *hwnd, const char *path);

/* A rectangle of the virtual screen as PNG bytes. On success *out_png holds
 * *out_len bytes of PNG; release them with screenshot_free_mem. */
VANTOREL_SCREENSHOT_API int screenshot_capture_region_mem(int x, int y, int width, int height,
                                                          uint8_t **out_png, int *out_len);

/* Our extension beside the nine above: a rectangle of the virtual screen as
 * raw pixels, for hosts that want them without a PNG round trip.
 *
 * The rectangle is clamped to the monitors exactly as for
 * screenshot_capture_region_png and screenshot_capture_region_mem, with the
 * same messages when it is empty or outside the screen. On success (0)
 * *out_x, *out_y, *out_width and *out_height hold the rectangle really
 * captured, and *out_pixels *out_width * *out_height * 4 bytes: R, G, B, A of
 * 8 bits each, rows top to bottom, no gap between rows. Release them with
 * screenshot_free_mem. On failure (-1) the four ints are 0 and *out_pixels is
 * NULL; when any of the five pointers is NULL the message is
 * "out params are NULL" and none of them is written. */
VANTOREL_SCREENSHOT_API int screenshot_capture_region_rgba(int x, int y, int width, int height,
                                                           int *out_x, int *out_y, int *out_width,
                                                           int *out_height,
                                                           unsigned char **out_pixels);

/* Releases bytes from screenshot_capture_region_mem and pixels from
 * screenshot_capture_region_rgba; NULL does nothing. */
VANTOREL_SCREENSHOT_API void screenshot_free_mem(void *mem);

/* ---------------------------------------------------------------------------
 * Our extensions beside the nine, in one shape: a capture fills a
 * screenshot_picture, the encoders take one. Each returns 0 or -1 (a text
 * export: NULL) with the message in screenshot_last_error, like the nine.
 * Nothing here is process-wide configuration: what a call wants, it says in
 * its own arguments. */

/* Pixels the library made, or a host's own to encode: 8-bit R, G, B, A, rows
 * top to bottom, no gap between rows. */
typedef struct screenshot_picture {
  int x; /* where its top-left pixel lay on the virtual screen (a window's */
  int y; /* place where the platform knows it, else 0) */
  int width;
  int height;
  unsigned char *rgba; /* width * height * 4 bytes; from a grab, release with
                          screenshot_free_mem */
} screenshot_picture;

/* Flags of the grab exports; any other bit is refused. */
#define SCREENSHOT_WITH_CURSOR 0x1u /* draw the mouse pointer into the picture */

/* A rectangle of the virtual screen, clamped to the monitors exactly as for
 * screenshot_capture_region_rgba. On failure *out is zeroed; a NULL out is
 * "out params are NULL". */
VANTOREL_SCREENSHOT_API int screenshot_grab_region(int x, int y, int width, int height,
                                                   unsigned flags, screenshot_picture *out);

/* One window, named by an id as screenshot_list_windows_json gives it (an
 * HWND or X11 window id in decimal or 0x-hex is taken too). */
VANTOREL_SCREENSHOT_API int screenshot_grab_window(const char *id, unsigned flags,
                                                   screenshot_picture *out);

/* The top-level windows as one line of JSON, topmost first where the
 * platform says, or NULL on failure. The text is the library's and is
 * overwritten by the next successful call. */
VANTOREL_SCREENSHOT_API const char *screenshot_list_windows_json(void);

/* Encodes a picture as format: "png", "jpeg" (or "jpg") or "ppm", any case.
 * level: PNG compression 0-9, JPEG quality 1-100, ignored by PPM; -1 is the
 * format's default (PNG 7, JPEG 90). A compact PNG, not stb's bytes: RGB when
 * every pixel is opaque (a palette for 256 colours or fewer), else RGBA.
 * *out_bytes holds *out_len bytes; release them with screenshot_free_mem. */
VANTOREL_SCREENSHOT_API int screenshot_encode(const screenshot_picture *picture, const char *format,
                                              int level, unsigned char **out_bytes, int *out_len);

/* Encodes as screenshot_encode and writes the file as the capture exports do
 * (an old file keeps its contents when the new ones cannot be written). A
 * NULL or empty format is taken from path's extension. */
VANTOREL_SCREENSHOT_API int screenshot_save(const screenshot_picture *picture, const char *path,
                                            const char *format, int level);

/* Words a peer gave for the most recent failure (an X server's reason for
 * refusing the connection), or "" when it gave none. Set together with
 * screenshot_last_error and under the same rules; always the same pointer. */
VANTOREL_SCREENSHOT_API const char *screenshot_last_error_detail(void);

#ifdef __cplusplus
}
#endif

#endif
