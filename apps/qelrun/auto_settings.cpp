// The folder is named after the program, the local time and the launcher's process id,
// so that runs never share one; the settings file's tracing window starts now. What the
// hook list leaves out goes into left-out.txt there, so that it does not flood the console
// before the program's own output.
#include "auto_settings.h"

#include <windows.h>

#include <cstdio>

#include "common/hook_list_maker.h"
#include "say.h"

namespace qelrun {

namespace {

const wchar_t kLeftOutFile[] = L"left-out.txt";

std::string Ansi(const std::wstring& text) {
  int n = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? n - 1 : 0, '\0');
  if (n > 1) WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
  return out;
}

std::wstring FromAnsi(const std::string& text) {
  int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  std::wstring out(n > 0 ? n - 1 : 0, L'\0');
  if (n > 1) MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &out[0], n);
  return out;
}

bool WriteWhole(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == bytes.size();
}

}  // namespace

qel::Result<Folder, std::wstring> WriteAutoSettings(const AutoRequest& request,
                                                    const Folder& logs) {
  qel::HookListRequest make;
  make.program = Ansi(request.program);
  make.keepFunctions = qel::ParseNamePatterns(Ansi(request.only));
  make.dropFunctions = qel::ParseNamePatterns(Ansi(request.drop));
  make.listsDirs = qel::DefaultListsDirs();
  qel::HookList list;
  qel::Status made = qel::MakeHookList(make, &list);
  if (!made) return qel::Fail(L"--auto cannot make a hook list: " + FromAnsi(made.message()));

  SYSTEMTIME now;
  GetLocalTime(&now);
  wchar_t stamp[64];
  std::swprintf(stamp, 64, L"%04u%02u%02u-%02u%02u%02u-%lu", now.wYear, now.wMonth, now.wDay,
                now.wHour, now.wMinute, now.wSecond, request.runId);
  std::wstring name = request.program.substr(request.program.find_last_of(L'\\') + 1);
  std::wstring folder =
      logs.wide + L"qelrun-auto-" + name.substr(0, name.find(L'.')) + L"-" + stamp + L"\\";
  if (!CreateDirectoryW(folder.c_str(), nullptr))
    return qel::Fail(L"--auto cannot create " + folder + L" " + ErrorText(GetLastError()));
  std::string ini = "[Option]\r\nspan=1\r\nmax_size=1000000\r\n";
  if (request.noFlush) ini += "flush=0\r\n";
  std::string leftOut;
  for (const std::string& note : list.notes) leftOut += note + "\r\n";
  if (!WriteWhole(folder + L"Qelvorn.ini", ini) ||
      !WriteWhole(folder + L"Qelvorn.lst", list.text) ||
      (!leftOut.empty() && !WriteWhole(folder + kLeftOutFile, leftOut))) {
    return qel::Fail(L"--auto cannot write into " + folder + L" " + ErrorText(GetLastError()));
  }
  if (list.leftOut > 0)
    Say(L"--auto: " + std::to_wstring(list.leftOut) + L" functions left out, see " + folder +
        kLeftOutFile);
  Say(L"--auto: settings for " + std::to_wstring(list.functions) + L" functions written to " +
      folder);
  return PrepareFolder(folder, kSettingsFolderBytes);
}

}  // namespace qelrun
