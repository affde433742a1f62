// Host of the x64-only tracing tests: calls x64_lib.dll through its import table without
// and with tracing and writes what it saw to DIR\host.txt.
// Usage: x64_host.exe SCENARIO DIR\   (DIR ends in a backslash)
#include <windows.h>

#include <atomic>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "base/processor.h"

extern "C" {
int WINAPI QelSetUp_(const char* iniDir, const char* logDir, char* msgBuf, int msgBufSize);
int WINAPI QelCleanUp_(char* msgBuf, int msgBufSize);
int64_t LibSum6(int64_t a, int64_t b, int64_t c, int64_t d, int64_t e, int64_t f);
double LibMixed(int a, double b, int64_t c, double d, int e, double f);
void LibRaise(DWORD code);
int LibCallBack(int (*callback)(int), int value);
int LibWalk(void** frames, int count);
int LibTexts(const char* a, const char* b, const char* c, const char* d, const char* e,
             const char* f);
}

namespace {

FILE* report = nullptr;
std::string dir;
char messages[8192];

constexpr DWORD kRaisedCode = 0xE0000042;

void SetUp() {
  int result = QelSetUp_(dir.c_str(), dir.c_str(), messages, sizeof messages);
  fprintf(report, "setup %d\n", result);
}

void CleanUp() {
  fprintf(report, "cleanup %d\n", QelCleanUp_(messages, sizeof messages));
}

// Every bit of the results, so a traced run can be compared with an untraced one.
std::string Calls() {
  char text[512];
  int64_t sum = LibSum6(0x1122334455667788, -1, 123, 0x100000000, -0x2152411100000000, 0xcafef00d);
  double mixed = LibMixed(7, 1.5, 0x123456789, -0.25, 3, 2.5);
  uint64_t mixedBits;
  std::memcpy(&mixedBits, &mixed, sizeof mixedBits);
  snprintf(text, sizeof text, "sum %016" PRIx64 " mixed %016" PRIx64 " (%g)",
           static_cast<uint64_t>(sum), mixedBits, mixed);
  return text;
}

// A bad pointer in each position in turn; the others are texts.
void BadTexts() {
  const char* bad = reinterpret_cast<const char*>(static_cast<uintptr_t>(0x10));
  const char* texts[6] = {"a", "b", "c", "d", "e", "f"};
  for (int position = 0; position < 6; ++position) {
    const char* t[6];
    for (int i = 0; i < 6; ++i) t[i] = i == position ? bad : texts[i];
    LibTexts(t[0], t[1], t[2], t[3], t[4], t[5]);
  }
}

void RaiseThroughTheTracer(void*) {
  LibRaise(kRaisedCode);
}

int Throwing(int) {
  throw std::runtime_error("from callback");
}

int Plain(int value) {
  return value * 2;
}

bool InModule(void* address, HMODULE module) {
  HMODULE found = nullptr;
  return GetModuleHandleExA(
             GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
             static_cast<const char*>(address), &found) &&
         found == module;
}

// Which modules a walk from inside LibWalk passes through, in order: "L" the DLL, "Q" the
// tracer, "H" this host; each run of frames in one module counted once.
__attribute__((noinline)) std::string Walk() {
  void* frames[64] = {};
  int count = LibWalk(frames, 64);
  HMODULE lib = GetModuleHandleA("x64_lib.dll");
  HMODULE tracer = GetModuleHandleA("Qelvorn.dll");
  HMODULE host = GetModuleHandleA(nullptr);
  std::string path;
  for (int i = 0; i < count; ++i) {
    char mark = InModule(frames[i], lib)      ? 'L'
                : InModule(frames[i], tracer) ? 'Q'
                : InModule(frames[i], host)   ? 'H'
                                              : '-';
    if (path.empty() || path.back() != mark) path += mark;
  }
  return path;
}

constexpr int kThreads = 8;
constexpr int kCallsPerThread = 400;
std::atomic<int> mismatches{0};

DWORD WINAPI CallMany(void* parameter) {
  int64_t thread = static_cast<int64_t>(reinterpret_cast<intptr_t>(parameter));
  for (int64_t i = 0; i < kCallsPerThread; ++i) {
    int64_t a = thread << 40 | i, b = ~i, c = thread * i, d = -thread, e = i << 33, f = 7;
    if (LibSum6(a, b, c, d, e, f) != a + 2 * b + 3 * c + 4 * d + 5 * e + 6 * f) ++mismatches;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  std::string scenario = argv[1];
  dir = argv[2];
  report = fopen((dir + "host.txt").c_str(), "wb");
  if (report == nullptr) return 3;
  if (scenario == "calls") {
    std::string untraced = Calls();
    SetUp();
    std::string traced = Calls();
    BadTexts();
    CleanUp();
    fprintf(report, "%s\nsame %d\n", traced.c_str(), traced == untraced);
  } else if (scenario == "raise") {
    SetUp();
    int caught = QelRunSehGuarded(&RaiseThroughTheTracer, nullptr);
    fprintf(report, "caught %08x\n", static_cast<unsigned>(caught));
    fprintf(report, "%s\n", Calls().c_str());
    CleanUp();
  } else if (scenario == "throw") {
    SetUp();
    try {
      LibCallBack(&Throwing, 5);
      fprintf(report, "not thrown\n");
    } catch (const std::runtime_error& error) {
      fprintf(report, "caught %s\n", error.what());
    }
    fprintf(report, "plain %d\n", LibCallBack(&Plain, 5));
    CleanUp();
  } else if (scenario == "walk") {
    std::string untraced = Walk();
    SetUp();
    std::string traced = Walk();
    CleanUp();
    fprintf(report, "untraced %s\ntraced %s\n", untraced.c_str(), traced.c_str());
  } else if (scenario == "threads") {
    SetUp();
    HANDLE threads[kThreads];
    for (int i = 0; i < kThreads; ++i) {
      threads[i] =
          CreateThread(nullptr, 0, CallMany, reinterpret_cast<void*>(intptr_t{i + 1}), 0, nullptr);
    }
    WaitForMultipleObjects(kThreads, threads, TRUE, INFINITE);
    for (HANDLE thread : threads) CloseHandle(thread);
    CleanUp();
    fprintf(report, "mismatches %d\n", mismatches.load());
  }
  fclose(report);
  return 0;
}
