// The other processor's Qelvorn.dll, as the test run lays the programs out (the 64-bit
// ones in x64\ below the 32-bit ones), is refused by the loader and by nothing else.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

namespace {

std::string OtherProcessorsDll() {
  return qeltest::ProgramDir() + (sizeof(void*) == 4 ? "x64\\Qelvorn.dll" : "..\\Qelvorn.dll");
}

TEST(OtherProcessor, ItsDllFailsToLoadWithTheLoadersError) {
  std::string path = OtherProcessorsDll();
  if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    GTEST_SKIP() << "no " << path;
  }
  SetLastError(0);
  HMODULE module = LoadLibraryA(path.c_str());
  DWORD error = GetLastError();
  EXPECT_EQ(module, nullptr);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
  // This process's own DLL still answers as ever: clean-up before any set-up says so.
  char messages[512] = {};
  ASSERT_NE(qeltest::Dll().cleanUp, nullptr);
  EXPECT_EQ(qeltest::Dll().cleanUp(messages, sizeof messages), 1) << messages;
}

}  // namespace
