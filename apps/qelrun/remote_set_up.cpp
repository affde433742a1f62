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

struct RemoteModule {
  uintptr_t base = 0;
  std::wstring path;
};

// The module named file in the program; with baseLow32 not 0, the one whose base has those
// low 32 bits. LoadLibraryW's thread answers its base in its exit code, which holds only
// the low 32 bits of a 64-bit address, and a module of the same name from another folder
// may be loaded beside it.
RemoteModule FindRemoteModule(HANDLE process, const wchar_t* file, DWORD baseLow32 = 0) {
  HANDLE snapshot = INVALID_HANDLE_VALUE;
  // The list can be read while the loader changes it; the system then asks for a retry.
  for (int attempt = 0; attempt < 10 && snapshot == INVALID_HANDLE_VALUE; ++attempt) {
    snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, GetProcessId(process));
    if (snapshot == INVALID_HANDLE_VALUE && GetLastError() != ERROR_BAD_LENGTH) return {};
  }
  if (snapshot == INVALID_HANDLE_VALUE) return {};
  RemoteModule found;
  MODULEENTRY32W module;
  module.dwSize = sizeof module;
  for (BOOL more = Module32FirstW(snapshot, &module); more && found.base == 0;
       more = Module32NextW(snapshot, &module)) {
    module.szModule[MAX_MODULE_NAME32] = L'\0';
    module.szExePath[MAX_PATH - 1] = L'\0';
    uintptr_t base = reinterpret_cast<uintptr_t>(module.modBaseAddr);
    if (CompareStringOrdinal(module.szModule, -1, file, -1, TRUE) == CSTR_EQUAL &&
        (baseLow32 == 0 || static_cast<DWORD>(base) == baseLow32)) {
      found.base = base;
      found.path = module.szExePath;
    }
  }
  CloseHandle(snapshot);
  return found;
}

// Where the helper's export entry lies from its base, read from the launcher's own copy.
qel::Result<uintptr_t, std::wstring> EntryOffset(const std::wstring& helperPath,
                                                 const char* entry) {
  HMODULE localHelper = LoadLibraryW(helperPath.c_str());
  if (localHelper == nullptr) {
    return qel::Fail(L"cannot load " + helperPath + L" " + ErrorText(GetLastError()));
  }
  FARPROC localEntry = GetProcAddress(localHelper, entry);
  if (localEntry == nullptr) {
    return qel::Fail(helperPath + L" has no entry " +
                     std::wstring(entry, entry + std::strlen(entry)));
  }
  return reinterpret_cast<uintptr_t>(localEntry) - reinterpret_cast<uintptr_t>(localHelper);
}

// Loads the helper into the program through LoadLibraryW on a remote thread, whose
// argument is the path written at remotePath, and answers its base there.
qel::Result<uintptr_t, std::wstring> LoadHelper(HANDLE process, const std::wstring& helperPath,
                                                void* remotePath) {
  auto loadLibrary = reinterpret_cast<LPTHREAD_START_ROUTINE>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW")));
  qel::Result<DWORD, std::wstring> loaded = RunRemoteThread(process, loadLibrary, remotePath);
  if (!loaded) return qel::Fail(loaded.message());
  uintptr_t helperBase =
      loaded.value() == 0 ? 0 : FindRemoteModule(process, kHelperFile, loaded.value()).base;
  if (helperBase == 0) return qel::Fail(L"the program could not load " + helperPath);
  return helperBase;
}

using HelperBlock = qel::Result<std::unique_ptr<SetUpBlock>, std::wstring>;

// Runs the helper in the program and answers the block as it left it.
HelperBlock RunHelper(HANDLE process, const std::wstring& helperPath,
                      const std::wstring& qelvornPath, const Folder& settings, const Folder& logs,
                      const std::wstring& childPipe) {
  auto block = std::make_unique<SetUpBlock>();
  std::memset(block.get(), 0, sizeof(SetUpBlock));
  wchar_t helperPathBuffer[kPathChars];
  if (!CopyWide(helperPath, helperPathBuffer, kPathChars) ||
      !CopyWide(qelvornPath, block->qelvornPath, kPathChars) ||
      !CopyAnsi(settings.ansi, block->settingsDir, kFolderBytes) ||
      !CopyAnsi(logs.ansi, block->logsDir, kFolderBytes) ||
      !CopyWide(childPipe, block->childPipe, kChildPipeChars)) {
    return qel::Fail(std::wstring(L"a path is too long"));
  }
  qel::Result<uintptr_t, std::wstring> entryOffset = EntryOffset(helperPath, kHelperEntry);
  if (!entryOffset) return qel::Fail(entryOffset.message());

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

  qel::Result<uintptr_t, std::wstring> helperBase = LoadHelper(process, helperPath, remotePath);
  if (!helperBase) return qel::Fail(helperBase.message());
  auto remoteEntry =
      reinterpret_cast<LPTHREAD_START_ROUTINE>(helperBase.value() + entryOffset.value());
  qel::Result<DWORD, std::wstring> ran = RunRemoteThread(process, remoteEntry, remoteBlock);
  if (!ran) return qel::Fail(ran.message());
  if (!ReadProcessMemory(process, remoteBlock, block.get(), sizeof(SetUpBlock), nullptr)) {
    return qel::Fail(L"cannot read the program's memory " + ErrorText(GetLastError()));
  }
  block->message[kMessageBytes - 1] = '\0';
  return HelperBlock(std::move(block));
}

