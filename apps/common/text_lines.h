// Splitting a text into lines at LF, each without its CR: hook-list files and the DLL's
// messages end lines in CR LF.
#pragma once

#include <string>
#include <vector>

std::vector<std::string> SplitTextLines(const std::string& text);
