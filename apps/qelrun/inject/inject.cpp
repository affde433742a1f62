// The helper DLL loaded into the traced program: its exports load Qelvorn.dll and run
// QelSetUp_, or run QelCleanUp_ of the Qelvorn.dll already loaded, each on a thread of its
// own, outside any DLL entry point (so not under the loader lock).
#include <windows.h>

#include "child_watch.h"
#include "set_up_block.h"

namespace {

using SetUpFn = int(WINAPI*)(const char*, const char*, char*, int);
using CleanUpFn = int(WINAPI*)(char*, int);

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
  block->childPipe[qelrun::kChildPipeChars - 1] = L'\0';
  HMODULE qelvorn = LoadLibraryW(block->qelvornPath);
  if (qelvorn == nullptr) {
    block->lastError = static_cast<int32_t>(GetLastError());
    block->stage = qelrun::HelperStage::kDllNotLoaded;
    return static_cast<DWORD>(-1);
  }
  auto setUp =
      reinterpret_cast<SetUpFn>(reinterpret_cast<void*>(GetProcAddress(qelvorn, "QelSetUp_")));
  if (setUp == nullptr) {
    block->lastError = static_cast<int32_t>(GetLastError());
    block->stage = qelrun::HelperStage::kNoSetUpFunction;
    return static_cast<DWORD>(-1);
  }
  block->answer = setUp(block->settingsDir, block->logsDir, block->message, qelrun::kMessageBytes);
  if (block->answer == 0 && block->childPipe[0] != L'\0') {
    block->watchingChildren = qelrun::StartChildWatch(block->childPipe) ? 1 : 0;
  }
  block->stage = qelrun::HelperStage::kAnswered;
  return static_cast<DWORD>(block->answer);
}

// Clean-up never loads Qelvorn.dll, and never unloads it: a thread may still be inside a
// traced call whose trampoline lives in it.
extern "C" DWORD WINAPI QelRunCleanUp(void* param) {
  auto* block = static_cast<qelrun::CleanUpBlock*>(param);
  HMODULE qelvorn = GetModuleHandleW(qelrun::kQelvornFile);
  if (qelvorn == nullptr) {
    block->lastError = static_cast<int32_t>(GetLastError());
    block->stage = qelrun::HelperStage::kDllNotLoaded;
    return static_cast<DWORD>(-1);
  }
  auto cleanUp =
      reinterpret_cast<CleanUpFn>(reinterpret_cast<void*>(GetProcAddress(qelvorn, "QelCleanUp_")));
  if (cleanUp == nullptr) {
    block->lastError = static_cast<int32_t>(GetLastError());
    block->stage = qelrun::HelperStage::kNoCleanUpFunction;
    return static_cast<DWORD>(-1);
  }
  // Processes created from now on are not the launcher's to trace: it is going away.
  qelrun::StopChildWatch();
  block->answer = cleanUp(block->message, qelrun::kMessageBytes);
  block->stage = qelrun::HelperStage::kAnswered;
  return static_cast<DWORD>(block->answer);
}
