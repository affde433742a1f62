// Minimal PE32 (i386) or PE32+ (x86-64) images written by the tests: one section holding an
// import table and, when asked, an export table.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qeltest {

// Each DLL with its imports; "#N" imports ordinal N.
using ImportSpec = std::vector<std::pair<std::string, std::vector<std::string>>>;
// Each exported name with its ordinal.
using ExportSpec = std::vector<std::pair<uint16_t, std::string>>;

// Where the one section is loaded: an offset into the section bytes plus this is an RVA.
constexpr uint32_t kSectionRva = 0x1000;
// An offset that says "no such table" to BuildPeAround.
constexpr uint32_t kNoTable = 0xffffffff;
// Where the section's bytes start in the file; BuildPe puts the import descriptors first,
// then the first DLL's thunks.
constexpr uint32_t kSectionFile = 0x200;
// Where the machine field of the file header lies in a built image.
constexpr size_t kMachineAt = 0x44;

std::vector<uint8_t> BuildPe(const ImportSpec& imports, bool pe32Plus = false,
                             const ExportSpec& exports = {});
// An image around section bytes of the test's own making, with the import and export
// directories at these offsets into it.
std::vector<uint8_t> BuildPeAround(const std::vector<uint8_t>& section, uint32_t importOffset,
                                   uint32_t exportOffset, bool pe32Plus = false);
void Put16(std::vector<uint8_t>& bytes, size_t at, uint32_t value);
void Put32(std::vector<uint8_t>& bytes, size_t at, uint32_t value);
void Put64(std::vector<uint8_t>& bytes, size_t at, uint64_t value);
void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace qeltest
