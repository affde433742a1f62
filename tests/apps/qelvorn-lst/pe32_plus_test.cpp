// 64-bit (PE32+, x86-64) programs: their import tables read with 8-byte thunks and the
// ordinal flag in bit 63, hostile thunks refused, and their hook lists made from lists/x64/
// and from 64-bit DLLs only.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "common/hook_list_maker.h"
#include "common/pe_image.h"
#include "pe_builder.h"
#include "temp_folder.h"

namespace {

namespace fs = std::filesystem;
using qeltest::BuildPe;
using qeltest::BuildPeAround;
using qeltest::Put32;
using qeltest::Put64;
using qeltest::WriteBytes;
using Folder = qeltest::TempFolder;

const std::string kLists = QEL_SOURCE_LISTS_DIR;

// BuildPe puts the descriptors (20 bytes each, and one that ends them) first, then the first
// DLL's thunks.
size_t FirstThunk(size_t dlls) {
  return qeltest::kSectionFile + (dlls + 1) * 20;
}

uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16) |
         static_cast<uint32_t>(b[at + 3]) << 24;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(Pe32Plus, ReadsNamesOrdinalsAndExports) {
  qel::Result<qel::PeImage> parsed = qel::ParsePeImage(BuildPe(
      {{"KERNEL32.dll", {"ReadFile", "#5", "WriteFile"}}, {"OLEAUT32.dll", {"#2", "#65535"}}}, true,
      {{2, "SysAllocString"}, {6, "SysFreeString"}}));
  ASSERT_TRUE(parsed.ok()) << parsed.message();
  const qel::PeImage& image = parsed.value();
  EXPECT_TRUE(image.pe32Plus);
  ASSERT_EQ(image.imports.size(), 2u);
  EXPECT_EQ(image.imports[0].dll, "KERNEL32.dll");
  ASSERT_EQ(image.imports[0].functions.size(), 3u);
  EXPECT_EQ(image.imports[0].functions[0].name, "ReadFile");
  EXPECT_TRUE(image.imports[0].functions[1].byOrdinal);
  EXPECT_EQ(image.imports[0].functions[1].ordinal, 5);
  EXPECT_EQ(image.imports[0].functions[2].name, "WriteFile");
  ASSERT_EQ(image.imports[1].functions.size(), 2u);
  EXPECT_EQ(image.imports[1].functions[0].ordinal, 2);
  EXPECT_EQ(image.imports[1].functions[1].ordinal, 65535);
  ASSERT_EQ(image.exports.size(), 2u);
  EXPECT_EQ(image.exports[0].name, "SysAllocString");
  EXPECT_EQ(image.exports[0].ordinal, 2u);
  EXPECT_EQ(image.exports[1].ordinal, 6u);
}

