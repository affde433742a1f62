// Reading a 32-bit PE file's import and export tables, every read checked against the
// file's bounds, so a truncated or malformed file gives an error text instead of a fault.
// The work is bounded by caps that no real program reaches, whatever the tables claim.
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

// The most imports read from one image, over all its DLLs; real programs have a few thousand.
constexpr size_t kMaxImports = 65536;
// The most bytes of DLL and function names one image may give, a name shared by many
// entries counted at each; it bounds the memory a crafted table can ask for.
constexpr size_t kMaxNameBytes = size_t{16} << 20;
// The largest file read; larger ones are refused before a byte is read.
constexpr uint64_t kMaxImageFileBytes = uint64_t{256} << 20;

// Parses the bytes of a PE32 (i386) file; false with a reason in *error otherwise. The
// reason holds no byte of the file unescaped.
bool ParsePeImage(const uint8_t* data, size_t size, PeImage* image, std::string* error);
bool ParsePeImage(const std::vector<uint8_t>& bytes, PeImage* image, std::string* error);

// Reads a whole regular file of at most kMaxImageFileBytes; false with a reason in *error
// for anything else (a folder, a FIFO, a device, a larger file), without blocking on it.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error);

}  // namespace qel
