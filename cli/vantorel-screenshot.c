/* vantorel-screenshot: the command-line host of the library.
 *
 * This file only runs the program: cli_args.c reads the arguments into a
 * request (cli.h), cli_capture.c carries it out (the library grabs, encodes
 * and writes the picture), cli_text.c prints the messages, cli_system.c asks
 * the system for what the library does not give (the focused window, the
 * pictures directory).
 *
 * The program's text is UTF-8 on every platform: its arguments (wmain on
 * Windows), the paths it hands the library and opens itself, and so the
 * library's messages.
 */
#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cli.h"
#include "vantorel_screenshot.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#endif

static int run(int argc, char **argv) {
  request req;
  int status;

  if (argc >= 2) {
    const char *first = argv[1];
    int alone = argc == 2;
    if (!strcmp(first, "--help") || !strcmp(first, "-h") || !strcmp(first, "help")) {
      if (!alone) return usage_error("too many arguments", NULL);
      fputs(synopsis, stdout);
      fputs(help_text, stdout);
      return finish_stdout();
    }
    if (!strcmp(first, "version") || !strcmp(first, "--version")) {
      if (!alone) return usage_error("too many arguments", NULL);
      printf("%s\n", screenshot_version());
      return finish_stdout();
    }
    if (!strcmp(first, "windows")) return run_windows(argc, argv);
    if (!strcmp(first, "monitors")) {
      const char *json;
      if (!alone) return usage_error("too many arguments", NULL);
      json = screenshot_list_monitors_json();
      if (!json) return library_failed();
      put_text(stdout, json);
      put_text(stdout, "\n");
      return finish_stdout();
    }
  }
  status = parse_arguments(argc, argv, &req);
  if (status != EXIT_OK) return status;
  if (req.delay_ms) sleep_ms(req.delay_ms);
  return run_capture(&req);
}

#if defined(_WIN32)
/* A narrow main would get its arguments in the ANSI code page, where
 * "José-日本.png" turns into "Jos?-??.png"; the wide ones are exact, and go
 * on as UTF-8, which the library takes. */
int wmain(int argc, wchar_t **wargv) {
  char **argv = (char **)calloc((size_t)argc + 1, sizeof *argv);
  int i, status = EXIT_FAILED;
  /* Image bytes must reach a pipe untouched, not with LF turned into CR LF. */
  _setmode(_fileno(stdout), _O_BINARY);
  for (i = 0; argv && i < argc; ++i) {
    int size = WideCharToMultiByte(CP_UTF8, 0, wargv[i], -1, NULL, 0, NULL, NULL);
    argv[i] = size > 0 ? (char *)malloc((size_t)size) : NULL;
    if (!argv[i] ||
        WideCharToMultiByte(CP_UTF8, 0, wargv[i], -1, argv[i], size, NULL, NULL) != size)
      break;
  }
  if (argv && i == argc)
    status = run(argc, argv);
  else
    failed("out of memory for the arguments");
  for (i = 0; argv && i < argc; ++i) free(argv[i]);
  free(argv);
  return status;
}
#else
int main(int argc, char **argv) { return run(argc, argv); }
#endif
