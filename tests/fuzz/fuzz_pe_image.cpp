// libFuzzer target: the input is a program file, read for its headers (as the launcher
// reads them) and for its import and export tables.
#include <cstdint>

#include "common/pe_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)qel::ReadPeHeaders(data, size);
  (void)qel::ParsePeImage(data, size);
  return 0;
}