using CleanUpResult = qel::Result<std::unique_ptr<CleanUpBlock>, std::wstring>;

// The helper's base in the program, loading it there when a host set tracing up without
// it. A helper from another folder may be another build, whose entry lies elsewhere: only
// the launcher beside it cleans up through it.
qel::Result<uintptr_t, std::wstring> HelperForCleanUp(HANDLE process,
                                                      const std::wstring& helperPath) {
  RemoteModule present = FindRemoteModule(process, kHelperFile);
  if (present.base != 0) {
    if (CompareStringOrdinal(present.path.c_str(), -1, helperPath.c_str(), -1, TRUE) !=
        CSTR_EQUAL) {
      return qel::Fail(L"the program holds another " + std::wstring(kHelperFile) + L", " +
                       Printable(present.path) + L"; the qelrun.exe beside it cleans up there");
    }
    return present.base;
  }
  wchar_t helperPathBuffer[kPathChars];
  if (!CopyWide(helperPath, helperPathBuffer, kPathChars)) {
    return qel::Fail(std::wstring(L"a path is too long"));
  }
  RemoteMemory remote(process, sizeof helperPathBuffer);
  if (remote.address() == nullptr) {
    return qel::Fail(L"cannot reserve memory in the program " + ErrorText(GetLastError()));
  }
  if (!WriteProcessMemory(process, remote.address(), helperPathBuffer, sizeof helperPathBuffer,
                          nullptr)) {
    return qel::Fail(L"cannot write into the program's memory " + ErrorText(GetLastError()));
  }
  return LoadHelper(process, helperPath, remote.address());
}

CleanUpResult RunCleanUpHelper(HANDLE process, const std::wstring& helperPath) {
  qel::Result<uintptr_t, std::wstring> entryOffset = EntryOffset(helperPath, kHelperCleanUpEntry);
  if (!entryOffset) return qel::Fail(entryOffset.message());
  qel::Result<uintptr_t, std::wstring> helperBase = HelperForCleanUp(process, helperPath);
  if (!helperBase) return qel::Fail(helperBase.message());
  auto block = std::make_unique<CleanUpBlock>();
  std::memset(block.get(), 0, sizeof(CleanUpBlock));
  RemoteMemory remote(process, sizeof(CleanUpBlock));
  if (remote.address() == nullptr) {
    return qel::Fail(L"cannot reserve memory in the program " + ErrorText(GetLastError()));
  }
  if (!WriteProcessMemory(process, remote.address(), block.get(), sizeof(CleanUpBlock), nullptr)) {
    return qel::Fail(L"cannot write into the program's memory " + ErrorText(GetLastError()));
  }
  auto remoteEntry =
      reinterpret_cast<LPTHREAD_START_ROUTINE>(helperBase.value() + entryOffset.value());
  qel::Result<DWORD, std::wstring> ran = RunRemoteThread(process, remoteEntry, remote.address());
  if (!ran) return qel::Fail(ran.message());
  if (!ReadProcessMemory(process, remote.address(), block.get(), sizeof(CleanUpBlock), nullptr)) {
    return qel::Fail(L"cannot read the program's memory " + ErrorText(GetLastError()));
  }
  block->message[kMessageBytes - 1] = '\0';
  return CleanUpResult(std::move(block));
}

// The exported function's answer, or the sentence for where the helper stopped.
qel::Result<int, std::wstring> Answer(HelperStage stage, int32_t answer, int32_t lastError,
                                      const std::wstring& qelvornPath) {
  switch (stage) {
    case HelperStage::kAnswered:
      return answer;
    case HelperStage::kDllNotLoaded:
      return qel::Fail(L"the program could not load " + qelvornPath + L" " +
                       ErrorText(static_cast<DWORD>(lastError)));
    case HelperStage::kNoSetUpFunction:
      return qel::Fail(qelvornPath + L" has no QelSetUp_");
    case HelperStage::kNoCleanUpFunction:
      return qel::Fail(qelvornPath + L" has no QelCleanUp_");
    case HelperStage::kNotStarted:
      return qel::Fail(std::wstring(L"the helper did not run"));
  }
  // The stage is read from the program's memory; a value the helper never writes has no
  // sentence of its own.
  return qel::Fail(std::wstring());
}

}  // namespace

RemoteAnswer RunRemoteSetUp(HANDLE process, const std::wstring& helperPath,
                            const std::wstring& qelvornPath, const Folder& settings,
                            const Folder& logs, const std::wstring& childPipe) {
  HelperBlock block = RunHelper(process, helperPath, qelvornPath, settings, logs, childPipe);
  if (!block) return {qel::Fail(block.message()), std::string()};
  const SetUpBlock& b = *block.value();
  return {Answer(b.stage, b.answer, b.lastError, qelvornPath), b.message, b.watchingChildren == 1};
}

RemoteAnswer RunRemoteCleanUp(HANDLE process, const std::wstring& helperPath) {
  // Without Qelvorn.dll tracing was never set up: the process is left untouched, not even
  // given the helper.
  if (FindRemoteModule(process, kQelvornFile).base == 0) return {1, std::string()};
  CleanUpResult block = RunCleanUpHelper(process, helperPath);
  if (!block) return {qel::Fail(block.message()), std::string()};
  const CleanUpBlock& b = *block.value();
  if (b.stage == HelperStage::kDllNotLoaded) return {1, b.message};
  return {Answer(b.stage, b.answer, b.lastError, kQelvornFile), b.message};
}

}  // namespace qelrun
