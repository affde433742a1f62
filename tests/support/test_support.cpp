#include "support/test_support.h"

#include <algorithm>
#include <cstdio>

#include "base/address_wait.h"

using namespace qelvorn;

namespace qeltest {

AddressWaitsScope::AddressWaitsScope(bool use) {
  UseAddressWaits(use);
}

AddressWaitsScope::~AddressWaitsScope() {
  UseAddressWaits(true);
}

std::string MakeTempDir(const std::string& tag) {
  static unsigned counter = 0;
  char base[MAX_PATH];
  // The guest runner points QEL_TEST_TEMP at its tmpfs: Wine's own temporary folder lies on
  // the emulated disk, where every flush of a log costs milliseconds.
  DWORD n = GetEnvironmentVariableA("QEL_TEST_TEMP", base, sizeof base);
  if (n == 0 || n >= sizeof base) n = GetTempPathA(sizeof base, base);
  std::string root = (n > 0 && n < sizeof base) ? std::string(base) : std::string("C:\\");
  for (;;) {
    char name[64];
    snprintf(name, sizeof name, "qel_%s_%lu_%u\\", tag.c_str(), GetCurrentProcessId(), ++counter);
    std::string dir = root + name;
    if (CreateDirectoryA(dir.c_str(), nullptr)) return dir;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return dir;
  }
}

namespace {

std::string ReadAll(HANDLE file) {
  if (file == INVALID_HANDLE_VALUE) return std::string();
  std::string out;
  char buf[65536];
  DWORD got = 0;
  while (ReadFile(file, buf, sizeof buf, &got, nullptr) && got > 0) out.append(buf, got);
  CloseHandle(file);
  return out;
}

void WriteAll(HANDLE file, const std::string& bytes) {
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD put = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
  CloseHandle(file);
}

}  // namespace

std::string ReadFileBytes(const std::string& path) {
  return ReadAll(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, 0, nullptr));
}

std::string ReadFileBytes(const std::wstring& path) {
  return ReadAll(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, 0, nullptr));
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  WriteAll(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr), bytes);
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  WriteAll(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr), bytes);
}

bool SetLastWriteRelative(const std::string& path, long long offsetSeconds) {
  // Whole seconds from a per-process origin, so that equal offsets give equal times.
  static const FILETIME origin = [] {
    SYSTEMTIME now;
    GetSystemTime(&now);
    FILETIME t;
    SystemTimeToFileTime(&now, &t);
    return t;
  }();
  FILETIME ft = origin;
  ULARGE_INTEGER t;
  t.LowPart = ft.dwLowDateTime;
  t.HighPart = ft.dwHighDateTime;
  t.QuadPart += offsetSeconds * 10000000LL;
  ft.dwLowDateTime = t.LowPart;
  ft.dwHighDateTime = t.HighPart;
  // Backup semantics let the same call stamp a directory.
  HANDLE h = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BOOL ok = SetFileTime(h, nullptr, nullptr, &ft);
  CloseHandle(h);
  return ok != FALSE;
}

std::string ProgramDir() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string p(path, n);
  return p.substr(0, p.find_last_of('\\') + 1);
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t from = 0;
  for (;;) {
    size_t at = text.find("\r\n", from);
    if (at == std::string::npos) {
      if (from < text.size()) lines.push_back(text.substr(from));
      return lines;
    }
    lines.push_back(text.substr(from, at - from));
    from = at + 2;
  }
}

}  // namespace qeltest

namespace qeltest {

std::string Sjis(const char* utf8) {
  int wideLength = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
  std::wstring wide(wideLength, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8, -1, &wide[0], wideLength);
  int length = WideCharToMultiByte(932, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(length, '\0');
  WideCharToMultiByte(932, 0, wide.c_str(), -1, &out[0], length, nullptr, nullptr);
  out.resize(length - 1);
  return out;
}

const QelvornDll& Dll() {
  static QelvornDll dll = [] {
    QelvornDll d;
    d.module = LoadLibraryA((ProgramDir() + "Qelvorn.dll").c_str());
    if (d.module != nullptr) {
      d.setUp = reinterpret_cast<decltype(d.setUp)>(
          reinterpret_cast<void*>(GetProcAddress(d.module, "QelSetUp_")));
      d.writeLog = reinterpret_cast<decltype(d.writeLog)>(
          reinterpret_cast<void*>(GetProcAddress(d.module, "QelWriteLog_")));
      d.cleanUp = reinterpret_cast<decltype(d.cleanUp)>(
          reinterpret_cast<void*>(GetProcAddress(d.module, "QelCleanUp_")));
    }
    return d;
  }();
  return dll;
}

void WriteIni(const std::string& dir, const std::string& body) {
  WriteFileBytes(dir + "Qelvorn.ini", body);
  WriteFileBytes(dir + "Qelvorn.lst", "[Imported]\r\nimported_module=KERNEL32.dll\r\n[Import]\r\n");
}

std::vector<std::string> ListFiles(const std::string& dir, const std::string& pattern) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((dir + pattern).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    std::string name = found.cFileName;
    if (name != "." && name != "..") names.push_back(name);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace qeltest

namespace qeltest {

int RunProgram(const std::string& program, const std::string& arguments, DWORD timeoutMs) {
  std::string commandLine = "\"" + ProgramDir() + program + "\" " + arguments;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    // Said here, as -1 is also an exit code a program may give.
    std::printf("RunProgram: %s could not be started (error %lu)\n", program.c_str(),
                GetLastError());
    return -1;
  }
  DWORD code = static_cast<DWORD>(-2);
  if (WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0) {
    GetExitCodeProcess(process.hProcess, &code);
  } else {
    TerminateProcess(process.hProcess, static_cast<UINT>(-2));
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
}

}  // namespace qeltest
