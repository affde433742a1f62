// The line builder: exact bytes of every append and type code, the room rules at their
// boundaries, reads that meet unreadable memory, and the flush into a real log file.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "base/memory_probe.h"
#include "tracelog/line_builder.h"
#include "tracelog/value_formatters.h"
#include "tracelog/trace_log.h"

using namespace qelvorn;

namespace {

// An argument one word wide, as the recorder hands it over.
bool AppendArgument(LineBuilder& line, ArgWord value, char code) {
  ArgWord word = value;
  return qelvorn::AppendArgument(line, &word, 1, code);
}

const std::string kSquare = "\x81\xa1";
const std::string kBadPointer = "(" + kSquare + "bad pointer" + kSquare + ")";
const std::string kBadString = "(" + kSquare + "bad string" + kSquare + ")";
const std::string kBadWideString = "(" + kSquare + "bad w string" + kSquare + ")";

// The 32-bit log's eight digits of an address, padded to the pointer width: the same text
// on x86, eight more leading zeros on x64.
std::string Padded(const std::string& digits) {
  return std::string(2 * sizeof(void*) - digits.size(), '0') + digits;
}

// An address in hex, pointer-wide.
std::string Address(uintptr_t value) {
  char text[24];
  snprintf(text, sizeof text, "%0*llx", static_cast<int>(2 * sizeof(void*)),
           static_cast<unsigned long long>(value));
  return text;
}

std::string Hex(const void* pointer) {
  return Address(reinterpret_cast<uintptr_t>(pointer));
}

ArgWord Word(const void* pointer) {
  return reinterpret_cast<ArgWord>(pointer);
}

// A word with bits set above the low 32 on x64; on x86 only its low 32 bits remain.
const ArgWord kWideWord = static_cast<ArgWord>(0xfedcba9876543210ull);
constexpr bool kWordHolds64Bits = sizeof(ArgWord) == sizeof(uint64_t);

// A builder over its own full-size buffer.
struct Line {
  char buffer[kLineCapacity];
  LineBuilder builder;
  Line() { builder.Attach(buffer, sizeof buffer); }
  std::string Text() const { return std::string(builder.start, builder.pos); }
};

// Two committed pages, the second one made inaccessible: reads that run to the end of
// the first must stop there.
struct PageEdge {
  char* first = nullptr;
  char* edge = nullptr;  // first byte of the inaccessible page
  PageEdge() {
    first = static_cast<char*>(VirtualAlloc(nullptr, 8192, MEM_COMMIT, PAGE_READWRITE));
    DWORD old;
    VirtualProtect(first + 4096, 4096, PAGE_NOACCESS, &old);
    edge = first + 4096;
    // Fresh memory at a possibly reused address: the thread must not go by what it was
    // told of an earlier mapping there.
    ForgetReadableRegions();
  }
  ~PageEdge() { VirtualFree(first, 0, MEM_RELEASE); }
  // Places bytes so that they end right at the inaccessible page.
  const char* PutAtEnd(const void* bytes, size_t size) {
    memcpy(edge - size, bytes, size);
    return edge - size;
  }
};

// Addresses of each kind that must not be read.
struct BadMemory {
  char* freed = nullptr;
  char* reserved = nullptr;
  char* guard = nullptr;
  char* noAccess = nullptr;
  BadMemory() {
    freed = static_cast<char*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE));
    VirtualFree(freed, 0, MEM_RELEASE);
    reserved = static_cast<char*>(VirtualAlloc(nullptr, 65536, MEM_RESERVE, PAGE_NOACCESS));
    guard =
        static_cast<char*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE | PAGE_GUARD));
    noAccess = static_cast<char*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_NOACCESS));
    ForgetReadableRegions();
  }
  ~BadMemory() {
    VirtualFree(reserved, 0, MEM_RELEASE);
    VirtualFree(guard, 0, MEM_RELEASE);
    VirtualFree(noAccess, 0, MEM_RELEASE);
  }
};

}  // namespace

