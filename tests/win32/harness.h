// A lean test harness for the Windows programs: named tests, checks that
// report the first facts of a failure, and a closing "N passed, N failed".
#ifndef VS_WIN32_HARNESS_H
#define VS_WIN32_HARNESS_H

#include <stdio.h>
#include <string.h>

struct harness_state {
  int passed;
  int failed;
  int current_failures;
  const char *current;
};

extern harness_state g_harness;

#define CHECK(cond)                                                                            \
  do {                                                                                         \
    if (!(cond)) {                                                                             \
      g_harness.current_failures++;                                                            \
      printf("  %s:%d: %s: CHECK(%s) failed\n", __FILE__, __LINE__, g_harness.current, #cond); \
    }                                                                                          \
  } while (0)

#define CHECK_INT(a, b)                                                            \
  do {                                                                             \
    long long va_ = (long long)(a), vb_ = (long long)(b);                          \
    if (va_ != vb_) {                                                              \
      g_harness.current_failures++;                                                \
      printf("  %s:%d: %s: %s == %lld, expected %s == %lld\n", __FILE__, __LINE__, \
             g_harness.current, #a, va_, #b, vb_);                                 \
    }                                                                              \
  } while (0)

#define CHECK_STR(a, b)                                                          \
  do {                                                                           \
    const char *sa_ = (a), *sb_ = (b);                                           \
    if (!sa_ || !sb_ || strcmp(sa_, sb_) != 0) {                                 \
      g_harness.current_failures++;                                              \
      printf("  %s:%d: %s: %s is \"%s\", expected \"%s\"\n", __FILE__, __LINE__, \
             g_harness.current, #a, sa_ ? sa_ : "(null)", sb_ ? sb_ : "(null)"); \
    }                                                                            \
  } while (0)

// Records one extra failure with a formatted reason.
void harness_fail(const char *format, ...);

typedef void (*test_fn)(void);
void harness_run(const char *name, test_fn fn);
// Prints "N passed, N failed" and returns the process exit code.
int harness_finish(void);

#endif
