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
    strcpy(qelvorn::traceLog.directory, dir.c_str());
    qelvorn::traceLog.maxSize = 0;
    qelvorn::CreateLogFile();
    qelvorn::moduleSnapshot.Take();
    qelvorn::traceLog.active = true;
    path_ = qelvorn::traceLog.path;
  }
  ~LogSession() { Stop(); }
  void Stop() {
    if (stopped_) return;
    stopped_ = true;
    qelvorn::traceLog.active = false;
    qelvorn::CloseLogFile();
  }
  std::vector<std::string> Lines() const {
    return qeltest::SplitLines(qeltest::ReadFileBytes(path_));
  }

 private:
  bool stopped_ = false;
  std::string path_;
};

inline qelvorn::ApiHookRecord MakeRecord(const char* name, const char* types,
                                         const char* pre = nullptr, const char* post = nullptr) {
  qelvorn::ApiHookRecord record{};
  record.name = name;
  record.preCallbackName = pre;
  record.postCallbackName = post;
  record.argCount = static_cast<uint32_t>(strlen(types));
  record.argTypes = const_cast<char*>(types);
  record.ordinal = -1;
  return record;
}

inline qelvorn::CallFrame MakeFrame(qelvorn::ApiHookRecord& record, qelvorn::ArgWord* args,
                                    uintptr_t returnAddress) {
  return qelvorn::CallFrame{returnAddress, 0, args, record.argCount, &record, 0};
}

}  // namespace qeltest
