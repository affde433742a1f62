// The one place where callbacks are installed.
#include "control/callback_wiring.h"

#include "hookengine/module_tracking.h"
#include "recording/callback_registry.h"
#include "recording/option_callbacks.h"

namespace qelvorn {

namespace {

struct Registration {
  const char* name;
  Callback callback;
};

const Registration kRegistrations[] = {
    {"CreateThread_Pre", ThreadAdvice},
    {"WaitForSingleObject_Pre", SingleWait},
    {"WaitForSingleObjectEx_Pre", SingleWait},
    {"WaitForMultipleObjects_Pre", MultipleWait},
    {"WaitForMultipleObjectsEx_Pre", MultipleWaitEx},
    {"SignalObjectAndWait_Pre", SignalAndWait},
    {"MsgWaitForMultipleObjects_Pre", MultipleWaitEx},
    {"MsgWaitForMultipleObjectsEx_Pre", MsgMultipleWaitEx},
    {"ws_Pre", DoNothing},
    {"ws_Post", SocketErrorName},
    {"WTSEnumerateSessionsA_Post", SessionList},
    {"WTSQuerySessionInformationA_Post", QueriedSessionText},
    {"GetProcAddress_Pre", GetProcAddressPre},
    {"GetProcAddress_Post", DoNothing},
    {"LoadLibraryA_Post", LoadLibraryNarrowPost},
    {"LoadLibraryW_Post", LoadLibraryWidePost},
    {"LoadLibraryExA_Post", LoadLibraryExNarrowPost},
    {"LoadLibraryExW_Post", LoadLibraryExWidePost},
    {"FreeLibrary_Pre", DoNothing},
    {"FreeLibrary_Post", FreeLibraryPost},
};

bool installed = false;

}  // namespace

void InstallCallbacks() {
  if (installed) return;
  for (const Registration& entry : kRegistrations) RegisterCallback(entry.name, entry.callback);
  installed = true;
}

}  // namespace qelvorn
