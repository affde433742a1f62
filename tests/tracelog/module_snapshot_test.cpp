// The loaded-module snapshot of the test process itself, the lookup by address, and the
// listing written into a real log file.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"
#include "base/memory_probe.h"
#include "tracelog/line_builder.h"
#include "tracelog/module_snapshot.h"
#include "tracelog/trace_log.h"

using namespace qelvorn;

namespace {

uint32_t SizeOfImage(HMODULE module) {
  auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(module);
  auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(reinterpret_cast<const char*>(module) +
                                                         dos->e_lfanew);
  return nt->OptionalHeader.SizeOfImage;
}

std::string ProgramFileName() {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, sizeof path);
  return strrchr(path, '\\') + 1;
}

const ModuleInfo* ByName(const ModuleSnapshot& snapshot, const char* name) {
  auto found = snapshot.byName.find(name);
  return found == snapshot.byName.end() ? nullptr : found->second;
}

// The module whose range (base, base + size] holds address, by a plain scan.
const ModuleInfo* ScanFor(const ModuleSnapshot& snapshot, uintptr_t address) {
  for (const ModuleInfo* module : snapshot.byAddress) {
    if (address > module->base && address - module->base <= module->size) return module;
  }
  return nullptr;
}

bool IsAscending(const ModuleSnapshot& snapshot) {
  for (size_t i = 1; i < snapshot.byAddress.size(); ++i) {
    if (snapshot.byAddress[i - 1]->base >= snapshot.byAddress[i]->base) return false;
  }
  return true;
}

// A library of the system that the test process has not loaded yet.
const char* UnloadedSystemLibrary() {
  for (const char* name : {"msimg32.dll", "mpr.dll", "version.dll", "imm32.dll"}) {
    if (GetModuleHandleA(name) == nullptr) return name;
  }
  return nullptr;
}

}  // namespace

TEST(ModuleSnapshot, TakeHoldsTheProcessModulesWithTheirTrueRanges) {
  ModuleSnapshot snapshot;
  ASSERT_TRUE(snapshot.Take());
  EXPECT_EQ(snapshot.byName.size(), snapshot.byAddress.size());
  EXPECT_TRUE(IsAscending(snapshot));
  std::string program = ProgramFileName();
  for (const char* name : {program.c_str(), "ntdll.dll", "kernel32.dll"}) {
    const ModuleInfo* module = ByName(snapshot, name);
    ASSERT_NE(nullptr, module) << name;
    HMODULE handle = GetModuleHandleA(name);
    char path[MAX_PATH];
    GetModuleFileNameA(handle, path, sizeof path);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(handle), module->base) << name;
    EXPECT_EQ(handle, module->handle) << name;
    EXPECT_EQ(SizeOfImage(handle), module->size) << name;
    EXPECT_EQ(0, _stricmp(name, module->name)) << name;
    EXPECT_EQ(0, _stricmp(path, module->path)) << name;
  }
  // Case-insensitive names.
  EXPECT_EQ(ByName(snapshot, "kernel32.dll"), ByName(snapshot, "KERNEL32.DLL"));
}

TEST(ModuleSnapshot, FindByAddressOverAKnownLayout) {
  // A and B touch; C stands alone; D ends at the top of the address space.
  ModuleInfo a{0x10000, 0x10000, nullptr, "a.dll", "a", nullptr, 0};
  ModuleInfo b{0x20000, 0x800, nullptr, "b.dll", "b", nullptr, 0};
  ModuleInfo c{0x40000, 0x100, nullptr, "c.dll", "c", nullptr, 0};
  ModuleInfo d{0xffff0000u, 0x10000, nullptr, "d.dll", "d", nullptr, 0};
  ModuleSnapshot snapshot;
  snapshot.byAddress = {&a, &b, &c, &d};
  ASSERT_TRUE(snapshot.Publish());
  struct Case {
    uintptr_t address;
    const ModuleInfo* expected;
  } cases[] = {
      {0, nullptr},           {0x10000, nullptr}, {0x10001, &a},     {0x1ffff, &a},
      {0x20000, &a},          {0x20001, &b},      {0x20800, &b},     {0x20801, nullptr},
      {0x40000, nullptr},     {0x40001, &c},      {0x40100, &c},     {0x40101, nullptr},
      {0xffff0000u, nullptr}, {0xffff0001u, &d},  {0xffffffffu, &d},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, snapshot.FindByAddress(c.address)) << std::hex << c.address;
  }
}

