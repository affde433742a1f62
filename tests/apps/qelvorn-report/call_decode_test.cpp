// The pieces of --calls: naming values by their constant sets, splitting a call line's
// arguments, and reading decode.txt as input anyone may have edited.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "call_definitions.h"
#include "call_listing.h"
#include "call_tree.h"

namespace {

using qel::report::CallDefinitions;
using qel::report::CallListing;
using qel::report::ConstantSet;
using qel::report::NameValue;
using qel::report::ReportOptions;
using qel::report::SplitArguments;

constexpr char kTable[] =
    "// a comment\n"
    "set\taccess\tflags\twinnt.h\tGENERIC_READ=80000000\tGENERIC_WRITE=40000000\t"
    "KEY_READ=20019\tKEY_WRITE=20006\tKEY_QUERY_VALUE=1\n"
    "set\tattributes\tflags\tfileapi.h\tINVALID_FILE_ATTRIBUTES=ffffffff\tREADONLY=1\tHIDDEN=2\n"
    "set\twait\tvalues\twinbase.h\tWAIT_OBJECT_0=0+63\tWAIT_TIMEOUT=102\tWAIT_FAILED=ffffffff\n"
    "set\thandle\tvalues\thandleapi.h\tINVALID_HANDLE_VALUE=ffffffffffffffff\n"
    "set\thkey\tvalues\twinreg.h\tHKEY_LOCAL_MACHINE=ffffffff80000002\n"
    "set\terror\terrors\twinerror.h\n"
    "fn\tkernel32.dll\tWaitForSingleObject\tDWORD\twait\thHandle\tHANDLE\tx\t-\t"
    "dwMilliseconds\tDWORD\td\t-\n";

const ConstantSet& SetNamed(const CallDefinitions& defs, const std::string& name) {
  for (int i = 0;; ++i) {
    const ConstantSet* set = defs.Set(i);
    if (set == nullptr || set->name == name) return *set;
  }
}

TEST(CallDecode, NamesValuesByTheirSets) {
  CallDefinitions defs = CallDefinitions::Parse(kTable);
  ASSERT_EQ(defs.skippedLines(), 0u);
  struct Case {
    const char* set;
    uint64_t value;
    int bits;
    const char* named;
  } cases[] = {
      {"access", 0x80000000, 32, "GENERIC_READ"},
      {"access", 0xc0000000, 32, "GENERIC_READ|GENERIC_WRITE"},
      // Bits no member names stay, in hex.
      {"access", 0x80000040, 32, "GENERIC_READ|0x40"},
      {"access", 0x00000300, 32, "0x300"},
      {"access", 0, 32, "0"},
      // A combined mask first, then a part that adds bits it does not hold.
      {"access", 0x2001f, 32, "KEY_READ|KEY_WRITE"},
      {"access", 0x20019, 32, "KEY_READ"},
      // An exact member is not taken apart into bits.
      {"attributes", 0xffffffff, 32, "INVALID_FILE_ATTRIBUTES"},
      {"attributes", 3, 32, "READONLY|HIDDEN"},
      {"wait", 0, 32, "WAIT_OBJECT_0"},
      {"wait", 2, 32, "WAIT_OBJECT_0+2"},
      {"wait", 63, 32, "WAIT_OBJECT_0+63"},
      {"wait", 64, 32, ""},
      {"wait", 0x102, 32, "WAIT_TIMEOUT"},
      {"wait", 0xffffffff, 64, "WAIT_FAILED"},
      // A value of the width of the column it was read from.
      {"handle", 0xffffffff, 32, "INVALID_HANDLE_VALUE"},
      {"handle", 0xffffffffffffffff, 64, "INVALID_HANDLE_VALUE"},
      {"handle", 0xffffffff, 64, ""},
      {"hkey", 0x80000002, 32, "HKEY_LOCAL_MACHINE"},
      {"hkey", 0xffffffff80000002, 64, "HKEY_LOCAL_MACHINE"},
      {"error", 2, 32, "ERROR_FILE_NOT_FOUND"},
      {"error", 0, 32, "ERROR_SUCCESS"},
      {"error", 0xdeadbeef, 32, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(NameValue(SetNamed(defs, c.set), c.value, c.bits), c.named)
        << c.set << " " << std::hex << c.value;
  }
}

TEST(CallDecode, SplitsArgumentsFromTheEnd) {
  struct Case {
    const char* tail;
    size_t count;
    bool ok;
    const char* option;
    std::vector<std::string> arguments;
  } cases[] = {
      {", 00000070, 4294967295", 2, true, "", {"00000070", "4294967295"}},
      {"INFINITE, 00000070, 4294967295", 2, true, "INFINITE", {"00000070", "4294967295"}},
      // A text holding the separator, and one holding a quote and the separator.
      {", \"a, b\", 00000001", 2, true, "", {"\"a, b\"", "00000001"}},
      {", \"x\", \"a\", \"b\"", 3, true, "", {"\"x\"", "\"a\"", "\"b\""}},
      {", (null)\"00000001\", 4", 2, true, "", {"(null)\"00000001\"", "4"}},
      // An option that holds the separator itself.
      {"(1 sessions:id:1 name:a, b state:0), 00000001",
       1,
       true,
       "(1 sessions:id:1 name:a, b state:0)",
       {"00000001"}},
      {"", 0, true, "", {}},
      {", ", 0, true, ", ", {}},
      {", 1", 2, false, "", {}},
      {"b\"", 1, false, "", {}},
  };
  for (const Case& c : cases) {
    std::string_view option;
    std::vector<std::string_view> arguments;
    bool ok = SplitArguments(c.tail, c.count, &option, &arguments);
    EXPECT_EQ(ok, c.ok) << c.tail;
    if (!ok || !c.ok) continue;
    EXPECT_EQ(option, c.option) << c.tail;
    EXPECT_EQ(std::vector<std::string>(arguments.begin(), arguments.end()), c.arguments) << c.tail;
  }
}

TEST(CallDecode, PassesOverLinesThatBreakTheFormat) {
  std::string table = kTable;
  const std::string broken[] = {
      "set\tbad name\tflags\th\tA=1\n",                        // not an identifier
      "set\tx\tsorts\th\tA=1\n",                               // no such kind
      "set\ty\tflags\th\tA=12345678901234567\n",               // more than 64 bits
      "set\tz\tflags\th\tA\n",                                 // no value
      "set\taccess\tflags\th\tA=1\n",                          // defined twice
      "fn\tk.dll\tF\tDWORD\tnosuchset\n",                      // unknown set
      "fn\tk.dll\tG\tDWORD\t-\tp\tDWORD\n",                    // a parameter cut short
      "fn\tk.dll\tH\tDWORD\t-\tp\tDWORD\t\t-\n",               // no type codes
      "fn\tk\x1b[2J.dll\tI\tDWORD\t-\n",                       // a control byte
      "fn\tk.dll\t" + std::string(600, 'J') + "\tDWORD\t-\n",  // a field too long
      "something else\n",
  };
  for (const std::string& line : broken) table += line;
  // More parameters than the limit.
  std::string many = "fn\tk.dll\tMany\tDWORD\t-";
  for (size_t i = 0; i <= CallDefinitions::kParamLimit; ++i) many += "\tp\tDWORD\t4\t-";
  table += many + "\n";
  CallDefinitions defs = CallDefinitions::Parse(table);
  EXPECT_EQ(defs.skippedLines(), std::size(broken) + 1);
  EXPECT_EQ(defs.functions(), 1u);
  EXPECT_EQ(defs.Find("", "F"), nullptr);
  EXPECT_EQ(defs.Find("", "Many"), nullptr);
  ASSERT_NE(defs.Find("KERNEL32.dll", "WaitForSingleObject"), nullptr);
}

// Only a table of the log's own width is asked for, and a log's calls come in the order made.
TEST(CallDecode, ListsCallsInTheOrderMade) {
  CallDefinitions defs = CallDefinitions::Parse(kTable);
  std::ostringstream out;
  int asked = 0;
  ReportOptions options;
  CallListing listing(
      options,
      [&](int digits) {
        asked = digits;
        return &defs;
      },
      out);
  const char* lines[] = {
      "01:00:00:000,   1, 00401000,         ,         , WaitForSingleObject <a.exe>, , 00000070, "
      "10",
      "01:00:00:001,   2, 00402000,         ,         , Other <a.exe>, , 1, \"x, y\"",
      "01:00:00:002,   2, 00402000, 00000000, 00000000, Other <a.exe>, , 1, \"x, y\"",
      "01:00:00:010,   1, 00401000, 00000102, 00000000, WaitForSingleObject <a.exe>, , 00000070, "
      "10",
  };
  for (const char* line : lines) listing.AddLine(line, true);
  listing.Finish();
  EXPECT_EQ(asked, 8);
  EXPECT_EQ(out.str(),
            "01:00:00:000   1  WaitForSingleObject(hHandle=00000070, dwMilliseconds=10) = "
            "WAIT_TIMEOUT (10 ms)\n"
            "01:00:00:001   2  Other [columns: , 1, \"x, y\"] = 00000000 (1 ms)\n");
}

// A last error is shown where the call set it anew, as the summary counts errors: a call
// that --api leaves out still leaves its last error behind.
TEST(CallDecode, ShowsALastErrorWhereItIsNew) {
  std::ostringstream out;
  ReportOptions options;
  options.filterApi = true;
  options.api = qel::ParseNamePatterns("Get*");
  CallListing listing(options, nullptr, out);
  const char* lines[] = {
      "01:00:00:000,   1, 00401000,         ,         , SetLastError <a.exe>, , 5",
      "01:00:00:000,   1, 00401000, 00000000, 00000005, SetLastError <a.exe>, , 5",
      "01:00:00:001,   1, 00402000,         ,         , GetLastError <a.exe>, ",
      "01:00:00:001,   1, 00402000, 00000005, 00000005, GetLastError <a.exe>, ",
      "01:00:00:002,   1, 00403000,         ,         , GetFileType <a.exe>, , 00000070",
      "01:00:00:002,   1, 00403000, 00000000, 00000006, GetFileType <a.exe>, , 00000070",
  };
  for (const char* line : lines) listing.AddLine(line, true);
  listing.Finish();
  EXPECT_EQ(out.str(),
            "01:00:00:001   1  GetLastError = 00000005 (0 ms)\n"
            "01:00:00:002   1  GetFileType [columns: , 00000070] = 00000000, last error 00000006 "
            "ERROR_INVALID_HANDLE (0 ms)\n");
}

// A post line closes the innermost open call of its function and return address: calls
// opened above it are closed as lost, a post line of no open call is passed over, and a call
// still matches after many other keys came and went.
TEST(CallDecode, PostLinesCloseTheInnermostOpenCallOfTheirKey) {
  struct PairingCase {
    const char* name;
    std::vector<std::string> lines;
    const char* listed;
  };
  auto pre = [](const char* api, const char* at) {
    return std::string("01:00:00:000,   1, ") + at + ",         ,         , " + api +
           " <a.exe>, , 1";
  };
  auto post = [](const char* api, const char* at) {
    return std::string("01:00:00:005,   1, ") + at + ", 00000000, 00000000, " + api +
           " <a.exe>, , 1";
  };
  std::vector<std::string> churn = {pre("Outer", "00401000")};
  for (int i = 0; i < 300; ++i) {
    char at[16];
    std::snprintf(at, sizeof at, "%08x", 0x00500000 + i);
    churn.push_back(pre("Inner", at));
    churn.push_back(post("Inner", at));
  }
  churn.push_back(post("Outer", "00401000"));
  std::string churned = "01:00:00:000   1  Outer [columns: , 1] = 00000000 (5 ms)\n";
  for (int i = 0; i < 300; ++i)
    churned += "01:00:00:000   1  Inner [columns: , 1] = 00000000 (5 ms)\n";
  const PairingCase cases[] = {
      {"recursion",
       {pre("F", "00401000"), pre("F", "00401000"), post("F", "00401000"), post("F", "00401000")},
       "01:00:00:000   1  F [columns: , 1] = 00000000 (5 ms)\n"
       "01:00:00:000   1  F [columns: , 1] = 00000000 (5 ms)\n"},
      {"lost post lines above the match",
       {pre("F", "00401000"), pre("G", "00402000"), pre("H", "00403000"), post("F", "00401000")},
       "01:00:00:000   1  F [columns: , 1] = 00000000 (5 ms)\n"
       "01:00:00:000   1  G [columns: , 1] ... no post line: its caller returned\n"
       "01:00:00:000   1  H [columns: , 1] ... no post line: its caller returned\n"},
      {"post line of no open call",
       {pre("F", "00401000"), post("F", "00409999"), post("G", "00401000"), post("F", "00401000")},
       "01:00:00:000   1  F [columns: , 1] = 00000000 (5 ms)\n"},
      {"many keys come and go", churn, churned.c_str()},
  };
  for (const PairingCase& c : cases) {
    std::ostringstream out;
    ReportOptions options;
    CallListing listing(options, nullptr, out);
    for (const std::string& line : c.lines) listing.AddLine(line, true);
    listing.Finish();
    EXPECT_EQ(out.str(), c.listed) << c.name;
  }
}

// A call that never returns holds back at most kPendingLimit lines: then it is written
// unfinished, and its result, when it comes, on a line of its own.
TEST(CallDecode, HoldsBackBoundedBehindAnOpenCall) {
  std::ostringstream out;
  ReportOptions options;
  CallListing listing(options, nullptr, out);
  listing.AddLine("01:00:00:000,   1, 00401000,         ,         , Wait <a.exe>, , 1", true);
  for (size_t i = 0; i <= CallListing::kPendingLimit; ++i) {
    listing.AddLine("01:00:00:001,   2, 00402000,         ,         , Sleep <a.exe>, , 0", true);
    listing.AddLine("01:00:00:002,   2, 00402000, 00000000, 00000000, Sleep <a.exe>, , 0", true);
  }
  std::string early = out.str();
  EXPECT_EQ(early.substr(0, early.find('\n')),
            "01:00:00:000   1  Wait [columns: , 1] ... (unfinished)");
  listing.AddLine("01:00:01:000,   1, 00401000, 00000000, 00000000, Wait <a.exe>, , 1", true);
  listing.Finish();
  std::string all = out.str();
  std::string last = all.substr(all.rfind('\n', all.size() - 2) + 1);
  EXPECT_EQ(last, "01:00:01:000   1  Wait returned = 00000000 (1000 ms)\n");
}

// --tree indents a call two spaces for each call of its thread in flight when it was made,
// at most kTreeDepthLimit levels; a call written unfinished has its result at its own level.
TEST(CallDecode, TreeIndentsNestedCallsBounded) {
  std::ostringstream out;
  ReportOptions options;
  options.tree = true;
  CallListing listing(options, nullptr, out);
  const size_t depth = qel::report::kTreeDepthLimit + 4;
  for (size_t i = 0; i < depth; ++i) {
    listing.AddLine(
        "01:00:00:000,   1, 00401000,         ,         , Enum <a.exe>, , " + std::to_string(i),
        true);
  }
  listing.AddLine("01:00:00:001,   2, 00402000,         ,         , Sleep <a.exe>, , 0", true);
  listing.AddLine("01:00:00:002,   2, 00402000, 00000000, 00000000, Sleep <a.exe>, , 0", true);
  for (size_t i = depth; i-- > 0;) {
    listing.AddLine(
        "01:00:00:003,   1, 00401000, 00000001, 00000000, Enum <a.exe>, , " + std::to_string(i),
        true);
  }
  listing.Finish();
  std::istringstream lines(out.str());
  std::vector<std::string> got;
  for (std::string line; std::getline(lines, line);) got.push_back(line);
  ASSERT_EQ(got.size(), depth + 1);
  EXPECT_EQ(got[0], "01:00:00:000   1  Enum [columns: , 0] = 00000001 (3 ms)");
  EXPECT_EQ(got[2], "01:00:00:000   1      Enum [columns: , 2] = 00000001 (3 ms)");
  std::string deepest = std::string(2 * qel::report::kTreeDepthLimit, ' ');
  EXPECT_EQ(got[depth - 1], "01:00:00:000   1  " + deepest + "Enum [columns: , " +
                                std::to_string(depth - 1) + "] = 00000001 (3 ms)");
  // Another thread's call starts at its own level 0.
  EXPECT_EQ(got[depth], "01:00:00:001   2  Sleep [columns: , 0] = 00000000 (1 ms)");

  std::ostringstream held;
  CallListing unfinished(options, nullptr, held);
  unfinished.AddLine("01:00:00:000,   1, 00401000,         ,         , Wait <a.exe>, , 1", true);
  unfinished.AddLine("01:00:00:000,   1, 00401100,         ,         , Inner <a.exe>, , 1", true);
  for (size_t i = 0; i <= CallListing::kPendingLimit; ++i) {
    unfinished.AddLine("01:00:00:001,   2, 00402000,         ,         , Sleep <a.exe>, , 0", true);
    unfinished.AddLine("01:00:00:002,   2, 00402000, 00000000, 00000000, Sleep <a.exe>, , 0", true);
  }
  unfinished.AddLine("01:00:01:000,   1, 00401100, 00000000, 00000000, Inner <a.exe>, , 1", true);
  unfinished.AddLine("01:00:01:000,   1, 00401000, 00000000, 00000000, Wait <a.exe>, , 1", true);
  unfinished.Finish();
  std::string all = held.str();
  EXPECT_EQ(all.substr(0, all.find('\n')),
            "01:00:00:000   1  Wait [columns: , 1] ... (unfinished)");
  EXPECT_NE(all.find("\n01:00:00:000   1    Inner [columns: , 1] ... (unfinished)\n"),
            std::string::npos);
  EXPECT_NE(all.find("\n01:00:01:000   1    Inner returned = 00000000 (1000 ms)\n"
                     "01:00:01:000   1  Wait returned = 00000000 (1000 ms)\n"),
            std::string::npos);
}

}  // namespace
