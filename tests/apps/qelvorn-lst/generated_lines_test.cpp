// Generated definitions of well-known functions against the lines a careful person writes,
// for 32-bit and 64-bit programs, and the share of the functions Wine's own programs of each
// kind import that have a definition.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "common/pe_image.h"

namespace {

namespace fs = std::filesystem;
const std::string kLists = QEL_SOURCE_LISTS_DIR;
const std::string kLists64 = kLists + "/x64";

// name -> the line's value, of one definitions file.
std::map<std::string, std::string> Entries(const std::string& dllBase,
                                           const std::string& lists = kLists) {
  std::map<std::string, std::string> entries;
  std::ifstream in(lists + "/" + dllBase + ".lst");
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, 4, "api=") == 0) entries[line.substr(4, line.find(',') - 4)] = line;
  return entries;
}

struct Expected {
  const char* dll;
  const char* line;
  const char* why;  // each argument's code, in order
};

TEST(GeneratedLines, WellKnownFunctions) {
  const Expected table[] = {
      {"kernel32", "api=CreateFileA,,,,,,,,,s,4,4,p,4,4,x",
       "name text s; access, share flags 4; security attributes p; disposition, flags 4; "
       "template handle x"},
      {"kernel32", "api=CreateFileW,,,,,,,,,w,4,4,p,4,4,x", "as CreateFileA with a wide name w"},
      {"kernel32", "api=ReadFile,,,,,,,,,x,p,d,p,p",
       "handle x; output buffer p; byte count d; count read and overlapped p"},
      {"kernel32", "api=WriteFile,,,,,,,,,x,p,d,p,p", "handle x; data p; byte count d; p, p"},
      {"kernel32", "api=CloseHandle,,,,,,,,,x", "handle x"},
      {"kernel32", "api=GetTickCount,,,,,,,,,", "no argument: nine commas"},
      {"kernel32", "api=GetProcAddress,,,1,1,1,,,,x,S",
       "real call skipped, pre and post callbacks by name; module x; name or ordinal S"},
      {"kernel32", "api=LoadLibraryW,,,,,1,,,,w", "post callback notes the handle; name w"},
      {"kernel32", "api=FreeLibrary,,,,1,1,,,,x", "pre and post callbacks; module x"},
      {"kernel32", "api=CreateThread,,,,1,,,,,p,d,p,p,4,p",
       "thread advice; attributes p; stack size d; start, parameter p; flags 4; id out p"},
      {"kernel32", "api=WaitForSingleObject,,,,1,,,,,x,d", "INFINITE callback; handle x; ms d"},
      {"kernel32", "api=WaitForMultipleObjects,,,,1,,,,,d,p,B,d",
       "handle list callback; count d; handle array p; wait-all BOOL B; ms d"},
      {"kernel32", "api=SetFilePointerEx,,,,,,,,,x,4,4,p,4",
       "handle x; a 64-bit distance by value takes two words 4,4; new position p; method 4"},
      {"kernel32", "api=FindResourceW,,,,,,,,,x,W,W", "module x; name and type may be numbers W"},
      {"kernel32", "api=VirtualAlloc,,,,,,,,,p,d,4,4", "address p; size d; type, protection 4"},
      {"advapi32", "api=RegOpenKeyExW,,,,,,,,,x,w,4,4,p",
       "key x; sub key text w; options 4; access mask 4; key out p"},
      {"user32", "api=MessageBoxW,,,,,,,,,x,w,w,4", "window x; text, caption w; style flags 4"},
      {"user32", "api=CreateWindowExW,,,,,,,,,4,W,w,4,4,4,d,d,x,x,x,p",
       "ex style 4; class name or atom W; title w; style, x, y 4; width, height d; parent, "
       "menu, instance x; parameter p"},
      {"ws2_32", "api=send,,,,ws,ws,,,,x,p,d,4",
       "socket error callbacks ws; socket x; data p; length d; flags 4"},
      {"ws2_32", "api=recv,,,,ws,ws,,,,x,p,d,4", "socket x; buffer p; length d; flags 4"},
      {"ws2_32", "api=WSAStartup,,,,ws,ws,,,,2,p", "version WORD 2; data out p"},
      {"msvcrt", "api=memcpy,,1,,,,,,,p,p,d", "cdecl: caller cleans; dest, source p; size d"},
      {"msvcrt", "api=strlen,,1,,,,,,,s", "cdecl; text s"},
      {"msvcrt", "api=wcscpy,,1,,,,,,,p,w", "cdecl; destination buffer p; source text w"},
      {"ucrtbase", "api=fwrite,,1,,,,,,,p,d,d,p", "cdecl; data p; size, count d; stream p"},
      // From tools/lstgen/supplement.txt: names the import libraries lack, prototypes the
      // headers lack; still typed by the same rules.
      {"msvcrt", "api=memcpy_s,,1,,,,,,,p,d,p,d",
       "exported though libmsvcrt.a does not import it; cdecl; dest p; its size d; source p; "
       "count d"},
      {"ucrtbase", "api=_set_app_type,,1,,,,,,,4", "declared by the supplement; cdecl; enum 4"},
      {"comctl32", "api=DSA_DestroyCallback,,,,,,,,,p,p,p",
       "stdcall, hand-checked @12; array (a struct pointer, not a handle type) p; callback p; "
       "data p"},
  };
  std::map<std::string, std::map<std::string, std::string>> files;
  for (const Expected& e : table) {
    if (!files.count(e.dll)) files[e.dll] = Entries(e.dll);
    std::string line = e.line;
    std::string name = line.substr(4, line.find(',') - 4);
    EXPECT_EQ(files[e.dll][name], line) << e.dll << ": " << e.why;
  }
}

