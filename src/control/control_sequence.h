// The control sequences behind the three exported functions.
#pragma once

namespace qelvorn {

struct MessageBuffer;

int SetUp(const char* iniDir, const char* logDir, MessageBuffer& messages);
int WriteLog(const char* text, MessageBuffer& messages);
int CleanUp(MessageBuffer& messages);

}  // namespace qelvorn
