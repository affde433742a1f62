// Reading a 32-bit PE file's import and export tables with bounds-checked reads.
#include "common/pe_image.h"

#include <fstream>
#include <iterator>

namespace qel {
namespace {

constexpr uint16_t kMachineI386 = 0x14c;
constexpr uint16_t kMagicPe32 = 0x10b;
constexpr uint16_t kMagicPe32Plus = 0x20b;
constexpr uint32_t kExportDirectory = 0;
constexpr uint32_t kImportDirectory = 1;
// Limits that no real image reaches; they stop a looping or absurd table.
constexpr size_t kMaxDlls = 4096;
constexpr size_t kMaxThunks = 65536;
constexpr size_t kMaxName = 4096;
constexpr uint32_t kMaxExports = 65536;

struct Section {
  uint32_t virtualAddress, virtualSize, rawOffset, rawSize;
};

class Reader {
 public:
  explicit Reader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}

  bool U16(size_t offset, uint16_t* value) const {
    if (offset > bytes_.size() || bytes_.size() - offset < 2) return false;
    *value = static_cast<uint16_t>(bytes_[offset] | bytes_[offset + 1] << 8);
    return true;
  }
  bool U32(size_t offset, uint32_t* value) const {
    if (offset > bytes_.size() || bytes_.size() - offset < 4) return false;
    *value = static_cast<uint32_t>(bytes_[offset]) |
             static_cast<uint32_t>(bytes_[offset + 1]) << 8 |
             static_cast<uint32_t>(bytes_[offset + 2]) << 16 |
             static_cast<uint32_t>(bytes_[offset + 3]) << 24;
    return true;
  }
  // A NUL-terminated text that must end inside the file and within kMaxName bytes.
  bool Text(size_t offset, std::string* text) const {
    text->clear();
    for (size_t i = offset; i < bytes_.size() && text->size() < kMaxName; ++i) {
      if (bytes_[i] == 0) return true;
      text->push_back(static_cast<char>(bytes_[i]));
    }
    return false;
  }

  // The file offset of an RVA that lies in the file's data.
  bool Offset(uint32_t rva, size_t* offset) const {
    if (rva < headerSize_) {
      *offset = rva;
      return rva < bytes_.size();
    }
    for (const Section& s : sections_) {
      uint32_t span = s.virtualSize > s.rawSize ? s.virtualSize : s.rawSize;
      if (rva >= s.virtualAddress && rva - s.virtualAddress < span) {
        uint32_t delta = rva - s.virtualAddress;
        if (delta >= s.rawSize) return false;
        *offset = static_cast<size_t>(s.rawOffset) + delta;
        return *offset < bytes_.size();
      }
    }
    return false;
  }
  bool U32At(uint32_t rva, uint32_t* value) const {
    size_t offset;
    return Offset(rva, &offset) && U32(offset, value);
  }
  bool U16At(uint32_t rva, uint16_t* value) const {
    size_t offset;
    return Offset(rva, &offset) && U16(offset, value);
  }
  bool TextAt(uint32_t rva, std::string* text) const {
    size_t offset;
    return Offset(rva, &offset) && Text(offset, text);
  }

  std::vector<Section> sections_;
  uint32_t headerSize_ = 0;

