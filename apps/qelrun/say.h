// The launcher's own lines on standard error, each starting with "qelrun: ".
#pragma once

#include <string>

namespace qelrun {

void Say(const std::wstring& line);

// Each line of a Shift_JIS text (QelSetUp_'s messages), converted for the console.
void SayShiftJisLines(const std::string& text);

// A Windows error code as a short sentence, e.g. "(error 2: The system cannot ...)".
std::wstring ErrorText(unsigned long code);

}  // namespace qelrun
