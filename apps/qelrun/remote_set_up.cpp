// The two remote threads and the memory they share with the launcher. kernel32 is mapped
// at the same address in every process of a session, so LoadLibraryW's address here is
// its address in the program; the helper's export is found at the same offset from its
// base as in the launcher's own copy of it.
#include "remote_set_up.h"

#include <tlhelp32.h>

#include <cstring>
#include <memory>
#include <utility>

#include "say.h"
#include "set_up_block.h"

namespace qelrun {

namespace {

// Loading a DLL and setting up tracing take well under this even in an emulator.
constexpr DWORD kThreadWaitMs = 120000;

// Runs start(param) on a new thread of the program and answers its exit code.
qel::Result<DWORD, std::wstring> RunRemoteThread(HANDLE process, LPTHREAD_START_ROUTINE start,
                                                 void* param) {
  HANDLE thread = CreateRemoteThread(process, nullptr, 0, start, param, 0, nullptr);
  if (thread == nullptr) {
    return qel::Fail(L"cannot start a thread in the program " + ErrorText(GetLastError()));
  }
  DWORD waited = WaitForSingleObject(thread, kThreadWaitMs);
  DWORD exitCode = 0;
  bool done = waited == WAIT_OBJECT_0 && GetExitCodeThread(thread, &exitCode);
  CloseHandle(thread);
  if (!done) return qel::Fail(std::wstring(L"a thread in the program did not finish"));
  return exitCode;
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

// The base of the module named file in the program. LoadLibraryW's thread answers it in
// its exit code, which holds only the low 32 bits of a 64-bit address.
uintptr_t RemoteModuleBase(HANDLE process, const wchar_t* file) {
  HANDLE snapshot = INVALID_HANDLE_VALUE;
  // The list can be read while the loader changes it; the system then asks for a retry.
  for (int attempt = 0; attempt < 10 && snapshot == INVALID_HANDLE_VALUE; ++attempt) {
    snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, GetProcessId(process));
    if (snapshot == INVALID_HANDLE_VALUE && GetLastError() != ERROR_BAD_LENGTH) return 0;
  }
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  uintptr_t base = 0;
  MODULEENTRY32W module;
  module.dwSize = sizeof module;
  for (BOOL more = Module32FirstW(snapshot, &module); more && base == 0;
       more = Module32NextW(snapshot, &module)) {
    if (CompareStringOrdinal(module.szModule, -1, file, -1, TRUE) == CSTR_EQUAL) {
      base = reinterpret_cast<uintptr_t>(module.modBaseAddr);
    }
  }
  CloseHandle(snapshot);
  return base;
}

using HelperBlock = qel::Result<std::unique_ptr<SetUpBlock>, std::wstring>;

// Runs the helper in the program and answers the block as it left it.
HelperBlock RunHelper(HANDLE process, const std::wstring& helperPath,
                      const std::wstring& qelvornPath, const Folder& settings, const Folder& logs) {
  auto block = std::make_unique<SetUpBlock>();
  std::memset(block.get(), 0, sizeof(SetUpBlock));
  wchar_t helperPathBuffer[kPathChars];
  if (!CopyWide(helperPath, helperPathBuffer, kPathChars) ||
      !CopyWide(qelvornPath, block->qelvornPath, kPathChars) ||
      !CopyAnsi(settings.ansi, block->settingsDir, kFolderBytes) ||
      !CopyAnsi(logs.ansi, block->logsDir, kFolderBytes)) {
    return qel::Fail(std::wstring(L"a path is too long"));
  }

  HMODULE localHelper = LoadLibraryW(helperPath.c_str());
  if (localHelper == nullptr) {
    return qel::Fail(L"cannot load " + helperPath + L" " + ErrorText(GetLastError()));
  }
  FARPROC localEntry = GetProcAddress(localHelper, kHelperEntry);
  if (localEntry == nullptr) {
    return qel::Fail(helperPath + L" has no entry " + std::wstring(L"QelRunSetUp"));
  }
  uintptr_t entryOffset =
      reinterpret_cast<uintptr_t>(localEntry) - reinterpret_cast<uintptr_t>(localHelper);
  auto loadLibrary = reinterpret_cast<LPTHREAD_START_ROUTINE>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW")));

  RemoteMemory remote(process, sizeof(SetUpBlock) + sizeof helperPathBuffer);
  if (remote.address() == nullptr) {
    return qel::Fail(L"cannot reserve memory in the program " + ErrorText(GetLastError()));
  }
  char* remoteBlock = static_cast<char*>(remote.address());
  char* remotePath = remoteBlock + sizeof(SetUpBlock);
  if (!WriteProcessMemory(process, remoteBlock, block.get(), sizeof(SetUpBlock), nullptr) ||
      !WriteProcessMemory(process, remotePath, helperPathBuffer, sizeof helperPathBuffer,
                          nullptr)) {
    return qel::Fail(L"cannot write into the program's memory " + ErrorText(GetLastError()));
  }

  qel::Result<DWORD, std::wstring> loaded = RunRemoteThread(process, loadLibrary, remotePath);
  if (!loaded) return qel::Fail(loaded.message());
  uintptr_t helperBase = loaded.value() == 0 ? 0 : RemoteModuleBase(process, kHelperFile);
  if (helperBase == 0) return qel::Fail(L"the program could not load " + helperPath);
  auto remoteEntry = reinterpret_cast<LPTHREAD_START_ROUTINE>(helperBase + entryOffset);
  qel::Result<DWORD, std::wstring> ran = RunRemoteThread(process, remoteEntry, remoteBlock);
  if (!ran) return qel::Fail(ran.message());
  if (!ReadProcessMemory(process, remoteBlock, block.get(), sizeof(SetUpBlock), nullptr)) {
    return qel::Fail(L"cannot read the program's memory " + ErrorText(GetLastError()));
  }
  block->message[kMessageBytes - 1] = '\0';
  return HelperBlock(std::move(block));
}

// QelSetUp_'s answer, or the sentence for where the helper stopped.
qel::Result<int, std::wstring> Answer(const SetUpBlock& block, const std::wstring& qelvornPath) {
  switch (block.stage) {
    case SetUpStage::kAnswered:
      return block.answer;
    case SetUpStage::kDllNotLoaded:
      return qel::Fail(L"the program could not load " + qelvornPath + L" " +
                       ErrorText(static_cast<DWORD>(block.lastError)));
    case SetUpStage::kNoSetUpFunction:
      return qel::Fail(qelvornPath + L" has no QelSetUp_");
    case SetUpStage::kNotStarted:
      return qel::Fail(std::wstring(L"the helper did not run"));
  }
  // The stage is read from the program's memory; a value the helper never writes has no
  // sentence of its own.
  return qel::Fail(std::wstring());
}

}  // namespace

RemoteSetUp RunRemoteSetUp(HANDLE process, const std::wstring& helperPath,
                           const std::wstring& qelvornPath, const Folder& settings,
                           const Folder& logs) {
  HelperBlock block = RunHelper(process, helperPath, qelvornPath, settings, logs);
  if (!block) return {qel::Fail(block.message()), std::string()};
  return {Answer(*block.value(), qelvornPath), block.value()->message};
}

}  // namespace qelrun
