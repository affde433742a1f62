// The steps inside set-up and clean-up that start and stop tracing: the log header,
// the module listings, the hook list, binding and patching, and unhooking.
#pragma once

struct MessageBuffer;

// Step A: the time line at the head of a new log. Only reports failures.
void WriteLogHeader(MessageBuffer& messages);
// Steps B: false when set-up must end (its message has been appended).
bool StartTracing(const char* iniDir, MessageBuffer& messages);
// Undoes what a failed set-up patched, writing nothing.
void AbandonTracing();
// Step C: restores the import tables and lists the modules again; only reports failures.
void StopTracing(MessageBuffer& messages);