TEST(Readability, NullFreedReservedGuardAndNoAccessAreUnreadable) {
  BadMemory bad;
  static const char text[] = "x";
  int local = 0;
  struct Case {
    const char* name;
    const void* address;
    bool readable;
  } cases[] = {
      {"null", nullptr, false},
      {"freed", bad.freed, false},
      {"reserved", bad.reserved, false},
      {"guard", bad.guard, false},
      {"noAccess", bad.noAccess, false},
      {"kernel", reinterpret_cast<const void*>(~static_cast<uintptr_t>(0xfff)), false},
      {"static", text, true},
      {"stack", &local, true},
      {"code", reinterpret_cast<const void*>(&IsReadable), true},
  };
  for (const Case& c : cases) {
    SetLastError(0xdeadbeef);
    EXPECT_EQ(c.readable, IsReadable(c.address)) << c.name;
    EXPECT_EQ(0xdeadbeefu, GetLastError()) << c.name;
  }
  // The test asked, it did not touch: the guard page is still armed.
  MEMORY_BASIC_INFORMATION info;
  ASSERT_NE(0u, VirtualQuery(bad.guard, &info, sizeof info));
  EXPECT_NE(0u, info.Protect & PAGE_GUARD);
}

TEST(Readability, ReadableBytesStopAtTheFirstUnreadablePage) {
  PageEdge page;
  EXPECT_EQ(10u, ReadableBytes(page.edge - 10, 100));
  EXPECT_EQ(5u, ReadableBytes(page.edge - 10, 5));
  EXPECT_EQ(4096u, ReadableBytes(page.first, 10000));
  EXPECT_EQ(0u, ReadableBytes(page.edge, 1));
  EXPECT_EQ(0u, ReadableBytes(nullptr, 1));
}

TEST(LineBuilder, SimpleAppends) {
  SYSTEMTIME time = {2024, 1, 5, 5, 9, 5, 3, 7};
  SYSTEMTIME distant = {30827, 12, 0, 31, 23, 59, 59, 999};
  struct Case {
    const char* name;
    std::function<bool(LineBuilder&)> append;
    std::string expected;
  } cases[] = {
      {"hex32", [](LineBuilder& b) { return b.AppendHex32(26); }, "0000001a"},
      {"hex32max", [](LineBuilder& b) { return b.AppendHex32(0xffffffffu); }, "ffffffff"},
      {"hex16", [](LineBuilder& b) { return b.AppendHex16(0x12345678); }, "5678"},
      {"hex16zero", [](LineBuilder& b) { return b.AppendHex16(0); }, "0000"},
      {"int", [](LineBuilder& b) { return b.AppendInt(42); }, "42"},
      {"intNegative", [](LineBuilder& b) { return b.AppendInt(-1); }, "-1"},
      {"intMin", [](LineBuilder& b) { return b.AppendInt(INT_MIN); }, "-2147483648"},
      {"separator", [](LineBuilder& b) { return b.AppendSeparator(); }, ", "},
      {"text", [](LineBuilder& b) { return b.AppendText("abc"); }, "abc"},
      {"textEmpty", [](LineBuilder& b) { return b.AppendText(""); }, ""},
      {"address", [](LineBuilder& b) { return b.AppendAddress(0x401000); }, Padded("00401000")},
      {"addressWide", [](LineBuilder& b) { return b.AppendAddress(kWideWord); },
       kWordHolds64Bits ? "fedcba9876543210" : "76543210"},
      {"textNull", [](LineBuilder& b) { return b.AppendText(nullptr); },
       kBadString + Padded("00000000")},
      {"dateTime", [&](LineBuilder& b) { return b.AppendDateTime(&time); }, "2024/01/05 09:05:03"},
      {"dateTimeFiveDigitYear", [&](LineBuilder& b) { return b.AppendDateTime(&distant); },
       "30827/12/31 23:59:59"},
      {"dateTimeNull", [](LineBuilder& b) { return b.AppendDateTime(nullptr); },
       kBadPointer + Padded("00000000")},
  };
  for (const Case& c : cases) {
    Line line;
    EXPECT_TRUE(c.append(line.builder)) << c.name;
    EXPECT_EQ(c.expected, line.Text()) << c.name;
    EXPECT_EQ('\0', *line.builder.pos) << c.name;
  }
}

