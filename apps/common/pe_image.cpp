// Reading the import and export tables of a PE32 (i386) or PE32+ (x86-64) file with
// bounds-checked reads.
#include "common/pe_image.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

#include <map>

#include "common/text_encoding.h"

namespace qel {
namespace {

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
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool U16(size_t offset, uint16_t* value) const {
    if (offset > size_ || size_ - offset < 2) return false;
    *value = static_cast<uint16_t>(data_[offset] | data_[offset + 1] << 8);
    return true;
  }
  bool U32(size_t offset, uint32_t* value) const {
    if (offset > size_ || size_ - offset < 4) return false;
    *value = static_cast<uint32_t>(data_[offset]) | static_cast<uint32_t>(data_[offset + 1]) << 8 |
             static_cast<uint32_t>(data_[offset + 2]) << 16 |
             static_cast<uint32_t>(data_[offset + 3]) << 24;
    return true;
  }
  bool U64(size_t offset, uint64_t* value) const {
    uint32_t low, high;
    if (offset > size_ || size_ - offset < 8 || !U32(offset, &low) || !U32(offset + 4, &high))
      return false;
    *value = static_cast<uint64_t>(high) << 32 | low;
    return true;
  }
  // A NUL-terminated text that must end inside the file and within kMaxName bytes.
  bool Text(size_t offset, std::string* text) const {
    text->clear();
    for (size_t i = offset; i < size_ && text->size() < kMaxName; ++i) {
      if (data_[i] == 0) return true;
      text->push_back(static_cast<char>(data_[i]));
    }
    return false;
  }

  // The file offset of an RVA that lies in the file's data.
  bool Offset(uint32_t rva, size_t* offset) const {
    if (rva < headerSize_) {
      *offset = rva;
      return rva < size_;
    }
    for (const Section& s : sections_) {
      uint32_t span = s.virtualSize > s.rawSize ? s.virtualSize : s.rawSize;
      if (rva >= s.virtualAddress && rva - s.virtualAddress < span) {
        uint32_t delta = rva - s.virtualAddress;
        if (delta >= s.rawSize) return false;
        *offset = static_cast<size_t>(s.rawOffset) + delta;
        return *offset < size_;
      }
    }
    return false;
  }
  bool U32At(uint32_t rva, uint32_t* value) const {
    size_t offset;
    return Offset(rva, &offset) && U32(offset, value);
  }
  // One entry of an import lookup table: 4 bytes in a PE32 image, 8 in a PE32+ one.
  bool ThunkAt(uint32_t rva, bool wide, uint64_t* value) const {
    size_t offset;
    if (!Offset(rva, &offset)) return false;
    if (wide) return U64(offset, value);
    uint32_t narrow;
    if (!U32(offset, &narrow)) return false;
    *value = narrow;
    return true;
  }
  bool U16At(uint32_t rva, uint16_t* value) const {
    size_t offset;
    return Offset(rva, &offset) && U16(offset, value);
  }
  bool TextAt(uint32_t rva, std::string* text) const {
    size_t offset;
    return Offset(rva, &offset) && Text(offset, text);
  }
  // A name of the import or export tables: each place in the file is read once however many
  // entries share it, and every name given out is charged to one budget for the image.
  enum class Name { kRead, kOutside, kOverBudget };
  Name NameAt(uint32_t rva, std::string* text) {
    auto cached = names_.find(rva);
    if (cached == names_.end()) {
      std::string read;
      if (!TextAt(rva, &read)) return Name::kOutside;
      cached = names_.emplace(rva, std::move(read)).first;
    }
    if (cached->second.size() > nameBytesLeft_) return Name::kOverBudget;
    nameBytesLeft_ -= cached->second.size();
    *text = cached->second;
    return Name::kRead;
  }

  std::vector<Section> sections_;
  uint32_t headerSize_ = 0;

