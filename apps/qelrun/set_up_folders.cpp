// A log's path holds the program's name and must fit in 259 bytes: the logs folder gets
// what the name leaves.
#include "set_up_folders.h"

#include "auto_settings.h"

namespace qelrun {

qel::Result<Folders, std::wstring> PrepareSetUpFolders(const Options& options,
                                                       const std::wstring& program,
                                                       const std::wstring& home, DWORD runId) {
  // The log's name adds "$$$", the program's name, a slot, "$$$(", the process id and
  // ".txt" to the logs folder, all in 259 bytes; a name too long to leave room is refused
  // here, before the subtraction could wrap.
  std::wstring baseName = program.substr(program.find_last_of(L'\\') + 1);
  size_t nameBytes = 2 * baseName.size();
  if (nameBytes + kLogNameExtraBytes >= kLogPathBytes) {
    return qel::Fail(L"the program's name " + baseName + L" is too long for a log file name");
  }
  size_t logsFolderBytes = kLogPathBytes - kLogNameExtraBytes - nameBytes;
  qel::Result<Folder, std::wstring> logs =
      PrepareFolder(options.logsDir.empty() ? L"." : options.logsDir, logsFolderBytes);
  if (!logs) return qel::Fail(logs.message());
  qel::WideStatus writable = CheckLogsFolder(logs.value());
  if (!writable) return qel::Fail(writable.message());
  qel::Result<Folder, std::wstring> settings =
      options.autoSettings
          ? WriteAutoSettings({program, options.only, options.drop, options.noFlush, runId},
                              logs.value())
          : PrepareFolder(options.settingsDir.empty() ? home : options.settingsDir,
                          kSettingsFolderBytes);
  if (!settings) return qel::Fail(settings.message());
  qel::WideStatus complete = CheckSettingsFolder(settings.value());
  if (!complete) return qel::Fail(complete.message());
  return Folders{std::move(settings).value(), std::move(logs).value()};
}

std::wstring FindLog(const std::wstring& folder, DWORD pid) {
  std::wstring pattern = folder + L"$$$*$$$(" + std::to_wstring(pid) + L").txt";
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return std::wstring();
  FindClose(search);
  return folder + found.cFileName;
}

}  // namespace qelrun
