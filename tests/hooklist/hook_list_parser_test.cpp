// The Qelvorn.lst reader: the text routines, the section state machines on real files,
// cp932 blanks, duplicates and the size limits.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "describe_tables.h"
#include "hooklist/hook_list.h"
#include "hooklist/hook_list_parser.h"
#include "support/test_support.h"

using namespace qelvorn;

using hooklisttest::DescribeRecord;
using hooklisttest::DescribeTables;

namespace {

const char kExample[] =
    "// traced functions of two libraries in the host program\r\n"
    "[Imported]\r\n"
    "imported_module = KERNEL32.dll\r\n"
    "api=CreateFileA,,,,,,,,,S,4,4,p,4,4,x\r\n"
    "api=CloseHandle,,,,,,,,,x\r\n"
    "api=WaitForSingleObject,,,,1,,,,,x,d   // pre-call callback WaitForSingleObject_Pre\r\n"
    "api=GetTickCount,,,,,,,,,\r\n"
    "imported_module=WS2_32.dll\r\n"
    "api=recv,16,,,ws,ws,,,,x,p,d,4\r\n"
    "\r\n"
    "[Import]\r\n"
    "import_module=host.exe\r\n"
    "dll=KERNEL32.dll\r\n"
    "dll=ws2_32.dll\r\n";

std::string WithLf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c != '\r') out += c;
  }
  return out;
}

// Writes text as Qelvorn.lst into a fresh directory and answers the directory.
std::string WriteList(const std::string& text) {
  std::string dir = qeltest::MakeTempDir("lst");
  qeltest::WriteFileBytes(dir + "Qelvorn.lst", text);
  return dir;
}

// A sparse Qelvorn.lst of the given size that starts with text.
std::string WriteSparseList(const std::string& text, long long size) {
  std::string dir = WriteList(text);
  HANDLE file = CreateFileA((dir + "Qelvorn.lst").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            0, nullptr);
  LARGE_INTEGER end;
  end.QuadPart = size;
  EXPECT_TRUE(SetFilePointerEx(file, end, nullptr, FILE_BEGIN));
  EXPECT_TRUE(SetEndOfFile(file));
  CloseHandle(file);
  return dir;
}

const char kHead[] = "[Imported]\r\nimported_module=K\r\n";

}  // namespace

