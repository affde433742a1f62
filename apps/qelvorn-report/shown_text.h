// Text from a log or a file name made safe to show: on a terminal, in the page, and in
// messages. Nothing the traced program wrote may move a cursor or retitle a window.
#pragma once
#include <string>
#include <string_view>

namespace qel::report {

// `text` (UTF-8, possibly broken) with every control character written out: LF, CR and
// TAB as \n, \r and \t, the other C0 controls, DEL and bytes that are not UTF-8 as \xHH,
// and the C1 controls (U+0080 to U+009F) as \u0080 to \u009f.
std::string EscapeControls(std::string_view text);

// A text as the tracer wrote it (code page 932), converted to UTF-8 and escaped.
std::string ShownText(std::string_view cp932);
// The same, appended to `out`.
void AppendShownText(std::string_view cp932, std::string* out);

}  // namespace qel::report
