// WriteProtectedPointer on pages of every protection it meets, and on those it refuses; the
// texts of the engine's statuses.
#include "hookengine/protected_write.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

using namespace qelvorn;

namespace {

constexpr DWORD kSentinelError = 0xdeadbeef;
constexpr uint32_t kOldValue = 0x11223344;
constexpr uint32_t kNewValue = 0xcafef00d;

DWORD ProtectionAt(const void* address) {
  MEMORY_BASIC_INFORMATION info{};
  VirtualQuery(address, &info, sizeof(info));
  return info.Protect;
}

uint32_t ReadWord(const void* address) {
  uint32_t word;
  std::memcpy(&word, address, sizeof(word));
  return word;
}

struct Page {
  uint8_t* base = static_cast<uint8_t*>(
      VirtualAlloc(nullptr, 2 * 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  ~Page() { VirtualFree(base, 0, MEM_RELEASE); }
};

TEST(WriteProtectedPointer, WritesAndRestoresOrRefusesByProtection) {
  const struct {
    DWORD protection;
    bool written;
  } rows[] = {
      {PAGE_READONLY, true},
      {PAGE_EXECUTE_READ, true},
      {PAGE_READWRITE, true},
      {PAGE_EXECUTE_READWRITE, true},
      {PAGE_NOACCESS, false},
      {PAGE_READWRITE | PAGE_GUARD, false},
      {PAGE_READONLY | PAGE_GUARD, false},
      {PAGE_READWRITE | PAGE_NOCACHE, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.protection);
    Page page;
    ASSERT_NE(page.base, nullptr);
    void* target = page.base + 0x100;
    std::memcpy(target, &kOldValue, sizeof(kOldValue));
    DWORD old = 0;
    ASSERT_TRUE(VirtualProtect(page.base, 4096, row.protection, &old));
    // Wine accepts PAGE_NOCACHE but drops it (the page reads back as plain read-write);
    // Windows keeps it, and only there does that row test anything.
    if (ProtectionAt(target) != row.protection) continue;

    SetLastError(kSentinelError);
    EXPECT_EQ(WriteProtectedPointer(target, kNewValue),
              row.written ? HookStatus::kDone : HookStatus::kRefused);
    EXPECT_EQ(GetLastError(), kSentinelError);
    EXPECT_EQ(ProtectionAt(target), row.protection);

    ASSERT_TRUE(VirtualProtect(page.base, 4096, PAGE_READWRITE, &old));
    EXPECT_EQ(ReadWord(target), row.written ? kNewValue : kOldValue);
  }
}

// Write-copy views take the write into the process's private copy; the section itself
// keeps its bytes. Windows reports a written write-copy page as read-write (or
// execute-read-write) afterwards, so either protection is accepted.
TEST(WriteProtectedPointer, WritesIntoWriteCopyPages) {
  const struct {
    DWORD sectionProtection;
    DWORD viewAccess;
    DWORD viewProtection;
    DWORD writtenProtection;
  } rows[] = {
      {PAGE_READWRITE, FILE_MAP_COPY, PAGE_WRITECOPY, PAGE_READWRITE},
      {PAGE_EXECUTE_READWRITE, FILE_MAP_COPY | FILE_MAP_EXECUTE, PAGE_EXECUTE_WRITECOPY,
       PAGE_EXECUTE_READWRITE},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.viewProtection);
    HANDLE section =
        CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, row.sectionProtection, 0, 4096, nullptr);
    ASSERT_NE(section, nullptr);
    auto* shared = static_cast<uint8_t*>(MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, 4096));
    auto* copy = static_cast<uint8_t*>(MapViewOfFile(section, row.viewAccess, 0, 0, 4096));
    ASSERT_NE(shared, nullptr);
    ASSERT_NE(copy, nullptr);
    std::memcpy(shared + 0x40, &kOldValue, sizeof(kOldValue));
    ASSERT_EQ(ProtectionAt(copy), row.viewProtection);

    SetLastError(kSentinelError);
    EXPECT_EQ(WriteProtectedPointer(copy + 0x40, kNewValue), HookStatus::kDone);
    EXPECT_EQ(GetLastError(), kSentinelError);
    EXPECT_EQ(ReadWord(copy + 0x40), kNewValue);
    EXPECT_EQ(ReadWord(shared + 0x40), kOldValue);
    DWORD after = ProtectionAt(copy);
    EXPECT_TRUE(after == row.viewProtection || after == row.writtenProtection) << after;

    UnmapViewOfFile(copy);
    UnmapViewOfFile(shared);
    CloseHandle(section);
  }
}

// Four bytes across two regions of different protection are refused: restoring the first
// page's protection over both would change the second.
TEST(WriteProtectedPointer, RefusesAWordAcrossTwoRegions) {
  Page page;
  ASSERT_NE(page.base, nullptr);
  DWORD old = 0;
  ASSERT_TRUE(VirtualProtect(page.base + 4096, 4096, PAGE_READONLY, &old));
  SetLastError(kSentinelError);
  EXPECT_EQ(WriteProtectedPointer(page.base + 4094, kNewValue), HookStatus::kRefused);
  EXPECT_EQ(GetLastError(), kSentinelError);
  EXPECT_EQ(ProtectionAt(page.base), static_cast<DWORD>(PAGE_READWRITE));
  EXPECT_EQ(ProtectionAt(page.base + 4096), static_cast<DWORD>(PAGE_READONLY));
  EXPECT_EQ(ReadWord(page.base + 4094), 0u);
}

TEST(WriteProtectedPointer, RefusesReservedMemory) {
  void* reserved = VirtualAlloc(nullptr, 4096, MEM_RESERVE, PAGE_READWRITE);
  ASSERT_NE(reserved, nullptr);
  SetLastError(kSentinelError);
  EXPECT_EQ(WriteProtectedPointer(reserved, kNewValue), HookStatus::kRefused);
  EXPECT_EQ(GetLastError(), kSentinelError);
  VirtualFree(reserved, 0, MEM_RELEASE);
}

TEST(WriteProtectedPointer, NullTargetIsInvalidParameter) {
  SetLastError(kSentinelError);
  EXPECT_EQ(WriteProtectedPointer(nullptr, kNewValue), HookStatus::kInvalidParameter);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

}  // namespace

// Every status the engine answers has its own text for messages and test output.
TEST(HookStatus, EachStatusHasItsOwnText) {
  const HookStatus all[] = {HookStatus::kDone,          HookStatus::kUnreadable,
                            HookStatus::kPatchFailed,   HookStatus::kRestoreFailed,
                            HookStatus::kRefused,       HookStatus::kEntriesExhausted,
                            HookStatus::kInvalidHandle, HookStatus::kInvalidParameter};
  std::set<std::string> texts;
  for (HookStatus status : all) {
    std::string text = HookStatusText(status);
    EXPECT_NE("unknown status", text) << static_cast<int>(status);
    texts.insert(text);
  }
  EXPECT_EQ(sizeof all / sizeof all[0], texts.size());
  EXPECT_EQ(std::string("unknown status"), HookStatusText(static_cast<HookStatus>(12345)));
}
