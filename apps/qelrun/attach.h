// --attach and --detach: tracing set up in, and cleaned up in, a process that is already
// running. Qelvorn.dll is never unloaded there: a thread may still be inside a traced call.
#pragma once

#include "options.h"

namespace qelrun {

// Sets up tracing in the process options.attach names and waits: answers its exit code
// when it ends, or 0 once tracing is cleaned up there after Ctrl+C, Ctrl+Break or the
// console's closing; otherwise one of the launcher's exit codes.
int RunAttach(const Options& options);

// Cleans up tracing in the process options.detach names.
int RunDetach(const Options& options);

}  // namespace qelrun