TEST(Pe32Plus, TheOrdinalFlagIsBit63AndTheOtherHighBitsStayClear) {
  std::vector<uint8_t> base = BuildPe({{"KERNEL32.dll", {"ReadFile"}}}, true);
  const uint64_t name = Get32(base, FirstThunk(1));  // the RVA of ReadFile's hint/name entry
  const struct {
    const char* what;
    uint64_t thunk;
    const char* failure;  // empty: read, as the ordinal or the name below
    int ordinal;          // -1: by name
  } cases[] = {
      {"a name", name, "", -1},
      {"bit 63 and ordinal 7", uint64_t{1} << 63 | 7, "", 7},
      {"bit 63 and ordinal 65535", uint64_t{1} << 63 | 0xffff, "", 65535},
      {"bit 31, PE32's flag, is no flag here", 0x80000007u, "has bits set above its address", -1},
      {"a bit between the flag and the ordinal", uint64_t{1} << 63 | uint64_t{1} << 32 | 7,
       "has bits set above the ordinal", -1},
      {"an ordinal over 16 bits", uint64_t{1} << 63 | 0x10007, "has bits set above the ordinal",
       -1},
      {"a name RVA with bit 32 set", uint64_t{1} << 32 | name, "has bits set above its address",
       -1},
      {"a name RVA outside every section", 0x7fff0000u,
       "a function name of KERNEL32.dll lies "
       "outside the file",
       -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> image = base;
    Put64(image, FirstThunk(1), c.thunk);
    qel::Result<qel::PeImage> parsed = qel::ParsePeImage(image);
    if (*c.failure != '\0') {
      ASSERT_FALSE(parsed.ok());
      EXPECT_NE(parsed.message().find(c.failure), std::string::npos) << parsed.message();
      continue;
    }
    ASSERT_TRUE(parsed.ok()) << parsed.message();
    const qel::PeImport& f = parsed.value().imports.at(0).functions.at(0);
    EXPECT_EQ(f.byOrdinal, c.ordinal >= 0);
    if (c.ordinal >= 0) {
      EXPECT_EQ(f.ordinal, c.ordinal);
    } else {
      EXPECT_EQ(f.name, "ReadFile");
    }
  }
}

// A section whose one import list ends the file: one 8-byte thunk, then only the first
// `ending` bytes of the zero thunk that ends the list.
std::vector<uint8_t> ImportListAtTheEnd(size_t ending, uint32_t listRva = 0) {
  std::vector<uint8_t> s(40, 0);  // the descriptor and the one that ends them
  uint32_t dllName = static_cast<uint32_t>(s.size());
  for (char c : std::string("KERNEL32.dll")) s.push_back(static_cast<uint8_t>(c));
  s.push_back(0);
  uint32_t hintName = static_cast<uint32_t>(s.size());
  s.insert(s.end(), {0, 0});
  for (char c : std::string("ReadFile")) s.push_back(static_cast<uint8_t>(c));
  s.push_back(0);
  uint32_t list = static_cast<uint32_t>(s.size());
  s.resize(s.size() + 8 + ending, 0);
  Put64(s, list, qeltest::kSectionRva + hintName);
  Put32(s, 0, listRva ? listRva : qeltest::kSectionRva + list);
  Put32(s, 12, qeltest::kSectionRva + dllName);
  Put32(s, 16, listRva ? listRva : qeltest::kSectionRva + list);
  return BuildPeAround(s, 0, qeltest::kNoTable, true);
}

TEST(Pe32Plus, ATruncatedThunkArrayOrABadRvaIsRefused) {
  const struct {
    const char* what;
    std::vector<uint8_t> image;
    const char* failure;  // empty: read
  } cases[] = {
      {"the whole ending thunk", ImportListAtTheEnd(8), ""},
      {"half the ending thunk, which PE32 would take for a whole one", ImportListAtTheEnd(4),
       "the import list of KERNEL32.dll lies outside the file"},
      {"one byte short of it", ImportListAtTheEnd(7),
       "the import list of KERNEL32.dll lies outside the file"},
      {"a list RVA outside every section", ImportListAtTheEnd(8, 0x7fff0000u),
       "the import list of KERNEL32.dll lies outside the file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    qel::Result<qel::PeImage> parsed = qel::ParsePeImage(c.image);
    if (*c.failure == '\0') {
      ASSERT_TRUE(parsed.ok()) << parsed.message();
      ASSERT_EQ(parsed.value().imports.at(0).functions.size(), 1u);
      EXPECT_EQ(parsed.value().imports[0].functions[0].name, "ReadFile");
    } else {
      ASSERT_FALSE(parsed.ok());
      EXPECT_NE(parsed.message().find(c.failure), std::string::npos) << parsed.message();
    }
  }
}

qel::HookListRequest RequestFor(const std::string& program) {
  qel::HookListRequest request;
  request.program = program;
  request.listsDirs = {kLists};
  return request;
}

std::string Notes(const qel::HookList& list) {
  std::string notes;
  for (const std::string& n : list.notes) notes += n + "\n";
  return notes;
}

TEST(Pe32PlusHookList, TakesTheDefinitionsOfTheProgramsKind) {
  const qeltest::ImportSpec imports = {{"KERNEL32.dll", {"ReadFile", "SetFilePointerEx"}}};
  const struct {
    bool pe32Plus;
    const char* lines;
  } cases[] = {
      {false,
       "api=ReadFile,,,,,,,,,x,p,d,p,p\r\n"
       "api=SetFilePointerEx,,,,,,,,,x,4,4,p,4\r\n"},
      {true,
       "api=ReadFile,,,,,,,,,x,p,4,p,p\r\n"
       "api=SetFilePointerEx,,,,,,,,,x,8,p,4\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pe32Plus ? "64-bit" : "32-bit");
    Folder dir;
    WriteBytes(dir / "prog.exe", BuildPe(imports, c.pe32Plus));
    qel::HookList list;
    qel::Status made = qel::MakeHookList(RequestFor(dir / "prog.exe"), &list);
    ASSERT_TRUE(made.ok()) << made.message();
    EXPECT_EQ(list.text,
              "// Qelvorn.lst for prog.exe, written by qelvorn-lst from its import tables\r\n"
              "[Imported]\r\n"
              "imported_module=KERNEL32.dll\r\n" +
                  std::string(c.lines) +
                  "[Import]\r\n"
                  "import_module=prog.exe\r\n"
                  "dll=KERNEL32.dll\r\n");
  }
}

TEST(Pe32PlusHookList, OwnDllsAndModulesOfTheOtherKindAreNotTaken) {
  Folder dir;
  WriteBytes(dir / "prog.exe",
             BuildPe({{"KERNEL32.dll", {"ReadFile"}}, {"own.dll", {"One", "Two"}}}, true));
  WriteBytes(dir / "own.dll", BuildPe({{"USER32.dll", {"MessageBoxW"}}}, false));
  qel::HookList list;
  qel::Status made = qel::MakeHookList(RequestFor(dir / "prog.exe"), &list);
  ASSERT_TRUE(made.ok()) << made.message();
  EXPECT_EQ(list.text.find("USER32"), std::string::npos) << list.text;
  EXPECT_NE(Notes(list).find("left out own.dll beside the program: a 32-bit image, and "
                             "prog.exe is a 64-bit program"),
            std::string::npos)
      << Notes(list);
  EXPECT_EQ(list.leftOut, 2u);
  // The same DLL named as a MODULE is bad input.
  qel::HookListRequest request = RequestFor(dir / "prog.exe");
  request.modules.push_back(dir / "own.dll");
  made = qel::MakeHookList(request, &list);
  ASSERT_FALSE(made.ok());
  EXPECT_EQ(made.message(),
            (dir / "own.dll") + ": a 32-bit image, and prog.exe is a 64-bit program");
}

TEST(Pe32PlusHookList, OrdinalNamesComeFromADllOfTheProgramsKind) {
  Folder dir;
  fs::create_directories(dir / "sys32");
  fs::create_directories(dir / "sys64");
  // The 32-bit file, found first, names ordinal 2 otherwise than the 64-bit one.
  WriteBytes(dir / "sys32/oleaut32.dll",
             BuildPe({{"KERNEL32.dll", {"ReadFile"}}}, false, {{2, "SysReAllocString"}}));
  WriteBytes(dir / "sys64/OLEAUT32.DLL",
             BuildPe({{"KERNEL32.dll", {"ReadFile"}}}, true, {{2, "SysAllocString"}}));
  const struct {
    bool pe32Plus;
    std::vector<std::string> dllDirs;
    const char* line;  // empty: left out with the note below
    std::string note;
  } cases[] = {
      {true, {dir / "sys32", dir / "sys64"}, "api=SysAllocString,2,,,,,,,,w\r\n", ""},
      {false, {dir / "sys32", dir / "sys64"}, "api=SysReAllocString,2,,,,,,,,p,w\r\n", ""},
      {false, {dir / "sys64", dir / "sys32"}, "api=SysReAllocString,2,,,,,,,,p,w\r\n", ""},
      {true,
       {dir / "sys32"},
       "",
       "left out OLEAUT32.dll ordinal 2: no name for it (no 64-bit file of the DLL was found in "
       "the --dll-dir folders, beside the modules; " +
           (dir / "sys32/oleaut32.dll") + " is a 32-bit DLL)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dllDirs.front());
    WriteBytes(dir / "prog.exe",
               BuildPe({{"KERNEL32.dll", {"ReadFile"}}, {"OLEAUT32.dll", {"#2"}}}, c.pe32Plus));
    qel::HookListRequest request = RequestFor(dir / "prog.exe");
    request.dllDirs = c.dllDirs;
    qel::HookList list;
    qel::Status made = qel::MakeHookList(request, &list);
    ASSERT_TRUE(made.ok()) << made.message();
    if (*c.line != '\0') {
      EXPECT_NE(list.text.find(c.line), std::string::npos) << list.text << Notes(list);
    } else {
      EXPECT_EQ(Notes(list), c.note + "\n");
    }
  }
}

TEST(Pe32PlusHookList, DefaultListsAreBesideTheToolThenOneFolderUp) {
  std::string folder = fs::read_symlink("/proc/self/exe").parent_path();
  std::vector<std::string> dirs = qel::DefaultListsDirs();
  ASSERT_GE(dirs.size(), 2u);
  EXPECT_EQ(dirs[0], folder + "/lists");
  EXPECT_EQ(dirs[1], folder + "/../lists");
}

// The real tool on one of Wine's own 64-bit programs: every line it writes for kernel32 is a
// line of lists/x64/kernel32.lst, and not every one of them a line of the 32-bit file.
TEST(Pe32PlusHookList, ToolWritesTheX64LinesForWinesFindstr) {
  const char* env = std::getenv("QEL_WINE_X86_64_DIR");
  std::string wine = env ? env : "/var/cache/qelvorn-wine-x86_64";
  ASSERT_TRUE(fs::exists(wine + "/findstr.exe"))
      << "run tools/guest/extract-wine-binaries.sh --x64 first (" << wine << ")";
  Folder dir;
  std::string tool = fs::read_symlink("/proc/self/exe").parent_path() / "qelvorn-lst";
  std::string command = tool + " --keep-dll kernel32.dll -o " + (dir / "out.lst") + " " + wine +
                        "/findstr.exe 2>" + (dir / "err.txt");
  int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadAll(dir / "err.txt");
  auto lines = [](const std::string& text) {
    std::set<std::string> set;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.compare(0, 4, "api=") == 0) set.insert(line);
    }
    return set;
  };
  std::set<std::string> written = lines(ReadAll(dir / "out.lst"));
  std::set<std::string> x64 = lines(ReadAll(kLists + "/x64/kernel32.lst"));
  std::set<std::string> x86 = lines(ReadAll(kLists + "/kernel32.lst"));
  ASSERT_GT(written.size(), 5u) << ReadAll(dir / "out.lst");
  size_t only64 = 0;
  for (const std::string& line : written) {
    EXPECT_TRUE(x64.count(line)) << line;
    only64 += !x86.count(line);
  }
  EXPECT_GT(only64, 0u) << "findstr's kernel32 lines read the same in both kinds";
}

}  // namespace
