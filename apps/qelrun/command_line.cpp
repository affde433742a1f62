// Quoting: backslashes are literal except before a double quote, where 2n+1 backslashes
// give n backslashes and a literal quote, and 2n give n and end the quoted run.
#include "command_line.h"

namespace qelrun {

std::wstring QuoteArgument(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      out.append(backslashes * 2 + 1, L'\\');
    } else {
      out.append(backslashes, L'\\');
    }
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, L'\\');
  out += L'"';
  return out;
}

std::wstring JoinCommandLine(const std::vector<std::wstring>& args) {
  std::wstring line;
  for (const std::wstring& arg : args) {
    if (!line.empty()) line += L' ';
    line += QuoteArgument(arg);
  }
  return line;
}

}  // namespace qelrun
