// The helper's watch on the processes that a traced program creates (--children).
#pragma once

namespace qelrun {

// Takes over process creation in this process, so that the launcher listening on pipe sets
// tracing up in each new process before its first thread runs; false when this process
// has no way of creating processes that can be watched.
bool StartChildWatch(const wchar_t* pipe);

// Gives process creation back; processes created from now on run untraced.
void StopChildWatch();

}  // namespace qelrun
