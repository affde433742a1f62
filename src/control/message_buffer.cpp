// Appending diagnostics to the caller's buffer. The buffer belongs to the host and may be
// bad; every touch of it runs under the exception guard so a bad buffer costs only the text.
#include "control/message_buffer.h"

#include <cstring>

#include "base/exception_guard.h"

namespace qelvorn {

void ClearMessages(MessageBuffer& messages) {
  if (messages.data == nullptr || messages.size <= 0) return;
  if (Guarded([&] { messages.data[0] = '\0'; }) != GuardOutcome::kCompleted) messages.size = 0;
}

void AppendMessage(MessageBuffer& messages, const char* text) {
  if (messages.data == nullptr || messages.size <= 0) return;
  GuardOutcome outcome = Guarded([&] {
    size_t size = static_cast<size_t>(messages.size);
    size_t used = strnlen(messages.data, size);
    if (used >= size) return;  // not terminated: leave it as the host made it
    size_t room = size - 1 - used;
    size_t length = strlen(text);
    size_t copied = length < room ? length : room;
    memcpy(messages.data + used, text, copied);
    messages.data[used + copied] = '\0';
  });
  // A buffer that faulted once is not touched again during this call.
  if (outcome != GuardOutcome::kCompleted) messages.size = 0;
}

}  // namespace qelvorn
