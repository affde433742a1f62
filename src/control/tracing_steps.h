// The steps inside set-up and clean-up that start and stop tracing: the log header,
// the module listings, the hook list, binding and patching, and unhooking.
#pragma once

namespace qelvorn {

struct MessageBuffer;

// The time line at the head of a new log. Only reports failures.
void WriteLogHeader(MessageBuffer& messages);
// Module listing, hook list, binding and patching: false when set-up must end (its
// message has been appended).
bool StartTracing(const char* iniDir, MessageBuffer& messages);
// Undoes what a failed set-up patched, writing nothing.
void AbandonTracing();
// Restores the import tables and lists the modules again; only reports failures.
void StopTracing(MessageBuffer& messages);

}  // namespace qelvorn
