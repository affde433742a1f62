// Reading a 32-bit PE file's import and export tables, every read checked against the
// file's bounds, so a truncated or malformed file gives an error text instead of a fault.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace qel {

struct PeImport {
  std::string name;  // empty when imported by ordinal only
  bool byOrdinal = false;
  uint16_t ordinal = 0;
};

struct PeImportedDll {
  std::string dll;  // as the import directory spells it
  std::vector<PeImport> functions;
};

struct PeExport {
  std::string name;
  uint32_t ordinal = 0;
};

struct PeImage {
  std::vector<PeImportedDll> imports;
  std::vector<PeExport> exports;  // named exports only
};

// Parses the bytes of a PE32 (i386) file; false with a reason in *error otherwise.
bool ParsePeImage(const std::vector<uint8_t>& bytes, PeImage* image, std::string* error);
// Reads a whole file; false with a reason in *error.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error);

}  // namespace qel