 private:
  const uint8_t* data_;
  size_t size_;
  std::map<uint32_t, std::string> names_;
  size_t nameBytesLeft_ = kMaxNameBytes;
};

// The steps inside the reader answer a sentence, empty when they succeeded.
using Why = std::string;

std::string HexMachine(uint16_t machine) {
  const char digits[] = "0123456789abcdef";
  std::string text = "0x";
  for (int shift = 12; shift >= 0; shift -= 4) text.push_back(digits[(machine >> shift) & 0xf]);
  return text;
}

std::string TooManyNames() {
  return "more than " + std::to_string(kMaxNameBytes >> 20) +
         " MiB of names, more than any real program has";
}

Why ReadImports(Reader& r, uint32_t rva, PeImage* image) {
  // A thunk's top bit flags an ordinal: bit 31 of PE32's 4 bytes, bit 63 of PE32+'s 8, whose
  // bits between the flag and a 16-bit ordinal or a 31-bit name RVA must be clear.
  const bool wide = image->pe32Plus;
  const uint32_t thunkSize = wide ? 8 : 4;
  const uint64_t ordinalFlag = wide ? uint64_t{1} << 63 : 0x80000000u;
  const std::string bad = "malformed or truncated import table: ";
  size_t imports = 0;
  for (size_t index = 0;; ++index) {
    if (index == kMaxDlls) return Why(bad + "no end to the list of DLLs");
    uint32_t at = rva + static_cast<uint32_t>(index * 20);
    uint32_t lookup, nameRva, firstThunk;
    if (!r.U32At(at, &lookup) || !r.U32At(at + 12, &nameRva) || !r.U32At(at + 16, &firstThunk))
      return Why(bad + "an import descriptor lies outside the file");
    if (lookup == 0 && nameRva == 0 && firstThunk == 0) return Why();
    PeImportedDll dll;
    Reader::Name read = r.NameAt(nameRva, &dll.dll);
    if (read == Reader::Name::kOverBudget) return Why(bad + TooManyNames());
    if (read == Reader::Name::kOutside || dll.dll.empty())
      return Why(bad + "a DLL name lies outside the file");
    const std::string shown = EscapeName(dll.dll);
    uint32_t thunks = lookup != 0 ? lookup : firstThunk;
    for (size_t t = 0;; ++t) {
      if (t == kMaxThunks) return Why(bad + "no end to the imports of " + shown);
      uint64_t thunk;
      if (!r.ThunkAt(thunks + static_cast<uint32_t>(t * thunkSize), wide, &thunk))
        return Why(bad + "the import list of " + shown + " lies outside the file");
      if (thunk == 0) break;
      if (++imports > kMaxImports)
        return Why(bad + "more than " + std::to_string(kMaxImports) +
                   " imports, more than any real program has");
      PeImport function;
      if (thunk & ordinalFlag) {
        if (wide && (thunk & ~ordinalFlag) > 0xffff)
          return Why(bad + "an ordinal import of " + shown + " has bits set above the ordinal");
        function.byOrdinal = true;
        function.ordinal = static_cast<uint16_t>(thunk & 0xffff);
      } else {
        if (thunk > 0x7fffffffu)
          return Why(bad + "a name import of " + shown + " has bits set above its address");
        read = r.NameAt(static_cast<uint32_t>(thunk) + 2, &function.name);
        if (read == Reader::Name::kOverBudget) return Why(bad + TooManyNames());
        if (read == Reader::Name::kOutside || function.name.empty())
          return Why(bad + "a function name of " + shown + " lies outside the file");
      }
      dll.functions.push_back(std::move(function));
    }
    image->imports.push_back(std::move(dll));
  }
}

Why ReadExports(Reader& r, uint32_t rva, PeImage* image) {
  const std::string bad = "malformed or truncated export table: ";
  uint32_t base, names, nameTable, ordinalTable;
  if (!r.U32At(rva + 16, &base) || !r.U32At(rva + 24, &names) || !r.U32At(rva + 32, &nameTable) ||
      !r.U32At(rva + 36, &ordinalTable))
    return Why(bad + "the directory lies outside the file");
  if (names > kMaxExports) return Why(bad + "too many names");
  for (uint32_t i = 0; i < names; ++i) {
    uint32_t nameRva;
    uint16_t index;
    PeExport e;
    if (!r.U32At(nameTable + i * 4, &nameRva) || !r.U16At(ordinalTable + i * 2, &index))
      return Why(bad + "a name lies outside the file");
    Reader::Name read = r.NameAt(nameRva, &e.name);
    if (read == Reader::Name::kOverBudget) return Why(bad + TooManyNames());
    if (read == Reader::Name::kOutside) return Why(bad + "a name lies outside the file");
    e.ordinal = base + index;
    image->exports.push_back(std::move(e));
  }
  return Why();
}

}  // namespace

Result<PeHeaders> ReadPeHeaders(const uint8_t* data, size_t size) {
  Reader r(data, size);
  PeHeaders h;
  uint16_t mz;
  uint32_t pe, signature;
  if (!r.U16(0, &mz) || mz != 0x5a4d || !r.U32(0x3c, &pe))
    return Fail("not a PE file: no MZ header");
  if (!r.U32(pe, &signature) || signature != 0x4550) return Fail("not a PE file: no PE signature");
  if (!r.U16(pe + 4, &h.machine) || !r.U16(pe + 6, &h.sectionCount) ||
      !r.U16(pe + 20, &h.optionalSize) || !r.U16(pe + 22, &h.characteristics) ||
      !r.U16(pe + 24, &h.magic))
    return Fail("truncated PE header");
  h.optionalHeader = static_cast<size_t>(pe) + 24;
  return h;
}