TEST(ModuleSnapshot, FindByAddressInTheRealSnapshot) {
  ModuleSnapshot snapshot;
  ASSERT_TRUE(snapshot.Take());
  ASSERT_FALSE(snapshot.byAddress.empty());
  const ModuleInfo* program = ByName(snapshot, ProgramFileName().c_str());
  ASSERT_NE(nullptr, program);
  EXPECT_EQ(program, snapshot.FindByAddress(program->base + 1));
  EXPECT_EQ(program, snapshot.FindByAddress(program->base + program->size));
  std::vector<uintptr_t> addresses = {0, snapshot.byAddress.front()->base - 1,
                                      snapshot.byAddress.front()->base};
  for (const ModuleInfo* module : snapshot.byAddress) {
    for (uintptr_t offset : {0u, 1u, module->size, module->size + 1}) {
      addresses.push_back(module->base + offset);
    }
  }
  for (uintptr_t address : addresses) {
    EXPECT_EQ(ScanFor(snapshot, address), snapshot.FindByAddress(address)) << std::hex << address;
  }
  EXPECT_EQ(nullptr, snapshot.FindByAddress(snapshot.byAddress.front()->base));
}

TEST(ModuleSnapshot, EmptySnapshotFindsNothing) {
  ModuleSnapshot snapshot;
  EXPECT_EQ(nullptr, snapshot.FindByAddress(0));
  EXPECT_EQ(nullptr, snapshot.FindByAddress(reinterpret_cast<uintptr_t>(&IsReadable)));
  ASSERT_TRUE(snapshot.Publish());
  EXPECT_EQ(nullptr, snapshot.FindByAddress(reinterpret_cast<uintptr_t>(&IsReadable)));
}

TEST(ModuleSnapshot, SecondTakeRefillsWithTheModulesOfThatMoment) {
  ModuleSnapshot snapshot;
  ASSERT_TRUE(snapshot.Take());
  size_t before = snapshot.byAddress.size();
  const char* extra = UnloadedSystemLibrary();
  ASSERT_NE(nullptr, extra);
  HMODULE loaded = LoadLibraryA(extra);
  ASSERT_NE(nullptr, loaded);
  EXPECT_EQ(nullptr, snapshot.FindByAddress(reinterpret_cast<uintptr_t>(loaded) + 1));

  EXPECT_TRUE(snapshot.Take());
  // The library may bring dependencies of its own.
  EXPECT_LT(before, snapshot.byAddress.size());
  EXPECT_EQ(snapshot.byName.size(), snapshot.byAddress.size());
  EXPECT_TRUE(IsAscending(snapshot));
  const ModuleInfo* module = snapshot.FindByAddress(reinterpret_cast<uintptr_t>(loaded) + 1);
  ASSERT_NE(nullptr, module);
  EXPECT_EQ(0, _stricmp(extra, module->name));
  FreeLibrary(loaded);
}

TEST(ModuleSnapshot, LookupsOnOtherThreadsWhileTakeRefills) {
  ModuleSnapshot snapshot;
  ASSERT_TRUE(snapshot.Take());
  const ModuleInfo* program = ByName(snapshot, ProgramFileName().c_str());
  ASSERT_NE(nullptr, program);
  uintptr_t inProgram = program->base + 1;
  std::string programName = program->name;
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i) {
    readers.emplace_back([&] {
      while (!stop) {
        const ModuleInfo* found = snapshot.FindByAddress(inProgram);
        if (found == nullptr || _stricmp(found->name, programName.c_str()) != 0) ++wrong;
      }
    });
  }
  for (int i = 0; i < 30; ++i) EXPECT_TRUE(snapshot.Take());
  stop = true;
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(0, wrong.load());
}

