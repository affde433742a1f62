// The settings and logs folders as QelSetUp_ takes them: full paths ending in a
// backslash, in the ANSI code page, checked before the program is started.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>

#include "common/result.h"

namespace qelrun {

// QelSetUp_ joins the settings folder with "Qelvorn.ini" in 260 bytes.
constexpr size_t kSettingsFolderBytes = 248;
// A log's path, and what its name adds besides the program's name (at most twice its
// characters in bytes): "$$$", a two-digit slot, "$$$(", the process id, ").txt".
constexpr size_t kLogPathBytes = 259;
constexpr size_t kLogNameExtraBytes = 24;

struct Folder {
  std::wstring wide;  // full path with a trailing backslash
  std::string ansi;   // the same in the ANSI code page
};

// The folder, or why not: the path is too long or cannot be written in the ANSI code page.
qel::Result<Folder, std::wstring> PrepareFolder(const std::wstring& given, size_t maxBytes);

// Qelvorn.ini and Qelvorn.lst present.
qel::WideStatus CheckSettingsFolder(const Folder& folder);

// A file can be created (and is removed again) in the folder.
qel::WideStatus CheckLogsFolder(const Folder& folder);

// Something other than a folder exists at path.
bool IsFile(const std::wstring& path);

// Every one of the launcher's own files is there; otherwise says which is missing.
bool HaveFiles(std::initializer_list<std::wstring> files);

// The folder of the running launcher, with a trailing backslash.
std::wstring LauncherFolder();

}  // namespace qelrun
