// Minimal PE32 images written by the tests.
#include "pe_builder.h"

#include <fstream>

namespace qeltest {
namespace {

constexpr uint32_t kSectionRva = 0x1000;
constexpr uint32_t kSectionFile = 0x200;

void Put16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  if (b.size() < at + 2) b.resize(at + 2);
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  Put16(b, at, v & 0xffff);
  Put16(b, at + 2, v >> 16);
}

}  // namespace

std::vector<uint8_t> BuildPe(const ImportSpec& imports, bool pe32Plus) {
  // The section: descriptors, then per DLL its thunks, its names and its hint/name entries.
  std::vector<uint8_t> s((imports.size() + 1) * 20, 0);
  for (size_t d = 0; d < imports.size(); ++d) {
    uint32_t thunks = static_cast<uint32_t>(s.size());
    s.resize(s.size() + (imports[d].second.size() + 1) * 4, 0);
    uint32_t name = static_cast<uint32_t>(s.size());
    s.insert(s.end(), imports[d].first.begin(), imports[d].first.end());
    s.push_back(0);
    for (size_t f = 0; f < imports[d].second.size(); ++f) {
      const std::string& fn = imports[d].second[f];
      if (fn[0] == '#') {
        Put32(s, thunks + f * 4, 0x80000000u | static_cast<uint32_t>(std::stoul(fn.substr(1))));
        continue;
      }
      Put32(s, thunks + f * 4, kSectionRva + static_cast<uint32_t>(s.size()));
      s.push_back(0);
      s.push_back(0);
      s.insert(s.end(), fn.begin(), fn.end());
      s.push_back(0);
    }
    Put32(s, d * 20, kSectionRva + thunks);
    Put32(s, d * 20 + 12, kSectionRva + name);
    Put32(s, d * 20 + 16, kSectionRva + thunks);
  }
  std::vector<uint8_t> b(kSectionFile, 0);
  b[0] = 'M';
  b[1] = 'Z';
  Put32(b, 0x3c, 0x40);
  Put32(b, 0x40, 0x4550);
  Put16(b, 0x44, 0x14c);
  Put16(b, 0x46, 1);
  Put16(b, 0x54, 0xe0);
  const size_t opt = 0x58;
  Put16(b, opt, pe32Plus ? 0x20b : 0x10b);
  Put32(b, opt + 60, kSectionFile);
  Put32(b, opt + 92, 16);
  Put32(b, opt + 104, imports.empty() ? 0 : kSectionRva);
  Put32(b, opt + 108, static_cast<uint32_t>((imports.size() + 1) * 20));
  const size_t section = opt + 0xe0;
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