TEST(GeneratedLines, WellKnownFunctionsFor64BitPrograms) {
  const Expected table[] = {
      {"kernel32", "api=CreateFileA,,,,,,,,,s,4,4,p,4,4,x", "one code a slot, as on x86"},
      {"kernel32", "api=ReadFile,,,,,,,,,x,p,4,p,p",
       "handle x; buffer p; a 32-bit count 4 (the slot's high half may be dirty); p, p"},
      {"kernel32", "api=SetFilePointerEx,,,,,,,,,x,8,p,4",
       "handle x; the 64-bit distance is one slot 8; new position p; method 4"},
      {"kernel32", "api=VirtualAlloc,,,,,,,,,p,d,4,4", "address p; SIZE_T d; type, protection 4"},
      {"kernel32", "api=WaitForSingleObject,,,,1,,,,,x,4", "callbacks as on x86; handle x; ms 4"},
      {"kernel32", "api=GetProcAddress,,,1,1,1,,,,x,S", "skipped call and callbacks as on x86"},
      {"kernel32", "api=GetTickCount64,,,,,,,,,", "no argument"},
      {"user32", "api=SendMessageW,,,,,,,,,x,4,8,8",
       "window x; message 4; WPARAM and LPARAM are 8 bytes: 8"},
      {"user32", "api=WindowFromPoint,,,,,,,,,8", "a POINT of 8 bytes by value: 8"},
      {"user32", "api=SetWindowLongPtrW,,,,,,,,,x,4,8", "window x; int nIndex 4; LONG_PTR 8"},
      {"oleaut32", "api=OleLoadPictureFile,,,,,,,,,p,p",
       "a VARIANT of 24 bytes goes by reference: p; picture out p"},
      {"oleaut32", "api=VarCyAdd,,,,,,,,,8,8,p", "two CY structures of 8 bytes: 8, 8; result p"},
      {"ws2_32", "api=send,,,,ws,ws,,,,x,p,4,4", "socket x; data p; int length 4; flags 4"},
      {"msvcrt", "api=memcpy,,,,,,,,,p,p,d", "no caller-cleans flag on x64; size_t d"},
      {"msvcrt", "api=sqrt,,,,,,,,,8f", "a double's bits in hex, from its XMM register: 8f"},
      {"msvcrt", "api=sqrtf,,,,,,,,,4f", "a float's bits in hex, from its XMM register: 4f"},
      {"msvcrt", "api=_lseeki64,,,,,,,,,4,8,4", "descriptor 4; 64-bit offset 8; origin 4"},
      {"msvcrt", "api=memcpy_s,,,,,,,,,p,d,p,d",
       "from the supplement, which applies to x64 too; dest p; size d; source p; count d"},
      {"ucrtbase", "api=_set_app_type,,,,,,,,,4", "declared by the supplement; enum 4"},
      {"comctl32", "api=DSA_DestroyCallback,,,,,,,,,p,p,p",
       "named by the 64-bit import library itself; p, p, p"},
  };
  std::map<std::string, std::map<std::string, std::string>> files;
  for (const Expected& e : table) {
    if (!files.count(e.dll)) files[e.dll] = Entries(e.dll, kLists64);
    std::string line = e.line;
    std::string name = line.substr(4, line.find(',') - 4);
    EXPECT_EQ(files[e.dll][name], line) << e.dll << ": " << e.why;
  }
}

TEST(GeneratedLines, FunctionsLeftOutByRuleHaveAReasonAndNoLine) {
  const struct {
    const char *dll, *name, *reason;
  } table[] = {
      {"user32", "wsprintfW", "variadic"},
      {"msvcrt", "sprintf_s", "variadic"},
      {"msvcrt", "_CIcos", "register arguments"},
      {"msvcrt", "_ftol", "register arguments"},
  };
  for (const auto& c : table) {
    std::ifstream in(kLists + "/" + c.dll + ".lst");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("// left out: " + std::string(c.name) + ": " + c.reason), std::string::npos)
        << c.dll << " " << c.name;
    EXPECT_EQ(text.find("api=" + std::string(c.name) + ","), std::string::npos) << c.name;
  }
  // x64 takes no argument on the x87 stack, so only the variadic rule applies there.
  std::ifstream in(kLists64 + "/user32.lst");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("// left out: wsprintfW: variadic"), std::string::npos);
}

