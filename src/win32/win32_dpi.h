// Physical pixels for every host. Windows hands a thread that is not
// per-monitor aware scaled monitor rectangles, window rectangles and screen
// metrics, while the screen's device context stays in physical pixels: an
// unaware host on a 150 % display would get two thirds of the screen. The
// exports that reach the display therefore switch the calling thread to a
// per-monitor-aware context for the length of the call and put the caller's
// back before they return. The process's awareness, and with it the host's
// own windows, never changes.
#ifndef VANTOREL_WIN32_DPI_H
#define VANTOREL_WIN32_DPI_H

#if defined(_WIN32)

// What a call changed and how to undo it; null members mean nothing to undo.
struct dpi_scope {
  void *(__stdcall *set_context)(void *context);
  void *previous;
};

void enter_physical_pixels(dpi_scope *scope);
void leave_physical_pixels(const dpi_scope *scope);

#else

struct dpi_scope {
  int unused;
};

// Other platforms have no per-thread scaling: coordinates are physical already.
static inline void enter_physical_pixels(dpi_scope *scope) { scope->unused = 0; }
static inline void leave_physical_pixels(const dpi_scope *scope) { (void)scope; }

#endif
#endif
