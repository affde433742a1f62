// The two remote threads and the memory they share with the launcher. kernel32 is mapped
// at the same address in every process of a session, so LoadLibraryW's address here is
// its address in the program; the helper's export is found at the same offset from its
// base as in the launcher's own copy of it.
#include "remote_set_up.h"

#include <cstring>
#include <memory>

#include "say.h"
#include "set_up_block.h"

namespace qelrun {

namespace {

// Loading a DLL and setting up tracing take well under this even in an emulator.
constexpr DWORD kThreadWaitMs = 120000;

// Runs start(param) on a new thread of the program and answers its exit code.
bool RunRemoteThread(HANDLE process, LPTHREAD_START_ROUTINE start, void* param, DWORD& exitCode,
                     std::wstring& error) {
  HANDLE thread = CreateRemoteThread(process, nullptr, 0, start, param, 0, nullptr);
  if (thread == nullptr) {
    error = L"cannot start a thread in the program " + ErrorText(GetLastError());
    return false;
  }
  DWORD waited = WaitForSingleObject(thread, kThreadWaitMs);
  bool done = waited == WAIT_OBJECT_0 && GetExitCodeThread(thread, &exitCode);
  CloseHandle(thread);
  if (!done) error = L"a thread in the program did not finish";
  return done;
}

class RemoteMemory {
 public:
  RemoteMemory(HANDLE process, size_t size)
      : process_(process),
        address_(VirtualAllocEx(process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)) {
  }
  ~RemoteMemory() {
    if (address_ != nullptr) VirtualFreeEx(process_, address_, 0, MEM_RELEASE);
  }
  RemoteMemory(const RemoteMemory&) = delete;
  RemoteMemory& operator=(const RemoteMemory&) = delete;
  void* address() const { return address_; }

 private:
  HANDLE process_;
  void* address_;
};

bool CopyWide(const std::wstring& text, wchar_t* out, size_t capacity) {
  if (text.size() >= capacity) return false;
  std::memcpy(out, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
  return true;
}

bool CopyAnsi(const std::string& text, char* out, size_t capacity) {
  if (text.size() >= capacity) return false;
  std::memcpy(out, text.c_str(), text.size() + 1);
  return true;
}

}  // namespace

RemoteSetUp RunRemoteSetUp(HANDLE process, const std::wstring& helperPath,
                           const std::wstring& qelvornPath, const Folder& settings,
                           const Folder& logs) {
  RemoteSetUp result;
  auto block = std::make_unique<SetUpBlock>();
  std::memset(block.get(), 0, sizeof(SetUpBlock));
  wchar_t helperPathBuffer[kPathChars];
  if (!CopyWide(helperPath, helperPathBuffer, kPathChars) ||
      !CopyWide(qelvornPath, block->qelvornPath, kPathChars) ||
      !CopyAnsi(settings.ansi, block->settingsDir, kFolderBytes) ||
      !CopyAnsi(logs.ansi, block->logsDir, kFolderBytes)) {
    result.error = L"a path is too long";
    return result;
  }

  HMODULE localHelper = LoadLibraryW(helperPath.c_str());
  if (localHelper == nullptr) {
    result.error = L"cannot load " + helperPath + L" " + ErrorText(GetLastError());
    return result;
  }
  FARPROC localEntry = GetProcAddress(localHelper, kHelperEntry);
  if (localEntry == nullptr) {
    result.error = helperPath + L" has no entry " + std::wstring(L"QelRunSetUp");
    return result;
  }
  uintptr_t entryOffset =
      reinterpret_cast<uintptr_t>(localEntry) - reinterpret_cast<uintptr_t>(localHelper);
  auto loadLibrary = reinterpret_cast<LPTHREAD_START_ROUTINE>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW")));

  RemoteMemory remote(process, sizeof(SetUpBlock) + sizeof helperPathBuffer);
  if (remote.address() == nullptr) {
    result.error = L"cannot reserve memory in the program " + ErrorText(GetLastError());
    return result;
  }
  char* remoteBlock = static_cast<char*>(remote.address());
  char* remotePath = remoteBlock + sizeof(SetUpBlock);
  if (!WriteProcessMemory(process, remoteBlock, block.get(), sizeof(SetUpBlock), nullptr) ||
      !WriteProcessMemory(process, remotePath, helperPathBuffer, sizeof helperPathBuffer,
                          nullptr)) {
    result.error = L"cannot write into the program's memory " + ErrorText(GetLastError());
    return result;
  }

  DWORD helperBase = 0;
  if (!RunRemoteThread(process, loadLibrary, remotePath, helperBase, result.error)) return result;
  if (helperBase == 0) {
    result.error = L"the program could not load " + helperPath;
    return result;
  }
  auto remoteEntry = reinterpret_cast<LPTHREAD_START_ROUTINE>(helperBase + entryOffset);
  DWORD answer = 0;
  if (!RunRemoteThread(process, remoteEntry, remoteBlock, answer, result.error)) return result;
  if (!ReadProcessMemory(process, remoteBlock, block.get(), sizeof(SetUpBlock), nullptr)) {
    result.error = L"cannot read the program's memory " + ErrorText(GetLastError());
    return result;
  }
  block->message[kMessageBytes - 1] = '\0';
  result.message = block->message;
  switch (block->stage) {
    case SetUpStage::kAnswered:
      result.answered = true;
      result.answer = block->answer;
      break;
    case SetUpStage::kDllNotLoaded:
      result.error = L"the program could not load " + qelvornPath + L" " +
                     ErrorText(static_cast<DWORD>(block->lastError));
      break;
    case SetUpStage::kNoSetUpFunction:
      result.error = qelvornPath + L" has no QelSetUp_";
      break;
    case SetUpStage::kNotStarted:
      result.error = L"the helper did not run";
      break;
  }
  return result;
}

}  // namespace qelrun