TEST(LineBuilder, CallColumns) {
  const CallOutcome outcome = {0x1234abcd, 5};
  // A result with bits above the low 32 (on x64) and a last error with its top bit set.
  const CallOutcome wide = {kWideWord, 0xdeadbeef};
  // The result column of a line before the call: blanks as wide as a filled one.
  const std::string noResult(2 * sizeof(void*), ' ');
  struct Case {
    const char* name;
    int32_t thread;
    uintptr_t returnAddress;
    const CallOutcome* outcome;
    std::string afterClock;
  } cases[] = {
      {"before the call", 1, 0x401000, nullptr,
       "  1, " + Padded("00401000") + ", " + noResult + ",         , "},
      {"after the call", 12, 0x401000, &outcome,
       " 12, " + Padded("00401000") + ", " + Padded("1234abcd") + ", 00000005, "},
      {"thread past three columns", 1234, 0xffffffffu, &outcome,
       "1234, " + Padded("ffffffff") + ", " + Padded("1234abcd") + ", 00000005, "},
      {"thread not numbered", 0, 0, nullptr,
       "  0, " + Padded("00000000") + ", " + noResult + ",         , "},
      {"pointer-wide address and result", 1, kWideWord, &wide,
       "  1, " + Address(kWideWord) + ", " + Address(kWideWord) + ", deadbeef, "},
  };
  for (const Case& c : cases) {
    Line line;
    ASSERT_TRUE(line.builder.AppendCallColumns(c.thread, c.returnAddress, c.outcome)) << c.name;
    std::string text = line.Text();
    ASSERT_GE(text.size(), 14u) << c.name;
    EXPECT_TRUE(std::regex_match(text.substr(0, 14),
                                 std::regex("[0-2][0-9]:[0-5][0-9]:[0-5][0-9]:[0-9]{3}, ")))
        << text;
    EXPECT_EQ(c.afterClock, text.substr(14)) << c.name;
  }
}

TEST(LineBuilder, Grouped) {
  struct Case {
    int32_t value;
    const char* expected;
  } cases[] = {
      {0, "            0"},          {999, "          999"},      {1000, "        1,000"},
      {4096, "        4,096"},       {368640, "      368,640"},   {1234567, "    1,234,567"},
      {2147483647, "2,147,483,647"}, {-5, "           -5"},       {-1000, "       -1,000"},
      {-999999, "     -999,999"},    {INT_MIN, "-2,147,483,648"},
  };
  for (const Case& c : cases) {
    Line line;
    EXPECT_TRUE(line.builder.AppendGrouped(c.value)) << c.value;
    EXPECT_EQ(c.expected, line.Text()) << c.value;
  }
}

