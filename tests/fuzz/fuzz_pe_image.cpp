// libFuzzer target: the input is a program file, read for its import and export tables.
#include <cstdint>
#include <string>
#include <vector>

#include "common/pe_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  qel::PeImage image;
  std::string error;
  qel::ParsePeImage(bytes, &image, &error);
  return 0;
}
