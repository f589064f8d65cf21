// The monitor JSON over random names and layouts: always one line that a real
// JSON parser accepts, matching the table, and never past the buffer.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <nlohmann/json.hpp>
#include <string>

#include "core/screenshot.h"
#include "fuzz_display.h"

static void check(bool ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "json fuzz: %s\n", what);
    abort();
  }
}

static bool valid_utf8(const unsigned char *s, size_t n) {
  size_t i = 0;
  while (i < n) {
    unsigned char c = s[i];
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > n) return false;
    uint32_t cp = len == 1 ? c : c & (0x7f >> len);
    for (size_t k = 1; k < len; k++) {
      if ((s[i + k] & 0xc0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3f);
    }
    static const uint32_t min_cp[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < min_cp[len] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
    i += len;
  }
  return true;
}

static void check_escape(fuzz_input *in) {
  char name[MONITOR_NAME_SIZE];
  uint8_t len = fuzz_byte(in) % MONITOR_NAME_SIZE;
  fuzz_read(in, name, len);
  name[len] = '\0';
  for (int i = 0; i < len; i++)  // ASCII only, so every cut is at a character
    name[i] = (char)(name[i] & 0x7f);
  char out[JSON_NAME_SCRATCH_SIZE + 8];
  memset(out, 0x5a, sizeof out);
  int n = escape_json_name(name, out);
  check(n >= 0 && n <= JSON_NAME_SCRATCH_SIZE - 1, "escaped name too long");
  check(out[n] == '\0' && (size_t)n == strlen(out), "escaped name not terminated");
  for (size_t i = JSON_NAME_SCRATCH_SIZE; i < sizeof out; i++)
    check(out[i] == 0x5a, "escape wrote past its scratch area");
  std::string doc = std::string("\"") + out + "\"";
  check(nlohmann::json::accept(doc), "escaped name is not a JSON string");
  std::string back = nlohmann::json::parse(doc).get<std::string>();
  check(strncmp(name, back.c_str(), back.size()) == 0, "escaped name is not a prefix");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz_input in = {data, size, 0};
  check_escape(&in);
  fuzz_read_layout(&in, &g_fuzz_layout);

  const char *text = screenshot_list_monitors_json();
  int expected = g_fuzz_layout.count < MAX_MONITORS ? g_fuzz_layout.count : MAX_MONITORS;
  if (g_fuzz_layout.enum_fails || g_fuzz_layout.count == 0) {
    check(text == NULL, "failed enumeration gave text");
    check(strncmp(screenshot_last_error(), "EnumDisplayMonitors failed (error ", 34) == 0,
          "wrong message");
    return 0;
  }
  check(text != NULL, "no text");
  size_t len = strnlen(text, MONITOR_JSON_SIZE);
  check(len < MONITOR_JSON_SIZE, "text not terminated in its buffer");
  check(strchr(text, '\n') == NULL, "text is not one line");

  bool utf8 = valid_utf8((const unsigned char *)text, len);
  if (!utf8) return 0;  // names pass through byte for byte, whatever they are
  check(nlohmann::json::accept(text), "text is not JSON");
  nlohmann::json doc = nlohmann::json::parse(text);
  check(doc.is_array() && (int)doc.size() == expected, "wrong number of monitors");
  for (int i = 0; i < expected; i++) {
    const fuzz_monitor *m = &g_fuzz_layout.monitors[i];
    const nlohmann::json &o = doc[i];
    check(o["index"] == i, "index");
    check(o["x"] == m->left && o["y"] == m->top, "position");
    check(o["width"] == (int32_t)((uint32_t)m->right - (uint32_t)m->left), "width");
    check(o["height"] == (int32_t)((uint32_t)m->bottom - (uint32_t)m->top), "height");
    std::string name = o["name"].get<std::string>();
    if (m->info_fails) {
      check(name == "Monitor " + std::to_string(i), "fallback name");
      check(o["is_primary"] == (i == 0), "fallback primary");
    } else {
      check(name == m->device, "device name");
      check(o["is_primary"] == (m->flags != 0), "primary flag");
    }
  }
  return 0;
}
