// File facts, text conversion and path pieces shared by the layers.
#include <windows.h>

#include <gtest/gtest.h>

#include "base/file_facts.h"
#include "base/text_convert.h"
#include "support/test_support.h"

TEST(FileFacts, SizeAndTime) {
  std::string dir = qeltest::MakeTempDir("fst");
  qeltest::WriteFileBytes(dir + "five.bin", "12345");
  FILETIME time{0, 0};
  EXPECT_EQ(5, GetFileSizeAndTimeA((dir + "five.bin").c_str(), &time));
  EXPECT_NE(0u, time.dwHighDateTime);
  FILETIME untouched{1, 2};
  EXPECT_EQ(-1, GetFileSizeAndTimeA((dir + "missing.bin").c_str(), &untouched));
  EXPECT_EQ(1u, untouched.dwLowDateTime);
  // Held open for writing elsewhere: read sharing alone cannot open it.
  HANDLE writer = CreateFileA((dir + "five.bin").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, writer);
  EXPECT_EQ(-1, GetFileSizeAndTimeA((dir + "five.bin").c_str(), &time));
  CloseHandle(writer);
}

TEST(TextConvert, WideToAnsiAnswers) {
  char out[16];
  EXPECT_EQ(4, WideToAnsi(L"abc", nullptr, 0));
  EXPECT_EQ(4, WideToAnsi(L"abc", out, sizeof out));
  EXPECT_STREQ("abc", out);
  EXPECT_EQ(-1, WideToAnsi(L"a longer text than fits", out, 4));
  if (GetACP() == 932) {
    EXPECT_EQ(5, WideToAnsi(L"\x65e5\x672c", out, sizeof out));
    EXPECT_EQ(qeltest::Sjis(u8"日本"), std::string(out));
  }
}

TEST(TextConvert, FileNamePartRows) {
  struct Row {
    const char* path;
    const char* name;
  } rows[] = {
      {"C:\\dir\\file.exe", "file.exe"},
      {"dir/file.dll", "file.dll"},
      {"file", "file"},
      {"C:\\dir\\", ""},
      {"a\\b/c", "b/c"},  // a backslash is looked for first
  };
  for (const Row& row : rows) EXPECT_STREQ(row.name, FileNamePart(row.path)) << row.path;
  if (GetACP() == 932) {
    // The second byte of this character is a backslash and no separator.
    const char path[] = "C:\\\x95\x5c\\x.txt";
    EXPECT_STREQ("x.txt", FileNamePart(path));
    const char name[] = "C:\\\x95\x5c.txt";
    EXPECT_STREQ("\x95\x5c.txt", FileNamePart(name));
  }
}
