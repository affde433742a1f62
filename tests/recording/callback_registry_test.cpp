// Looking callbacks up by name: exact bytes, the first registration kept, many names.
#include <gtest/gtest.h>

#include <string>

#include "recording/callback_registry.h"

using namespace qelvorn;

namespace {

void First(CallFrame*, LineBuilder*, bool) {}
void Second(CallFrame*, LineBuilder*, bool) {}

}  // namespace

TEST(CallbackRegistry, FindsExactlyTheRegisteredNames) {
  RegisterCallback("RegistryTest_Pre", First);
  RegisterCallback("RegistryTest_Pre", Second);  // a second registration is ignored
  struct Row {
    const char* name;
    Callback expected;
  } rows[] = {
      {"RegistryTest_Pre", First},
      {"registrytest_pre", nullptr},   // case counts
      {"RegistryTest_Pr", nullptr},    // a prefix is another name
      {"RegistryTest_Pre ", nullptr},  // and so is a longer one
      {"", nullptr},
      {nullptr, nullptr},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.expected, FindCallback(row.name)) << (row.name ? row.name : "(null)");
  }
  // A name copied elsewhere finds the same callback: the registry keeps its own copy.
  std::string copy = "RegistryTest_Pre";
  EXPECT_EQ(First, FindCallback(copy.c_str()));
}

TEST(CallbackRegistry, ManyNamesThatShareSlotsAreAllFound) {
  for (int i = 0; i < 150; ++i) {
    RegisterCallback(("Many" + std::to_string(i) + "_Post").c_str(), i % 2 ? First : Second);
  }
  for (int i = 0; i < 150; ++i) {
    std::string name = "Many" + std::to_string(i) + "_Post";
    EXPECT_EQ(i % 2 ? First : Second, FindCallback(name.c_str())) << name;
  }
}