TEST(ModuleSnapshot, SecondModuleOfTheSameNameEndsTheWalk) {
  // Wine loads a DLL by full path from a second folder as a module of its own, as Windows does.
  std::string source = qeltest::ProgramDir() + "tracelog_module_fixture.dll";
  std::string first = qeltest::MakeTempDir("dup1") + "qeldup.dll";
  std::string second = qeltest::MakeTempDir("dup2") + "qeldup.dll";
  ASSERT_TRUE(CopyFileA(source.c_str(), first.c_str(), FALSE));
  ASSERT_TRUE(CopyFileA(source.c_str(), second.c_str(), FALSE));
  HMODULE one = LoadLibraryA(first.c_str());
  HMODULE two = LoadLibraryA(second.c_str());
  ASSERT_NE(nullptr, one);
  ASSERT_NE(nullptr, two);
  ASSERT_NE(one, two);

  ModuleSnapshot snapshot;
  EXPECT_FALSE(snapshot.Take());
  EXPECT_EQ(snapshot.byName.size(), snapshot.byAddress.size());
  int copies = 0;
  for (const ModuleInfo* module : snapshot.byAddress)
    copies += _stricmp(module->name, "qeldup.dll") == 0;
  EXPECT_EQ(1, copies);
  // What was gathered stays searchable: sorted, so the bisection finds every entry.
  EXPECT_TRUE(IsAscending(snapshot));
  for (const ModuleInfo* module : snapshot.byAddress) {
    EXPECT_EQ(module, snapshot.FindByAddress(module->base + 1)) << module->name;
  }
  FreeLibrary(two);
  FreeLibrary(one);
  EXPECT_TRUE(snapshot.Take());
}

namespace {

// A real log file in a fresh directory, opened through the log writer.
class ModuleListing : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = qeltest::MakeTempDir("listing");
    snprintf(traceLog.directory, sizeof traceLog.directory, "%s", dir.c_str());
    ASSERT_TRUE(CreateLogFile());
    traceLog.active = false;
  }
  void TearDown() override { CloseLogFile(); }
  std::string LogText() { return qeltest::ReadFileBytes(traceLog.path); }
  std::string dir;
};

std::string GroupedSize(uint32_t size) {
  std::string digits = std::to_string(size);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(at, ",");
  return std::string(13 - digits.size(), ' ') + digits;
}

std::string LocalFileTime(const char* path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  FILETIME local;
  SYSTEMTIME time;
  if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data) ||
      !FileTimeToLocalFileTime(&data.ftLastWriteTime, &local) ||
      !FileTimeToSystemTime(&local, &time)) {
    return "?";
  }
  char text[32];
  snprintf(text, sizeof text, "%d/%02d/%02d %02d:%02d:%02d", time.wYear, time.wMonth, time.wDay,
           time.wHour, time.wMinute, time.wSecond);
  return text;
}

// The 32-bit log's eight digits of an address, padded to the pointer width.
std::string Padded(const std::string& digits) {
  return std::string(2 * sizeof(void*) - digits.size(), '0') + digits;
}

std::string ExpectedLine(const ModuleInfo& module, const std::string& fileTime) {
  // Addresses pointer-wide; the size is a 32-bit quantity, eight digits on every processor.
  char head[80];
  snprintf(head, sizeof head, "%0*llx - %0*llx,  [%08x(", static_cast<int>(2 * sizeof(void*)),
           static_cast<unsigned long long>(module.base), static_cast<int>(2 * sizeof(void*)),
           static_cast<unsigned long long>(module.base + module.size), module.size);
  return head + GroupedSize(module.size) + ")], " + fileTime + ", " + module.path + "\r\n";
}