Result<PeImage> ParsePeImage(const uint8_t* data, size_t size) {
  Result<PeHeaders> headers = ReadPeHeaders(data, size);
  if (!headers) return Fail(headers.message());
  const PeHeaders& h = headers.value();
  PeImage image;
  image.pe32Plus = h.IsPe32Plus();
  if (!(h.IsPe32() && h.IsI386()) && !(h.IsPe32Plus() && h.IsX8664()))
    return Fail("not a 32-bit i386 or a 64-bit x86-64 PE image (machine " + HexMachine(h.machine) +
                (h.IsPe32Plus() ? ", PE32+)"
                 : h.IsPe32()   ? ", PE32)"
                                : ")"));
  Reader r(data, size);
  size_t optional = h.optionalHeader;
  // The PE32+ optional header has a 64-bit image base and stack and heap sizes, which move
  // the data directories 16 bytes on.
  const uint32_t directories = image.pe32Plus ? 112 : 96;
  uint32_t directoryCount;
  if (!r.U32(optional + 60, &r.headerSize_) || !r.U32(optional + directories - 4, &directoryCount))
    return Fail("truncated optional header");
  size_t table = optional + h.optionalSize;
  for (uint16_t i = 0; i < h.sectionCount; ++i) {
    Section s;
    size_t at = table + i * 40u;
    if (!r.U32(at + 8, &s.virtualSize) || !r.U32(at + 12, &s.virtualAddress) ||
        !r.U32(at + 16, &s.rawSize) || !r.U32(at + 20, &s.rawOffset))
      return Fail("truncated section table");
    r.sections_.push_back(s);
  }
  auto directory = [&](uint32_t index, uint32_t* rva, uint32_t* length) {
    if (directoryCount <= index || directories + index * 8u + 8u > h.optionalSize) return false;
    return r.U32(optional + directories + index * 8, rva) &&
           r.U32(optional + directories + 4 + index * 8, length) && *rva != 0;
  };
  uint32_t rva, length;
  if (directory(kImportDirectory, &rva, &length)) {
    Why why = ReadImports(r, rva, &image);
    if (!why.empty()) return Fail(why);
  }
  if (directory(kExportDirectory, &rva, &length)) {
    Why why = ReadExports(r, rva, &image);
    if (!why.empty()) return Fail(why);
  }
  return image;
}

Result<PeImage> ParsePeImage(const std::vector<uint8_t>& bytes) {
  return ParsePeImage(bytes.data(), bytes.size());
}

namespace {

std::string TooLarge(const std::string& shown) {
  return shown + " is larger than " + std::to_string(kMaxImageFileBytes >> 20) +
         " MiB, more than any program file";
}

}  // namespace

#ifdef _WIN32

// One handle from the first check to the last byte, so the file cannot be swapped between.
Result<std::vector<uint8_t>> ReadWholeFile(const std::string& path) {
  const std::string shown = EscapePath(path);
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Fail("cannot open " + shown);
  struct Closer {
    HANDLE handle;
    ~Closer() { CloseHandle(handle); }
  } closer{file};
  DWORD type = GetFileType(file);
  if (type == FILE_TYPE_PIPE) return Fail(shown + " is a pipe, not a regular file");
  if (type == FILE_TYPE_CHAR) return Fail(shown + " is a device, not a regular file");
  BY_HANDLE_FILE_INFORMATION info;
  if (type != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info))
    return Fail(shown + " is not a regular file");
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
    return Fail(shown + " is a folder, not a program file");
  uint64_t size = static_cast<uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
  if (size > kMaxImageFileBytes) return Fail(TooLarge(shown));
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  size_t done = 0;
  while (done < bytes.size()) {
    DWORD got = 0;
    if (!ReadFile(file, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &got,
                  nullptr))
      return Fail("cannot read " + shown);
    if (got == 0) break;
    done += got;
  }
  bytes.resize(done);
  return bytes;
}

#else

// Opened without blocking (a FIFO would wait for a writer) and checked through the same
// descriptor that is read, so the file cannot be swapped between.
Result<std::vector<uint8_t>> ReadWholeFile(const std::string& path) {
  const std::string shown = EscapePath(path);
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return Fail("cannot open " + shown + " (" + std::strerror(errno) + ")");
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{fd};
  struct stat status;
  if (fstat(fd, &status) != 0) return Fail("cannot read " + shown);
  if (S_ISDIR(status.st_mode)) return Fail(shown + " is a folder, not a program file");
  if (S_ISFIFO(status.st_mode)) return Fail(shown + " is a FIFO, not a regular file");
  if (S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode))
    return Fail(shown + " is a device, not a regular file");
  if (!S_ISREG(status.st_mode)) return Fail(shown + " is not a regular file");
  if (static_cast<uint64_t>(status.st_size) > kMaxImageFileBytes) return Fail(TooLarge(shown));
  std::vector<uint8_t> bytes(static_cast<size_t>(status.st_size));
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t got = read(fd, bytes.data() + done, bytes.size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return Fail("cannot read " + shown + " (" + std::strerror(errno) + ")");
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  bytes.resize(done);
  return bytes;
}

#endif

}  // namespace qel
