// One argument of a traced call printed by its type code: hex words, decimal, booleans,
// pointers tested for readability, narrow and wide texts read only as far as memory can
// be read.
#pragma once

#include <cstdint>

struct LineBuilder;

// Appends the argument's text, whole or not at all; unknown codes print a marker.
bool AppendArgument(LineBuilder& line, uint32_t value, char code);