TEST(HookListText, SplitText) {
  struct Case {
    const char* text;
    const char* delimiter;
    std::vector<std::string> pieces;
  } cases[] = {
      {"a,,b", ",", {"a", "", "b"}},
      {",a", ",", {"", "a"}},
      {"a,", ",", {"a"}},
      {"a,,", ",", {"a", ""}},
      {"", ",", {}},
      {",", ",", {""}},
      {"abc", ",", {"abc"}},
      {"a\r\nb\nc\rd\r\n\r\ne", "\r\n", {"a", "b\nc\rd", "", "e"}},
      {"a\r\r\n", "\r\n", {"a\r"}},
      {"api = F=x", "=", {"api ", " F", "x"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.pieces, SplitText(c.text, c.delimiter)) << c.text;
  }
}

TEST(HookListText, CleanLineAndClassifyLine) {
  struct Case {
    const char* line;
    const char* cleaned;
    LineKind kind;
  } cases[] = {
      {"[Imported]", "[Imported]", kImportedSectionLine},
      {" \t[Imported] // list", "[Imported]", kImportedSectionLine},
      {"[Imported]x", "[Imported]x", kOtherLine},
      {"[imported]", "[imported]", kOtherLine},
      {"imported_module = K", "imported_module = K", kImportedModuleLine},
      {"imported_module2=K", "imported_module2=K", kImportedModuleLine},
      {"Imported_Module=K", "Imported_Module=K", kOtherLine},
      {"apix=F", "apix=F", kApiLine},
      {"[Import]", "[Import]", kImportSectionLine},
      {"[Import]x // y", "[Import]x", kImportSectionLine},
      {"import_module=h", "import_module=h", kImportModuleLine},
      {"dllx=K", "dllx=K", kDllLine},
      {"x//y//z", "x", kOtherLine},
      {"x/ /y", "x/ /y", kOtherLine},
      {"a=b/", "a=b/", kOtherLine},
  };
  for (const Case& c : cases) {
    std::string cleaned = CleanLine(c.line);
    EXPECT_EQ(c.cleaned, cleaned) << c.line;
    EXPECT_EQ(c.kind, ClassifyLine(cleaned)) << c.line;
  }
  EXPECT_EQ("", CleanLine("   // only a comment"));
  EXPECT_EQ("", CleanLine("//"));
  EXPECT_EQ("", CleanLine(" \t "));
}

TEST(HookListText, BlanksFollowTheAnsiCodePage) {
  // Under cp932 0x81 0x40 is the ideographic space; a double-byte character whose second
  // byte is 0x40 ('@') or 0x2F ('/') is neither a blank nor part of a comment mark. In a
  // single-byte code page the same bytes are two ordinary characters.
  bool sjis = GetACP() == 932;
  struct Case {
    const char* text;
    const char* trimmed932;
    const char* trimmedSingleByte;
  } cases[] = {
      {"\x81\x40 F\t\x81\x40", "F", "\x81\x40 F\t\x81\x40"},
      {"\x81\x40", "", "\x81\x40"},
      {"F\x83\x40", "F\x83\x40", "F\x83\x40"},
      {"\x83\x40", "\x83\x40", "\x83\x40"},
      {"X\x81\x81\x40", "X\x81\x81\x40", "X\x81\x81\x40"},
      {"\x81\x81\x40 ", "\x81\x81\x40", "\x81\x81\x40"},
      {"@ @", "@ @", "@ @"},
      {"F\x81", "F\x81", "F\x81"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(sjis ? c.trimmed932 : c.trimmedSingleByte, TrimBlanks(c.text)) << c.text;
  }
  EXPECT_EQ(sjis ? "dll=\x95\x2F/x" : "dll=\x95", CleanLine("dll=\x95\x2F/x"));
  EXPECT_EQ("dll=\x83\x40", CleanLine("dll=\x83\x40//x"));
  EXPECT_EQ(sjis ? "K" : "\x81\x40K\x81\x40", CleanLine("\x81\x40K\x81\x40//"));
}

TEST(HookListParser, ExampleFileGivesEveryRecordAndField) {
  std::string dir = WriteList(kExample);
  ASSERT_EQ(0, LoadHookList(dir.c_str()));
  EXPECT_EQ(
      "api:CloseHandle,CreateFileA,GetTickCount,WaitForSingleObject,recv "
      "mod:KERNEL32.dll[CloseHandle,CreateFileA,GetTickCount,WaitForSingleObject],"
      "WS2_32.dll[recv|16=recv] imp:host.exe[KERNEL32.dll,WS2_32.dll]",
      DescribeTables(hookList));
  std::vector<std::string> records;
  for (const auto& api : hookList.apiTable) {
    EXPECT_EQ(api.first, api.second->name);
    EXPECT_EQ(nullptr, api.second->hookEntry);
    EXPECT_EQ(0u, api.second->realFunction);
    records.push_back(DescribeRecord(*api.second));
  }
  EXPECT_EQ((std::vector<std::string>{
                "CloseHandle -1 0 0 - - x@KERNEL32.dll",
                "CreateFileA -1 0 0 - - S44p44x@KERNEL32.dll",
                "GetTickCount -1 0 0 - - @KERNEL32.dll",
                "WaitForSingleObject -1 0 0 WaitForSingleObject_Pre - xd@KERNEL32.dll",
                "recv 16 0 0 ws_Pre ws_Post xpd4@WS2_32.dll",
            }),
            records);
  // moduleName is the imported module's own name string, not a copy.
  const ImportedModuleRecord* kernel = FindImportedModule(hookList, "KERNEL32.DLL");
  ASSERT_NE(nullptr, kernel);
  EXPECT_EQ(nullptr, kernel->handle);
  EXPECT_EQ(kernel->name, FindApi(hookList, "CloseHandle")->moduleName);
  const ModuleHookRecord* host = FindModule(hookList, "HOST.exe");
  ASSERT_NE(nullptr, host);
  EXPECT_STREQ("host.exe", host->name);
  EXPECT_EQ(nullptr, host->handle);
  EXPECT_EQ(0, host->loadedAtSetUp);
  EXPECT_EQ(0, host->importsPatched);
  // The copies point at the same records as the originals.
  const ImportedModuleRecord& ws = host->importedModules.at("ws2_32.dll");
  EXPECT_EQ(FindApi(hookList, "recv"), FindApiByOrdinal(ws, 16));
  EXPECT_EQ(FindApi(hookList, "recv"), FindApiByName(ws, "recv"));
  EXPECT_NE(&ws, FindImportedModule(hookList, "ws2_32.dll"));

  // A second load adds nothing and leaves every record where it was.
  std::string before = DescribeTables(hookList);
  ApiHookRecord* recv = FindApi(hookList, "recv");
  uint32_t blocks = hookList.pool.blockCount;
  ASSERT_EQ(0, LoadHookList(dir.c_str()));
  EXPECT_EQ(before, DescribeTables(hookList));
  EXPECT_EQ(recv, FindApi(hookList, "recv"));
  EXPECT_EQ(host, FindModule(hookList, "host.exe"));
  EXPECT_EQ(blocks, hookList.pool.blockCount);
}

TEST(HookListParser, ExampleWithLfLineEndsEntersNothing) {
  HookList list;
  EXPECT_EQ(-1, LoadHookListInto(list, WriteList(WithLf(kExample)).c_str()));
  EXPECT_EQ("api: mod: imp:", DescribeTables(list));
}

TEST(HookListParser, StateTable) {
  struct Case {
    std::string text;
    int answer;
    const char* tables;
  } cases[] = {
      // Start and the first section line.
      {"", -1, "api: mod: imp:"},
      {"// comment\r\n  \r\n\x81\x40\r\n", -1, "api: mod: imp:"},
      {"[Imported] // list\r\nimported_module=K\r\n[Import]\r\n", 0, "api: mod:K[] imp:"},
      {"[Imported]x\r\nimported_module=K\r\n[Import]\r\n", -1, "api: mod: imp:"},
      {"api=F,,,,,,,,,\r\n[Imported]\r\n", -1, "api: mod: imp:"},
      {"imported_module=K\r\n", -1, "api: mod: imp:"},
      // Header.
      {"[Imported]\r\n", -1, "api: mod: imp:"},
      {"[Imported]\r\n[Imported]\r\n", -1, "api: mod: imp:"},
      {"[Imported]\r\n[Import]\r\n", -1, "api: mod: imp:"},
      {"[Imported]\r\napi=F,,,,,,,,,\r\n", -1, "api: mod: imp:"},
      {"[Imported]\r\nimport_module=K\r\n", -1, "api: mod: imp:"},
      {"[Imported]\r\nImported_Module=K\r\n[Import]\r\n", -1, "api: mod: imp:"},
      {"[Imported]\r\nimported_module2=K\r\n[Import]\r\n", -1, "api: mod: imp:"},
      {"[Imported]\r\nimported_module \t= \tK \r\n[Import]\r\n", 0, "api: mod:K[] imp:"},
      {"[Imported]\r\nimported_module=\r\n[Import]\r\n", -1, "api: mod: imp:"},
      {"[Imported]\r\nimported_module=K=L\r\n[Import]\r\n", -1, "api: mod: imp:"},
      {"[Imported]\r\nimported_module==\r\n[Import]\r\n", -1, "api: mod: imp:"},
      {"[Imported]\r\nimported_module=K=\r\n[Import]\r\n", -1, "api: mod: imp:"},
      // Module block.
      {std::string(kHead) + "api=F,,,,,,,,,\r\n", -1, "api:F mod: imp:"},
      {std::string(kHead) + "api=F,,,,,,,,,\r\n// c\r\n", -1, "api:F mod: imp:"},
      {std::string(kHead) + "api=F,,,,,,,,,\r\napi=G,,,,,,,,\r\n[Import]\r\n", -1,
       "api:F mod: imp:"},
      {std::string(kHead) + "apix=F,,,,,,,,,\r\n[Import]\r\n", -1, "api: mod: imp:"},
      {std::string(kHead) + "api=F,,,,,,,,,=\r\n[Import]\r\n", -1, "api: mod: imp:"},
      {std::string(kHead) + "api=F,,,,,,,,,\r\n[Import]x\r\n", 0, "api:F mod:K[F] imp:"},
      {std::string(kHead) + "api=F,,,,,,,,,\r\nimported_module=L\r\napi=G,,,,,,,,,\r\n[Import]\r\n",
       0, "api:F,G mod:K[F],L[G] imp:"},
      {std::string(kHead) + "api=F,,,,,,,,,\r\nhello\r\n", -1, "api:F mod:K[F] imp:"},
      {std::string(kHead) + "[Imported]\r\n", -1, "api: mod:K[] imp:"},
      {std::string(kHead) + "import_module=h\r\n", -1, "api: mod:K[] imp:"},
      {std::string(kHead) + "dll=K\r\n", -1, "api: mod:K[] imp:"},
      {std::string(kHead) + "imported_module=L=M\r\n", -1, "api: mod:K[] imp:"},
      // Import section.
      {std::string(kHead) + "[Import]\r\n// only comments\r\n", 0, "api: mod:K[] imp:"},
      {std::string(kHead) + "[Import]\r\n[Import]\r\n", -1, "api: mod:K[] imp:"},
      {std::string(kHead) + "[Import]\r\ndll=K\r\n", -1, "api: mod:K[] imp:"},
      {std::string(kHead) + "[Import]\r\napi=F,,,,,,,,,\r\n", -1, "api: mod:K[] imp:"},
      {std::string(kHead) + "[Import]\r\nimport_module=a=b\r\n", -1, "api: mod:K[] imp:"},
      {std::string(kHead) + "[Import]\r\nimport_module==\r\n", -1, "api: mod:K[] imp:"},
      {std::string(kHead) + "[Import]\r\nImport_module=h\r\n", -1, "api: mod:K[] imp:"},
      // Import block.
      {std::string(kHead) + "[Import]\r\nimport_module=h\r\n", 0, "api: mod:K[] imp:"},
      {std::string(kHead) + "[Import]\r\nimport_module=h\r\n\r\n// c\r\n", 0, "api: mod:K[] imp:"},
      {std::string(kHead) + "[Import]\r\nimport_module=h\r\ndll=k\r\n", 0, "api: mod:K[] imp:h[K]"},
      {std::string(kHead) + "[Import]\r\nimport_module=h\r\ndll = k \r\n// c\r\n", 0,
       "api: mod:K[] imp:h[K]"},
      {std::string(kHead) + "[Import]\r\nimport_module=h\r\nimport_module=i\r\ndll=K\r\n", 0,
       "api: mod:K[] imp:h[],i[K]"},
      {std::string(kHead) + "[Import]\r\nimport_module=h\r\ndll=K\r\ndll=L\r\n", -1,
       "api: mod:K[] imp:"},
      {std::string(kHead) +
           "[Import]\r\nimport_module=h\r\ndll=K\r\nimport_module=i\r\ndll=K\r\ndll=L\r\n",
       -1, "api: mod:K[] imp:h[K]"},
      {std::string(kHead) + "[Import]\r\nimport_module=h\r\ndllx=K\r\n", -1, "api: mod:K[] imp:"},
      {std::string(kHead) + "[Import]\r\nimport_module=h\r\ndll=K=K\r\n", -1, "api: mod:K[] imp:"},
      {std::string(kHead) + "[Import]\r\nimport_module=h\r\nhello\r\n", -1, "api: mod:K[] imp:h[]"},
      {std::string(kHead) + "[Import]\r\nimport_module=h\r\ndll=K\r\n[Imported]\r\n", -1,
       "api: mod:K[] imp:h[K]"},
      {std::string(kHead) + "[Import]\r\nimport_module=h\r\ndll=K\r\nimport_module=h=\r\n", -1,
       "api: mod:K[] imp:h[K]"},
      // The text ends at its first NUL.
      {std::string(kHead) + "[Import]\r\n" + std::string(1, '\0') + "garbage\r\n", 0,
       "api: mod:K[] imp:"},
      {std::string(kHead) + std::string(1, '\0') + "[Import]\r\n", -1, "api: mod: imp:"},
  };
  for (const Case& c : cases) {
    HookList list;
    EXPECT_EQ(c.answer, LoadHookListInto(list, WriteList(c.text).c_str())) << c.text;
    EXPECT_EQ(c.tables, DescribeTables(list)) << c.text;
  }
}

TEST(HookListParser, FunctionEntries) {
  struct Case {
    const char* entry;
    const char* record;                      // nullptr: the line fails
    const char* singleByteRecord = nullptr;  // where a single-byte code page reads it otherwise
  } cases[] = {
      {"GetTickCount,,,,,,,,,", "GetTickCount -1 0 0 - - @K"},
      {"GetTickCount,,,,,,,,", nullptr},
      {"F", nullptr},
      {"F,,,,,,,,,4,,x", "F -1 0 0 - - 4x@K"},
      {"F,,,,,,,,,4,,x,,", "F -1 0 0 - - 4x@K"},
      {"F,,,,1,1,,,,d", "F -1 0 0 F_Pre F_Post d@K"},
      {"F,,,,ws,,,,,d", "F -1 0 0 ws_Pre - d@K"},
      {"F,,,, 1 ,11,,,,", "F -1 0 0 F_Pre 11_Post @K"},
      {"F,abc,,,,,,,,", "F 0 0 0 - - @K"},
      {"F,-3,,,,,,,,", "F -3 0 0 - - @K"},
      {"F, 7x ,,,,,,,,", "F 7 0 0 - - @K"},
      {"F,0,0,0,,,,,,", "F 0 1 1 - - @K"},
      {"F,,\x81\x40,,,,,,,", "F -1 0 0 - - @K", "F -1 1 0 - - @K"},
      {" F \t, 16 ,x, ,,,a,b,c, str , W ,\x81\x40,2", "F 16 1 0 - - sW2@K",
       "F 16 1 0 - - sW\x81"
       "2@K"},
      {"F,,,,,,a,b,c,", "F -1 0 0 - - @K"},
      {"F,,,,,,,,,\x83\x40", "F -1 0 0 - - \x83@K"},
  };
  bool sjis = GetACP() == 932;
  for (const Case& c : cases) {
    HookList list;
    std::string text = std::string(kHead) + "api = " + c.entry + "\r\n[Import]\r\n";
    int answer = ParseHookList(list, text.c_str());
    if (c.record == nullptr) {
      EXPECT_EQ(-1, answer) << c.entry;
      EXPECT_TRUE(list.apiTable.empty()) << c.entry;
      continue;
    }
    ASSERT_EQ(0, answer) << c.entry;
    ASSERT_EQ(1u, list.apiTable.size()) << c.entry;
    const char* expected = !sjis && c.singleByteRecord ? c.singleByteRecord : c.record;
    EXPECT_EQ(expected, DescribeRecord(*list.apiTable.begin()->second)) << c.entry;
  }
}

// "8f" and "4f" keep their codes 8 and 4 and mark the argument floating-point, so that an
// x64 tracer reads the first four such from their XMM registers.
TEST(HookListParser, FloatingPointMarksOnTheFirstFourArguments) {
  const struct {
    const char* codes;
    uint8_t floatSlots;
  } cases[] = {
      {"8f,4,4f,x", 0x5}, {"4,4,4,4,8f", 0x0}, {" 8f ,d", 0x1},
      {"4fx,8F", 0x0},    {"8,8,8,8f", 0x8},   {"s,,8f", 0x2},
  };
  for (const auto& c : cases) {
    HookList list;
    std::string text = std::string(kHead) + "api=F,,,,,,,,," + c.codes + "\r\n[Import]\r\n";
    ASSERT_EQ(0, ParseHookList(list, text.c_str())) << c.codes;
    const ApiHookRecord& record = *list.apiTable.begin()->second;
    EXPECT_EQ(c.floatSlots, record.floatSlots) << c.codes;
    EXPECT_NE('f', record.argTypes[0]) << c.codes;
  }
}

TEST(HookListParser, FirstOccurrenceWinsAtEveryLevel) {
  HookList list;
  std::string text =
      "[Imported]\r\n"
      "imported_module=KERNEL32.dll\r\n"
      "api=Sleep,5,,,,,,,,d\r\n"
      "api=Sleep,6,x,,,,,,,d,d\r\n"
      "api=recv,7,,,,,,,,\r\n"
      "imported_module=WS2_32.dll\r\n"
      "api=recv,16,,,,,,,,\r\n"
      "api=Zw,,,,,,,,,\r\n"
      "imported_module=kernel32.DLL\r\n"
      "api=Beep,,,,,,,,,\r\n"
      "api=Sleep,8,,,,,,,,\r\n"
      "[Import]\r\n"
      "import_module=host.exe\r\n"
      "dll=kernel32.dll\r\n"
      "dll=KERNEL32.DLL\r\n"
      "import_module=HOST.EXE\r\n"
      "dll=WS2_32.dll\r\n";
  ASSERT_EQ(0, LoadHookListInto(list, WriteList(text).c_str()));
  EXPECT_EQ(
      "api:Beep,Sleep,Zw,recv mod:KERNEL32.dll[Sleep,recv|5=Sleep|6=Sleep|7=recv],"
      "WS2_32.dll[Zw,recv|16=recv] imp:host.exe[KERNEL32.dll]",
      DescribeTables(list));
  EXPECT_EQ("Sleep 5 0 0 - - d@KERNEL32.dll", DescribeRecord(*FindApi(list, "Sleep")));
  EXPECT_EQ("recv 7 0 0 - - @KERNEL32.dll", DescribeRecord(*FindApi(list, "recv")));
  // Beep came with the dropped block: bound through apiTable, reachable through no module.
  EXPECT_EQ("Beep -1 0 0 - - @kernel32.DLL", DescribeRecord(*FindApi(list, "Beep")));
  const ImportedModuleRecord* ws = FindImportedModule(list, "ws2_32.dll");
  EXPECT_NE(FindApi(list, "recv"), FindApiByName(*ws, "recv"));
  EXPECT_EQ(FindApiByName(*ws, "recv"), FindApiByOrdinal(*ws, 16));
}

TEST(HookListParser, FailureKeepsWhatCameBefore) {
  HookList list;
  std::string text =
      "[Imported]\r\nimported_module=K\r\napi=A,,,,,,,,,\r\nimported_module=L\r\n"
      "api=B,,,,,,,,,\r\n[Import]\r\nimport_module=h\r\ndll=K\r\nimport_module=i\r\n"
      "dll=L\r\ndll=M\r\nimport_module=j\r\ndll=K\r\n";
  EXPECT_EQ(-1, LoadHookListInto(list, WriteList(text).c_str()));
  EXPECT_EQ("api:A,B mod:K[A],L[B] imp:h[K]", DescribeTables(list));
  // A later, corrected file adds only what is new.
  std::string fixed = text;
  fixed.replace(fixed.find("dll=M"), 5, "dll=K");
  EXPECT_EQ(0, LoadHookListInto(list, WriteList(fixed).c_str()));
  EXPECT_EQ("api:A,B mod:K[A],L[B] imp:h[K],i[K,L],j[K]", DescribeTables(list));
}

TEST(HookListParser, WhatDoesNotFitAPoolBlockFailsTheFile) {
  const std::string before = std::string(kHead) + "api=A,,,,,,,,,x\r\n";
  const std::string after = "[Import]\r\n";
  // The longest request a pool block takes (10228 bytes on x86).
  const size_t kMax = qelvorn::BlockPool::kMaxRequest;
  struct Case {
    std::string lines;
    int answer;
  } cases[] = {
      {"api=" + std::string(kMax - 1, 'n') + ",,,,,,,,,\r\n", 0},
      {"api=" + std::string(kMax, 'n') + ",,,,,,,,,\r\n", -1},
      {"api=" + std::string(100000, 'n') + ",,,,,,,,,\r\n", -1},
      {"api=" + std::string(kMax - 6, 'n') + ",,,,1,1,,,,\r\n", 0},
      {"api=" + std::string(kMax - 5, 'n') + ",,,,1,,,,,\r\n", 0},
      {"api=" + std::string(kMax - 5, 'n') + ",,,,,1,,,,\r\n", -1},
      {"api=F,,,,," + std::string(kMax - 5, 'b') + ",,,,\r\n", -1},
      {"api=F,,,," + std::string(kMax - 4, 'b') + ",,,,,\r\n", -1},
      {"api=F,,,,,,,," + std::string(kMax, ',') + "x\r\n", 0},
      {"api=F,,,,,,,," + std::string(kMax + 1, ',') + "x\r\n", -1},
      {"api=F,,,,,,,,," + std::string(200000, 'x') + "\r\n", 0},
      {"api=F,,,,,,,," + std::string(200000, ',') + "x\r\n", -1},
      {"imported_module=" + std::string(kMax - 1, 'm') + "\r\n", 0},
      {"imported_module=" + std::string(kMax, 'm') + "\r\n", -1},
      {"[Import]\r\nimport_module=" + std::string(kMax, 'h') + "\r\n", -1},
  };
  for (const Case& c : cases) {
    HookList list;
    std::string text = before + c.lines + (c.lines.find("[Import]") == 0 ? "" : after);
    EXPECT_EQ(c.answer, LoadHookListInto(list, WriteList(text).c_str())) << c.lines.size();
    ApiHookRecord* kept = FindApi(list, "A");
    ASSERT_NE(nullptr, kept);
    EXPECT_EQ("A -1 0 0 - - x@K", DescribeRecord(*kept));
    size_t apis = c.answer == 0 && c.lines.compare(0, 4, "api=") == 0 ? 2 : 1;
    EXPECT_EQ(apis, list.apiTable.size()) << c.lines.size();
  }
}

TEST(HookListParser, PathAndFileLimits) {
  const std::string valid = std::string(kHead) + "api=A,,,,,,,,,\r\n[Import]\r\n";
  HookList list;
  EXPECT_EQ(-1, LoadHookListInto(list, nullptr));
  EXPECT_EQ(-1, LoadHookListInto(list, qeltest::MakeTempDir("empty").c_str()));
  EXPECT_EQ(-1, LoadHookListInto(list, std::string(5000, 'd').c_str()));

  // iniDir + "Qelvorn.lst" of exactly 259 characters is read; one more is refused.
  std::string dir = qeltest::MakeTempDir("path");
  std::string padded = dir + std::string(248 - dir.size() - 1, 'p') + "\\";
  ASSERT_EQ(248u, padded.size());
  ASSERT_TRUE(CreateDirectoryA(padded.substr(0, 247).c_str(), nullptr));
  qeltest::WriteFileBytes(padded + "Qelvorn.lst", valid);
  EXPECT_EQ(0, LoadHookListInto(list, padded.c_str()));
  EXPECT_EQ(1u, list.apiTable.size());
  HookList other;
  EXPECT_EQ(-1, LoadHookListInto(other, (padded.substr(0, 247) + "q\\").c_str()));
  EXPECT_EQ("api: mod: imp:", DescribeTables(other));

  // Files beyond 64 MiB, and beyond 32 bits of size, are refused without being read, even
  // when their first bytes (or the low 32 bits of their size) would make a valid list.
  const long long sizes[] = {64LL * 1024 * 1024 + 1,
                             0x100000000LL + static_cast<long long>(valid.size())};
  for (long long size : sizes) {
    std::string big = WriteSparseList(valid, size);
    HookList fresh;
    EXPECT_EQ(-1, LoadHookListInto(fresh, big.c_str())) << size;
    EXPECT_EQ("api: mod: imp:", DescribeTables(fresh));
    DeleteFileA((big + "Qelvorn.lst").c_str());
  }
}
