// The header reader that the launcher and qelvorn-lst share: which processor, width and
// kind of image a file is, and a plain reason for bytes that are no PE file.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "common/pe_image.h"
#include "pe_builder.h"

namespace {

void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}

struct HeaderCase {
  const char* name;
  std::function<void(std::vector<uint8_t>&)> change;
  const char* failure;  // empty: read, with the facts below
  bool pe32Plus = false, i386 = false, dll = false;
};

TEST(PeHeaders, TellWidthProcessorAndKind) {
  // The builder's image: MZ at 0, PE header at 0x40, machine at 0x44, characteristics at
  // 0x56, optional header magic at 0x58.
  const HeaderCase cases[] = {
      {"program", [](std::vector<uint8_t>&) {}, "", false, true, false},
      {"dll", [](std::vector<uint8_t>& b) { Put16(b, 0x56, 0x2102); }, "", false, true, true},
      {"pe32+", [](std::vector<uint8_t>& b) { Put16(b, 0x58, 0x20b); }, "", true, true, false},
      {"arm", [](std::vector<uint8_t>& b) { Put16(b, 0x44, 0x1c0); }, "", false, false, false},
      {"no MZ", [](std::vector<uint8_t>& b) { b[0] = 'X'; }, "no MZ header"},
      {"no PE", [](std::vector<uint8_t>& b) { b[0x41] = 'X'; }, "no PE signature"},
      {"PE header past the end",
       [](std::vector<uint8_t>& b) { qeltest::Put32(b, 0x3c, 0xfffffff0); }, "no PE signature"},
      {"truncated", [](std::vector<uint8_t>& b) { b.resize(0x50); }, "truncated PE header"},
      {"empty", [](std::vector<uint8_t>& b) { b.clear(); }, "no MZ header"},
  };
  for (const HeaderCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> image = qeltest::BuildPe({{"KERNEL32.dll", {"GetTickCount"}}});
    c.change(image);
    qel::Result<qel::PeHeaders> read = qel::ReadPeHeaders(image.data(), image.size());
    if (*c.failure != '\0') {
      ASSERT_FALSE(read.ok());
      EXPECT_NE(read.message().find(c.failure), std::string::npos) << read.message();
      continue;
    }
    ASSERT_TRUE(read.ok()) << read.message();
    EXPECT_EQ(c.pe32Plus, read.value().IsPe32Plus());
    EXPECT_EQ(!c.pe32Plus, read.value().IsPe32());
    EXPECT_EQ(c.i386, read.value().IsI386());
    EXPECT_EQ(c.dll, read.value().IsDll());
  }
}

TEST(PeHeaders, OnlyI386AndX8664ImagesAreParsed) {
  const struct {
    const char* name;
    bool pe32Plus;
    uint16_t machine;
    const char* failure;  // empty: parsed
  } cases[] = {
      {"i386 PE32", false, 0x14c, ""},
      {"x86-64 PE32+", true, 0x8664, ""},
      {"ARM PE32", false, 0x1c0,
       "not a 32-bit i386 or a 64-bit x86-64 PE image (machine 0x01c0, PE32)"},
      {"ARM64 PE32+", true, 0xaa64,
       "not a 32-bit i386 or a 64-bit x86-64 PE image (machine 0xaa64, PE32+)"},
      {"IA-64 PE32+", true, 0x200,
       "not a 32-bit i386 or a 64-bit x86-64 PE image (machine 0x0200, PE32+)"},
      {"i386 with a PE32+ header", true, 0x14c,
       "not a 32-bit i386 or a 64-bit x86-64 PE image (machine 0x014c, PE32+)"},
      {"x86-64 with a PE32 header", false, 0x8664,
       "not a 32-bit i386 or a 64-bit x86-64 PE image (machine 0x8664, PE32)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> image = qeltest::BuildPe({{"KERNEL32.dll", {"GetTickCount"}}}, c.pe32Plus);
    Put16(image, qeltest::kMachineAt, c.machine);
    qel::Result<qel::PeImage> parsed = qel::ParsePeImage(image);
    if (*c.failure == '\0') {
      ASSERT_TRUE(parsed.ok()) << parsed.message();
      EXPECT_EQ(c.pe32Plus, parsed.value().pe32Plus);
      ASSERT_EQ(parsed.value().imports.size(), 1u);
      EXPECT_EQ(parsed.value().imports[0].functions[0].name, "GetTickCount");
    } else {
      EXPECT_EQ(c.failure, parsed.message());
    }
  }
}

}  // namespace
