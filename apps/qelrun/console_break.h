// What the launcher does with Ctrl+C, Ctrl+Break and the closing of its console.
#pragma once

#include <windows.h>

namespace qelrun {

// Ctrl+C and Ctrl+Break go to every process on the console: a started program handles
// them as it would alone, and the launcher stays to report its exit code.
void IgnoreConsoleBreaks();

// While attached, Ctrl+C, Ctrl+Break and the closing of the console set the answered
// event, "Local\qelrun-detach-<launcher's pid>", instead of ending the launcher, so that
// it can clean up in the process first. A close waits (a few seconds, as long as the
// system allows) for BreakHandled. Answers null when no event can be made: the launcher
// then only waits for the process.
HANDLE WatchConsoleBreaks();
void BreakHandled();

}  // namespace qelrun
