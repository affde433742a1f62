// Folder checks with the wide file API; the ANSI form is what the DLL receives.
#include "folders.h"

#include <windows.h>

#include "say.h"

namespace qelrun {

bool IsFile(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool HaveFiles(std::initializer_list<std::wstring> files) {
  for (const std::wstring& needed : files) {
    if (!IsFile(needed)) {
      Say(needed + L" is missing; it belongs beside qelrun.exe");
      return false;
    }
  }
  return true;
}

qel::Result<Folder, std::wstring> PrepareFolder(const std::wstring& given, size_t maxBytes) {
  Folder folder;
  wchar_t buffer[MAX_PATH * 4];
  DWORD n = GetFullPathNameW(given.c_str(), MAX_PATH * 4, buffer, nullptr);
  if (n == 0 || n >= MAX_PATH * 4) {
    return qel::Fail(L"folder " + given + L" is not a usable path");
  }
  folder.wide.assign(buffer, n);
  if (folder.wide.back() != L'\\') folder.wide += L'\\';
  DWORD attributes = GetFileAttributesW(folder.wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return qel::Fail(L"folder " + folder.wide + L" does not exist or is not a folder");
  }
  BOOL lossy = FALSE;
  int bytes =
      WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, folder.wide.data(),
                          static_cast<int>(folder.wide.size()), nullptr, 0, nullptr, &lossy);
  if (bytes <= 0 || lossy) {
    return qel::Fail(L"folder " + folder.wide + L" cannot be written in the ANSI code page");
  }
  if (static_cast<size_t>(bytes) > maxBytes) {
    return qel::Fail(L"folder " + folder.wide + L" is longer than " + std::to_wstring(maxBytes) +
                     L" bytes");
  }
  folder.ansi.assign(bytes, '\0');
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, folder.wide.data(),
                      static_cast<int>(folder.wide.size()), &folder.ansi[0], bytes, nullptr,
                      nullptr);
  return folder;
}

qel::WideStatus CheckSettingsFolder(const Folder& folder) {
  for (const wchar_t* name : {L"Qelvorn.ini", L"Qelvorn.lst"}) {
    if (!IsFile(folder.wide + name)) {
      return qel::Fail(L"settings folder " + folder.wide + L" has no " + name);
    }
  }
  return qel::Done{};
}

qel::WideStatus CheckLogsFolder(const Folder& folder) {
  std::wstring probe =
      folder.wide + L"qelrun-write-check-" + std::to_wstring(GetCurrentProcessId()) + L".tmp";
  HANDLE file = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return qel::Fail(L"logs folder " + folder.wide + L" cannot be written " +
                     ErrorText(GetLastError()));
  }
  CloseHandle(file);
  return qel::Done{};
}

std::wstring LauncherFolder() {
  wchar_t buffer[MAX_PATH * 4];
  DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH * 4);
  if (n == 0 || n >= MAX_PATH * 4) return std::wstring();
  std::wstring path(buffer, n);
  return path.substr(0, path.find_last_of(L'\\') + 1);
}

}  // namespace qelrun
