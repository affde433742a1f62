// Following the host's run-time module events while tracing: functions fetched with
// GetProcAddress, listed modules loaded with LoadLibrary*, modules freed with FreeLibrary.
// These are callbacks of the traced functions themselves, reached through the registry.
#pragma once

#include <windows.h>

#include "recording/callback_registry.h"

namespace qelvorn {

// The genuine GetProcAddress, taken from the library's own import while it loads, before
// any import table is patched; calling it never passes through a HookEntry.
using GetProcAddressFunction = FARPROC(WINAPI*)(HMODULE, LPCSTR);
extern const GetProcAddressFunction realGetProcAddress;

// Lets the callbacks change tracking state (set-up turns it on when it has patched,
// clean-up off before it restores); waits for a callback that is changing it now.
void SetModuleTracking(bool enabled);

void GetProcAddressPre(CallFrame* frame, LineBuilder* builder, bool isPre);
void LoadLibraryNarrowPost(CallFrame* frame, LineBuilder* builder, bool isPre);
void LoadLibraryWidePost(CallFrame* frame, LineBuilder* builder, bool isPre);
// LoadLibraryEx*: loads as a data file or image resource, or without resolving imports,
// are no running image and are left alone.
void LoadLibraryExNarrowPost(CallFrame* frame, LineBuilder* builder, bool isPre);
void LoadLibraryExWidePost(CallFrame* frame, LineBuilder* builder, bool isPre);
void FreeLibraryPost(CallFrame* frame, LineBuilder* builder, bool isPre);

}  // namespace qelvorn
