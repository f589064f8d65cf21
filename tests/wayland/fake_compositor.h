// A compositor of our own for the image copy capture tests: wl_shm, a few
// wl_outputs and the ext-image-copy-capture managers, answering as a script
// says, including what real compositors seldom do (constraints re-sent, a
// buffer refused, a session stopped, no answer at all, an answer before the
// question). Optionally it offers wlroots' screen copy too, as the script
// says: failing every copy, copying, or answering before the copy request.
//
// The tests run each case in a child process of its own (run_in_child): the
// library keeps its connection and its choice of layer for the process, and
// each case needs a fresh one.
#ifndef VS_FAKE_COMPOSITOR_H
#define VS_FAKE_COMPOSITOR_H

#include <stdint.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

// wl_shm format codes.
#define FAKE_ARGB8888 0u
#define FAKE_XRGB8888 1u
#define FAKE_XBGR8888 0x34324258u
#define FAKE_RGB565 0x36314752u

struct fake_output {
  int32_t x, y;           // wl_output's position (the layer's logical position)
  int32_t width, height;  // its mode, in buffer pixels
};

// One batch of buffer constraints, closed by done.
struct fake_batch {
  bool has_size = true;
  uint32_t width = 0, height = 0;  // 0, 0: the output's mode
  std::vector<uint32_t> formats = {FAKE_XRGB8888};
};

enum fake_outcome {
  FAKE_READY,             // the buffer filled, transform, ready
  FAKE_READY_RESIZED,     // the refusal batch first, then as FAKE_READY to the batch before
  FAKE_FAIL_CONSTRAINTS,  // the refusal batch (if any) is sent, then failed
  FAKE_FAIL_STOPPED,      // failed with reason stopped
  FAKE_FAIL_UNKNOWN,      // failed with reason unknown
  FAKE_STOP_SESSION,      // the session's stopped, then the frame fails
  FAKE_SILENT,            // nothing, ever
  FAKE_EARLY_READY,       // ready as soon as the frame is made, before capture
  FAKE_EARLY_FAILED,      // failed (unknown) as soon as the frame is made
};

// What wlroots' screen copy does with a frame.
enum fake_wlr {
  FAKE_WLR_FAIL,         // describes the buffer, fails the copy
  FAKE_WLR_COPY,         // describes the buffer, fills it at copy, flags, ready
  FAKE_WLR_EARLY_READY,  // flags and ready right after buffer_done, nothing at copy
};

// A window of ext-foreign-toplevel-list. Its frames, through the window
// source, are width x height of fake_pixel(outputs.size() + its index, ...).
struct fake_toplevel {
  std::string identifier;
  std::string title;
  std::string app_id;
  bool closed = false;  // closed right after it is announced
  int32_t width = 30, height = 20;
  // Its state in wlroots' toplevel management, where that is offered.
  bool activated = false;
  bool minimized = false;
};

struct fake_script {
  std::vector<fake_output> outputs = {{0, 0, 40, 30}};
  bool ext = true;
  bool wlr = false;
  bool session_silent = false;                      // a session gets no constraints at all
  std::vector<fake_batch> batches = {{}};           // sent when a session starts
  std::vector<fake_batch> refusal;                  // sent before a buffer_constraints failure
  std::vector<fake_outcome> frames = {FAKE_READY};  // by frame, the last repeats
  uint32_t transform = 0;                           // the frames' transform event
  fake_wlr wlr_copy = FAKE_WLR_FAIL;
  const char *socket = "fake-0";  // its name in XDG_RUNTIME_DIR, and WAYLAND_DISPLAY
  // ext-foreign-toplevel-list with these windows, when offered; a list that
  // never says it finished after stop; the window source of image copy.
  bool toplevel_list = false;
  std::vector<fake_toplevel> toplevels;
  bool list_never_finishes = false;
  bool toplevel_sources = false;
  // wlroots' toplevel management, telling the same windows' state.
  bool wlr_toplevels = false;
};

// What the compositor saw; read by the test after a capture returned.
struct fake_log {
  std::atomic<int> clients{0};  // connections taken
  std::atomic<int> sessions{0};
  std::atomic<int> frames{0};
  std::atomic<int> captures{0};
  std::atomic<int> wlr_requests{0};
  std::atomic<int> mismatched_buffers{0};  // attached buffers that broke the constraints
  // While above 0, a capture is taken and never answered, and this counts
  // down (a call left waiting on the compositor for as long as it will).
  std::atomic<int> withhold{0};
  std::atomic<int> lists_stopped{0};
  std::atomic<int> handles_alive{0};
};

// The pixel a frame of output `index` holds at buffer column x, row y, as
// 0xRRGGBB: every pixel of every output its own colour (sizes below 256).
uint32_t fake_pixel(int index, int x, int y);

// Starts the compositor in a thread with the script, points WAYLAND_DISPLAY
// and XDG_RUNTIME_DIR at it, runs body and returns what it returns. Only for
// a child process (run_in_child); the compositor is never stopped.
std::string run_with_compositor(const fake_script &script, fake_log *log,
                                const std::function<std::string()> &body);

// Runs body in a child process and returns its text ("" means success), or
// what went wrong with the child. The child is killed after timeout_s, or
// when the test process ends.
std::string run_in_child(const std::function<std::string()> &body, int timeout_s = 30);

#endif