TEST(LineBuilder, HandleList) {
  // Handles are pointer-wide: an array of them has entries of that width.
  const uintptr_t handles[12] = {0x120, 0x124, 0x128, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  const std::string ten = Padded("00000120") + "/" + Padded("00000124") + "/" + Padded("00000128") +
                          "/" + Padded("00000004") + "/" + Padded("00000005") + "/" +
                          Padded("00000006") + "/" + Padded("00000007") + "/" + Padded("00000008") +
                          "/" + Padded("00000009") + "/" + Padded("0000000a");
  PageEdge page;
  const uintptr_t two[2] = {0xaa, 0xbb};
  const uintptr_t wide[1] = {kWideWord};
  const uintptr_t* atEdge = reinterpret_cast<const uintptr_t*>(page.PutAtEnd(two, sizeof two));
  const std::string twoAtEdge = Padded("000000aa") + "/" + Padded("000000bb");
  struct Case {
    const char* name;
    uint32_t count;
    uint32_t limit;
    const uintptr_t* handles;
    std::string expected;
  } cases[] = {
      {"three", 3, 10, handles,
       "(3 handles:" + Padded("00000120") + "/" + Padded("00000124") + "/" + Padded("00000128") +
           ")"},
      {"twelveOverTen", 12, 10, handles, "(12 handles:" + ten + "...)"},
      {"elevenOverTen", 11, 10, handles, "(11 handles:" + ten + "...)"},
      {"tenOfTen", 10, 10, handles, "(10 handles:" + ten + ")"},
      {"none", 0, 10, handles, "(0 handles:)"},
      {"null", 3, 10, nullptr, kBadPointer + Padded("00000000")},
      {"pointer-wide", 1, 10, wide, "(1 handles:" + Address(kWideWord) + ")"},
      {"endsAtUnreadablePage", 5, 10, atEdge, "(5 handles:" + twoAtEdge + "...)"},
      {"wholeBeforeUnreadablePage", 2, 10, atEdge, "(2 handles:" + twoAtEdge + ")"},
  };
  for (const Case& c : cases) {
    Line line;
    EXPECT_TRUE(line.builder.AppendHandleList(c.count, c.limit, c.handles)) << c.name;
    EXPECT_EQ(c.expected, line.Text()) << c.name;
  }
}

TEST(LineBuilder, ArgumentByTypeCode) {
  BadMemory bad;
  static const char narrow[] = "abc";
  static const char empty[] = "";
  static const wchar_t wide[] = L"abc";
  static const wchar_t emptyWide[] = L"";
  static const wchar_t japanese[] = L"\u65e5\u672c\u8a9e";
  static const int word = 7;
  const std::string freed = Hex(bad.freed);
  const std::string guard = Hex(bad.guard);
  struct Case {
    ArgWord value;
    char code;
    std::string expected;
  } cases[] = {
      {0x12345678, '2', "5678"},
      {0, '2', "0000"},
      {0xffffffffu, '2', "ffff"},
      {26, '4', "0000001a"},
      {0, '4', "00000000"},
      {0xffffffffu, '4', "ffffffff"},
      {0, 'x', "(null)"},
      {0xabc, 'x', Padded("00000abc")},
      {0xffffffffu, 'x', Padded("ffffffff")},
      {0, 'd', "0"},
      {123, 'd', "123"},
      {0xffffffffu, 'd', "4294967295"},
      {0, 'B', "FALSE"},
      {0x100, 'B', "TRUE"},
      {0xffffffffu, 'B', "TRUE"},
      {0, 'b', "false"},
      {0x100, 'b', "false"},
      {1, 'b', "true"},
      {0xffffffffu, 'b', "true"},
      {Word(&word), 'p', Hex(&word)},
      {0, 'p', kBadPointer + Padded("00000000")},
      {Word(bad.freed), 'p', kBadPointer + freed},
      {Word(bad.guard), 'p', kBadPointer + guard},
      {Word(narrow), 's', "\"abc\""},
      {Word(empty), 's', "\"\""},
      {0, 's', "\"" + kBadString + Padded("00000000") + "\""},
      {Word(bad.freed), 's', "\"" + kBadString + freed + "\""},
      {Word(narrow), 'S', "\"abc\""},
      {5, 'S', "\"" + Padded("00000005") + "\""},
      {0, 'S', "\"" + Padded("00000000") + "\""},
      {Word(wide), 'w', "\"abc\""},
      {Word(emptyWide), 'w', "\"\""},
      {0, 'w', kBadWideString + Padded("00000000")},
      {Word(bad.guard), 'w', kBadWideString + guard},
      {Word(wide), 'W', "\"abc\""},
      {0, 'W', "(null)\"" + Padded("00000000") + "\""},
      {Word(bad.freed), 'W', "\"" + freed + "\""},
      {0, 'q', "?" + kSquare + kSquare + kSquare + "?"},
      {0, '\0', "?" + kSquare + kSquare + kSquare + "?"},
  };
  for (const Case& c : cases) {
    Line line;
    EXPECT_TRUE(AppendArgument(line.builder, c.value, c.code)) << c.code << " " << c.value;
    EXPECT_EQ(c.expected, line.Text()) << c.code << " " << c.value;
  }
  // Wide texts are converted into the process's ANSI code page; the rig runs under 932.
  if (GetACP() == 932) {
    for (char code : {'w', 'W'}) {
      Line line;
      EXPECT_TRUE(AppendArgument(line.builder, Word(japanese), code));
      EXPECT_EQ("\"\x93\xfa\x96\x7b\x8c\xea\"", line.Text()) << code;
    }
  }
}

// A whole word: fixed-width codes print its low bits, the others all of it, pointer-wide.
// On x86 the word is the low 32 bits alone, and each text is the 32-bit log's.
TEST(LineBuilder, ArgumentOfAWholeWord) {
  BadMemory bad;
  const ArgWord highOnly = static_cast<ArgWord>(0x100000000ull);  // 0 on x86
  const ArgWord kernel = ~static_cast<ArgWord>(0xfff);
  struct Case {
    ArgWord value;
    char code;
    std::string expected;
  } cases[] = {
      {kWideWord, '2', "3210"},
      {kWideWord, '4', "76543210"},
      {kWideWord, 'x', kWordHolds64Bits ? "fedcba9876543210" : "76543210"},
      {kWideWord, 'd', kWordHolds64Bits ? "18364758544493064720" : "1985229328"},
      {kWideWord, 'B', "TRUE"},
      {kWideWord, 'b', "true"},
      {highOnly, '2', "0000"},
      {highOnly, '4', "00000000"},
      {highOnly, 'x', kWordHolds64Bits ? "0000000100000000" : "(null)"},
      {highOnly, 'd', kWordHolds64Bits ? "4294967296" : "0"},
      {highOnly, 'B', "FALSE"},
      {highOnly, 'b', "false"},
      {kernel, 'p', kBadPointer + Address(kernel)},
      {kernel, 's', "\"" + kBadString + Address(kernel) + "\""},
      {kernel, 'S', "\"" + Address(kernel) + "\""},
      {kernel, 'w', kBadWideString + Address(kernel)},
      {kernel, 'W', "\"" + Address(kernel) + "\""},
      {~static_cast<ArgWord>(0), 'd', kWordHolds64Bits ? "18446744073709551615" : "4294967295"},
  };
  for (const Case& c : cases) {
    Line line;
    EXPECT_TRUE(AppendArgument(line.builder, c.value, c.code)) << c.code << " " << c.expected;
    EXPECT_EQ(c.expected, line.Text()) << c.code;
  }
}

// Every row of the type-code table prints through its own formatter, never the marker of
// an unknown code; a code given fewer words than it takes prints that marker. A row counts
// 32-bit words: a code takes that many argument words, or one where a word holds them all.
TEST(LineBuilder, EveryTypeCodeHasItsFormatter) {
  const std::string unknown = "?" + kSquare + kSquare + kSquare + "?";
  const ArgWord words[2] = {0x12, 0x34};
  struct Row {
    char code;
    uint32_t words;
  } rows[] = {
#define ROW_OF(rowCode, rowWords, rowFormatter, rowDescription) {rowCode, rowWords},
      QEL_TYPE_CODES(ROW_OF)
#undef ROW_OF
  };
  for (const Row& row : rows) {
    uint32_t taken = row.words * 4 <= sizeof(ArgWord) ? 1 : row.words;
    EXPECT_EQ(taken, TypeCodeWords(row.code)) << row.code;
    Line line;
    EXPECT_TRUE(AppendArgument(line.builder, words, taken, row.code)) << row.code;
    EXPECT_NE(unknown, line.Text()) << row.code;
    Line tooShort;
    EXPECT_TRUE(AppendArgument(tooShort.builder, words, taken - 1, row.code)) << row.code;
    EXPECT_EQ(unknown, tooShort.Text()) << row.code;
  }
  EXPECT_EQ(0u, TypeCodeWords('q'));
}

// Sixteen digits on both: two words on x86, the high word (the later one) first; one on x64.
TEST(LineBuilder, SixtyFourBitHexTakesTwoWordsHighWordFirst) {
  struct Case {
    uint64_t value;
    std::string expected;
  } cases[] = {
      {0x0123456789abcdefull, "0123456789abcdef"},
      {0, "0000000000000000"},
      {~0ull, "ffffffffffffffff"},
      {1, "0000000000000001"},
      {0x100000000ull, "0000000100000000"},
  };
  const uint32_t taken = TypeCodeWords('8');
  ASSERT_EQ(kWordHolds64Bits ? 1u : 2u, taken);
  for (const Case& c : cases) {
    Line line;
    ArgWord words[2] = {static_cast<ArgWord>(c.value), 0};
    if (!kWordHolds64Bits) words[1] = static_cast<ArgWord>(c.value >> 32);
    EXPECT_TRUE(AppendArgument(line.builder, words, taken, '8')) << c.expected;
    EXPECT_EQ(c.expected, line.Text());
  }
  if (kWordHolds64Bits) return;
  // One word left, or the one-word form: not enough words for the code.
  const std::string unknown = "?" + kSquare + kSquare + kSquare + "?";
  Line oneLeft;
  const ArgWord word = 5;
  EXPECT_TRUE(AppendArgument(oneLeft.builder, &word, 1, '8'));
  EXPECT_EQ(unknown, oneLeft.Text());
  Line oneWord;
  EXPECT_TRUE(AppendArgument(oneWord.builder, 5, '8'));
  EXPECT_EQ(unknown, oneWord.Text());
}

TEST(LineBuilder, TextsThatRunIntoAnUnreadablePageStopThere) {
  // Each piece of memory ends right at its own inaccessible page.
  PageEdge narrowPage;
  const char* narrow = narrowPage.PutAtEnd("tail!", 5);
  PageEdge widePage;
  const wchar_t wideBytes[] = {L'a', L'b', L'c'};
  const wchar_t* wide = reinterpret_cast<const wchar_t*>(widePage.PutAtEnd(wideBytes, 6));
  // An odd address: the last character would straddle into the inaccessible page.
  PageEdge oddPage;
  char oddBytes[7] = {'x', 0, 'y', 0, 'z', 0, 'q'};
  const char* odd = oddPage.PutAtEnd(oddBytes, 7);
  PageEdge lastBytePage;
  const char* lastByte = lastBytePage.PutAtEnd("a", 1);
  PageEdge timePage;
  SYSTEMTIME time = {2024, 1, 5, 5, 9, 5, 3, 7};
  const char* straddlingTime = timePage.PutAtEnd(&time, 8);
  struct Case {
    const char* name;
    std::function<bool(LineBuilder&)> append;
    std::string expected;
  } cases[] = {
      {"text", [&](LineBuilder& b) { return b.AppendTracedText(narrow); }, "tail!"},
      {"s", [&](LineBuilder& b) { return AppendArgument(b, Word(narrow), 's'); }, "\"tail!\""},
      {"w", [&](LineBuilder& b) { return AppendArgument(b, Word(wide), 'w'); }, "\"abc\""},
      {"W", [&](LineBuilder& b) { return AppendArgument(b, Word(wide), 'W'); }, "\"abc\""},
      {"wOdd", [&](LineBuilder& b) { return AppendArgument(b, Word(odd), 'w'); }, "\"xyz\""},
      {"wLastByte", [&](LineBuilder& b) { return AppendArgument(b, Word(lastByte), 'w'); }, "\"\""},
      {"dateTime",
       [&](LineBuilder& b) {
         return b.AppendDateTime(reinterpret_cast<const SYSTEMTIME*>(straddlingTime));
       },
       kBadPointer + Hex(straddlingTime)},
  };
  for (const Case& c : cases) {
    Line line;
    EXPECT_TRUE(c.append(line.builder)) << c.name;
    EXPECT_EQ(c.expected, line.Text()) << c.name;
  }
}

TEST(LineBuilder, LongTextsAreCutAt259Bytes) {
  for (size_t length : {258u, 259u, 260u, 300u}) {
    std::string text(length, 'a');
    text[0] = 'b';
    Line line;
    EXPECT_TRUE(line.builder.AppendText(text.c_str())) << length;
    EXPECT_EQ(text.substr(0, 259), line.Text()) << length;
  }
}

// A traced pointer that dangles into the line's own buffer (stack the recorder now uses):
// the text is what those bytes held, however near the line's end it starts.
TEST(LineBuilder, ATracedTextInsideTheLineItselfShowsWhatItHeld) {
  for (size_t gap : {0u, 1u, 2u, 3u, 5u, 9u}) {
    Line line;
    ASSERT_TRUE(line.builder.AppendLiteral("call("));
    char* stale = line.builder.pos + gap;
    memcpy(stale, "stale bytes of an old frame", 28);
    EXPECT_TRUE(line.builder.AppendTracedText(stale)) << gap;
    EXPECT_EQ("call(stale bytes of an old frame", line.Text()) << gap;
  }
}

TEST(LineBuilder, RoomOfExactlyTheNeedIsEnoughAndOneLessWritesNothing) {
  static const wchar_t wide[] = L"abc";
  SYSTEMTIME time = {2024, 1, 5, 5, 9, 5, 3, 7};
  const uintptr_t handles[2] = {1, 2};
  constexpr uint32_t kDigits = 2 * sizeof(void*);  // 8 on x86
  struct Case {
    const char* name;
    std::function<bool(LineBuilder&)> append;
    uint32_t need;  // the room at which the append is first accepted
  } cases[] = {
      {"text", [](LineBuilder& b) { return b.AppendText("abcde"); }, 6},
      {"textNull", [](LineBuilder& b) { return b.AppendText(nullptr); }, 17 + kDigits},
      {"hex32", [](LineBuilder& b) { return b.AppendHex32(1); }, 9},
      {"address", [](LineBuilder& b) { return b.AppendAddress(1); }, 1 + kDigits},
      {"hex16", [](LineBuilder& b) { return b.AppendHex16(1); }, 5},
      {"intShort", [](LineBuilder& b) { return b.AppendInt(5); }, 11},
      {"intMin", [](LineBuilder& b) { return b.AppendInt(INT_MIN); }, 12},
      {"separator", [](LineBuilder& b) { return b.AppendSeparator(); }, 3},
      {"callColumns", [](LineBuilder& b) { return b.AppendCallColumns(1, 0, nullptr); },
       34 + 2 * kDigits},
      {"dateTime", [&](LineBuilder& b) { return b.AppendDateTime(&time); }, 20},
      {"grouped", [](LineBuilder& b) { return b.AppendGrouped(5); }, 14},
      {"d", [](LineBuilder& b) { return AppendArgument(b, 5, 'd'); }, 22},
      {"B", [](LineBuilder& b) { return AppendArgument(b, 0, 'B'); }, 6},
      {"x", [](LineBuilder& b) { return AppendArgument(b, 0, 'x'); }, 7},
      {"q", [](LineBuilder& b) { return AppendArgument(b, 0, 'q'); }, 9},
      {"wAfterQuote", [&](LineBuilder& b) { return AppendArgument(b, Word(wide), 'w'); }, 6},
      {"handlesAfterHead", [&](LineBuilder& b) { return b.AppendHandleList(2, 10, handles); },
       14 + 2 * kDigits},
  };
  for (const Case& c : cases) {
    for (uint32_t room : {c.need, c.need - 1}) {
      char buffer[96];
      memset(buffer, 0x55, sizeof buffer);
      LineBuilder builder;
      builder.Attach(buffer, room);
      bool accepted = c.append(builder);
      EXPECT_EQ(room == c.need, accepted) << c.name << " room " << room;
      EXPECT_LT(builder.pos, builder.start + room) << c.name << " room " << room;
      EXPECT_EQ('\0', *builder.pos) << c.name << " room " << room;
      for (size_t i = room; i < sizeof buffer; ++i) {
        ASSERT_EQ(0x55, static_cast<unsigned char>(buffer[i])) << c.name << " room " << room;
      }
    }
  }
}

TEST(LineBuilder, RefusedAppendsWriteNothing) {
  // Single pieces leave the text as it was; several-piece appends keep what went before.
  char buffer[64];
  LineBuilder builder;
  builder.Attach(buffer, 12);
  ASSERT_TRUE(builder.AppendText("abcdef"));
  std::string before(buffer, sizeof buffer);
  EXPECT_FALSE(builder.AppendHex32(1));
  EXPECT_FALSE(builder.AppendText("abcdef"));
  EXPECT_FALSE(AppendArgument(builder, 1, 'd'));
  EXPECT_EQ(before, std::string(buffer, sizeof buffer));
  // A wide text that does not fit is left out whole: the opening quote only.
  static const wchar_t wide[] = L"abcdef";
  EXPECT_FALSE(AppendArgument(builder, Word(wide), 'w'));
  EXPECT_EQ("abcdef\"", std::string(builder.start, builder.pos));
  EXPECT_EQ('\0', *builder.pos);
}

TEST(LineBuilder, WideTextTooLongForTheRoomLeavesOnlyTheOpeningQuote) {
  std::wstring wide(kLineCapacity, L'\u65e5');
  Line line;
  EXPECT_FALSE(AppendArgument(line.builder, Word(wide.c_str()), 'W'));
  EXPECT_EQ("\"", line.Text());
  EXPECT_EQ('\0', *line.builder.pos);
}

TEST(LineBuilder, FullBuilderKeepsRefusingWithoutOverrun) {
  std::vector<char> memory(kLineCapacity + 64, 0x55);
  LineBuilder builder;
  builder.Attach(memory.data(), kLineCapacity);
  std::string chunk(100, 'z');
  while (builder.AppendText(chunk.c_str())) {
  }
  while (builder.AppendText("z")) {
  }
  EXPECT_EQ(kLineCapacity - 1, static_cast<size_t>(builder.pos - builder.start));
  EXPECT_EQ(1u, builder.Room());
  static const wchar_t wide[] = L"w";
  const uintptr_t handles[1] = {1};
  SYSTEMTIME time = {2024, 1, 5, 5, 9, 5, 3, 7};
  for (int round = 0; round < 3; ++round) {
    EXPECT_FALSE(builder.AppendText("z"));
    EXPECT_FALSE(builder.AppendText(nullptr));
    EXPECT_FALSE(builder.AppendHex32(1));
    EXPECT_FALSE(builder.AppendHex16(1));
    EXPECT_FALSE(builder.AppendAddress(1));
    EXPECT_FALSE(builder.AppendInt(1));
    EXPECT_FALSE(builder.AppendSeparator());
    EXPECT_FALSE(builder.AppendCallColumns(1, 0, nullptr));
    EXPECT_FALSE(builder.AppendDateTime(&time));
    EXPECT_FALSE(builder.AppendGrouped(1));
    EXPECT_FALSE(builder.AppendHandleList(1, 10, handles));
    for (char code : std::string("24xdBbpsSwWq")) {
      EXPECT_FALSE(AppendArgument(builder, Word(wide), code)) << code;
    }
  }
  EXPECT_EQ(kLineCapacity - 1, static_cast<size_t>(builder.pos - builder.start));
  EXPECT_EQ('\0', memory[kLineCapacity - 1]);
  for (size_t i = kLineCapacity; i < memory.size(); ++i) ASSERT_EQ(0x55, memory[i]) << i;
}

TEST(LineBuilder, StaticBuildersAreAttachedAtLoad) {
  for (LineBuilder* builder : {&headerBuilder, &listingBuilder}) {
    ASSERT_NE(nullptr, builder->start);
    EXPECT_EQ(kLineCapacity, builder->capacity);
    EXPECT_EQ(builder->start, builder->pos);
    EXPECT_EQ('\0', *builder->start);
  }
  EXPECT_NE(headerBuilder.start, listingBuilder.start);
}

namespace {

// A real log file in a fresh directory, opened through the log writer.
class LineFlush : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string dir = qeltest::MakeTempDir("flush");
    snprintf(traceLog.directory, sizeof traceLog.directory, "%s", dir.c_str());
    ASSERT_TRUE(CreateLogFile());
    traceLog.active = false;
  }
  void TearDown() override {
    traceLog.active = false;
    CloseLogFile();
  }
  std::string LogText() { return qeltest::ReadFileBytes(traceLog.path); }
};

}  // namespace

