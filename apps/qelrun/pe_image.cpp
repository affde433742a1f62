// Reads the DOS and NT headers of a file (at most the first 4 KB) and classifies it.
#include "pe_image.h"

#include <windows.h>

#include <cstring>

namespace qelrun {

namespace {

template <typename T>
bool ReadAt(const unsigned char* data, DWORD size, DWORD offset, T& out) {
  if (offset > size || size - offset < sizeof(T)) return false;
  std::memcpy(&out, data + offset, sizeof(T));
  return true;
}

}  // namespace

ImageKind ClassifyImage(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return ImageKind::kUnreadable;
  unsigned char data[4096];
  DWORD size = 0;
  BOOL ok = ReadFile(file, data, sizeof data, &size, nullptr);
  CloseHandle(file);
  if (!ok) return ImageKind::kUnreadable;
  IMAGE_DOS_HEADER dos;
  if (!ReadAt(data, size, 0, dos) || dos.e_magic != IMAGE_DOS_SIGNATURE) return ImageKind::kNotPe;
  DWORD nt = static_cast<DWORD>(dos.e_lfanew);
  DWORD signature = 0;
  IMAGE_FILE_HEADER header;
  WORD magic = 0;
  if (!ReadAt(data, size, nt, signature) || signature != IMAGE_NT_SIGNATURE ||
      !ReadAt(data, size, nt + 4, header) ||
      !ReadAt(data, size, nt + 4 + sizeof(IMAGE_FILE_HEADER), magic)) {
    return ImageKind::kNotPe;
  }
  if (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) return ImageKind::kPe64;
  if (magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC) return ImageKind::kNotPe;
  if (header.Machine != IMAGE_FILE_MACHINE_I386) return ImageKind::kNotX86;
  if (header.Characteristics & IMAGE_FILE_DLL) return ImageKind::kDll;
  return ImageKind::kProgram32;
}

}  // namespace qelrun
