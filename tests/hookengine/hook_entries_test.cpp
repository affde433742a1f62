// The HookEntry table and the dispatcher: the table's bytes and geometry, binding, and
// calls through bound entries compared with direct calls of the same functions.
#include "hookengine/hook_entries.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/reentry_depth.h"
#include "call_harness.h"
#include "control/listings.h"
#include "hooklist/api_hook_record.h"
#include "hooklist/hook_list.h"
#include "support/test_support.h"
#include "tracelog/trace_log.h"

using namespace qelvorn;

extern "C" void HookDispatcher();

namespace {

constexpr uint32_t kEntrySize = 20;
constexpr uint32_t kEntryCount = 1001;
constexpr DWORD kSentinelError = 0xdeadbeef;

// What the last real function saw, and how many real calls happened.
uint32_t seenWords[16];
uint32_t realCalls;

uint32_t Mix(const uint32_t* words, int count) {
  uint32_t mixed = 0x9e3779b9;
  for (int i = 0; i < count; ++i) mixed = (mixed ^ words[i]) * 0x01000193;
  return mixed;
}

// Records the words, sets a last error of its own and answers a value with the top bit set.
uint32_t Note(const uint32_t* words, int count, int resultWords) {
  ++realCalls;
  std::memcpy(seenWords, words, count * sizeof(uint32_t));
  uint32_t result = Mix(words, resultWords) | 0x80000000u;
  SetLastError(result ^ 0x5a5a5a5a);
  return result;
}

uint32_t __stdcall Stdcall0() {
  return Note(nullptr, 0, 0);
}
uint32_t __stdcall Stdcall1(uint32_t a) {
  uint32_t w[] = {a};
  return Note(w, 1, 1);
}
uint32_t __stdcall Stdcall5(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t e) {
  uint32_t w[] = {a, b, c, d, e};
  return Note(w, 5, 5);
}
uint32_t __stdcall Stdcall16(uint32_t a0, uint32_t a1, uint32_t a2, uint32_t a3, uint32_t a4,
                             uint32_t a5, uint32_t a6, uint32_t a7, uint32_t a8, uint32_t a9,
                             uint32_t a10, uint32_t a11, uint32_t a12, uint32_t a13, uint32_t a14,
                             uint32_t a15) {
  uint32_t w[] = {a0, a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, a13, a14, a15};
  return Note(w, 16, 16);
}
// Declared with four parameters but bound with two: the last two show what lies above the
// copied words. The result depends on the first two only.
uint32_t __cdecl Cdecl4(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  uint32_t w[] = {a, b, c, d};
  return Note(w, 4, 2);
}

// Which record each entry bound by these tests holds.
std::map<uint32_t, const ApiHookRecord*> boundByTests;

// Binds one chosen entry straight through its slot; the listing only ever binds the next.
uint32_t BindEntry(uint32_t entry, ApiHookRecord* record) {
  if (entry == 0 || WriteHookEntrySlot(entry, record) != HookStatus::kDone) return 0;
  record->hookEntry = reinterpret_cast<void*>(entry);
  boundByTests[entry] = record;
  return entry;
}

// The api listing writes into the log whether tracing is on or not; tracing stays off, so
// calls through the entries are not recorded.
bool OpenListingLog() {
  std::string dir = qeltest::MakeTempDir("bind");
  snprintf(traceLog.directory, sizeof traceLog.directory, "%s", dir.c_str());
  return CreateLogFile();
}

// Binds the record to the next entry as set-up does: the api listing, with the record
// alone in the hook list's apiTable.
uint32_t BindNext(ApiHookRecord* record) {
  static const bool logOpen = OpenListingLog();
  if (!logOpen) return 0;
  hookList.apiTable.clear();
  hookList.apiTable.emplace(record->name, record);
  if (!BindAndListApis()) return 0;
  uint32_t entry = reinterpret_cast<uint32_t>(record->hookEntry);
  boundByTests[entry] = record;
  return entry;
}

// Records live as long as their entries stay bound: the whole test program.
ApiHookRecord* NewRecord(const void* realFunction, uint32_t argCount, bool callerCleans,
                         bool skipCall = false) {
  static std::vector<ApiHookRecord*> records;
  ApiHookRecord* record = new ApiHookRecord{};
  record->name = "TestFunction";
  record->moduleName = "test.dll";
  record->argCount = argCount;
  record->realFunction = reinterpret_cast<uint32_t>(realFunction);
  record->ordinal = -1;
  record->callerCleans = callerCleans ? 1 : 0;
  record->skipCall = skipCall ? 1 : 0;
  records.push_back(record);
  return record;
}

uint32_t ReadWord(uint32_t address) {
  uint32_t word;
  std::memcpy(&word, reinterpret_cast<const void*>(address), sizeof(word));
  return word;
}

DWORD ProtectionAt(uint32_t address) {
  MEMORY_BASIC_INFORMATION info{};
  VirtualQuery(reinterpret_cast<const void*>(address), &info, sizeof(info));
  return info.Protect;
}

std::vector<uint32_t> Words(uint32_t count, uint32_t seed) {
  std::vector<uint32_t> words;
  for (uint32_t i = 0; i < count; ++i) words.push_back(seed + i * 0x01010101u);
  return words;
}

void ExpectCalleeSavedKept(const RegistersAfterCall& after) {
  EXPECT_EQ(after.ebx, HARNESS_EBX);
  EXPECT_EQ(after.esi, HARNESS_ESI);
  EXPECT_EQ(after.edi, HARNESS_EDI);
  EXPECT_EQ(after.ebp, HARNESS_EBP);
}

TEST(HookEntryTable, GeometryComesFromTheCode) {
  uint32_t first = QueryHookEntryTable(1);
  EXPECT_NE(first, 0u);
  EXPECT_EQ(QueryHookEntryTable(2), kEntrySize);
  EXPECT_EQ(QueryHookEntryTable(3), kEntryCount);
  EXPECT_EQ(QueryHookEntryTable(0), 0u);
  EXPECT_EQ(QueryHookEntryTable(4), 0u);
  EXPECT_EQ(first + kEntryCount * kEntrySize, reinterpret_cast<uint32_t>(&HookDispatcher));
  EXPECT_EQ(HookEntryAddress(0), first);
  EXPECT_EQ(HookEntryAddress(1000), first + 1000 * kEntrySize);
  EXPECT_EQ(HookEntryAddress(1001), 0u);
}

TEST(HookEntryTable, EveryEntryHasItsLayout) {
  uint32_t first = QueryHookEntryTable(1);
  uint32_t dispatcher = reinterpret_cast<uint32_t>(&HookDispatcher);
  EXPECT_EQ(ProtectionAt(first), static_cast<DWORD>(PAGE_EXECUTE_READ));
  for (uint32_t i = 0; i < kEntryCount; ++i) {
    uint32_t entry = first + i * kEntrySize;
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(entry);
    SCOPED_TRACE(i);
    ASSERT_EQ(bytes[0], 0x8d);
    ASSERT_EQ(bytes[1], 0x15);
    ASSERT_EQ(ReadWord(entry + 2), entry + 16);
    ASSERT_EQ(bytes[6], 0x8d);
    ASSERT_EQ(bytes[7], 0x05);
    ASSERT_EQ(ReadWord(entry + 8), dispatcher);
    ASSERT_EQ(bytes[12], 0xff);
    ASSERT_EQ(bytes[13], 0xe0);
    ASSERT_EQ(bytes[14], 0x90);
    ASSERT_EQ(bytes[15], 0x90);
    auto bound = boundByTests.find(entry);
    uint32_t slot =
        bound == boundByTests.end() ? 0x90909090u : reinterpret_cast<uint32_t>(bound->second);
    ASSERT_EQ(ReadWord(entry + 16), slot);
  }
}

TEST(HookEntryTable, BindingWritesTheSlotAndKeepsTheCodeProtection) {
  ApiHookRecord* record = NewRecord(reinterpret_cast<const void*>(&Stdcall1), 1, false);
  uint32_t before = boundCount;
  uint32_t entry = BindNext(record);
  ASSERT_NE(entry, 0u);
  EXPECT_EQ(entry, QueryHookEntryTable(1) + before * kEntrySize);
  EXPECT_EQ(boundCount, before + 1);
  EXPECT_EQ(ReadWord(entry + 16), reinterpret_cast<uint32_t>(record));
  EXPECT_EQ(ProtectionAt(entry + 16), static_cast<DWORD>(PAGE_EXECUTE_READ));
}

TEST(HookEntryTable, TheLastEntryBindsAndNoEntryFollowsIt) {
  ApiHookRecord* record = NewRecord(reinterpret_cast<const void*>(&Stdcall1), 1, false);
  uint32_t last = HookEntryAddress(kEntryCount - 1);
  ASSERT_EQ(BindEntry(last, record), last);
  auto call = reinterpret_cast<uint32_t(__stdcall*)(uint32_t)>(last);
  EXPECT_EQ(call(0x1234), Stdcall1(0x1234));

  uint32_t first = QueryHookEntryTable(1);
  uint32_t dispatcherWord = ReadWord(first + kEntryCount * kEntrySize + 16);
  struct Refused {
    uint32_t entry;
    ApiHookRecord* record;
  } refused[] = {
      {first + kEntryCount * kEntrySize, record},  // where a 1002nd entry would be
      {first - kEntrySize, record},
      {first + 1, record},
      {first + 16, record},
      {first, nullptr},
  };
  for (const Refused& row : refused) {
    SCOPED_TRACE(row.entry - first);
    SetLastError(kSentinelError);
    EXPECT_EQ(WriteHookEntrySlot(row.entry, row.record), HookStatus::kInvalidParameter);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  EXPECT_EQ(ReadWord(first + kEntryCount * kEntrySize + 16), dispatcherWord);
}

// The end-to-end test finds this constant in the box; here its bytes are pinned.
TEST(EntryBinding, TheBoxOfExhaustedEntriesIsItsCp932Bytes) {
  EXPECT_EQ(qeltest::Sjis(u8"HookEntry が不足しています。"), kEntriesExhausted);
}

// The library's own calls (reentry depth raised) take the dispatcher's short way to the
// real function; everything a caller can see must be the same both ways.
constexpr bool kDepthStates[] = {false, true};

struct CallCase {
  const char* name;
  const void* realFunction;
  uint32_t argCount;
  bool callerCleans;
  uint32_t pushedWords;  // what the caller pushes; more than argCount for the cdecl case
};

const CallCase kCallCases[] = {
    {"stdcall 0", reinterpret_cast<const void*>(&Stdcall0), 0, false, 0},
    {"stdcall 1", reinterpret_cast<const void*>(&Stdcall1), 1, false, 1},
    {"stdcall 5", reinterpret_cast<const void*>(&Stdcall5), 5, false, 5},
    {"stdcall 16", reinterpret_cast<const void*>(&Stdcall16), 16, false, 16},
    {"cdecl 2 of 4", reinterpret_cast<const void*>(&Cdecl4), 2, true, 4},
};

TEST(HookDispatcher, CallsThroughAnEntryAsADirectCallWould) {
  for (const CallCase& row : kCallCases)
    for (bool raised : kDepthStates) {
      SCOPED_TRACE(row.name);
      SCOPED_TRACE(raised ? "own call" : "traced call");
      std::optional<ThreadGuardScope> depth;
      if (raised) depth.emplace();
      uint32_t entry = BindNext(NewRecord(row.realFunction, row.argCount, row.callerCleans));
      ASSERT_NE(entry, 0u);
      std::vector<uint32_t> words = Words(row.pushedWords, 0x10203040);

      RegistersAfterCall direct{};
      CallWithRegisterCheck(reinterpret_cast<uint32_t>(row.realFunction), words.data(),
                            row.pushedWords, &direct);
      DWORD directError = GetLastError();

      realCalls = 0;
      std::memset(seenWords, 0, sizeof(seenWords));
      SetLastError(kSentinelError);
      RegistersAfterCall traced{};
      CallWithRegisterCheck(entry, words.data(), row.pushedWords, &traced);
      DWORD tracedError = GetLastError();

      EXPECT_EQ(realCalls, 1u);
      for (uint32_t i = 0; i < row.argCount; ++i) EXPECT_EQ(seenWords[i], words[i]) << i;
      // A traced call runs on a copy of argCount words; the library's own runs on the caller's.
      for (uint32_t i = row.argCount; i < row.pushedWords; ++i) {
        EXPECT_EQ(seenWords[i] == words[i], raised) << i;
      }
      EXPECT_EQ(traced.eax, direct.eax);
      EXPECT_EQ(traced.espDelta, direct.espDelta);
      EXPECT_EQ(traced.espDelta, row.callerCleans ? 0 : static_cast<int32_t>(4 * row.argCount));
      ExpectCalleeSavedKept(direct);
      ExpectCalleeSavedKept(traced);
      EXPECT_EQ(tracedError, directError);
    }
}

TEST(HookDispatcher, SkipCallAnswersZeroAndCleansAsTheConventionSays) {
  const struct {
    uint32_t argCount;
    bool callerCleans;
  } rows[] = {{0, false}, {3, false}, {3, true}};
  for (const auto& row : rows)
    for (bool raised : kDepthStates) {
      SCOPED_TRACE(row.argCount + 100 * row.callerCleans);
      SCOPED_TRACE(raised ? "own call" : "traced call");
      std::optional<ThreadGuardScope> depth;
      if (raised) depth.emplace();
      uint32_t entry = BindNext(NewRecord(reinterpret_cast<const void*>(&Stdcall5), row.argCount,
                                          row.callerCleans, true));
      ASSERT_NE(entry, 0u);
      std::vector<uint32_t> words = Words(row.argCount, 0x55aa0000);
      realCalls = 0;
      SetLastError(kSentinelError);
      RegistersAfterCall traced{};
      CallWithRegisterCheck(entry, words.data(), row.argCount, &traced);
      EXPECT_EQ(GetLastError(), kSentinelError);
      EXPECT_EQ(realCalls, 0u);
      EXPECT_EQ(traced.eax, 0u);
      EXPECT_EQ(traced.espDelta, row.callerCleans ? 0 : static_cast<int32_t>(4 * row.argCount));
      ExpectCalleeSavedKept(traced);
    }
}

// A record whose real function is not known (or was unloaded) must not send the call to
// address 0: it answers 0 with ERROR_PROC_NOT_FOUND.
TEST(HookDispatcher, MissingRealFunctionAnswersZeroWithProcNotFound) {
  for (bool callerCleans : {false, true})
    for (bool raised : kDepthStates) {
      SCOPED_TRACE(callerCleans);
      SCOPED_TRACE(raised ? "own call" : "traced call");
      std::optional<ThreadGuardScope> depth;
      if (raised) depth.emplace();
      uint32_t entry = BindNext(NewRecord(nullptr, 2, callerCleans));
      ASSERT_NE(entry, 0u);
      std::vector<uint32_t> words = Words(2, 0x77770000);
      SetLastError(kSentinelError);
      RegistersAfterCall traced{};
      CallWithRegisterCheck(entry, words.data(), 2, &traced);
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
      EXPECT_EQ(traced.eax, 0u);
      EXPECT_EQ(traced.espDelta, callerCleans ? 0 : 8);
      ExpectCalleeSavedKept(traced);
    }
}

// The real function is read on each call, so a function that becomes known later is used.
TEST(HookDispatcher, UsesTheRealFunctionHeldAtTheTimeOfTheCall) {
  ApiHookRecord* record = NewRecord(nullptr, 1, false);
  auto call = reinterpret_cast<uint32_t(__stdcall*)(uint32_t)>(BindNext(record));
  ASSERT_NE(call, nullptr);
  EXPECT_EQ(call(7), 0u);
  record->realFunction = reinterpret_cast<uint32_t>(&Stdcall1);
  EXPECT_EQ(call(7), Stdcall1(7));
}

uint32_t(__stdcall* recursiveEntry)(uint32_t);

uint32_t __stdcall CountDown(uint32_t n) {
  return n == 0 ? 0x40000000u : 1 + recursiveEntry(n - 1);
}

TEST(HookDispatcher, RecursionThroughTheSameEntry) {
  uint32_t entry = BindNext(NewRecord(reinterpret_cast<const void*>(&CountDown), 1, false));
  ASSERT_NE(entry, 0u);
  recursiveEntry = reinterpret_cast<uint32_t(__stdcall*)(uint32_t)>(entry);
  const uint32_t depth[] = {50};
  RegistersAfterCall traced{};
  CallWithRegisterCheck(entry, depth, 1, &traced);
  EXPECT_EQ(traced.eax, 0x40000000u + 50);
  EXPECT_EQ(traced.espDelta, 4);
  ExpectCalleeSavedKept(traced);
}

uint32_t __stdcall Pure5(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t e) {
  uint32_t w[] = {a, b, c, d, e};
  SetLastError(a ^ e);
  return Mix(w, 5);
}

uint32_t(__stdcall* threadedEntry)(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t);
std::atomic<uint32_t> threadedMismatches;
constexpr uint32_t kCallsPerThread = 5000;

DWORD WINAPI CallManyTimes(void* parameter) {
  uint32_t thread = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(parameter));
  for (uint32_t i = 0; i < kCallsPerThread; ++i) {
    uint32_t w[] = {thread, i, thread * i, ~i, thread << 24 | i};
    uint32_t result = threadedEntry(w[0], w[1], w[2], w[3], w[4]);
    if (result != Mix(w, 5) || GetLastError() != (w[0] ^ w[4])) ++threadedMismatches;
  }
  return 0;
}

TEST(HookDispatcher, EightThreadsThroughTheSameEntryAtOnce) {
  uint32_t entry = BindNext(NewRecord(reinterpret_cast<const void*>(&Pure5), 5, false));
  ASSERT_NE(entry, 0u);
  threadedEntry =
      reinterpret_cast<uint32_t(__stdcall*)(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t)>(
          entry);
  threadedMismatches = 0;
  HANDLE threads[8];
  for (uint32_t i = 0; i < 8; ++i) {
    threads[i] =
        CreateThread(nullptr, 0, CallManyTimes, reinterpret_cast<void*>(i + 1), 0, nullptr);
    ASSERT_NE(threads[i], nullptr);
  }
  EXPECT_EQ(WaitForMultipleObjects(8, threads, TRUE, 120000), WAIT_OBJECT_0);
  for (HANDLE thread : threads) CloseHandle(thread);
  EXPECT_EQ(threadedMismatches.load(), 0u);
}

}  // namespace
