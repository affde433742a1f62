// Dynamic module tracking: hands out HookEntries for traced names, patches listed
// modules loaded after set-up, and forgets modules that are unloaded. Loads and frees on
// several threads are serialised by the listing lock, which also guards HookModule.
#include "hookengine/module_tracking.h"

#include <mbstring.h>

#include <algorithm>
#include <cstring>

#include "control/settings.h"
#include "hookengine/import_patching.h"
#include "hooklist/hook_list.h"
#include "tracelog/line_builder.h"

const GetProcAddressFunction realGetProcAddress = GetProcAddress;

namespace {

constexpr size_t kNameSize = 260;

struct ListingHold {
  ListingHold() { EnterListingLock(); }
  ~ListingHold() { LeaveListingLock(); }
};

// Copies a narrow text that came from a traced call into out, never reading past memory
// that can be read; false when it is unreadable or has no NUL within kNameSize - 1 bytes.
bool CopyNarrowName(uint32_t address, char* out) {
  const char* text = reinterpret_cast<const char*>(address);
  size_t readable = ReadableBytes(text, kNameSize);
  const void* end = memchr(text, '\0', readable);
  if (end == nullptr) return false;
  size_t length = static_cast<const char*>(end) - text;
  memcpy(out, text, length + 1);
  return true;
}

// The same for a UTF-16 text, converted to the ANSI code page into kNameSize bytes.
bool CopyWideName(uint32_t address, char* out) {
  const wchar_t* text = reinterpret_cast<const wchar_t*>(address);
  size_t readable = ReadableBytes(text, kNameSize * sizeof(wchar_t)) / sizeof(wchar_t);
  if (std::find(text, text + readable, L'\0') == text + readable) return false;
  return WideToAnsi(text, out, kNameSize) > 0;
}

// A listed importing module that was not loaded at set-up is patched on its first load.
void PatchLateModule(const char* name) {
  ModuleHookRecord* module = FindModule(hookList, name);
  if (module == nullptr || module->loadedAtSetUp != 0 || module->done != 0) return;
  module->done = 1;
  module->handle = GetModuleHandleA(module->name);
  HookModule(module, true);
}

void NoteImportedModule(const char* name, uint32_t handle, LineBuilder* builder) {
  ImportedModuleRecord* imported = FindImportedModule(hookList, name);
  if (imported == nullptr || imported->handle != nullptr) return;
  imported->handle = reinterpret_cast<HMODULE>(handle);
  builder->AppendText("(handle set)");
}

const char* BaseName(const char* path) {
  auto* text = reinterpret_cast<const unsigned char*>(path);
  const unsigned char* separator = _mbsrchr(text, '\\');
  if (separator == nullptr) separator = _mbsrchr(text, '/');
  return separator == nullptr ? path : reinterpret_cast<const char*>(separator + 1);
}

}  // namespace

void GetProcAddressPre(CallFrame* frame, LineBuilder* builder, bool) {
  HMODULE module = reinterpret_cast<HMODULE>(frame->args[0]);
  LPCSTR name = reinterpret_cast<LPCSTR>(frame->args[1]);
  char copy[kNameSize];
  if (!CopyNarrowName(frame->args[1], copy)) {
    frame->result = reinterpret_cast<uint32_t>(realGetProcAddress(module, name));
    builder->AppendText("(not proc string)");
    return;
  }
  ApiHookRecord* record = FindApi(hookList, copy);
  if (record == nullptr || record->hookEntry == nullptr) {
    frame->result = reinterpret_cast<uint32_t>(realGetProcAddress(module, name));
    builder->AppendText("(not target)");
    return;
  }
  if (record->realFunction != 0) {
    frame->result = reinterpret_cast<uint32_t>(record->hookEntry);
    builder->AppendText("(already target)");
    return;
  }
  // A HookEntry is handed out only for a function that exists: without a real address
  // the caller gets the genuine answer, null, as it would without tracing.
  uint32_t real = reinterpret_cast<uint32_t>(realGetProcAddress(module, name));
  if (real == 0) {
    frame->result = 0;
    builder->AppendText("(not found)");
    return;
  }
  record->realFunction = real;
  frame->result = reinterpret_cast<uint32_t>(record->hookEntry);
  builder->AppendText("(set to target)");
}

// A failed load changes nothing: the module stays unpatched for its next, successful load.
void LoadLibraryNarrowPost(CallFrame* frame, LineBuilder* builder, bool) {
  char name[kNameSize];
  if (frame->result == 0 || !CopyNarrowName(frame->args[0], name)) return;
  ListingHold hold;
  PatchLateModule(name);
  NoteImportedModule(BaseName(name), frame->result, builder);
}

void LoadLibraryWidePost(CallFrame* frame, LineBuilder* builder, bool) {
  char name[kNameSize];
  if (frame->result == 0 || !CopyWideName(frame->args[0], name)) return;
  ListingHold hold;
  PatchLateModule(name);
  NoteImportedModule(name, frame->result, builder);
}

void FreeLibraryPost(CallFrame* frame, LineBuilder* builder, bool) {
  HMODULE freed = reinterpret_cast<HMODULE>(frame->args[0]);
  char path[kNameSize];
  // Still mapped: the call only lowered the reference count (or failed).
  if (frame->result == 0 || GetModuleFileNameA(freed, path, sizeof path) != 0) return;
  ListingHold hold;
  for (auto& entry : hookList.moduleTable) {
    ModuleHookRecord* module = entry.second;
    if (module->handle != freed) continue;
    builder->AppendText("(deleted:");
    builder->AppendText(module->name);
    if (module->loadedAtSetUp == 0 && module->done == 1) {
      module->done = 0;
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
