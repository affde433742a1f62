// The one place where callbacks are installed: the option-column callbacks of the
// recording layer and the module-tracking callbacks of the hook engine, under the names
// a hook list gives them.
#pragma once

namespace qelvorn {

// Registers every callback; later calls do nothing. Runs before anything is patched.
void InstallCallbacks();

}  // namespace qelvorn
