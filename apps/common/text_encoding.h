// Text conversion for the tools: the logs are written in code page 932, the tools
// print UTF-8; names read from program files are escaped before they are shown.
#pragma once
#include <string>
#include <string_view>

namespace qel {

// Converts cp932 bytes to UTF-8. Plain ASCII is copied unchanged without calling the
// system; a byte sequence that is not cp932 becomes U+FFFD, so the result is always
// valid UTF-8.
std::string Cp932ToUtf8(std::string_view text);

// A name read from a program file, safe on a terminal and within one line of a file:
// printable ASCII stays, a backslash is doubled, CR, LF and TAB become \r, \n and \t, and
// every other byte (C0 controls, DEL, bytes from 0x80) becomes \xHH.
std::string EscapeName(std::string_view text);

// The length of the well-formed UTF-8 character at text[at] (2 to 4 bytes: no overlong
// form, no surrogate, nothing past U+10FFFF), or 0 when the bytes there are none; an ASCII
// byte is no multi-byte character and answers 0 too.
size_t Utf8CharacterLength(std::string_view text, size_t at);

// A path, escaped only where it could move a terminal: C0 controls and DEL become \xHH
// (\r, \n, \t by name), and outside Windows the UTF-8 C1 controls U+0080 to U+009F too;
// folder names in any code page stay readable.
std::string EscapePath(std::string_view path);

}  // namespace qel
