// The stress test's calls, shared by its host and its checker: the arguments of call
// number c on thread t, what the caller must receive, and the log text of each line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace stress {

enum Kind { kLengthA, kLengthW, kAdd, kSetError, kWide, kRatio, kSkipped, kKinds };

struct Arguments {
  char text[16];
  wchar_t wide[16];
  uint32_t x;
  uint32_t y;
};

inline Arguments ArgumentsOf(int thread, int call) {
  Arguments a{};
  snprintf(a.text, sizeof a.text, "t%02d-%05d", thread, call);
  for (int i = 0; i < 16; ++i) a.wide[i] = static_cast<unsigned char>(a.text[i]);
  uint32_t mark = static_cast<uint32_t>(thread) << 16 | static_cast<uint32_t>(call);
  switch (call % kKinds) {
    case kAdd:
      a.x = thread * 100000 + call;
      a.y = call;
      break;
    case kSetError:
      a.x = 0x20000000 | mark;
      break;
    case kWide:
      a.x = 0x30000000 | mark;
      a.y = 0x40000000 | mark;
      break;
    case kRatio:
      a.x = thread * 100000 + call;
      a.y = call & 1023;
      break;
    default:
      a.x = thread * 100000 + call;
      break;
  }
  return a;
}

struct Expected {
  uint64_t value;  // what the caller receives, EDX:EAX for kWide
  double real;     // kRatio's result
};

inline Expected ExpectedOf(int kind, const Arguments& a) {
  switch (kind) {
    case kLengthA:
    case kLengthW:
      return {9, 0};
    case kAdd:
      return {static_cast<uint32_t>(a.x * 3 + a.y), 0};
    case kSetError:
      return {a.x ^ 0x5a5a5a5au, 0};
    case kWide:
      return {static_cast<uint64_t>(a.x ^ 0x11111111u) << 32 | (a.y + 7), 0};
    case kRatio:
      return {0, a.x + a.y / 4.0};
    default:
      return {0, 0};  // skip-call: the real function is not run
  }
}

// The log's text after the result and last-error columns, for the host's calls.
inline std::string LineText(int kind, const Arguments& a) {
  static const char* const names[kKinds] = {"lstrlenA",      "lstrlenW",  "FaultAdd",
                                            "FaultSetError", "FaultWide", "FaultRatio",
                                            "FaultSkipped"};
  char text[128];
  switch (kind) {
    case kLengthA:
    case kLengthW:
      snprintf(text, sizeof text, "\"%s\"", a.text);
      break;
    case kAdd:
    case kRatio:
      snprintf(text, sizeof text, "%u, %u", a.x, a.y);
      break;
    case kWide:
      snprintf(text, sizeof text, "%08x, %08x", a.x, a.y);
      break;
    default:
      snprintf(text, sizeof text, "%u", a.x);
      break;
  }
  return std::string(names[kind]) + " <stress_host.exe>, , " + text;
}

}  // namespace stress