 private:
  const std::vector<uint8_t>& bytes_;
};

bool Fail(std::string* error, const std::string& why) {
  *error = why;
  return false;
}

bool ReadImports(const Reader& r, uint32_t rva, PeImage* image, std::string* error) {
  const std::string bad = "malformed or truncated import table: ";
  for (size_t index = 0;; ++index) {
    if (index == kMaxDlls) return Fail(error, bad + "no end to the list of DLLs");
    uint32_t at = rva + static_cast<uint32_t>(index * 20);
    uint32_t lookup, nameRva, firstThunk;
    if (!r.U32At(at, &lookup) || !r.U32At(at + 12, &nameRva) || !r.U32At(at + 16, &firstThunk))
      return Fail(error, bad + "an import descriptor lies outside the file");
    if (lookup == 0 && nameRva == 0 && firstThunk == 0) return true;
    PeImportedDll dll;
    if (!r.TextAt(nameRva, &dll.dll) || dll.dll.empty())
      return Fail(error, bad + "a DLL name lies outside the file");
    uint32_t thunks = lookup != 0 ? lookup : firstThunk;
    for (size_t t = 0;; ++t) {
      if (t == kMaxThunks) return Fail(error, bad + "no end to the imports of " + dll.dll);
      uint32_t thunk;
      if (!r.U32At(thunks + static_cast<uint32_t>(t * 4), &thunk))
        return Fail(error, bad + "the import list of " + dll.dll + " lies outside the file");
      if (thunk == 0) break;
      PeImport function;
      if (thunk & 0x80000000u) {
        function.byOrdinal = true;
        function.ordinal = static_cast<uint16_t>(thunk & 0xffff);
      } else if (!r.TextAt(thunk + 2, &function.name) || function.name.empty()) {
        return Fail(error, bad + "a function name of " + dll.dll + " lies outside the file");
      }
      dll.functions.push_back(function);
    }
    image->imports.push_back(dll);
  }
}

bool ReadExports(const Reader& r, uint32_t rva, PeImage* image, std::string* error) {
  const std::string bad = "malformed or truncated export table: ";
  uint32_t base, names, nameTable, ordinalTable;
  if (!r.U32At(rva + 16, &base) || !r.U32At(rva + 24, &names) || !r.U32At(rva + 32, &nameTable) ||
      !r.U32At(rva + 36, &ordinalTable))
    return Fail(error, bad + "the directory lies outside the file");
  if (names > kMaxExports) return Fail(error, bad + "too many names");
  for (uint32_t i = 0; i < names; ++i) {
    uint32_t nameRva;
    uint16_t index;
    PeExport e;
    if (!r.U32At(nameTable + i * 4, &nameRva) || !r.U16At(ordinalTable + i * 2, &index) ||
        !r.TextAt(nameRva, &e.name))
      return Fail(error, bad + "a name lies outside the file");
    e.ordinal = base + index;
    image->exports.push_back(e);
  }
  return true;
}

}  // namespace

bool ParsePeImage(const std::vector<uint8_t>& bytes, PeImage* image, std::string* error) {
  *image = PeImage();
  Reader r(bytes);
  uint16_t mz;
  uint32_t pe, signature;
  if (!r.U16(0, &mz) || mz != 0x5a4d || !r.U32(0x3c, &pe))
    return Fail(error, "not a PE file: no MZ header");
  if (!r.U32(pe, &signature) || signature != 0x4550)
    return Fail(error, "not a PE file: no PE signature");
  uint16_t machine, sectionCount, optionalSize, magic;
  if (!r.U16(pe + 4, &machine) || !r.U16(pe + 6, &sectionCount) || !r.U16(pe + 20, &optionalSize) ||
      !r.U16(pe + 24, &magic))
    return Fail(error, "truncated PE header");
  if (magic == kMagicPe32Plus)
    return Fail(error, "a 64-bit (PE32+) image; only 32-bit programs are read");
  if (magic != kMagicPe32 || machine != kMachineI386)
    return Fail(error, "not a 32-bit i386 PE image");
  size_t optional = static_cast<size_t>(pe) + 24;
  uint32_t directoryCount;
  if (!r.U32(optional + 60, &r.headerSize_) || !r.U32(optional + 92, &directoryCount))
    return Fail(error, "truncated optional header");
  size_t table = optional + optionalSize;
  for (uint16_t i = 0; i < sectionCount; ++i) {
    Section s;
    size_t at = table + i * 40u;
    if (!r.U32(at + 8, &s.virtualSize) || !r.U32(at + 12, &s.virtualAddress) ||
        !r.U32(at + 16, &s.rawSize) || !r.U32(at + 20, &s.rawOffset))
      return Fail(error, "truncated section table");
    r.sections_.push_back(s);
  }
  auto directory = [&](uint32_t index, uint32_t* rva, uint32_t* size) {
    if (directoryCount <= index || 96u + index * 8u + 8u > optionalSize) return false;
    return r.U32(optional + 96 + index * 8, rva) && r.U32(optional + 100 + index * 8, size) &&
           *rva != 0;
  };
  uint32_t rva, size;
  if (directory(kImportDirectory, &rva, &size) && !ReadImports(r, rva, image, error)) return false;
  if (directory(kExportDirectory, &rva, &size) && !ReadExports(r, rva, image, error)) return false;
  return true;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return Fail(error, "cannot open " + path);
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) return Fail(error, "cannot read " + path);
  return true;
}

}  // namespace qel
