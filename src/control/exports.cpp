// The exported entry points: thin wrappers over the control sequences, which hold the
// locks and the catch-all.
#include "control/exports.h"

#include "control/control_sequence.h"
#include "control/message_buffer.h"

extern "C" {

int nQelvorn = 0;

int WINAPI QelSetUp_(const char* iniDir, const char* logDir, char* msgBuf, int msgBufSize) {
  qelvorn::MessageBuffer messages{msgBuf, msgBufSize};
  return qelvorn::SetUp(iniDir, logDir, messages);
}

int WINAPI QelWriteLog_(const char* text, char* msgBuf, int msgBufSize) {
  qelvorn::MessageBuffer messages{msgBuf, msgBufSize};
  return qelvorn::WriteLog(text, messages);
}

int WINAPI QelCleanUp_(char* msgBuf, int msgBufSize) {
  qelvorn::MessageBuffer messages{msgBuf, msgBufSize};
  return qelvorn::CleanUp(messages);
}

// The class's members under the names and conventions of the platform's usual compiler:
// member functions take the object in ECX, and a constructor answers the object in EAX.
__attribute__((thiscall)) CQelvorn* QelConstructForeign(CQelvorn* self) {
  return self;
}
__attribute__((thiscall)) CQelvorn* QelAssignForeign(CQelvorn* self, const CQelvorn*) {
  return self;
}
}

CQelvorn::CQelvorn() {}

CQelvorn& CQelvorn::operator=(const CQelvorn&) {
  return *this;
}