TEST_F(LineFlush, UnforcedFlushWhileInactiveKeepsTheText) {
  Line line;
  line.builder.AppendText("first");
  EXPECT_TRUE(line.builder.Flush(false));
  EXPECT_EQ("first", line.Text());
  EXPECT_EQ("", LogText());

  EXPECT_TRUE(line.builder.Flush(true));
  EXPECT_EQ("", line.Text());
  EXPECT_EQ(line.builder.start, line.builder.pos);
  EXPECT_EQ("first\r\n", LogText());

  traceLog.active = true;
  line.builder.AppendText("second");
  EXPECT_TRUE(line.builder.Flush(false));
  EXPECT_EQ("", line.Text());
  EXPECT_EQ("first\r\nsecond\r\n", LogText());
}

TEST_F(LineFlush, LongLineGoesOutWholeAndAFailedWriteStillEmpties) {
  Line line;
  std::string text(5000, 'L');
  for (size_t i = 0; i < text.size(); i += 200)
    line.builder.AppendText(text.substr(i, 200).c_str());
  ASSERT_EQ(text, line.Text());
  EXPECT_TRUE(line.builder.Flush(true));
  EXPECT_EQ(text + "\r\n", LogText());

  CloseLogFile();
  line.builder.AppendText("lost");
  EXPECT_FALSE(line.builder.Flush(true));
  EXPECT_EQ("", line.Text());
}

