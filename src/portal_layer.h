// The portal layer: monitors from the Wayland protocols, pixels from the
// desktop portal's Screenshot interface on the session bus.
#ifndef VANTOREL_PORTAL_LAYER_H
#define VANTOREL_PORTAL_LAYER_H

#include "linux_display.h"

// Its codes are portal_capture.h's PORTAL_ERROR_* (200 to 207).

// Whether a session bus with the portal's Screenshot interface is there.
int portal_layer_available(void);
int portal_layer_open(void);
int portal_layer_copy_screen(int x, int y, int width, int height, vs_bitmap *bitmap);

#endif
