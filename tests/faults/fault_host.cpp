// Host of the fault tests: one scenario per run that once crashed, hung or misled the
// traced program, writing what it saw to DIR\host.txt as it goes (a crash keeps the lines
// before it). Usage: fault_host.exe SCENARIO DIR\   (DIR ends in a backslash)
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>

#include "fault_lib.h"
#include "host_kit.h"
#include "support/import_slots.h"

using hostkit::Report;

namespace {

hostkit::Tracer tracer;
std::string dir;
char messages[8192];

int SetUp() {
  int result = tracer.setUp(dir.c_str(), dir.c_str(), messages, sizeof messages);
  Report("setup %d\n", result);
  return result;
}

void CleanUp() {
  Report("cleanup %d\n", tracer.cleanUp(messages, sizeof messages));
}

// Each traced import is called from its own non-inlined function, so every call reads
// the import slot afresh.
__attribute__((noinline)) int Length(const char* text) {
  return lstrlenA(text);
}
__attribute__((noinline)) DWORD Wait(HANDLE handle, DWORD timeout) {
  return WaitForSingleObject(handle, timeout);
}
__attribute__((noinline)) void Nap(DWORD milliseconds) {
  Sleep(milliseconds);
}
__attribute__((noinline)) FARPROC Fetch(HMODULE module, const char* name) {
  return GetProcAddress(module, name);
}
__attribute__((noinline)) HMODULE Load(const char* name) {
  return LoadLibraryA(name);
}
__attribute__((noinline)) HMODULE LoadEx(const char* name, DWORD flags) {
  return LoadLibraryExA(name, nullptr, flags);
}
__attribute__((noinline)) BOOL Free(HMODULE module) {
  return FreeLibrary(module);
}
__attribute__((noinline)) BOOL Close(HANDLE handle) {
  return CloseHandle(handle);
}
__attribute__((noinline)) int SameOfLib(int value) {
  return Same(value);
}

template <class T>
T As(FARPROC address) {
  return reinterpret_cast<T>(reinterpret_cast<void*>(address));
}

using LengthFunction = int (*)(const char*);
using StdLengthFunction = int(WINAPI*)(const char*);
using SameFunction = int (*)(int);
using LoadFunction = HMODULE(WINAPI*)(const char*);

HANDLE Start(LPTHREAD_START_ROUTINE routine, void* argument, DWORD stack = 0, DWORD flags = 0) {
  return CreateThread(nullptr, stack, routine, argument, flags, nullptr);
}

// Waits without a traced call, so the host's own waiting leaves no lines.
DWORD Join(HANDLE thread) {
  WaitForSingleObjectEx(thread, INFINITE, FALSE);
  DWORD code = 0;
  GetExitCodeThread(thread, &code);
  Close(thread);
  return code;
}

// GetProcAddress answers for the module it is asked about, traced name or not.
void ProcAddress() {
  HMODULE twin = LoadLibraryA("fault_twin.dll");
  SetUp();
  FARPROC closeOfUser32 = Fetch(GetModuleHandleA("user32.dll"), "CloseHandle");
  Report("user32 CloseHandle %s\n", closeOfUser32 == nullptr ? "null" : "non-null");
  auto twinSame = As<SameFunction>(Fetch(twin, "Same"));
  Report("twin Same %d\n", twinSame != nullptr ? twinSame(5) : -1);
  auto libSame = As<SameFunction>(Fetch(GetModuleHandleA("fault_lib.dll"), "Same"));
  Report("lib Same %d\n", libSame != nullptr ? libSame(5) : -1);
  Report("imported Same %d\n", SameOfLib(5));
  CleanUp();
}

// A listed DLL mapped without its imports resolved must not lend its slots' contents.
void NoResolve() {
  SetUp();
  Report("loaded %d\n", LoadEx("fault_twin.dll", DONT_RESOLVE_DLL_REFERENCES) != nullptr);
  Report("length %d\n", Length("after"));
  CleanUp();
}

// A data-file mapping of a listed DLL is no load of it, and its free no unload.
void DataFile() {
  SetUp();
  HMODULE data = LoadEx("fault_twin.dll", LOAD_LIBRARY_AS_DATAFILE);
  HMODULE twin = Load("fault_twin.dll");
  Report("data %d twin %d\n", data != nullptr, twin != nullptr);
  if (twin == nullptr) return;
  uintptr_t* slot = qeltest::FindImportSlot(twin, "lstrlenA");
  Report("patched %d\n", slot != nullptr && hostkit::PointsInto(*slot, tracer.module));
  auto twinLength = As<LengthFunction>(Fetch(twin, "TwinLength"));
  if (twinLength == nullptr) return;
  Report("before free %d\n", twinLength("abcd"));
  Report("free data %d\n", Free(data) != 0);
  Report("after free %d %d\n", twinLength("abcde"), Length("xyz"));
  CleanUp();
}

volatile LONG waiting = 0;

DWORD WINAPI Waiter(void* event) {
  InterlockedExchange(&waiting, 1);
  return Wait(event, INFINITE);
}

// The library unloaded by its host while a thread is inside a traced call, and an address
// that traced GetProcAddress handed out called afterwards.
void UnloadWhileWaiting() {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetUp();
  auto fetched = As<StdLengthFunction>(Fetch(GetModuleHandleA("kernel32.dll"), "lstrlenA"));
  HANDLE waiter = Start(Waiter, event);
  while (waiting == 0) SleepEx(10, FALSE);
  SleepEx(300, FALSE);
  CleanUp();
  Report("freed %d\n", FreeLibrary(tracer.module) != 0);
  SetEvent(event);
  Report("waited %lu\n", Join(waiter));
  Report("fetched %d\n", fetched != nullptr ? fetched("after") : -1);
}

volatile LONG busyCalls = 0;

DWORD WINAPI Busy(void* event) {
  for (;;) {
    Nap(1);
    Wait(event, 1);
    Length("busy");
    InterlockedIncrement(&busyCalls);
  }
}

// ExitProcess while four threads are inside traced calls, without clean-up; fault_lib's
// detach then does what the mode asks.
void ExitBusy(LONG mode, UINT code) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetUp();
  FaultMode(mode);
  for (int i = 0; i < 4; ++i) Start(Busy, event);
  while (busyCalls < 40) SleepEx(10, FALSE);
  Report("exiting\n");
  hostkit::CloseReport();
  FaultReportTo((dir + "host.txt").c_str());
  ExitProcess(code);
}

