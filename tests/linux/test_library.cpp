// The run-time loading of the optional libraries: what the words say when a
// library is missing or too old, and which entry points a table gets.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "linux/linux_library.h"

namespace {

struct table {
  void (*present)(void);
  void (*absent)(void);
};

TEST(OptionalLibrary, WordsNameWhatIsWrong) {
  struct {
    const char *soname;
    const char *absent_name;
    uint8_t absent_needed;
    int result;
    const char *words[2];  // each must be in the loader's words
  } cases[] = {
      {"libvantorel-no-such-library.so.0",
       "vs_absent",
       0,
       -1,
       {"libvantorel-no-such-library.so.0", "cannot open shared object file"}},
      // A library too old for the build's headers: the missing entry point is named.
      {"libc.so.6", "vs_no_such_entry_point", 1, -1, {"libc.so.6", "vs_no_such_entry_point"}},
      // An entry point the layer can do without stays NULL.
      {"libc.so.6", "vs_no_such_entry_point", 0, 0, {"", ""}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.soname) + " " + c.absent_name);
    vs_symbol symbols[] = {{"strlen", offsetof(table, present), 1},
                           {c.absent_name, offsetof(table, absent), c.absent_needed}};
    table t;
    memset(&t, 0xff, sizeof t);
    char why[256];
    EXPECT_EQ(vs_open_library(c.soname, symbols, 2, &t, why, sizeof why), c.result);
    for (const char *word : c.words) EXPECT_NE(strstr(why, word), nullptr) << why;
    if (c.result == 0) {
      EXPECT_EQ(why[0], '\0');
      EXPECT_NE(t.present, nullptr);
      EXPECT_EQ(t.absent, nullptr);
    }
  }
}

}  // namespace
