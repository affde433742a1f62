// Building a command line that the C runtime of the started program splits back into
// exactly the arguments the launcher received.
#pragma once

#include <string>
#include <vector>

namespace qelrun {

// One argument quoted by the rules of the Windows C runtime's argument splitting.
std::wstring QuoteArgument(const std::wstring& arg);

// All arguments quoted and joined by single spaces.
std::wstring JoinCommandLine(const std::vector<std::wstring>& args);

}  // namespace qelrun
