// What the sway rig's screen shows (rig/sway-start.sh, rig/sway-layout.sh),
// computed from the pictures it put on its outputs, for comparing captures
// with. Coordinates are sway's logical ones; the virtual screen is the
// outputs' bounding box and reads black wherever no output covers it.
//
// Every output shows a picture of its logical size times its (integer)
// scale, in its logical orientation, 1:1 in buffer pixels. On a scaled
// output each logical pixel is a scale x scale block of one colour, so a
// capture at logical resolution reads the same colour whether it samples or
// averages the block: one expected image serves both rules.
#ifndef VS_WAYLAND_RIG_PICTURES_H
#define VS_WAYLAND_RIG_PICTURES_H

#include <gtest/gtest.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

struct sway_rig_output {
  std::string name;           // HEADLESS-1, ...
  int x = 0, y = 0;           // logical position
  int width = 0, height = 0;  // logical size (after scale and transform)
  int scale = 1;              // integer: the rig refuses fractional ones
  std::string transform;      // as sway says it: normal, 90, 180, 270, flipped-90, ...
  std::string picture;        // its PNG
  int buffer_width = 0;       // the picture: width * scale
  int buffer_height = 0;      //              height * scale
  std::vector<uint8_t> rgb;   // the picture, 3 bytes a pixel
};

struct sway_rig_screen {
  std::vector<sway_rig_output> outputs;     // in sway's order
  int x = 0, y = 0, width = 0, height = 0;  // bounding box of the outputs
};

// Rig tests run only on a sway rig: RIG_DIR holding the rig's outputs list,
// with WAYLAND_DISPLAY and XDG_RUNTIME_DIR set (eval "$(rig/sway-start.sh)").
// Without one they skip, unless VS_WAYLAND_REQUIRED is set, and then fail.
bool sway_rig_available(std::string *why);
#define REQUIRE_SWAY_RIG()                               \
  do {                                                   \
    std::string why_;                                    \
    if (!sway_rig_available(&why_)) {                    \
      if (getenv("VS_WAYLAND_REQUIRED")) FAIL() << why_; \
      GTEST_SKIP() << why_;                              \
    }                                                    \
  } while (0)

// Reads $RIG_DIR/outputs and the pictures it names.
bool load_sway_rig_screen(sway_rig_screen *screen, std::string *why);

// Runs rig/sway-layout.sh with ARGS (e.g. "--scale HEADLESS-1 2", "--reset")
// from the rig scripts' directory and reloads the screen.
bool sway_rig_layout(const std::string &rig_scripts, const std::string &args,
                     sway_rig_screen *screen, std::string *why);

const sway_rig_output *sway_rig_find(const sway_rig_screen &screen, const std::string &name);

// The output that shows logical pixel (x, y), or null.
const sway_rig_output *sway_rig_output_at(const sway_rig_screen &screen, int x, int y);

// Logical pixel (x, y) as 0xRRGGBB; 0 where no output covers it.
uint32_t sway_rig_rgb(const sway_rig_screen &screen, int x, int y);

// A capture of the logical rectangle at (x, y), pixel (column, row), as
// 0xRRGGBB: the expected function for image_matches (tests/x11/rig_support.h).
std::function<uint32_t(int, int)> sway_rig_region(const sway_rig_screen &screen, int x, int y);

// An output at its buffer's resolution (buffer_width x buffer_height, logical
// orientation): what `grim -o NAME` gives.
std::function<uint32_t(int, int)> sway_rig_output_buffer(const sway_rig_output &output);

#endif
