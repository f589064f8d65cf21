/* The Linux error codes' reasons in words, for the program's messages; made
 * by scripts/codes.py from src/linux/linux_error.h, do not edit. */
#ifndef VANTOREL_CLI_REASONS_H
#define VANTOREL_CLI_REASONS_H

/* The reason for code, or NULL when the list has none. */
/* clang-format off */
static const char *cli_linux_reason(unsigned long code) {
  switch (code) {
    case 1:
      return "the X server is gone or cannot be reached";
    case 2:
      return "an argument is out of range, or a needed X extension is missing";
    case 3:
      return "no such window";
    case 5:
      return "no display: DISPLAY is unset or malformed and no Wayland compositor answered";
    case 6:
      return "DISPLAY names a screen the X server does not have";
    case 8:
      return "the request does not fit what it is applied to (BadMatch)";
    case 9:
      return "the window or pixmap is gone (BadDrawable)";
    case 11:
      return "out of memory";
    case 100:
      return "VANTOREL_SCREENSHOT_BACKEND names no layer (x11, wayland, portal)";
    case 101:
      return "the X server is Xwayland, whose root window shows no Wayland windows' pixels";
    case 102:
      return "the X server did not answer in time";
    case 103:
      return "the Wayland compositor offers neither screen copy nor the portal, and there is no X server";
    case 104:
      return "the X server refused the connection";
    case 105:
      return "the window is not shown: minimized or unmapped";
    case 106:
      return "the X server has no XFixes extension, which the pointer needs";
    case 107:
      return "a library the display layer needs could not be loaded";
    case 110:
      return "no Wayland compositor answered at WAYLAND_DISPLAY";
    case 111:
      return "the Wayland compositor offers no screen-copy protocol";
    case 112:
      return "the Wayland compositor refused or failed the screen copy";
    case 113:
      return "the connection to the Wayland compositor broke";
    case 114:
      return "the Wayland compositor did not answer in time";
    case 115:
      return "the Wayland compositor offers no pixel format the library reads";
    case 116:
      return "shared memory for the screen copy could not be had";
    case 117:
      return "the Wayland compositor has no outputs";
    case 118:
      return "the Wayland compositor described the copy's buffer again after settling it";
    case 119:
      return "the Wayland compositor has more outputs than the library lists";
    case 120:
      return "the Wayland compositor ended the capture session";
    case 121:
      return "the Wayland compositor refused buffers made to its own constraints";
    case 122:
      return "the Wayland compositor answered a copy before it was asked for it";
    case 123:
      return "the Wayland compositor lists no window with this id";
    case 124:
      return "the Wayland compositor cannot capture single windows";
    case 200:
      return "no D-Bus session bus could be reached";
    case 201:
      return "no desktop portal with a Screenshot interface is running";
    case 202:
      return "the screenshot was cancelled or not permitted";
    case 203:
      return "the desktop portal failed the screenshot";
    case 204:
      return "the desktop portal did not answer in time";
    case 205:
      return "the picture the desktop portal named could not be read";
    case 206:
      return "the desktop portal refused because the Pictures folder does not exist";
    case 207:
      return "out of memory while reading the portal's picture";
    case 208:
      return "the file the desktop portal named is not one it can have written for this request";
    case 209:
      return "the file the desktop portal named was written before the request";
    case 210:
      return "the portal's picture does not fit the monitors listed (they changed meanwhile)";
    case 211:
      return "this desktop's portal cannot put the pointer into its picture";
  }
  return 0;
}
/* clang-format on */

#endif
