// Minimal PE32 (i386) and PE32+ (x86-64) images written by the tests.
#include "pe_builder.h"

#include <fstream>

namespace qeltest {

void Put16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  if (b.size() < at + 2) b.resize(at + 2);
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}

namespace {

uint32_t Append(std::vector<uint8_t>& s, const std::string& text) {
  uint32_t at = static_cast<uint32_t>(s.size());
  s.insert(s.end(), text.begin(), text.end());
  s.push_back(0);
  return at;
}

// The export directory with its three tables and names, at the end of the section.
uint32_t AppendExports(std::vector<uint8_t>& s, const ExportSpec& exports) {
  uint16_t last = 1;
  for (const auto& e : exports) last = e.first > last ? e.first : last;
  uint32_t dir = static_cast<uint32_t>(s.size());
  s.resize(s.size() + 40, 0);
  uint32_t functions = static_cast<uint32_t>(s.size());
  s.resize(s.size() + last * 4u, 0);
  uint32_t names = static_cast<uint32_t>(s.size());
  s.resize(s.size() + exports.size() * 4, 0);
  uint32_t ordinals = static_cast<uint32_t>(s.size());
  s.resize(s.size() + exports.size() * 2, 0);
  for (size_t i = 0; i < exports.size(); ++i) {
    Put32(s, functions + (exports[i].first - 1u) * 4u, kSectionRva + functions);
    Put32(s, names + i * 4, kSectionRva + Append(s, exports[i].second));
    Put16(s, ordinals + i * 2, exports[i].first - 1u);
  }
  Put32(s, dir + 16, 1);  // ordinal base
  Put32(s, dir + 20, last);
  Put32(s, dir + 24, static_cast<uint32_t>(exports.size()));
  Put32(s, dir + 28, kSectionRva + functions);
  Put32(s, dir + 32, kSectionRva + names);
  Put32(s, dir + 36, kSectionRva + ordinals);
  return dir;
}

}  // namespace

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  Put16(b, at, v & 0xffff);
  Put16(b, at + 2, v >> 16);
}

void Put64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
  Put32(b, at, static_cast<uint32_t>(v));
  Put32(b, at + 4, static_cast<uint32_t>(v >> 32));
}

std::vector<uint8_t> BuildPe(const ImportSpec& imports, bool pe32Plus, const ExportSpec& exports) {
  // The section: descriptors, then per DLL its thunks, its names and its hint/name entries.
  // A PE32+ thunk is 8 bytes, its ordinal flag the top bit of the upper 4.
  const size_t thunkSize = pe32Plus ? 8 : 4;
  const size_t flagAt = pe32Plus ? 4 : 0;
  std::vector<uint8_t> s((imports.size() + 1) * 20, 0);
  for (size_t d = 0; d < imports.size(); ++d) {
    uint32_t thunks = static_cast<uint32_t>(s.size());
    s.resize(s.size() + (imports[d].second.size() + 1) * thunkSize, 0);
    uint32_t name = Append(s, imports[d].first);
    for (size_t f = 0; f < imports[d].second.size(); ++f) {
      const std::string& fn = imports[d].second[f];
      const size_t thunk = thunks + f * thunkSize;
      if (fn[0] == '#') {
        uint32_t ordinal = static_cast<uint32_t>(std::stoul(fn.substr(1)));
        Put32(s, thunk, ordinal);
        Put32(s, thunk + flagAt, 0x80000000u | (pe32Plus ? 0 : ordinal));
        continue;
      }
      Put32(s, thunk, kSectionRva + static_cast<uint32_t>(s.size()));
      s.push_back(0);
      s.push_back(0);
      Append(s, fn);
    }
    Put32(s, d * 20, kSectionRva + thunks);
    Put32(s, d * 20 + 12, kSectionRva + name);
    Put32(s, d * 20 + 16, kSectionRva + thunks);
  }
  uint32_t exportDir = exports.empty() ? kNoTable : AppendExports(s, exports);
  return BuildPeAround(s, imports.empty() ? kNoTable : 0, exportDir, pe32Plus);
}

std::vector<uint8_t> BuildPeAround(const std::vector<uint8_t>& s, uint32_t importOffset,
                                   uint32_t exportOffset, bool pe32Plus) {
  std::vector<uint8_t> b(kSectionFile, 0);
  b[0] = 'M';
  b[1] = 'Z';
  Put32(b, 0x3c, 0x40);
  Put32(b, 0x40, 0x4550);
  Put16(b, kMachineAt, pe32Plus ? 0x8664 : 0x14c);
  Put16(b, 0x46, 1);
  // The PE32+ optional header is 16 bytes longer: a 64-bit image base and stack and heap
  // sizes move its data directories from 96 to 112.
  const uint32_t optionalSize = pe32Plus ? 0xf0 : 0xe0;
  const size_t directories = pe32Plus ? 112 : 96;
  Put16(b, 0x54, optionalSize);
  const size_t opt = 0x58;
  Put16(b, opt, pe32Plus ? 0x20b : 0x10b);
  if (pe32Plus) Put32(b, opt + 28, 0x1);  // image base 0x100000000: above 4 GB
  Put32(b, opt + 60, kSectionFile);
  Put32(b, opt + directories - 4, 16);
  if (exportOffset != kNoTable) {
    Put32(b, opt + directories, kSectionRva + exportOffset);
    Put32(b, opt + directories + 4, 40);
  }
  if (importOffset != kNoTable) {
    Put32(b, opt + directories + 8, kSectionRva + importOffset);
    Put32(b, opt + directories + 12, 20);
  }
  const size_t section = opt + optionalSize;
  Put32(b, section + 8, static_cast<uint32_t>(s.size()));
  Put32(b, section + 12, kSectionRva);
  Put32(b, section + 16, static_cast<uint32_t>(s.size()));
  Put32(b, section + 20, kSectionFile);
  b.insert(b.end(), s.begin(), s.end());
  return b;
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

}  // namespace qeltest
