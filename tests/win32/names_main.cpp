// File names beyond ASCII through every export that takes a path, in whatever
// ANSI code page the process runs (1252 under LANG=en_US.UTF-8, 932 under
// ja_JP.UTF-8): UTF-8 names and folders, the code page's own names and
// folders, failures whose message carries the caller's bytes, and a file that
// is there replaced whole. Each file is read back by its true (UTF-16) name;
// the script that runs this lists the directory from Linux as well.
//
//   vs_win32_names_test.exe DIR     DIR an empty directory, in ASCII
#include <stb/stb_image.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <string>

#include "harness.h"
#include "vantorel_screenshot.h"

namespace {

std::string g_dir;    // narrow, ASCII
std::wstring g_wdir;  // the same, UTF-16
HWND g_window;
const int k_window_width = 48, k_window_height = 40;

// The code page's own spelling of a name, and its true name.
struct ansi_name {
  UINT code_page;
  const char *bytes;
  const wchar_t *wide;
};
const ansi_name k_ansi_names[] = {
    {1252, "Jos\xe9", L"Jos\u00e9"},
    {932, "\x93\xfa\x96\x7b", L"\u65e5\u672c"},
};
const ansi_name *g_ansi;

struct export_kind {
  const char *name;
  int width, height;  // of the picture it writes
};
export_kind g_exports[4];

int capture(int which, const char *path) {
  switch (which) {
    case 0:
      return screenshot_capture_all_png(path);
    case 1:
      return screenshot_capture_monitor_png(0, path);
    case 2:
      return screenshot_capture_region_png(0, 0, 16, 16, path);
    default:
      return screenshot_capture_window_png(g_window, path);
  }
}

std::wstring widen_ascii(const std::string &s) { return std::wstring(s.begin(), s.end()); }

// The size of the PNG at the true name, or -1 when it is not there or does not
// decode to width x height.
long png_at(const std::wstring &name, int width, int height) {
  FILE *f = _wfopen(name.c_str(), L"rb");
  if (!f) return -1;
  std::string bytes;
  char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) bytes.append(buffer, n);
  fclose(f);
  int w = 0, h = 0, channels = 0;
  stbi_uc *px =
      stbi_load_from_memory((const stbi_uc *)bytes.data(), (int)bytes.size(), &w, &h, &channels, 4);
  if (!px) return -1;
  stbi_image_free(px);
  return w == width && h == height ? (long)bytes.size() : -1;
}

void write_junk(const std::wstring &name, size_t size) {
  FILE *f = _wfopen(name.c_str(), L"wb");
  if (!f) return;
  std::string junk(size, 'j');
  fwrite(junk.data(), 1, junk.size(), f);
  fclose(f);
}

// One name through every export: the narrow text the host passes and the
// name, relative to DIR, that the file must have.
void expect_lands(const char *label, const std::string &narrow_prefix,
                  const std::wstring &wide_prefix) {
  for (int i = 0; i < 4; i++) {
    const export_kind &e = g_exports[i];
    std::string path = g_dir + "\\" + narrow_prefix + e.name + ".png";
    std::wstring name = g_wdir + L"\\" + wide_prefix + widen_ascii(e.name) + L".png";
    int r = capture(i, path.c_str());
    if (r != 0) {
      harness_fail("%s, %s: -1: %s", label, e.name, screenshot_last_error());
      continue;
    }
    if (png_at(name, e.width, e.height) < 0)
      harness_fail("%s, %s: no %dx%d PNG under the true name", label, e.name, e.width, e.height);
  }
}

void expect_fails(const char *label, const std::string &narrow) {
  for (int i = 0; i < 4; i++) {
    const export_kind &e = g_exports[i];
    std::string path = g_dir + "\\" + narrow;
    char message[1024];
    snprintf(message, sizeof message,
             "PNG write failed for %dx%d frame to '%s' (No such file or directory)", e.width,
             e.height, path.c_str());
    int r = capture(i, path.c_str());
    if (r != -1 || strcmp(screenshot_last_error(), message) != 0)
      harness_fail("%s, %s: %d, \"%s\"; expected -1, \"%s\"", label, e.name, r,
                   screenshot_last_error(), message);
  }
}

void test_utf8_names(void) {
  expect_lands("UTF-8 name", u8"Jos\u00e9-\u65e5\u672c-", L"Jos\u00e9-\u65e5\u672c-");
}

void test_utf8_folder(void) {
  CHECK(CreateDirectoryW((g_wdir + L"\\\u5199\u771f").c_str(), NULL));
  expect_lands("UTF-8 folder", u8"\u5199\u771f\\", L"\u5199\u771f\\");
}

void test_ansi_names(void) {
  expect_lands("ANSI name", std::string(g_ansi->bytes) + "-", std::wstring(g_ansi->wide) + L"-");
  CHECK(CreateDirectoryW((g_wdir + L"\\" + g_ansi->wide).c_str(), NULL));
  expect_lands("ANSI folder", std::string(g_ansi->bytes) + "\\",
               std::wstring(g_ansi->wide) + L"\\");
}

