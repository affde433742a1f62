// Indentation of nested calls in --calls --tree.
#include "call_tree.h"

#include <algorithm>

namespace qel::report {

std::string TreeIndent(size_t depth) {
  return std::string(2 * std::min(depth, kTreeDepthLimit), ' ');
}

}  // namespace qel::report
