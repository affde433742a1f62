// The callback registry and the one table of registrations, walked while the library
// loads, before any exported function can run.
#include "recording/callback_registry.h"

#include <cstring>
#include <map>
#include <string>

#include "hookengine/module_tracking.h"
#include "recording/option_callbacks.h"

namespace {

// Plain byte order; transparent so a look-up by C string allocates nothing.
struct ByteOrder {
  using is_transparent = void;
  static const char* Text(const std::string& s) { return s.c_str(); }
  static const char* Text(const char* s) { return s; }
  template <class A, class B>
  bool operator()(const A& a, const B& b) const {
    return strcmp(Text(a), Text(b)) < 0;
  }
};

// Never destroyed: traced calls made by DLLs detached after this one at process exit
// still look their callbacks up.
std::map<std::string, Callback, ByteOrder>& Registry() {
  static auto* registry = new std::map<std::string, Callback, ByteOrder>;
  return *registry;
}

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

struct RegisterAtLoad {
  RegisterAtLoad() {
    for (const Registration& entry : kRegistrations) RegisterCallback(entry.name, entry.callback);
  }
} registerAtLoad;

}  // namespace

void RegisterCallback(const char* name, Callback callback) {
  Registry().emplace(std::string(name), callback);
}

Callback FindCallback(const char* name) {
  if (name == nullptr) return nullptr;
  auto& registry = Registry();
  auto found = registry.find(name);
  return found == registry.end() ? nullptr : found->second;
}