const std::string kTitle = "\r\n[Loaded Modules]\r\n\r\n";

}  // namespace

TEST_F(ModuleListing, RealSnapshotOneLinePerModuleInBaseOrder) {
  ModuleSnapshot snapshot;
  ASSERT_TRUE(snapshot.Take());
  ASSERT_TRUE(WriteModuleListing(snapshot));
  EXPECT_EQ(headerBuilder.start, headerBuilder.pos);
  std::string expected = kTitle;
  for (const ModuleInfo* module : snapshot.byAddress) {
    expected += ExpectedLine(*module, LocalFileTime(module->path));
  }
  EXPECT_EQ(expected, LogText());
}

TEST_F(ModuleListing, FixedModulesExactBytes) {
  // One file with a known time, one that cannot be opened; a size that needs all groups.
  std::string file = dir + "known.dll";
  qeltest::WriteFileBytes(file, "MZ");
  SYSTEMTIME written = {2021, 3, 4, 4, 5, 6, 7, 0};
  FILETIME utc;
  SystemTimeToFileTime(&written, &utc);
  HANDLE handle =
      CreateFileA(file.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, handle);
  SetFileTime(handle, nullptr, nullptr, &utc);
  CloseHandle(handle);
  std::string missing = dir + "gone\\missing.dll";
  ModuleInfo known{0x77c10000u, 0x5a000, nullptr, "known.dll", file.c_str(), nullptr, 0};
  ModuleInfo gone{0x10000000u, 1234567, nullptr, "missing.dll", missing.c_str(), nullptr, 0};
  ModuleSnapshot snapshot;
  snapshot.byAddress = {&gone, &known};

  ASSERT_TRUE(WriteModuleListing(snapshot));
  EXPECT_EQ(kTitle + Padded("10000000") + " - " + Padded("1012d687") +
                ",  [0012d687(    1,234,567)], ----/--/-- --:--:--, " + missing + "\r\n" +
                Padded("77c10000") + " - " + Padded("77c6a000") + ",  [0005a000(      368,640)], " +
                LocalFileTime(file.c_str()) + ", " + file + "\r\n",
            LogText());
}

TEST_F(ModuleListing, EmptySnapshotWritesTheTitleAlone) {
  ModuleSnapshot snapshot;
  ASSERT_TRUE(WriteModuleListing(snapshot));
  EXPECT_EQ(kTitle + "\r\n", LogText());
  EXPECT_EQ(headerBuilder.start, headerBuilder.pos);
}

TEST_F(ModuleListing, TimeLineThenListingAsTheHeaderHasThem) {
  SYSTEMTIME now = {2024, 7, 2, 9, 8, 7, 6, 5};
  ASSERT_TRUE(headerBuilder.AppendDateTime(&now));
  ASSERT_TRUE(headerBuilder.Flush(true));
  ModuleInfo only{0x400000, 0x1000, nullptr, "x.exe", "C:\\nowhere\\x.exe", nullptr, 0};
  ModuleSnapshot snapshot;
  snapshot.byAddress = {&only};
  ASSERT_TRUE(WriteModuleListing(snapshot));
  EXPECT_EQ("2024/07/09 08:07:06\r\n" + kTitle + Padded("00400000") + " - " + Padded("00401000") +
                ",  [00001000(        4,096)], ----/--/-- --:--:--, "
                "C:\\nowhere\\x.exe\r\n",
            LogText());
}

TEST_F(ModuleListing, FailedWriteAnswersFalseAndLeavesTheBuilderEmpty) {
  ModuleInfo only{0x400000, 0x1000, nullptr, "x.exe", "C:\\nowhere\\x.exe", nullptr, 0};
  ModuleSnapshot snapshot;
  snapshot.byAddress = {&only};
  CloseLogFile();
  EXPECT_FALSE(WriteModuleListing(snapshot));
  EXPECT_EQ(headerBuilder.start, headerBuilder.pos);
}
