// What a host sees of the library: the three entry points, the exported integer and
// the exported class.
#pragma once

#include <windows.h>

extern "C" {
int WINAPI QelSetUp_(const char* iniDir, const char* logDir, char* msgBuf, int msgBufSize);
int WINAPI QelWriteLog_(const char* text, char* msgBuf, int msgBufSize);
int WINAPI QelCleanUp_(char* msgBuf, int msgBufSize);
extern int nQelvorn;
}

class CQelvorn {
 public:
  CQelvorn();
  CQelvorn& operator=(const CQelvorn&);
};