TEST_F(LineFlush, EmptyBuilderWritesAnEmptyLine) {
  char buffer[64];
  memset(buffer, 'g', sizeof buffer);
  LineBuilder builder;
  builder.Attach(buffer, sizeof buffer);
  EXPECT_TRUE(builder.Flush(true));
  EXPECT_EQ("\r\n", LogText());
}

// A text too long for one line loses its tail before a whole character, never half of one,
// and keeps its line end.
TEST_F(LineFlush, AnOverlongLineIsCutBeforeALeadByte) {
  if (GetACP() != 932) GTEST_SKIP() << "needs the Japanese ANSI code page";
  // Two single bytes, then pairs: the 10237th byte is the lead byte of a pair.
  std::string text = "xy";
  while (text.size() < kLineCapacity + 100) text += "\x82\xa0";
  EXPECT_TRUE(WriteLine(text.c_str(), true));
  std::string written = LogText();
  ASSERT_GE(written.size(), 2u);
  EXPECT_EQ("\r\n", written.substr(written.size() - 2));
  std::string body = written.substr(0, written.size() - 2);
  EXPECT_EQ(kLineCapacity - 4, body.size());  // 10237 would end on a lead byte
  EXPECT_EQ(text.substr(0, body.size()), body);
}

// A wide text with no terminator in a large readable mapping is not scanned to its end:
// it cannot fit, so nothing of it is appended, and the rest of the line is unharmed.
TEST(LineBuilder, AnUnterminatedWideTextInAHugeMappingIsNotScannedToItsEnd) {
  const size_t bytes = 64 * 1024 * 1024;
  auto* mapping = static_cast<wchar_t*>(VirtualAlloc(nullptr, bytes, MEM_COMMIT, PAGE_READWRITE));
  ASSERT_NE(nullptr, mapping);
  std::fill(mapping, mapping + bytes / sizeof(wchar_t), L'a');
  Line line;
  ASSERT_TRUE(line.builder.AppendText("before "));
  EXPECT_FALSE(AppendArgument(line.builder, Word(mapping), 'w'));
  EXPECT_EQ("before \"", line.Text());
  VirtualFree(mapping, 0, MEM_RELEASE);
}