DWORD WINAPI Attached(void*) {
  return Length("worker");
}

// Threads whose attach makes traced calls in fault_lib while the log rolls over on every
// line and the main thread makes traced calls too.
void ThreadAttach() {
  FaultMode(kCallsOnThreadAttach);
  SetUp();
  for (int i = 0; i < 20; ++i) {
    Length("main");
    HANDLE thread = Start(Attached, nullptr);
    while (WaitForSingleObjectEx(thread, 0, FALSE) == WAIT_TIMEOUT) Length("main waits");
    Close(thread);
  }
  FaultMode(kQuiet);
  Report("done\n");
  CleanUp();
}

#if defined(__x86_64__)
#define QEL_STACK_POINTER "rsp"
#else
#define QEL_STACK_POINTER "esp"
#endif

// The thread's whole stack reservation, as the system reports it (Windows 8 and later).
void StackLimits(ULONG_PTR* low, ULONG_PTR* high) {
  using Limits = void(WINAPI*)(ULONG_PTR*, ULONG_PTR*);
  static const auto limits = reinterpret_cast<Limits>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetCurrentThreadStackLimits")));
  *low = *high = 0;
  if (limits != nullptr) limits(low, high);
}

uintptr_t StackBottom() {
  ULONG_PTR low, high;
  StackLimits(&low, &high);
  return low;
}

uintptr_t StackTop() {
  ULONG_PTR low, high;
  StackLimits(&low, &high);
  return high;
}

// Stack bytes left below the stack pointer on this thread, down to the bottom of its
// reservation.
uintptr_t StackLeft() {
  uintptr_t pointer;
  asm volatile("mov %%" QEL_STACK_POINTER ", %0" : "=r"(pointer));
  return pointer - StackBottom();
}

// The stack left for the traced call: 20 KB on x86. Under Wine's x64 a traced call with
// 20 KB left ended its thread in one of two runs (the recorder alone takes 10.6 KB, and
// Wine's x64 calls below it take more than its 32-bit ones), so x64 gets 32 KB.
constexpr uintptr_t kStackLeftForTheCall = sizeof(void*) == 4 ? 20 * 1024 : 32 * 1024;

__attribute__((noinline)) int Descend(const char* text) {
  volatile char pad[1024];
  pad[0] = 0;
  if (StackLeft() < kStackLeftForTheCall) return Length(text);
  return Descend(text) + pad[0];
}

DWORD WINAPI Deep(void*) {
  Report("stack reserved %lu\n", static_cast<unsigned long>(StackTop() - StackBottom()));
  int first = Descend("deep one");
  Report("first %d\n", first);
  int second = Descend("deep two");
  Report("second %d\n", second);
  return 1;
}

// A traced call with little stack left (above), twice on one thread of a 64 KB stack.
void DeepStack() {
  SetUp();
  HANDLE thread = Start(Deep, nullptr, 64 * 1024, STACK_SIZE_PARAM_IS_A_RESERVATION);
  Report("thread returned %lu\n", Join(thread));
  CleanUp();
}

struct Contender {
  HANDLE gate;
  bool setUp;
  int answer;
};

