// The nesting of qelvorn-report --calls --tree: a call made while another call of its
// thread is in flight (a window procedure, an enumeration callback, a loader notification)
// is indented under its caller, two spaces a level.
#pragma once
#include <cstddef>
#include <string>

namespace qel::report {

// Levels indented, at most, as the summary indents the calls in flight: a log of deep
// recursion cannot make each line grow with its depth.
constexpr size_t kTreeDepthLimit = 16;

// The indentation of a call made with `depth` calls of its thread in flight.
std::string TreeIndent(size_t depth);

}  // namespace qel::report
