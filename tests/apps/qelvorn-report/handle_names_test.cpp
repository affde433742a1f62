// Handle names in --calls: the reviewed tables checked against decode.txt, crafted logs of
// handles made, passed, closed and reused, and the bounds on what a log can make the table
// hold.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "call_definitions.h"
#include "call_listing.h"
#include "handle_names.h"

namespace {

using qel::report::CallDefinitions;
using qel::report::CallListing;
using qel::report::FunctionDefinition;
using qel::report::HandleCloser;
using qel::report::HandleKind;
using qel::report::HandleMaker;
using qel::report::HandleNames;
using qel::report::HandleNaming;
using qel::report::HandleSource;
using qel::report::ParamDefinition;
using qel::report::ReportOptions;

const std::string kLists = std::string(QEL_SOURCE_DIR) + "/lists";

const CallDefinitions& Lists32() {
  static const CallDefinitions defs = CallDefinitions::Load(kLists + "/decode.txt").value();
  return defs;
}

// One call line followed as --calls follows it.
void Observe(HandleNames& names, const std::string& line, const FunctionDefinition* def) {
  qel::report::ParsedLine parsed = qel::report::ParseLine(line, qel::report::Section::kNone);
  std::vector<std::string_view> fields;
  qel::report::LineArguments arguments(parsed.tail, def->columns, &fields);
  names.Observe(parsed, names.RulesOf(def, parsed.api), arguments);
}

// " <name>" for an argument column, empty when it names no handle.
std::string ArgumentName(const HandleNames& names, const ParamDefinition& param,
                         std::string_view field) {
  std::string text;
  names.AppendArgumentName(param, field, &text);
  return text;
}

bool IsText(const ParamDefinition& param) {
  return param.codes == "s" || param.codes == "S" || param.codes == "w" || param.codes == "W";
}

// Every row names a function of the lists, and the arguments it reads have the types its
// naming needs, in the tables of both processors.
TEST(HandleNames, TablesMatchDecodeTxt) {
  for (const char* file : {"/decode.txt", "/x64/decode.txt"}) {
    SCOPED_TRACE(file);
    CallDefinitions defs = CallDefinitions::Load(kLists + file).value();
    for (const HandleMaker& maker : qel::report::HandleMakers()) {
      SCOPED_TRACE(maker.function);
      const FunctionDefinition* def = defs.Find("", maker.function);
      ASSERT_NE(def, nullptr);
      ASSERT_LT(static_cast<size_t>(maker.argument), def->params.size());
      const ParamDefinition& first = def->params[static_cast<size_t>(maker.argument)];
      EXPECT_EQ(first.codes.size(), 1u);
      if (maker.source == HandleSource::kResult) {
        EXPECT_TRUE(qel::report::IsHandleType(maker.kind, def->resultType)) << def->resultType;
      } else {
        EXPECT_EQ(def->resultType, "LONG");
      }
      switch (maker.naming) {
        case HandleNaming::kText:
          EXPECT_TRUE(IsText(first)) << first.name;
          break;
        case HandleNaming::kKeyPath:
          EXPECT_EQ(first.type, "HKEY");
          ASSERT_LT(static_cast<size_t>(maker.second), def->params.size());
          EXPECT_TRUE(IsText(def->params[static_cast<size_t>(maker.second)]));
          break;
        case HandleNaming::kValue:
          break;
        case HandleNaming::kConstant:
          EXPECT_NE(defs.Set(first.set), nullptr) << first.name;
          break;
        case HandleNaming::kConstants:
          EXPECT_NE(defs.Set(first.set), nullptr) << first.name;
          ASSERT_LT(static_cast<size_t>(maker.second), def->params.size());
          EXPECT_NE(defs.Set(def->params[static_cast<size_t>(maker.second)].set), nullptr);
          break;
        case HandleNaming::kSocketName:
          EXPECT_EQ(first.type, "SOCKET");
          break;
      }
    }
    for (const HandleCloser& closer : qel::report::HandleClosers()) {
      SCOPED_TRACE(closer.function);
      const FunctionDefinition* def = defs.Find("", closer.function);
      ASSERT_NE(def, nullptr);
      ASSERT_LT(static_cast<size_t>(closer.argument), def->params.size());
      EXPECT_TRUE(qel::report::IsHandleType(
          closer.kind, def->params[static_cast<size_t>(closer.argument)].type));
    }
  }
}

std::string Pre(const char* time, int thread, const char* api, const std::string& args) {
  char head[96];
  std::snprintf(head, sizeof head, "%s, %3d, 00401000,         ,         , %s <a.exe>, , ", time,
                thread, api);
  return head + args;
}

std::string Post(const char* time, int thread, const char* result, const char* api,
                 const std::string& args) {
  char head[128];
  std::snprintf(head, sizeof head, "%s, %3d, 00401000, %s, 00000000, %s <a.exe>, , ", time, thread,
                result, api);
  return head + args;
}

// A call on one thread, its pre line and post line one after the other.
std::vector<std::string> Call(int thread, const char* api, const std::string& args,
                              const char* result) {
  return {Pre("01:00:00:000", thread, api, args), Post("01:00:00:000", thread, result, api, args)};
}

std::string Decoded(const std::vector<std::vector<std::string>>& calls, ReportOptions options) {
  std::ostringstream out;
  CallListing listing(
      options, [](int) { return &Lists32(); }, out);
  for (const auto& call : calls)
    for (const std::string& line : call) listing.AddLine(line, true);
  listing.Finish();
  // Only the decoded calls, without time and thread.
  std::string lines, all = out.str();
  for (size_t at = 0; at < all.size();) {
    size_t end = all.find('\n', at);
    lines += all.substr(at + 18, end - at - 18) + "\n";
    at = end + 1;
  }
  return lines;
}

std::string File(const char* name) {
  return std::string("\"") + name + "\", 80000000, 00000000, (null), 00000003, 00000000, (null)";
}

TEST(HandleNames, FollowsHandlesThroughTheLog) {
  struct Case {
    const char* what;
    std::vector<std::vector<std::string>> calls;
    const char* expected;
  } cases[] = {
      {"a value reused after its close takes the new name",
       {Call(1, "CreateFileA", File("a.txt"), "00000070"),
        Call(1, "CloseHandle", "00000070", "00000001"),
        Call(1, "CreateFileA", File("b.txt"), "00000070"),
        Call(1, "CloseHandle", "00000070", "00000001"),
        Call(1, "CloseHandle", "00000070", "00000000")},
       "CreateFileA(lpFileName=\"a.txt\", dwDesiredAccess=GENERIC_READ, dwShareMode=0, "
       "lpSecurityAttributes=(null), dwCreationDisposition=OPEN_EXISTING, dwFlagsAndAttributes=0, "
       "hTemplateFile=(null)) = 00000070 <a.txt> (0 ms)\n"
       "CloseHandle(hObject=00000070 <a.txt>) = 00000001 (0 ms)\n"
       "CreateFileA(lpFileName=\"b.txt\", dwDesiredAccess=GENERIC_READ, dwShareMode=0, "
       "lpSecurityAttributes=(null), dwCreationDisposition=OPEN_EXISTING, dwFlagsAndAttributes=0, "
       "hTemplateFile=(null)) = 00000070 <b.txt> (0 ms)\n"
       "CloseHandle(hObject=00000070 <b.txt>) = 00000001 (0 ms)\n"
       "CloseHandle(hObject=00000070) = 00000000 (0 ms)\n"},
      {"handles are the process's: made on one thread, passed on another",
       {Call(1, "CreateEventA", "(null), TRUE, FALSE, \"go\"", "00000088"),
        Call(2, "SetEvent", "00000088", "00000001"), Call(3, "CloseHandle", "00000088", "00000001"),
        Call(1, "SetEvent", "00000088", "00000000")},
       "CreateEventA(lpEventAttributes=(null), bManualReset=TRUE, bInitialState=FALSE, "
       "lpName=\"go\") = 00000088 <event go> (0 ms)\n"
       "SetEvent(hEvent=00000088 <event go>) = 00000001 (0 ms)\n"
       "CloseHandle(hObject=00000088 <event go>) = 00000001 (0 ms)\n"
       "SetEvent(hEvent=00000088) = 00000000 (0 ms)\n"},
      {"a key path across three opens; a failed open names nothing",
       {Call(1, "RegOpenKeyExA", "80000001, \"Software\", 00000000, 00020019, 0063e880",
             "00000000"),
        Call(1, "RegOpenKeyExA", "00000070, \"A\", 00000000, 00020019, 0063e884", "00000000"),
        Call(1, "RegOpenKeyExA", "00000074, \"B\\C\", 00000000, 00020019, 0063e888", "00000000"),
        Call(1, "RegOpenKeyExA", "00000078, \"none\", 00000000, 00020019, 0063e888", "00000002"),
        Call(1, "RegCloseKey", "00000078", "00000000"),
        Call(1, "RegCloseKey", "0000007c", "00000000")},
       "RegOpenKeyExA(hKey=HKEY_CURRENT_USER, lpSubKey=\"Software\", ulOptions=00000000, "
       "samDesired=KEY_READ, phkResult=0063e880) = ERROR_SUCCESS (0 ms)\n"
       "RegOpenKeyExA(hKey=00000070 <HKEY_CURRENT_USER\\Software>, lpSubKey=\"A\", "
       "ulOptions=00000000, samDesired=KEY_READ, phkResult=0063e884) = ERROR_SUCCESS (0 ms)\n"
       "RegOpenKeyExA(hKey=00000074 <HKEY_CURRENT_USER\\Software\\A>, lpSubKey=\"B\\C\", "
       "ulOptions=00000000, samDesired=KEY_READ, phkResult=0063e888) = ERROR_SUCCESS (0 ms)\n"
       "RegOpenKeyExA(hKey=00000078 <HKEY_CURRENT_USER\\Software\\A\\B\\C>, lpSubKey=\"none\", "
       "ulOptions=00000000, samDesired=KEY_READ, phkResult=0063e888) = ERROR_FILE_NOT_FOUND "
       "(0 ms)\n"
       "RegCloseKey(hKey=00000078 <HKEY_CURRENT_USER\\Software\\A\\B\\C>) = ERROR_SUCCESS (0 ms)\n"
       "RegCloseKey(hKey=0000007c) = ERROR_SUCCESS (0 ms)\n"},
      {"a key is named by the thread that opened it; a key it never opened stays unnamed",
       {Call(1, "RegOpenKeyExA", "80000002, \"One\", 00000000, 00020019, 0063e880", "00000000"),
        Call(2, "RegCloseKey", "00000070", "00000000"),
        Call(1, "RegCloseKey", "00000074", "00000000")},
       "RegOpenKeyExA(hKey=HKEY_LOCAL_MACHINE, lpSubKey=\"One\", ulOptions=00000000, "
       "samDesired=KEY_READ, phkResult=0063e880) = ERROR_SUCCESS (0 ms)\n"
       "RegCloseKey(hKey=00000070) = ERROR_SUCCESS (0 ms)\n"
       "RegCloseKey(hKey=00000074 <HKEY_LOCAL_MACHINE\\One>) = ERROR_SUCCESS (0 ms)\n"},
      {"a module loaded twice stays named until its second FreeLibrary",
       {Call(1, "LoadLibraryA", "\"x.dll\"", "10000000"),
        Call(1, "LoadLibraryA", "\"X.DLL\"", "10000000"),
        Call(1, "FreeLibrary", "10000000", "00000001"),
        Call(1, "FreeLibrary", "10000000", "00000001"),
        Call(1, "FreeLibrary", "10000000", "00000001")},
       "LoadLibraryA(lpLibFileName=\"x.dll\") = 10000000 <x.dll> (0 ms)\n"
       "LoadLibraryA(lpLibFileName=\"X.DLL\") = 10000000 <x.dll> (0 ms)\n"
       "FreeLibrary(hLibModule=10000000 <x.dll>) = 00000001 (0 ms)\n"
       "FreeLibrary(hLibModule=10000000 <x.dll>) = 00000001 (0 ms)\n"
       "FreeLibrary(hLibModule=10000000) = 00000001 (0 ms)\n"},
      {"kinds are namespaces of their own; failures and unreadable names make no name",
       {Call(1, "CreateFileA", File("k.txt"), "00000070"),
        Call(1, "RegCloseKey", "00000070", "00000000"),
        Call(1, "CreateMutexA",
             "(null), FALSE, \"(\x81\xa1"
             "bad string\x81\xa1"
             ")0000beef\"",
             "00000074"),
        Call(1, "CreateFileA", File("gone.txt"), "ffffffff"),
        Call(1, "CloseHandle", "ffffffff", "00000000")},
       "CreateFileA(lpFileName=\"k.txt\", dwDesiredAccess=GENERIC_READ, dwShareMode=0, "
       "lpSecurityAttributes=(null), dwCreationDisposition=OPEN_EXISTING, dwFlagsAndAttributes=0, "
       "hTemplateFile=(null)) = 00000070 <k.txt> (0 ms)\n"
       "RegCloseKey(hKey=00000070) = ERROR_SUCCESS (0 ms)\n"
       "CreateMutexA(lpMutexAttributes=(null), bInitialOwner=FALSE, "
       "lpName=\"(■bad string■)0000beef\") = 00000074 <mutex> (0 ms)\n"
       "CreateFileA(lpFileName=\"gone.txt\", dwDesiredAccess=GENERIC_READ, dwShareMode=0, "
       "lpSecurityAttributes=(null), dwCreationDisposition=OPEN_EXISTING, dwFlagsAndAttributes=0, "
       "hTemplateFile=(null)) = INVALID_HANDLE_VALUE (0 ms)\n"
       "CloseHandle(hObject=ffffffff) = 00000000 (0 ms)\n"},
      {"socket names, and accepted sockets by the socket they came from",
       {Call(1, "socket", "00000002, 00000001, 00000006", "00000100"),
        Call(1, "accept", "00000100, 0063e000, 0063e010", "00000104"),
        Call(1, "closesocket", "00000104", "00000000")},
       "socket(af=AF_INET, type=SOCK_STREAM, protocol=IPPROTO_TCP) = 00000100 <socket AF_INET "
       "SOCK_STREAM> (0 ms)\n"
       "accept(s=00000100 <socket AF_INET SOCK_STREAM>, addr=0063e000, addrlen=0063e010) = "
       "00000104 <accepted on socket AF_INET SOCK_STREAM> (0 ms)\n"
       "closesocket(s=00000104 <accepted on socket AF_INET SOCK_STREAM>) = 00000000 (0 ms)\n"},
      {"control bytes in a name are shown escaped",
       {Call(1, "CreateFileA", File("a\x1b[2Jb"), "00000070"),
        Call(1, "ReadFile", "00000070, 0063e000, 1, 0063e010, (null)", "00000001")},
       "CreateFileA(lpFileName=\"a\\x1b[2Jb\", dwDesiredAccess=GENERIC_READ, dwShareMode=0, "
       "lpSecurityAttributes=(null), dwCreationDisposition=OPEN_EXISTING, dwFlagsAndAttributes=0, "
       "hTemplateFile=(null)) = 00000070 <a\\x1b[2Jb> (0 ms)\n"
       "ReadFile(hFile=00000070 <a\\x1b[2Jb>, lpBuffer=0063e000, nNumberOfBytesToRead=1, "
       "lpNumberOfBytesRead=0063e010, lpOverlapped=(null)) = 00000001 (0 ms)\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(Decoded(c.calls, ReportOptions()), c.expected) << c.what;
}

// A filter leaves calls out of the listing, not out of the following: the open and the
// close are seen though not shown.
TEST(HandleNames, FiltersDoNotChangeNames) {
  ReportOptions options;
  options.thread = 2;
  EXPECT_EQ(Decoded({Call(1, "CreateFileA", File("a.txt"), "00000070"),
                     Call(2, "ReadFile", "00000070, 0063e000, 1, 0063e010, (null)", "00000001"),
                     Call(1, "CloseHandle", "00000070", "00000001"),
                     Call(2, "ReadFile", "00000070, 0063e000, 1, 0063e010, (null)", "00000000")},
                    options),
            "ReadFile(hFile=00000070 <a.txt>, lpBuffer=0063e000, nNumberOfBytesToRead=1, "
            "lpNumberOfBytesRead=0063e010, lpOverlapped=(null)) = 00000001 (0 ms)\n"
            "ReadFile(hFile=00000070, lpBuffer=0063e000, nNumberOfBytesToRead=1, "
            "lpNumberOfBytesRead=0063e010, lpOverlapped=(null)) = 00000000 (0 ms)\n");
}

// A log that opens without closing cannot make the table grow past its limit: the handle
// named longest ago is forgotten, the newest are kept; a name is cut at its limit.
TEST(HandleNames, BoundedByTheirLimits) {
  const CallDefinitions& defs = Lists32();
  const FunctionDefinition* create = defs.Find("kernel32.dll", "CreateFileA");
  ASSERT_NE(create, nullptr);
  HandleNames names;
  names.Begin(&defs, 8);
  const size_t opens = HandleNames::kHandleLimit + 1000;
  std::string longName(3 * HandleNames::kNameLimit, 'n');
  for (size_t i = 0; i < opens; ++i) {
    char value[16];
    std::snprintf(value, sizeof value, "%08zx", 0x1000 + i * 4);
    std::string args = File(i + 1 == opens ? longName.c_str() : "f");
    for (const std::string& line : Call(1, "CreateFileA", args, value)) {
      Observe(names, line, create);
    }
  }
  EXPECT_EQ(names.size(), HandleNames::kHandleLimit);
  const ParamDefinition handle{"hObject", "HANDLE", "x", qel::report::kNoSet};
  EXPECT_EQ(ArgumentName(names, handle, "00001000"), "");
  char newest[16];
  std::snprintf(newest, sizeof newest, "%08zx", 0x1000 + (opens - 1) * 4);
  std::string named = ArgumentName(names, handle, newest);
  EXPECT_EQ(named.size(), HandleNames::kNameLimit + 3);
  EXPECT_EQ(named.substr(named.size() - 4), "...>");
  char second[16];
  std::snprintf(second, sizeof second, "%08zx", 0x1000 + (opens - 2) * 4);
  EXPECT_EQ(ArgumentName(names, handle, second), " <f>");

  // A long cp932 name is cut before a double-byte character, never inside one.
  std::string pairs;
  for (size_t i = 0; i < HandleNames::kNameLimit; ++i) pairs += "\x82\xa0";
  for (const std::string& line : Call(1, "CreateFileA", File(("nn" + pairs).c_str()), "0000fff0")) {
    Observe(names, line, create);
  }
  EXPECT_EQ(ArgumentName(names, handle, "0000fff0"),
            " <nn" + pairs.substr(0, HandleNames::kNameLimit - 6) + "...>");
}

}  // namespace
