// What the recorder and callback tests share: a log of this test program's own copy of
// the library, and records and frames built by hand.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "hooklist/api_hook_record.h"
#include "recording/call_frame.h"
#include "support/test_support.h"
#include "tracelog/module_snapshot.h"
#include "tracelog/trace_log.h"

namespace qeltest {

// A log of this test program's own copy of the library, with tracing on.
class LogSession {
 public:
  LogSession() {
    std::string dir = qeltest::MakeTempDir("rec");
    strcpy(traceLog.directory, dir.c_str());
    traceLog.maxSize = 0;
    CreateLogFile();
    moduleSnapshot.Take();
    traceLog.active = true;
    path_ = traceLog.path;
  }
  ~LogSession() { Stop(); }
  void Stop() {
    if (stopped_) return;
    stopped_ = true;
    traceLog.active = false;
    CloseLogFile();
  }
  std::vector<std::string> Lines() const {
    return qeltest::SplitLines(qeltest::ReadFileBytes(path_));
  }

 private:
  bool stopped_ = false;
  std::string path_;
};

inline ApiHookRecord MakeRecord(const char* name, const char* types, const char* pre = nullptr,
                                const char* post = nullptr) {
  ApiHookRecord record{};
  record.name = name;
  record.preCallbackName = pre;
  record.postCallbackName = post;
  record.argCount = static_cast<uint32_t>(strlen(types));
  record.argTypes = const_cast<char*>(types);
  record.ordinal = -1;
  return record;
}

inline CallFrame MakeFrame(ApiHookRecord& record, uint32_t* args, uint32_t returnAddress) {
  return CallFrame{returnAddress, 0, args, record.argCount, &record, 0};
}

}  // namespace qeltest
