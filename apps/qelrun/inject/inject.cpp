// The helper DLL loaded into the traced program: its export loads Qelvorn.dll and runs
// QelSetUp_ on a thread of its own, outside any DLL entry point (so not under the loader lock).
#include <windows.h>

#include "set_up_block.h"

namespace {

using SetUpFn = int(WINAPI*)(const char*, const char*, char*, int);

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}

extern "C" DWORD WINAPI QelRunSetUp(void* param) {
  auto* block = static_cast<qelrun::SetUpBlock*>(param);
  block->qelvornPath[qelrun::kPathChars - 1] = L'\0';
  block->settingsDir[qelrun::kFolderBytes - 1] = '\0';
  block->logsDir[qelrun::kFolderBytes - 1] = '\0';
  HMODULE qelvorn = LoadLibraryW(block->qelvornPath);
  if (qelvorn == nullptr) {
    block->lastError = static_cast<int32_t>(GetLastError());
    block->stage = qelrun::SetUpStage::kDllNotLoaded;
    return static_cast<DWORD>(-1);
  }
  auto setUp =
      reinterpret_cast<SetUpFn>(reinterpret_cast<void*>(GetProcAddress(qelvorn, "QelSetUp_")));
  if (setUp == nullptr) {
    block->lastError = static_cast<int32_t>(GetLastError());
    block->stage = qelrun::SetUpStage::kNoSetUpFunction;
    return static_cast<DWORD>(-1);
  }
  block->answer = setUp(block->settingsDir, block->logsDir, block->message, qelrun::kMessageBytes);
  block->stage = qelrun::SetUpStage::kAnswered;
  return static_cast<DWORD>(block->answer);
}