DWORD WINAPI Contend(void* context) {
  auto* contender = static_cast<Contender*>(context);
  char own[4096];
  WaitForSingleObjectEx(contender->gate, INFINITE, FALSE);
  contender->answer = contender->setUp ? tracer.setUp(dir.c_str(), dir.c_str(), own, sizeof own)
                                       : tracer.cleanUp(own, sizeof own);
  return 0;
}

// Two threads released at once into the same control call; answers sorted.
void Race(bool setUp) {
  HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  Contender contenders[2] = {{gate, setUp, 9}, {gate, setUp, 9}};
  HANDLE threads[2] = {Start(Contend, &contenders[0]), Start(Contend, &contenders[1])};
  SleepEx(20, FALSE);
  SetEvent(gate);
  Join(threads[0]);
  Join(threads[1]);
  Close(gate);
  Report("%s %d %d\n", setUp ? "setup" : "cleanup",
         std::min(contenders[0].answer, contenders[1].answer),
         std::max(contenders[0].answer, contenders[1].answer));
}

void Races() {
  for (int round = 0; round < 8; ++round) {
    Race(true);
    Race(false);
  }
}

// A HookEntry of LoadLibraryA handed out while tracing, called after clean-up.
void LoadAfterCleanUp() {
  SetUp();
  auto load = As<LoadFunction>(Fetch(GetModuleHandleA("kernel32.dll"), "LoadLibraryA"));
  Report("fetched into tracer %d\n",
         hostkit::PointsInto(reinterpret_cast<uintptr_t>(load), tracer.module));
  CleanUp();
  HMODULE twin = load != nullptr ? load("fault_twin.dll") : nullptr;
  Report("loaded %d\n", twin != nullptr);
  if (twin != nullptr) Report("patched %d\n", hostkit::SlotsInto(twin, tracer.module));
}

// Set-up after every log slot but the first is held open by a writer that shares nothing:
// the first roll-over finds no slot it can open (it never reuses the slot it just filled).
void FailedSetUp() {
  FILETIME old = {0x00000000, 0x01b00000};
  for (int slot = 1; slot < 31; ++slot) {
    char name[64];
    snprintf(name, sizeof name, "$$$fault_host%02d$$$(1).txt", slot);
    HANDLE held = CreateFileA((dir + name).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_ALWAYS, 0, nullptr);
    SetFileTime(held, nullptr, nullptr, &old);
  }
  SetUp();
  HMODULE host = GetModuleHandleA(nullptr);
  Report("slots into tracer %d\n", hostkit::SlotsInto(host, tracer.module));
  CleanUp();
  Report("slots into tracer after clean-up %d\n", hostkit::SlotsInto(host, tracer.module));
}

// A text argument of two-byte cp932 characters longer than a logged text may be.
void HalfCharacters() {
  std::string text;
  for (int i = 0; i < 150; ++i) text += "\x82\xa0";
  SetUp();
  Report("length %d\n", Length(text.c_str()));
  CleanUp();
}

// Four threads make traced calls until the test kills the host; after each call returns a
// thread reports how many of its calls have, so the test knows which lines must be there.
// A short nap after each keeps the log small enough to check quickly.
DWORD WINAPI Endless(void* context) {
  int thread = static_cast<int>(reinterpret_cast<intptr_t>(context));
  for (int call = 0;; ++call) {
    char text[32];
    snprintf(text, sizeof text, "t%d-%06d", thread, call);
    Length(text);
    Report("t%d %d\n", thread, call + 1);
    SleepEx(5, FALSE);
  }
}

void CallsUntilKilled() {
  if (SetUp() != 0) return;
  for (int thread = 0; thread < 4; ++thread) {
    CreateThread(nullptr, 0, Endless, reinterpret_cast<void*>(intptr_t{thread}), 0, nullptr);
  }
  Sleep(INFINITE);
}

void SetUpOnly() {
  SetUp();
  CleanUp();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  hostkit::ReportCrashes();
  dir = argv[2];
  if (!hostkit::OpenReport(dir)) return 3;
  if (!hostkit::LoadTracer(tracer)) return 4;
  static const std::map<std::string, void (*)()> scenarios = {
      {"procaddress", ProcAddress},
      {"noresolve", NoResolve},
      {"datafile", DataFile},
      {"unload-wait", UnloadWhileWaiting},
      {"exit-busy", [] { ExitBusy(kCallsOnProcessDetach, 7); }},
      {"exit-cleanup", [] { ExitBusy(kCleanUpOnProcessDetach, 9); }},
      {"thread-attach", ThreadAttach},
      {"deep-stack", DeepStack},
      {"races", Races},
      {"late-load", LoadAfterCleanUp},
      {"failed-setup", FailedSetUp},
      {"halfchar", HalfCharacters},
      {"setup", SetUpOnly},
      {"until-killed", CallsUntilKilled},
  };
  auto scenario = scenarios.find(argv[1]);
  if (scenario == scenarios.end()) return 5;
  scenario->second();
  Report("end\n");
  hostkit::CloseReport();
  return 0;
}
