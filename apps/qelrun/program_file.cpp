// Reads a file's first 4 KB, where the DOS and NT headers lie, and asks the PE reader.
#include "program_file.h"

#include <windows.h>

#include <cstdint>

#include "common/pe_image.h"

namespace qelrun {

qel::Result<ProgramKind, std::wstring> CheckProgramFile(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return qel::Fail(path + L" cannot be read");
  // A pipe or a device could block the read, or never end it: only a file on a disk is read.
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    return qel::Fail(path + L" is not a regular file");
  }
  uint8_t data[4096];
  DWORD size = 0;
  BOOL read = ReadFile(file, data, sizeof data, &size, nullptr);
  CloseHandle(file);
  if (!read) return qel::Fail(path + L" cannot be read");
  qel::Result<qel::PeHeaders> headers = qel::ReadPeHeaders(data, size);
  if (!headers || !(headers.value().IsPe32() || headers.value().IsPe32Plus()))
    return qel::Fail(path + L" is not a Windows program (no PE headers)");
  const qel::PeHeaders& h = headers.value();
  if (h.IsDll()) return qel::Fail(path + L" is a DLL, not a program");
  if (h.IsPe32() && h.IsI386()) return ProgramKind::kX86;
  if (h.IsPe32Plus() && h.IsX8664()) return ProgramKind::kX64;
  return qel::Fail(path + L" is neither an x86 nor an x64 program");
}

}  // namespace qelrun
