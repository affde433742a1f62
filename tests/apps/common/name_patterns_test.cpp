// Keep/drop patterns as the tools' options take them.
#include "common/name_patterns.h"

#include <gtest/gtest.h>

namespace {

struct GlobCase {
  const char* glob;
  const char* name;
  bool matches;
};

TEST(NamePatterns, GlobRows) {
  const GlobCase cases[] = {
      {"Heap*", "HeapAlloc", true},
      {"heap*", "HEAPFREE", true},
      {"Heap*", "GetProcessHeap", false},
      {"*File*", "CreateFileW", true},
      {"*File*", "ReadFile", true},
      {"*File*", "CloseHandle", false},
      {"Get?", "GetA", true},
      {"Get?", "Get", false},
      {"*", "", true},
      {"", "", true},
      {"", "x", false},
      {"a*b*c", "aXXbYYc", true},
      {"a*b*c", "aXXbYY", false},
      {"*.dll", "KERNEL32.DLL", true},
  };
  for (const GlobCase& c : cases) {
    EXPECT_EQ(qel::GlobMatches(c.glob, c.name), c.matches) << c.glob << " vs " << c.name;
  }
}

TEST(NamePatterns, ListSplitsOnCommasAndSkipsEmptyItems) {
  qel::NamePatterns p = qel::ParseNamePatterns("Heap*,,*File*,");
  ASSERT_EQ(p.globs.size(), 2u);
  EXPECT_TRUE(qel::AnyMatches(p, "HeapFree"));
  EXPECT_TRUE(qel::AnyMatches(p, "WriteFile"));
  EXPECT_FALSE(qel::AnyMatches(p, "Sleep"));
  EXPECT_FALSE(qel::AnyMatches(qel::ParseNamePatterns(""), "Sleep"));
}

}  // namespace