// The message keeps the bytes the caller gave, in either encoding.
void test_failures_name_the_path(void) {
  expect_fails("UTF-8", u8"\u7121\u3044\\Jos\u00e9.png");
  expect_fails("ANSI", std::string(g_ansi->bytes) + "-missing\\shot.png");
}

// A file that is there, longer than the picture, ends up holding exactly the
// picture.
void test_existing_file_replaced(void) {
  for (int i = 0; i < 4; i++) {
    const export_kind &e = g_exports[i];
    std::wstring name = g_wdir + L"\\Jos\u00e9-\u65e5\u672c-" + widen_ascii(e.name) + L".png";
    write_junk(name, 300000);
    std::string path = g_dir + u8"\\Jos\u00e9-\u65e5\u672c-" + e.name + ".png";
    CHECK_INT(capture(i, path.c_str()), 0);
    long size = png_at(name, e.width, e.height);
    WIN32_FILE_ATTRIBUTE_DATA data;
    CHECK(GetFileAttributesExW(name.c_str(), GetFileExInfoStandard, &data));
    CHECK(size > 0);
    CHECK_INT(data.nFileSizeLow, size);
  }
}

// The one case the rule reads differently from the code page: ANSI text that
// is also valid UTF-8 ("\xc3\xa9", in 1252 "\u00c3\u00a9") is taken as UTF-8.
void test_valid_utf8_wins(void) {
  CHECK_INT(screenshot_capture_region_png(0, 0, 16, 16, (g_dir + "\\\xc3\xa9-rule.png").c_str()),
            0);
  CHECK(png_at(g_wdir + L"\\\u00e9-rule.png", 16, 16) > 0);
}

bool setup(const char *dir) {
  g_dir = dir;
  g_wdir = widen_ascii(g_dir);
  UINT acp = GetACP();
  for (const ansi_name &a : k_ansi_names)
    if (a.code_page == acp) g_ansi = &a;
  printf("ANSI code page %u\n", acp);
  if (!g_ansi) {
    printf("no ANSI names for code page %u: run under LANG=en_US.UTF-8 or ja_JP.UTF-8\n", acp);
    return false;
  }
  // The code page's spelling really is that name, and is not valid UTF-8.
  wchar_t wide[16];
  int n = MultiByteToWideChar(CP_ACP, 0, g_ansi->bytes, -1, wide, 16);
  if (n <= 0 || wcscmp(wide, g_ansi->wide) != 0 ||
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, g_ansi->bytes, -1, wide, 16) > 0) {
    printf("code page %u does not spell the name as this test expects\n", acp);
    return false;
  }

  WNDCLASSA wc;
  memset(&wc, 0, sizeof wc);
  wc.lpfnWndProc = DefWindowProcA;
  wc.hInstance = GetModuleHandleA(NULL);
  wc.hbrBackground = (HBRUSH)GetStockObject(GRAY_BRUSH);
  wc.lpszClassName = "vs_names_window";
  RegisterClassA(&wc);
  g_window = CreateWindowExA(WS_EX_TOOLWINDOW, wc.lpszClassName, "", WS_POPUP, 8, 8, k_window_width,
                             k_window_height, NULL, NULL, wc.hInstance, NULL);
  if (!g_window) {
    printf("no window\n");
    return false;
  }
  ShowWindow(g_window, SW_SHOWNOACTIVATE);
  UpdateWindow(g_window);

  MONITORINFO info;
  info.cbSize = sizeof info;
  GetMonitorInfoA(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &info);
  // Monitor 0 in the library's order is the first EnumDisplayMonitors gives;
  // the tests run on a desktop of one monitor, so it is the primary.
  if (GetSystemMetrics(SM_CMONITORS) != 1) {
    printf("expected a desktop of one monitor\n");
    return false;
  }
  const RECT &m = info.rcMonitor;
  g_exports[0] = {"all", GetSystemMetrics(SM_CXVIRTUALSCREEN),
                  GetSystemMetrics(SM_CYVIRTUALSCREEN)};
  g_exports[1] = {"monitor", (int)(m.right - m.left), (int)(m.bottom - m.top)};
  g_exports[2] = {"region", 16, 16};
  g_exports[3] = {"window", k_window_width, k_window_height};
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    printf("usage: vs_win32_names_test DIR\n");
    return 2;
  }
  if (!setup(argv[1])) return 1;
  harness_run("UTF-8 names land under their true names", test_utf8_names);
  harness_run("a UTF-8 folder is found", test_utf8_folder);
  harness_run("the ANSI code page's names and folders still land", test_ansi_names);
  harness_run("a failure's message carries the path's bytes as given", test_failures_name_the_path);
  harness_run("a longer file that is there holds exactly the new picture",
              test_existing_file_replaced);
  harness_run("ANSI text that is valid UTF-8 is read as UTF-8", test_valid_utf8_wins);
  DestroyWindow(g_window);
  return harness_finish();
}
