// One argument of a traced call printed by its type code: hex words, decimal, booleans,
// pointers tested for readability, narrow and wide texts read only as far as memory can
// be read.
#pragma once

#include <cstdint>

#include "hooklist/type_codes.h"

namespace qelvorn {

struct LineBuilder;

// Appends the argument that starts at words[0] by its code (hooklist/type_codes.h), whole
// or not at all, reading as many of the wordsLeft words as the code takes. A code not in
// the table, or wider than the words left, prints a marker.
bool AppendArgument(LineBuilder& line, const ArgWord* words, uint32_t wordsLeft, char code);

}  // namespace qelvorn
