// Program lookup over the current folder and PATH with GetFileAttributesW.
#include "program_search.h"

#include <windows.h>

#include <vector>

#include "folders.h"

namespace qelrun {

namespace {

bool HasExtension(const std::wstring& name) {
  size_t dot = name.find_last_of(L'.');
  size_t slash = name.find_last_of(L"\\/:");
  return dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash);
}

std::wstring FullPath(const std::wstring& path) {
  wchar_t buffer[MAX_PATH * 4];
  DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH * 4, buffer, nullptr);
  if (n == 0 || n >= MAX_PATH * 4) return path;
  return std::wstring(buffer, n);
}

// The first of NAME and NAME.exe (the latter when NAME has no extension) in folder.
std::wstring TryIn(const std::wstring& folder, const std::wstring& name) {
  std::wstring base = folder;
  if (!base.empty() && base.back() != L'\\' && base.back() != L'/') base += L'\\';
  base += name;
  if (HasExtension(name)) return IsFile(base) ? FullPath(base) : std::wstring();
  return IsFile(base + L".exe") ? FullPath(base + L".exe") : std::wstring();
}

std::wstring Environment(const wchar_t* name) {
  DWORD n = GetEnvironmentVariableW(name, nullptr, 0);
  if (n == 0) return std::wstring();
  std::vector<wchar_t> buffer(n);
  DWORD got = GetEnvironmentVariableW(name, buffer.data(), n);
  return got < n ? std::wstring(buffer.data(), got) : std::wstring();
}

}  // namespace

std::wstring FindProgram(const std::wstring& name) {
  if (name.empty()) return std::wstring();
  if (name.find_first_of(L"\\/:") != std::wstring::npos) return TryIn(L"", name);
  std::wstring found = TryIn(L".", name);
  if (!found.empty()) return found;
  std::wstring path = Environment(L"PATH");
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(L';', start);
    if (end == std::wstring::npos) end = path.size();
    std::wstring folder = path.substr(start, end - start);
    if (folder.size() >= 2 && folder.front() == L'"' && folder.back() == L'"') {
      folder = folder.substr(1, folder.size() - 2);
    }
    if (!folder.empty()) {
      found = TryIn(folder, name);
      if (!found.empty()) return found;
    }
    start = end + 1;
  }
  return std::wstring();
}

}  // namespace qelrun
