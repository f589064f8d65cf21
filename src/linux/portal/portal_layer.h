// The portal layer's face to the dispatch: monitors from the Wayland
// protocols, pixels from the desktop portal's Screenshot interface on the
// session bus.
#ifndef VANTOREL_PORTAL_LAYER_H
#define VANTOREL_PORTAL_LAYER_H

#include "linux/linux_display.h"

extern const vs_layer vs_portal_layer;

// Whether a picture of picture_width x picture_height can stand for a
// layout of box_width x box_height: the same size, or every logical pixel
// the same whole or fractional number of picture pixels each way (a scaled
// desktop), to within one logical pixel's worth. Sizes are positive.
int portal_picture_fits(int64_t picture_width, int64_t picture_height, int64_t box_width,
                        int64_t box_height);

#endif