// The DLLs whose coverage is measured, as Wine's programs name them.
const char* const kCoveredDlls[] = {
    "kernel32.dll", "advapi32.dll", "user32.dll",   "gdi32.dll",    "ws2_32.dll",
    "shell32.dll",  "ole32.dll",    "oleaut32.dll", "comctl32.dll", "comdlg32.dll",
    "version.dll",  "winmm.dll",    "msvcrt.dll",   "ucrtbase.dll",
};

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The coverage of the imports of one kind of Wine's programs, extracted into the folder that
// the variable env names (else fallback), by the definitions in lists; prints the table.
void CheckCoverage(const char* env, const std::string& fallback, const std::string& lists) {
  const char* given = std::getenv(env);
  std::string wine = given ? given : fallback;
  ASSERT_TRUE(fs::exists(wine + "/find.exe"))
      << "run tools/guest/extract-wine-binaries.sh first (" << wine << ")";
  std::map<std::string, std::set<std::string>> imported;  // dll -> names (or #ordinal)
  std::map<std::string, std::map<int, std::string>> exportsByOrdinal;
  for (const auto& file : fs::directory_iterator(wine)) {
    if (file.path().extension() != ".exe") continue;
    qel::Result<std::vector<uint8_t>> bytes = qel::ReadWholeFile(file.path().string());
    ASSERT_TRUE(bytes.ok()) << bytes.message();
    qel::Result<qel::PeImage> parsed = qel::ParsePeImage(bytes.value());
    ASSERT_TRUE(parsed.ok()) << file.path() << ": " << parsed.message();
    const qel::PeImage& image = parsed.value();
    EXPECT_EQ(image.pe32Plus, lists == kLists64) << file.path();
    for (const qel::PeImportedDll& dll : image.imports) {
      std::string lower = Lower(dll.dll);
      for (const qel::PeImport& f : dll.functions) {
        std::string name = f.name;
        if (f.byOrdinal) {
          if (!exportsByOrdinal.count(lower)) {
            qel::Result<std::vector<uint8_t>> dllBytes = qel::ReadWholeFile(wine + "/" + lower);
            qel::Result<qel::PeImage> dllImage =
                dllBytes ? qel::ParsePeImage(dllBytes.value()) : qel::Fail(dllBytes.message());
            if (dllImage)
              for (const qel::PeExport& e : dllImage.value().exports)
                exportsByOrdinal[lower][static_cast<int>(e.ordinal)] = e.name;
          }
          auto found = exportsByOrdinal[lower].find(f.ordinal);
          name = found != exportsByOrdinal[lower].end() ? found->second
                                                        : "#" + std::to_string(f.ordinal);
        }
        imported[lower].insert(name);
      }
    }
  }
  // Two rules exclude functions from any hook list: variadic functions (their argument words
  // vary by call) and compiler helpers that take their argument in a register. The threshold
  // applies to the rest; the share of everything imported is printed beside it.
  std::printf("%-14s %9s %8s %7s %9s %10s\n", "DLL", "imported", "defined", "share", "by rule",
              "of others");
  for (const char* dll : kCoveredDlls) {
    std::string base = std::string(dll).substr(0, std::strlen(dll) - 4);
    std::map<std::string, std::string> entries = Entries(base, lists);
    std::ifstream in(lists + "/" + base + ".lst");
    std::map<std::string, std::string> reasons;
    for (std::string line; std::getline(in, line);)
      if (line.compare(0, 13, "// left out: ") == 0) {
        std::string rest = line.substr(13);
        reasons[rest.substr(0, rest.find(": "))] = rest.substr(rest.find(": ") + 2);
      }
    size_t total = imported[dll].size(), defined = 0, byRule = 0;
    std::string missing, excluded;
    for (const std::string& name : imported[dll]) {
      std::string why = reasons.count(name) ? reasons[name] : "not in the import library";
      if (entries.count(name)) {
        ++defined;
      } else if (why.rfind("variadic", 0) == 0 || why.rfind("register arguments", 0) == 0) {
        ++byRule;
        excluded += " " + name;
      } else {
        missing += "    " + name + ": " + why + "\n";
      }
    }
    double share = total ? 100.0 * defined / total : 100.0;
    double others = total > byRule ? 100.0 * defined / (total - byRule) : 100.0;
    std::printf("%-14s %9zu %8zu %6.1f%% %9zu %9.1f%%\n%s", dll, total, defined, share, byRule,
                others, missing.c_str());
    if (byRule) std::printf("    excluded by rule:%s\n", excluded.c_str());
    EXPECT_GE(others, 95.0) << dll;
  }
}

TEST(Coverage, WineProgramsImportsHaveDefinitions) {
  CheckCoverage("QEL_WINE_I386_DIR", "/var/cache/qelvorn-wine-i386", kLists);
}

TEST(Coverage, Wine64BitProgramsImportsHaveDefinitions) {
  CheckCoverage("QEL_WINE_X86_64_DIR", "/var/cache/qelvorn-wine-x86_64", kLists64);
}

}  // namespace
