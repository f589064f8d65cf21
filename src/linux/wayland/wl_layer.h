// The Wayland layer's face: its table for the dispatch, and the outputs
// without screen copy for the portal layer, which lists the monitors of GNOME
// and KDE through them.
#ifndef VANTOREL_WL_LAYER_H
#define VANTOREL_WL_LAYER_H

#include "linux/linux_display.h"

extern const vs_layer vs_wl_layer;

int vs_wl_open_outputs(int64_t deadline);
int vs_wl_list_monitors(vs_monitor_list *list, int64_t deadline);
int vs_wl_virtual_screen(RECT *box, int64_t deadline);
void vs_wl_close(void);

#endif
