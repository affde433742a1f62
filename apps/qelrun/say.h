// The launcher's own lines on standard error, each starting with "qelrun: ".
#pragma once

#include <string>

namespace qelrun {

void Say(const std::wstring& line);

// Each line of a Shift_JIS text (QelSetUp_'s messages), converted for the console.
void SayShiftJisLines(const std::string& text);

// Text that came from the system or another process (a program's name, a module's path),
// with each control character shown as '?', so that nothing in it drives the console.
std::wstring Printable(std::wstring text);

// A Windows error code as a short sentence, e.g. "(error 2: The system cannot ...)".
std::wstring ErrorText(unsigned long code);

}  // namespace qelrun
