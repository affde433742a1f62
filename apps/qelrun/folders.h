// The settings and logs folders as QelSetUp_ takes them: full paths ending in a
// backslash, in the ANSI code page, checked before the program is started.
#pragma once

#include <cstddef>
#include <string>

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

// Answers false with a sentence in error when the path is too long or cannot be
// written in the ANSI code page.
bool PrepareFolder(const std::wstring& given, size_t maxBytes, Folder& folder, std::wstring& error);

// Qelvorn.ini and Qelvorn.lst present.
bool CheckSettingsFolder(const Folder& folder, std::wstring& error);

// A file can be created (and is removed again) in the folder.
bool CheckLogsFolder(const Folder& folder, std::wstring& error);

// The folder of the running launcher, with a trailing backslash.
std::wstring LauncherFolder();

}  // namespace qelrun
