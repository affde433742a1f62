// Minimal PE32 images written by the tests: one section holding an import table.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qeltest {

// Each DLL with its imports; "#N" imports ordinal N.
using ImportSpec = std::vector<std::pair<std::string, std::vector<std::string>>>;

std::vector<uint8_t> BuildPe(const ImportSpec& imports, bool pe32Plus = false);
void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace qeltest
