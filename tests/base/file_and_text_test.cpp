// File facts, text conversion, path pieces and short text measures shared by the layers.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "base/file_facts.h"
#include "base/short_copy.h"
#include "base/text_convert.h"
#include "support/test_support.h"

using namespace qelvorn;

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

// Every start alignment, NUL place and limit, with the text's last byte right before an
// inaccessible page: a word read that strayed past the page would fault. A limit beyond
// the page is given only where a NUL lies before it, as for the library's own texts.
TEST(ShortCopy, BoundedLengthStopsAtTheNulOrLimitAndNeverLeavesThePage) {
  struct Pages {
    char* first = static_cast<char*>(VirtualAlloc(nullptr, 8192, MEM_COMMIT, PAGE_READWRITE));
    ~Pages() {
      if (first != nullptr) VirtualFree(first, 0, MEM_RELEASE);
    }
  } pages;
  char* first = pages.first;
  ASSERT_NE(nullptr, first);
  DWORD old = 0;
  ASSERT_TRUE(VirtualProtect(first + 4096, 4096, PAGE_NOACCESS, &old));
  char* edge = first + 4096;
  for (char fill : {'a', '\x01', '\x80', '\xff'}) {
    for (size_t size = 1; size <= 12; ++size) {
      for (size_t nulAt = 0; nulAt <= size; ++nulAt) {
        char* text = edge - size;
        memset(text, fill, size);
        if (nulAt < size) text[nulAt] = '\0';
        size_t largest = nulAt < size ? size + 300 : size;
        for (size_t limit = 0; limit <= largest; ++limit) {
          ASSERT_EQ(std::min(nulAt, limit), BoundedLength(text, limit))
              << "fill " << static_cast<int>(fill) << " size " << size << " nul " << nulAt
              << " limit " << limit;
        }
      }
    }
  }
}
