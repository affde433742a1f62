// Name patterns for the tools' keep/drop options: a comma-separated list of globs
// (`*` any run, `?` one character), matched without regard to ASCII case, as
// Windows matches module and function names.
#pragma once
#include <string>
#include <vector>

namespace qel {

struct NamePatterns {
  std::vector<std::string> globs;
};

// "Heap*,*File*" -> two globs; empty items are ignored.
NamePatterns ParseNamePatterns(const std::string& list);
bool GlobMatches(const std::string& glob, const std::string& name);
// True when any glob matches; an empty list matches nothing.
bool AnyMatches(const NamePatterns& patterns, const std::string& name);

}  // namespace qel
