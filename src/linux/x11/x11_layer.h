// The X11 layer's whole face to the dispatch: its table.
#ifndef VANTOREL_X11_LAYER_H
#define VANTOREL_X11_LAYER_H

#include "linux/linux_display.h"

extern const vs_layer vs_x11_layer;

#endif
