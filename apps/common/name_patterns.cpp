// Name patterns for the tools' keep/drop options.
#include "common/name_patterns.h"

namespace qel {
namespace {

char Fold(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

NamePatterns ParseNamePatterns(const std::string& list) {
  NamePatterns patterns;
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    if (comma > start) patterns.globs.push_back(list.substr(start, comma - start));
    start = comma + 1;
  }
  return patterns;
}

// Iterative match with one backtrack point: linear in practice, never recursive.
bool GlobMatches(const std::string& glob, const std::string& name) {
  size_t g = 0, n = 0;
  size_t starGlob = std::string::npos, starName = 0;
  while (n < name.size()) {
    if (g < glob.size() && (glob[g] == '?' || Fold(glob[g]) == Fold(name[n]))) {
      ++g;
      ++n;
    } else if (g < glob.size() && glob[g] == '*') {
      starGlob = g++;
      starName = n;
    } else if (starGlob != std::string::npos) {
      g = starGlob + 1;
      n = ++starName;
    } else {
      return false;
    }
  }
  while (g < glob.size() && glob[g] == '*') ++g;
  return g == glob.size();
}

bool AnyMatches(const NamePatterns& patterns, const std::string& name) {
  for (const std::string& glob : patterns.globs) {
    if (GlobMatches(glob, name)) return true;
  }
  return false;
}

}  // namespace qel
