// Processes a test starts (servers, compositors, buses, helpers) end with
// it, whatever way it ends: each dies with the process that started it
// (PR_SET_PDEATHSIG, set in the child right after fork, which also covers a
// test killed by its timeout), and the ones still running when the test
// exits are killed and reaped then. Header only, for every test binary.
#ifndef VS_CHILD_GUARD_H
#define VS_CHILD_GUARD_H

#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mutex>
#include <set>
#include <utility>

// In the child, right after fork (before exec; the setting survives it):
// SIGKILL when the forking thread's process goes. A parent gone before this
// ran would not be noticed, so the child leaves at once then.
inline void child_dies_with_parent(pid_t parent) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(127);
}

namespace child_guard_detail {
// Never destroyed: the exit handler may run after static destructors.
inline std::mutex &lock() {
  static std::mutex *m = new std::mutex;
  return *m;
}
// Each child with the process that started it: a forked copy of the test
// that exits must not kill its parent's children.
inline std::set<std::pair<pid_t, pid_t>> &pids() {
  static std::set<std::pair<pid_t, pid_t>> *p = new std::set<std::pair<pid_t, pid_t>>;
  return *p;
}
inline void kill_all() {
  std::lock_guard<std::mutex> hold(lock());
  for (const std::pair<pid_t, pid_t> &entry : pids()) {
    if (entry.first != getpid()) continue;
    kill(entry.second, SIGCONT);
    kill(entry.second, SIGKILL);
    waitpid(entry.second, nullptr, 0);
  }
  pids().clear();
}
}  // namespace child_guard_detail

// In the parent: the child is killed at exit unless unguard_child came first
// (the test stopped and reaped it itself).
inline void guard_child(pid_t pid) {
  std::lock_guard<std::mutex> hold(child_guard_detail::lock());
  static bool registered = atexit(child_guard_detail::kill_all) == 0;
  (void)registered;
  child_guard_detail::pids().insert({getpid(), pid});
}

inline void unguard_child(pid_t pid) {
  std::lock_guard<std::mutex> hold(child_guard_detail::lock());
  child_guard_detail::pids().erase({getpid(), pid});
}

#endif
