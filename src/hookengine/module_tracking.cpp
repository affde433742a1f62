// Dynamic module tracking: hands out HookEntries for traced names, patches listed
// modules loaded after set-up, and forgets modules that are unloaded. Loads and frees on
// several threads are serialised by the listing lock, which also guards HookModule.
#include "hookengine/module_tracking.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/memory_probe.h"
#include "base/text_convert.h"
#include "hookengine/import_patching.h"
#include "hookengine/module_hooking.h"
#include "hooklist/hook_list.h"
#include "hooklist/hook_list_lock.h"
#include "tracelog/line_builder.h"

namespace qelvorn {

const GetProcAddressFunction realGetProcAddress = GetProcAddress;

namespace {

constexpr size_t kNameSize = 260;
// Loads that map a file without making it a running image: nothing of them is patched
// or noted, or a later real load would be left untraced and shared records poisoned.
constexpr uint32_t kNotRunnableLoad = DONT_RESOLVE_DLL_REFERENCES | LOAD_LIBRARY_AS_DATAFILE |
                                      LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE |
                                      LOAD_LIBRARY_AS_IMAGE_RESOURCE;

// Callbacks change tracking state only between a set-up and its clean-up. Read without
// the lock first so that a callback outside that time takes no lock at all, and again
// under it.
volatile bool trackingEnabled = false;

// Copies a narrow text that came from a traced call into out, never reading past memory
// that can be read; false when it is unreadable or has no NUL within kNameSize - 1 bytes.
bool CopyNarrowName(uintptr_t address, char* out) {
  const char* text = reinterpret_cast<const char*>(address);
  size_t readable = ReadableBytes(text, kNameSize);
  const void* end = memchr(text, '\0', readable);
  if (end == nullptr) return false;
  size_t length = static_cast<const char*>(end) - text;
  memcpy(out, text, length + 1);
  return true;
}

// The same for a UTF-16 text, converted to the ANSI code page into kNameSize bytes.
bool CopyWideName(uintptr_t address, char* out) {
  const wchar_t* text = reinterpret_cast<const wchar_t*>(address);
  size_t readable = ReadableBytes(text, kNameSize * sizeof(wchar_t)) / sizeof(wchar_t);
  if (std::find(text, text + readable, L'\0') == text + readable) return false;
  return WideToAnsi(text, out, kNameSize) > 0;
}

bool SameName(const char* a, const char* b) {
  NoCaseOrder less;
  return !less(a, b) && !less(b, a);
}

// A listed importing module not loaded at set-up, not yet patched.
ModuleHookRecord* LateModule(const char* name) {
  ModuleHookRecord* module = FindModule(hookList, name);
  if (module == nullptr || module->loadedAtSetUp != 0 || module->importsPatched != 0)
    return nullptr;
  return module;
}

// A listed importing module that was not loaded at set-up is patched on its first load.
// The loader is asked for its handles with no lock of ours held.
void PatchLateModule(const char* name) {
  std::vector<const char*> names;
  {
    ListingHold hold;
    if (!hold.held() || !trackingEnabled) return;
    ModuleHookRecord* module = LateModule(name);
    if (module == nullptr) return;
    CollectNames(module, names);
  }
  LoaderHandles handles = AskLoader(names);
  ListingHold hold;
  if (!hold.held() || !trackingEnabled) return;
  ModuleHookRecord* module = LateModule(name);
  if (module == nullptr) return;
  module->importsPatched = 1;
  module->handle = handles[module->name];
  HookModule(module, PatchDirection::kHook, handles);
}

void NoteImportedModule(const char* name, uintptr_t handle, LineBuilder* builder) {
  ListingHold hold;
  if (!hold.held() || !trackingEnabled) return;
  ImportedModuleRecord* imported = FindImportedModule(hookList, name);
  if (imported == nullptr || imported->handle != nullptr) return;
  imported->handle = reinterpret_cast<HMODULE>(handle);
  builder->AppendText("(handle set)");
}

// A load that answered a running image: not failed, and not a data-file handle (whose
// low bits are set).
bool LoadedImage(const CallFrame* frame) {
  return frame->result != 0 && (frame->result & 3) == 0;
}

bool LoadedWithFlags(const CallFrame* frame) {
  return frame->argCount >= 3 && (frame->args[2] & kNotRunnableLoad) != 0;
}

void AfterNarrowLoad(CallFrame* frame, LineBuilder* builder) {
  char name[kNameSize];
  if (!trackingEnabled || !LoadedImage(frame) || !CopyNarrowName(frame->args[0], name)) return;
  PatchLateModule(name);
  NoteImportedModule(FileNamePart(name), frame->result, builder);
}

void AfterWideLoad(CallFrame* frame, LineBuilder* builder) {
  char name[kNameSize];
  if (!trackingEnabled || !LoadedImage(frame) || !CopyWideName(frame->args[0], name)) return;
  PatchLateModule(name);
  NoteImportedModule(name, frame->result, builder);
}

// The traced record of that name while tracking is on, else null.
ApiHookRecord* TrackedRecord(const ListingHold& hold, const char* name) {
  return hold.held() && trackingEnabled ? FindApi(hookList, name) : nullptr;
}

// Decides what a GetProcAddress that answered real gives out for record. False, with
// nothing decided, when only the file name of the module that answered can decide it and
// file is still null.
bool DecideProcAddress(ApiHookRecord* record, uintptr_t real, const char* file, CallFrame* frame,
                       LineBuilder* builder) {
  if (record == nullptr || record->hookEntry == nullptr) {
    builder->AppendText("(not target)");
    return true;
  }
  if (real == 0) {
    builder->AppendText("(not found)");
    return true;
  }
  if (record->realFunction != 0) {
    // The same function (forwarders included) through any module's handle; another
    // module's export of the same name goes to that module.
    if (real != record->realFunction) {
      builder->AppendText("(not target)");
      return true;
    }
    frame->result = reinterpret_cast<uintptr_t>(record->hookEntry);
    builder->AppendText("(already target)");
    return true;
  }
  if (file == nullptr) return false;
  // An empty realFunction is filled only from the module the hook list names for it.
  if (!SameName(file, record->moduleName)) {
    builder->AppendText("(not target)");
    return true;
  }
  record->realFunction = real;
  frame->result = reinterpret_cast<uintptr_t>(record->hookEntry);
  builder->AppendText("(set to target)");
  return true;
}

}  // namespace

void SetModuleTracking(bool enabled) {
  ListingHold hold;
  trackingEnabled = enabled;
}

void GetProcAddressPre(CallFrame* frame, LineBuilder* builder, bool) {
  HMODULE module = reinterpret_cast<HMODULE>(frame->args[0]);
  LPCSTR name = reinterpret_cast<LPCSTR>(frame->args[1]);
  // The genuine answer first, with no lock of ours held: it decides for which module a
  // HookEntry may stand in.
  uintptr_t real = reinterpret_cast<uintptr_t>(realGetProcAddress(module, name));
  frame->result = real;
  char copy[kNameSize];
  if (!CopyNarrowName(frame->args[1], copy)) {
    builder->AppendText("(not proc string)");
    return;
  }
  {
    ListingHold hold;
    if (DecideProcAddress(TrackedRecord(hold, copy), real, nullptr, frame, builder)) return;
  }
  // Only a traced function whose realFunction is still empty needs the answering module's
  // file name: asked of the loader with no lock of ours held, then decided again, as
  // another thread may have filled it meanwhile.
  char path[kNameSize];
  DWORD pathLength = GetModuleFileNameA(module, path, sizeof path);
  const char* file = pathLength == 0 || pathLength >= sizeof path ? "" : FileNamePart(path);
  ListingHold hold;
  DecideProcAddress(TrackedRecord(hold, copy), real, file, frame, builder);
}

// A failed load changes nothing: the module stays unpatched for its next, successful load.
void LoadLibraryNarrowPost(CallFrame* frame, LineBuilder* builder, bool) {
  AfterNarrowLoad(frame, builder);
}

void LoadLibraryWidePost(CallFrame* frame, LineBuilder* builder, bool) {
  AfterWideLoad(frame, builder);
}

void LoadLibraryExNarrowPost(CallFrame* frame, LineBuilder* builder, bool) {
  if (!LoadedWithFlags(frame)) AfterNarrowLoad(frame, builder);
}

void LoadLibraryExWidePost(CallFrame* frame, LineBuilder* builder, bool) {
  if (!LoadedWithFlags(frame)) AfterWideLoad(frame, builder);
}

void FreeLibraryPost(CallFrame* frame, LineBuilder* builder, bool) {
  HMODULE freed = reinterpret_cast<HMODULE>(frame->args[0]);
  char path[kNameSize];
  // Still mapped: the call only lowered the reference count (or failed).
  if (!trackingEnabled || Low32(frame->result) == 0 ||
      GetModuleFileNameA(freed, path, sizeof path) != 0) {
    return;
  }
  ListingHold hold;
  if (!hold.held() || !trackingEnabled) return;
  for (auto& entry : hookList.moduleTable) {
    ModuleHookRecord* module = entry.second;
    if (module->handle != freed) continue;
    builder->AppendText("(deleted:");
    builder->AppendText(module->name);
    if (module->loadedAtSetUp == 0 && module->importsPatched == 1) {
      module->importsPatched = 0;
      module->handle = nullptr;
      builder->AppendText("(uh)");
    }
    builder->AppendText(")");
    break;
  }
  for (auto& entry : hookList.importedModuleTable) {
    ImportedModuleRecord& imported = entry.second;
    if (imported.handle != freed) continue;
    for (auto& api : imported.apisByName) api.second->realFunction = 0;
    imported.handle = nullptr;
    builder->AppendText("(deleted:");
    builder->AppendText(imported.name);
    builder->AppendText(")");
    break;
  }
}

}  // namespace qelvorn
