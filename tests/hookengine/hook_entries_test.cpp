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
#include "entry_code.h"
#include "control/listings.h"
#include "hooklist/api_hook_record.h"
#include "hooklist/hook_list.h"
#include "support/test_support.h"
#include "tracelog/trace_log.h"

using namespace qelvorn;

extern "C" void HookDispatcher();

namespace {

constexpr uint32_t kEntryCount = 1001;
constexpr DWORD kSentinelError = 0xdeadbeef;
constexpr uintptr_t kTopBit = ~(~uintptr_t{0} >> 1);

// What the last real function saw, and how many real calls happened.
uintptr_t seenWords[16];
uint32_t realCalls;

uintptr_t Mix(const uintptr_t* words, int count) {
  uintptr_t mixed = 0x9e3779b9;
  for (int i = 0; i < count; ++i) mixed = (mixed ^ words[i]) * 0x01000193;
  return mixed;
}

// Records the words, sets a last error of its own and answers a value with the top bit set.
uintptr_t Note(const uintptr_t* words, int count, int resultWords) {
  ++realCalls;
  std::memcpy(seenWords, words, count * sizeof(uintptr_t));
  uintptr_t result = Mix(words, resultWords) | kTopBit;
  SetLastError(static_cast<DWORD>(result ^ 0x5a5a5a5a));
  return result;
}

uintptr_t __stdcall Stdcall0() {
  return Note(nullptr, 0, 0);
}
uintptr_t __stdcall Stdcall1(uintptr_t a) {
  uintptr_t w[] = {a};
  return Note(w, 1, 1);
}
uintptr_t __stdcall Stdcall5(uintptr_t a, uintptr_t b, uintptr_t c, uintptr_t d, uintptr_t e) {
  uintptr_t w[] = {a, b, c, d, e};
  return Note(w, 5, 5);
}
uintptr_t __stdcall Stdcall16(uintptr_t a0, uintptr_t a1, uintptr_t a2, uintptr_t a3, uintptr_t a4,
                              uintptr_t a5, uintptr_t a6, uintptr_t a7, uintptr_t a8, uintptr_t a9,
                              uintptr_t a10, uintptr_t a11, uintptr_t a12, uintptr_t a13,
                              uintptr_t a14, uintptr_t a15) {
  uintptr_t w[] = {a0, a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, a13, a14, a15};
  return Note(w, 16, 16);
}
// Declared with four parameters but bound with two: the last two show what lies above the
// copied words. The result depends on the first two only.
uintptr_t __cdecl Cdecl4(uintptr_t a, uintptr_t b, uintptr_t c, uintptr_t d) {
  uintptr_t w[] = {a, b, c, d};
  return Note(w, 4, 2);
}

// Declared with eight, bound with six: on x64 the last two lie above the stack copy.
uintptr_t __cdecl Cdecl8(uintptr_t a, uintptr_t b, uintptr_t c, uintptr_t d, uintptr_t e,
                         uintptr_t f, uintptr_t g, uintptr_t h) {
  uintptr_t w[] = {a, b, c, d, e, f, g, h};
  return Note(w, 8, 6);
}

// Which record each entry bound by these tests holds.
std::map<uintptr_t, const ApiHookRecord*> boundByTests;

// Binds one chosen entry straight through its slot; the listing only ever binds the next.
uintptr_t BindEntry(uintptr_t entry, ApiHookRecord* record) {
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
uintptr_t BindNext(ApiHookRecord* record) {
  static const bool logOpen = OpenListingLog();
  if (!logOpen) return 0;
  hookList.apiTable.clear();
  hookList.apiTable.emplace(record->name, record);
  if (!BindAndListApis()) return 0;
  uintptr_t entry = reinterpret_cast<uintptr_t>(record->hookEntry);
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
  record->realFunction = reinterpret_cast<uintptr_t>(realFunction);
  record->ordinal = -1;
  record->callerCleans = callerCleans ? 1 : 0;
  record->skipCall = skipCall ? 1 : 0;
  records.push_back(record);
  return record;
}

uintptr_t ReadWord(uintptr_t address) {
  uintptr_t word;
  std::memcpy(&word, reinterpret_cast<const void*>(address), sizeof(word));
  return word;
}

DWORD ProtectionAt(uintptr_t address) {
  MEMORY_BASIC_INFORMATION info{};
  VirtualQuery(reinterpret_cast<const void*>(address), &info, sizeof(info));
  return info.Protect;
}

// Words with every byte in use, the high half of an x64 word too.
std::vector<uintptr_t> Words(uint32_t count, uint32_t seed) {
  std::vector<uintptr_t> words;
  for (uint32_t i = 0; i < count; ++i) {
    uintptr_t word = seed + i * 0x01010101u;
    words.push_back(word | (word << 16 << 16));
  }
  return words;
}

void ExpectCalleeSavedKept(const RegistersAfterCall& after) {
  EXPECT_EQ(after.changedCalleeSaved, 0u);
}

uintptr_t Dispatcher() {
  return reinterpret_cast<uintptr_t>(&HookDispatcher);
}

// An entry's record slot before binding: filler bytes.
constexpr uintptr_t kUnboundSlot = ~uintptr_t{0} / 0xff * 0x90;

TEST(HookEntryTable, GeometryComesFromTheCode) {
  uintptr_t first = QueryHookEntryTable(1);
  EXPECT_NE(first, 0u);
  EXPECT_EQ(QueryHookEntryTable(2), kEntrySize);
  EXPECT_EQ(QueryHookEntryTable(3), kEntryCount);
  EXPECT_EQ(QueryHookEntryTable(0), 0u);
  EXPECT_EQ(QueryHookEntryTable(4), 0u);
  EXPECT_EQ(first + kEntryCount * kEntrySize, Dispatcher());
  EXPECT_EQ(HookEntryAddress(0), first);
  EXPECT_EQ(HookEntryAddress(1000), first + 1000 * kEntrySize);
  EXPECT_EQ(HookEntryAddress(1001), 0u);
}

TEST(HookEntryTable, EveryEntryHasItsLayout) {
  uintptr_t first = QueryHookEntryTable(1);
  EXPECT_EQ(ProtectionAt(first), static_cast<DWORD>(PAGE_EXECUTE_READ));
  for (uint32_t i = 0; i < kEntryCount; ++i) {
    uintptr_t entry = first + i * kEntrySize;
    SCOPED_TRACE(i);
    ASSERT_EQ(EntryCodeMismatch(entry, Dispatcher()), "");
    auto bound = boundByTests.find(entry);
    uintptr_t slot =
        bound == boundByTests.end() ? kUnboundSlot : reinterpret_cast<uintptr_t>(bound->second);
    ASSERT_EQ(ReadWord(entry + 16), slot);
  }
}

TEST(HookEntryTable, BindingWritesTheSlotAndKeepsTheCodeProtection) {
  ApiHookRecord* record = NewRecord(reinterpret_cast<const void*>(&Stdcall1), 1, false);
  uint32_t before = boundCount;
  uintptr_t entry = BindNext(record);
  ASSERT_NE(entry, 0u);
  EXPECT_EQ(entry, QueryHookEntryTable(1) + before * kEntrySize);
  EXPECT_EQ(boundCount, before + 1);
  EXPECT_EQ(ReadWord(entry + 16), reinterpret_cast<uintptr_t>(record));
  EXPECT_EQ(ProtectionAt(entry + 16), static_cast<DWORD>(PAGE_EXECUTE_READ));
}

TEST(HookEntryTable, TheLastEntryBindsAndNoEntryFollowsIt) {
  ApiHookRecord* record = NewRecord(reinterpret_cast<const void*>(&Stdcall1), 1, false);
  uintptr_t last = HookEntryAddress(kEntryCount - 1);
  ASSERT_EQ(BindEntry(last, record), last);
  auto call = reinterpret_cast<uintptr_t(__stdcall*)(uintptr_t)>(last);
  EXPECT_EQ(call(0x1234), Stdcall1(0x1234));

  uintptr_t first = QueryHookEntryTable(1);
  uintptr_t dispatcherWord = ReadWord(first + kEntryCount * kEntrySize + 16);
  struct Refused {
    uintptr_t entry;
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
    {"cdecl 6 of 8", reinterpret_cast<const void*>(&Cdecl8), 6, true, 8},
};

// x86 callees of the stdcall convention drop their arguments; on x64 the caller always does.
constexpr bool kCalleeMayClean = sizeof(void*) == 4;

int64_t StackDropped(uint32_t argCount, bool callerCleans) {
  return kCalleeMayClean && !callerCleans ? int64_t{4} * argCount : 0;
}

TEST(HookDispatcher, CallsThroughAnEntryAsADirectCallWould) {
  for (const CallCase& row : kCallCases)
    for (bool raised : kDepthStates) {
      SCOPED_TRACE(row.name);
      SCOPED_TRACE(raised ? "own call" : "traced call");
      std::optional<ThreadGuardScope> depth;
      if (raised) depth.emplace();
      uintptr_t entry = BindNext(NewRecord(row.realFunction, row.argCount, row.callerCleans));
      ASSERT_NE(entry, 0u);
      std::vector<uintptr_t> words = Words(row.pushedWords, 0x10203040);

      RegistersAfterCall direct{};
      CallWithRegisterCheck(reinterpret_cast<uintptr_t>(row.realFunction), words.data(),
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
      // Words passed in registers reach the real function either way.
      for (uint32_t i = row.argCount; i < row.pushedWords; ++i) {
        EXPECT_EQ(seenWords[i] == words[i], raised || i < kHarnessRegisterWords) << i;
      }
      EXPECT_EQ(traced.result, direct.result);
      EXPECT_EQ(traced.stackDelta, direct.stackDelta);
      EXPECT_EQ(traced.stackDelta, StackDropped(row.argCount, row.callerCleans));
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
      uintptr_t entry = BindNext(NewRecord(reinterpret_cast<const void*>(&Stdcall5), row.argCount,
                                           row.callerCleans, true));
      ASSERT_NE(entry, 0u);
      std::vector<uintptr_t> words = Words(row.argCount, 0x55aa0000);
      realCalls = 0;
      SetLastError(kSentinelError);
      RegistersAfterCall traced{};
      CallWithRegisterCheck(entry, words.data(), row.argCount, &traced);
      EXPECT_EQ(GetLastError(), kSentinelError);
      EXPECT_EQ(realCalls, 0u);
      EXPECT_EQ(traced.result, 0u);
      EXPECT_EQ(traced.stackDelta, StackDropped(row.argCount, row.callerCleans));
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
      uintptr_t entry = BindNext(NewRecord(nullptr, 2, callerCleans));
      ASSERT_NE(entry, 0u);
      std::vector<uintptr_t> words = Words(2, 0x77770000);
      SetLastError(kSentinelError);
      RegistersAfterCall traced{};
      CallWithRegisterCheck(entry, words.data(), 2, &traced);
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
      EXPECT_EQ(traced.result, 0u);
      EXPECT_EQ(traced.stackDelta, StackDropped(2, callerCleans));
      ExpectCalleeSavedKept(traced);
    }
}

// The real function is read on each call, so a function that becomes known later is used.
TEST(HookDispatcher, UsesTheRealFunctionHeldAtTheTimeOfTheCall) {
  ApiHookRecord* record = NewRecord(nullptr, 1, false);
  auto call = reinterpret_cast<uintptr_t(__stdcall*)(uintptr_t)>(BindNext(record));
  ASSERT_NE(call, nullptr);
  EXPECT_EQ(call(7), 0u);
  record->realFunction = reinterpret_cast<uintptr_t>(&Stdcall1);
  EXPECT_EQ(call(7), Stdcall1(7));
}

uintptr_t(__stdcall* recursiveEntry)(uintptr_t);

uintptr_t __stdcall CountDown(uintptr_t n) {
  return n == 0 ? 0x40000000u : 1 + recursiveEntry(n - 1);
}

TEST(HookDispatcher, RecursionThroughTheSameEntry) {
  uintptr_t entry = BindNext(NewRecord(reinterpret_cast<const void*>(&CountDown), 1, false));
  ASSERT_NE(entry, 0u);
  recursiveEntry = reinterpret_cast<uintptr_t(__stdcall*)(uintptr_t)>(entry);
  const uintptr_t depth[] = {50};
  RegistersAfterCall traced{};
  CallWithRegisterCheck(entry, depth, 1, &traced);
  EXPECT_EQ(traced.result, 0x40000000u + 50);
  EXPECT_EQ(traced.stackDelta, StackDropped(1, false));
  ExpectCalleeSavedKept(traced);
}

uintptr_t __stdcall Pure5(uintptr_t a, uintptr_t b, uintptr_t c, uintptr_t d, uintptr_t e) {
  uintptr_t w[] = {a, b, c, d, e};
  SetLastError(static_cast<DWORD>(a ^ e));
  return Mix(w, 5);
}

uintptr_t(__stdcall* threadedEntry)(uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t);
std::atomic<uint32_t> threadedMismatches;
constexpr uint32_t kCallsPerThread = 5000;

DWORD WINAPI CallManyTimes(void* parameter) {
  uint32_t thread = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(parameter));
  for (uint32_t i = 0; i < kCallsPerThread; ++i) {
    uintptr_t w[] = {thread, i, thread * i, ~uintptr_t{i}, uintptr_t{thread} << 24 | i};
    uintptr_t result = threadedEntry(w[0], w[1], w[2], w[3], w[4]);
    if (result != Mix(w, 5) || GetLastError() != static_cast<DWORD>(w[0] ^ w[4])) {
      ++threadedMismatches;
    }
  }
  return 0;
}

TEST(HookDispatcher, EightThreadsThroughTheSameEntryAtOnce) {
  uintptr_t entry = BindNext(NewRecord(reinterpret_cast<const void*>(&Pure5), 5, false));
  ASSERT_NE(entry, 0u);
  threadedEntry = reinterpret_cast<uintptr_t(__stdcall*)(uintptr_t, uintptr_t, uintptr_t, uintptr_t,
                                                         uintptr_t)>(entry);
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
