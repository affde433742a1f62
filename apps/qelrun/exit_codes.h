// The launcher's own exit codes, used only when the program did not run to its end.
#pragma once

namespace qelrun {

constexpr int kExitUsage = 120;         // bad command line
constexpr int kExitNotFound = 121;      // PROGRAM not found
constexpr int kExitNotRunnable = 122;   // not a PE file, 64-bit, a DLL, not x86
constexpr int kExitMissingFiles = 123;  // Qelvorn.dll or the helper missing
constexpr int kExitBadFolders = 124;    // settings or logs folder unusable
constexpr int kExitSetUpFailed = 125;   // set-up did not answer 0 (program stopped)
constexpr int kExitStartFailed = 126;   // the program could not be started or injected

}  // namespace qelrun
