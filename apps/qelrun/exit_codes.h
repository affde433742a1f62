// The launcher's own exit codes, used only when the program did not run to its end.
#pragma once

namespace qelrun {

constexpr int kExitUsage = 120;         // bad command line
constexpr int kExitNotFound = 121;      // PROGRAM not found
constexpr int kExitNotRunnable = 122;   // not a PE file, a DLL, neither x86 nor x64
constexpr int kExitMissingFiles = 123;  // Qelvorn.dll, the helper or the other launcher missing
constexpr int kExitBadFolders = 124;    // settings or logs folder unusable
constexpr int kExitSetUpFailed = 125;   // set-up did not answer 0 (program stopped)
constexpr int kExitStartFailed = 126;   // the program could not be started or injected

}  // namespace qelrun
