// Probes of the platform behaviour the tracer relies on, run in the test guest:
// the ANSI code page, pointer readability tests, the exception guard and IAT rewriting.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

#include "base/exception_guard.h"
#include "support/import_slots.h"

using namespace qelvorn;

TEST(Platform, AnsiCodePageFollowsLocale) {
  // The runner starts every program under ja_JP.UTF-8, and text tests again under 1252.
  const char* lang = getenv("LANG");
  if (lang && strncmp(lang, "ja_JP", 5) == 0) {
    EXPECT_EQ(932u, GetACP());
  }
  if (lang && strncmp(lang, "en_US", 5) == 0) {
    EXPECT_EQ(1252u, GetACP());
  }
}

TEST(Platform, ReadabilityProbes) {
  EXPECT_TRUE(IsBadReadPtr(nullptr, 1));
  EXPECT_TRUE(IsBadStringPtrA(nullptr, 260));
  char text[] = "readable";
  EXPECT_FALSE(IsBadReadPtr(text, 1));
  EXPECT_FALSE(IsBadStringPtrA(text, 260));
  void* page = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  ASSERT_NE(nullptr, page);
  strcpy(static_cast<char*>(page), "x");
  EXPECT_FALSE(IsBadStringPtrA(static_cast<char*>(page), 260));
  VirtualFree(page, 0, MEM_RELEASE);
  EXPECT_TRUE(IsBadReadPtr(page, 1));
  EXPECT_TRUE(IsBadStringPtrA(static_cast<char*>(page), 260));
}

namespace {
volatile int* volatile gNullPointer = nullptr;
int __attribute__((noinline)) Fault() {
  return *gNullPointer;
}
}  // namespace

TEST(ExceptionGuard, CompletesNormally) {
  int ran = 0;
  EXPECT_EQ(GuardOutcome::kCompleted, Guarded([&] { ran = 1; }));
  EXPECT_EQ(1, ran);
}

TEST(ExceptionGuard, AccessViolationReturnsToGuardEveryTime) {
  for (int i = 0; i < 3; ++i) {
    int before = 0;
    EXPECT_EQ(GuardOutcome::kStructuredException, Guarded([&] {
                before = 1;
                Fault();
                before = 2;
              }));
    EXPECT_EQ(1, before);
  }
}

TEST(ExceptionGuard, CppExceptionIsCaught) {
  EXPECT_EQ(GuardOutcome::kCppException, Guarded([] { throw std::runtime_error("x"); }));
}

TEST(ExceptionGuard, RaisedExceptionIsCaught) {
  EXPECT_EQ(GuardOutcome::kStructuredException,
            Guarded([] { RaiseException(0xE0001234, 0, 0, nullptr); }));
}

TEST(ExceptionGuard, NestedGuardsHandleTheirOwnFaults) {
  GuardOutcome inner = GuardOutcome::kCompleted;
  GuardOutcome outer = Guarded([&] {
    inner = Guarded([] { Fault(); });
    Fault();
  });
  EXPECT_EQ(GuardOutcome::kStructuredException, inner);
  EXPECT_EQ(GuardOutcome::kStructuredException, outer);
  // The chain is intact afterwards: a new guard still works.
  EXPECT_EQ(GuardOutcome::kStructuredException, Guarded([] { Fault(); }));
}

TEST(ExceptionGuard, ThreadsFaultIndependently) {
  std::atomic<int> caught{0};
  std::atomic<int> clean{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        if ((i + t) % 2 == 0) {
          if (Guarded([] { Fault(); }) == GuardOutcome::kStructuredException) ++caught;
        } else {
          int v = 0;
          if (Guarded([&] { v = i; }) == GuardOutcome::kCompleted && v == i) ++clean;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(800, caught.load());
  EXPECT_EQ(800, clean.load());
}

namespace {

// Finds this program's own import address table slot for kernel32!GetTickCount.
uintptr_t* FindOwnIatSlot(const char* dllName, const char* function) {
  for (const qeltest::ImportSlot& slot : qeltest::ImportSlots(GetModuleHandleA(nullptr))) {
    if (_stricmp(slot.imported.c_str(), dllName) == 0 && slot.name == function) return slot.slot;
  }
  return nullptr;
}

DWORD WINAPI FakeTickCount() {
  return 0x12345678;
}

DWORD __attribute__((noinline)) CallTickCount() {
  return GetTickCount();
}

}  // namespace

TEST(Platform, RewrittenImportSlotIsUsedByTheNextCall) {
  uintptr_t* slot = FindOwnIatSlot("KERNEL32.dll", "GetTickCount");
  ASSERT_NE(nullptr, slot);
  uintptr_t original = *slot;
  uintptr_t fake = reinterpret_cast<uintptr_t>(&FakeTickCount);
  MEMORY_BASIC_INFORMATION info;
  ASSERT_NE(0u, VirtualQuery(slot, &info, sizeof info));
  DWORD old = 0;
  ASSERT_TRUE(VirtualProtect(slot, sizeof fake, PAGE_READWRITE, &old));
  ASSERT_TRUE(WriteProcessMemory(GetCurrentProcess(), slot, &fake, sizeof fake, nullptr));
  EXPECT_EQ(0x12345678u, CallTickCount());
  ASSERT_TRUE(WriteProcessMemory(GetCurrentProcess(), slot, &original, sizeof original, nullptr));
  VirtualProtect(slot, sizeof original, old, &old);
  EXPECT_NE(0x12345678u, CallTickCount());
}
