// The caller's diagnostic buffer. Appends never write past it: a message that does not
// fit is cut, and the text always stays NUL-terminated.
#pragma once

namespace qelvorn {

struct MessageBuffer {
  char* data;
  int size;  // full size, terminator included
};

void ClearMessages(MessageBuffer& messages);
void AppendMessage(MessageBuffer& messages, const char* text);

}  // namespace qelvorn
