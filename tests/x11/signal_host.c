/* A host of the library that takes a periodic signal, as some hosts do (a
 * profiler's timer, an event loop's tick): SIGALRM every 5 ms, its handler
 * installed with SA_RESTART. Lists the monitors once and prints the JSON, or
 * the library's message and exit status 1; then how many signals came. */
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/time.h>

#include "vantorel_screenshot.h"

static volatile sig_atomic_t s_ticks;

static void tick(int signal_number) {
  (void)signal_number;
  s_ticks++;
}

int main(void) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = tick;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  struct itimerval every = {{0, 5000}, {0, 5000}};
  if (sigaction(SIGALRM, &action, NULL) != 0 || setitimer(ITIMER_REAL, &every, NULL) != 0) {
    perror("signal_host");
    return 2;
  }
  const char *json = screenshot_list_monitors_json();
  struct itimerval off;
  memset(&off, 0, sizeof off);
  setitimer(ITIMER_REAL, &off, NULL);
  if (!json) {
    fprintf(stderr, "%s\n", screenshot_last_error());
    return 1;
  }
  printf("%s\n%d signals\n", json, (int)s_ticks);
  return 0;
}
