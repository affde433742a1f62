// What a traced process asks the launcher that serves --children, over the launcher's named
// pipe, when it has created a process whose first thread has not run yet; the launcher sets
// tracing up there and answers before the thread is let go.
#pragma once

#include <cstdint>

namespace qelrun {

constexpr wchar_t kChildPipePrefix[] = L"\\\\.\\pipe\\qelrun-children-";
constexpr int kChildPipeChars = 64;
constexpr uint32_t kChildRequestMark = 0x51434831;  // "QCH1"

struct ChildRequest {
  uint32_t mark;
  uint32_t childPid;
  uint32_t parentPid;
};

struct ChildAnswer {
  uint32_t mark;
  int32_t traced;  // 1 when tracing was set up in the child
};

}  // namespace qelrun
