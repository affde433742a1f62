// Telling from its headers whether a file is a program the launcher can trace.
#pragma once

#include <string>

namespace qelrun {

enum class ImageKind {
  kUnreadable,
  kNotPe,     // no MZ/PE headers
  kPe64,      // a 64-bit program
  kNotX86,    // a 32-bit image for another processor
  kDll,       // a library, not a program
  kProgram32  // a 32-bit x86 program
};

ImageKind ClassifyImage(const std::wstring& path);

}  // namespace qelrun
