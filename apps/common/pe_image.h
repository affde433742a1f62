// Reading the import and export tables of a 32-bit (PE32, i386) or 64-bit (PE32+, x86-64)
// PE file, every read checked against the file's bounds, so a truncated or malformed file
// gives an error text instead of a fault.
// The work is bounded by caps that no real program reaches, whatever the tables claim.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "common/result.h"

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
  bool pe32Plus = false;  // a 64-bit x86-64 image; else a 32-bit i386 one
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

// What the DOS and NT headers say: enough to tell a program from a DLL and one processor
// from another. They lie in a file's first few KB, which is all the launcher reads.
struct PeHeaders {
  uint16_t machine = 0;  // IMAGE_FILE_MACHINE_*
  uint16_t magic = 0;    // 0x10b PE32, 0x20b PE32+
  uint16_t characteristics = 0;
  uint16_t sectionCount = 0;
  uint16_t optionalSize = 0;
  size_t optionalHeader = 0;  // file offset of the optional header
  bool IsPe32() const { return magic == 0x10b; }
  bool IsPe32Plus() const { return magic == 0x20b; }
  bool IsI386() const { return machine == 0x14c; }
  bool IsX8664() const { return machine == 0x8664; }
  bool IsDll() const { return (characteristics & 0x2000) != 0; }
};

// Reads the headers of a PE file of either width; fails only when the bytes are no PE file.
Result<PeHeaders> ReadPeHeaders(const uint8_t* data, size_t size);

// Parses the bytes of a PE32 (i386) or PE32+ (x86-64) file; fails for any other processor,
// and with a reason that holds no byte of the file unescaped.
Result<PeImage> ParsePeImage(const uint8_t* data, size_t size);
Result<PeImage> ParsePeImage(const std::vector<uint8_t>& bytes);

// Reads a whole regular file of at most kMaxImageFileBytes; fails for anything else (a
// folder, a FIFO, a device, a larger file), without blocking on it.
Result<std::vector<uint8_t>> ReadWholeFile(const std::string& path);

}  // namespace qel
