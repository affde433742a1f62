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

TEST(PeHeaders, OnlyA32BitI386ImageIsParsed) {
  std::vector<uint8_t> arm = qeltest::BuildPe({{"KERNEL32.dll", {"GetTickCount"}}});
  Put16(arm, 0x44, 0x1c0);
  std::vector<uint8_t> wide = qeltest::BuildPe({{"KERNEL32.dll", {"GetTickCount"}}}, true);
  EXPECT_EQ("not a 32-bit i386 PE image", qel::ParsePeImage(arm).message());
  EXPECT_EQ("a 64-bit (PE32+) image; only 32-bit programs are read",
            qel::ParsePeImage(wide).message());
}

}  // namespace
