// Writes wide text to standard error: through WriteConsoleW on a console, otherwise in
// the console's output code page (the ANSI code page when there is no console).
#include "say.h"
#include "common/text_lines.h"

#include <windows.h>

#include <vector>

namespace qelrun {

namespace {

void WriteErr(const std::wstring& text) {
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  if (err == nullptr || err == INVALID_HANDLE_VALUE) return;
  DWORD mode = 0;
  DWORD written = 0;
  if (GetConsoleMode(err, &mode)) {
    WriteConsoleW(err, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return;
  }
  UINT codePage = GetConsoleOutputCP();
  if (codePage == 0) codePage = GetACP();
  int n = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                              nullptr, nullptr);
  if (n <= 0) return;
  std::vector<char> bytes(n);
  WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), bytes.data(), n,
                      nullptr, nullptr);
  WriteFile(err, bytes.data(), static_cast<DWORD>(n), &written, nullptr);
}

}  // namespace

void Say(const std::wstring& line) {
  WriteErr(L"qelrun: " + line + L"\r\n");
}

void SayShiftJisLines(const std::string& text) {
  for (const std::string& line : SplitTextLines(text)) {
    if (line.empty()) continue;
    int n = MultiByteToWideChar(932, 0, line.data(), static_cast<int>(line.size()), nullptr, 0);
    std::wstring wide(n > 0 ? n : 0, L'\0');
    if (n > 0) MultiByteToWideChar(932, 0, line.data(), static_cast<int>(line.size()), &wide[0], n);
    Say(wide);
  }
}

std::wstring Printable(std::wstring text) {
  for (wchar_t& c : text) {
    if (c < L' ' || c == 0x7f) c = L'?';
  }
  return text;
}

std::wstring ErrorText(unsigned long code) {
  wchar_t buffer[512];
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           code, 0, buffer, 512, nullptr);
  while (n > 0 && (buffer[n - 1] == L'\n' || buffer[n - 1] == L'\r' || buffer[n - 1] == L' ')) --n;
  std::wstring text = L"(error " + std::to_wstring(code);
  if (n > 0) text += L": " + std::wstring(buffer, n);
  return text + L")";
}

}  // namespace qelrun
