// Size and last-write time of a file, asked without keeping it open.
#include "base/file_facts.h"

namespace qelvorn {

int64_t GetFileSizeAndTimeW(const wchar_t* path, FILETIME* lastWrite) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;
  LARGE_INTEGER size;
  FILETIME written;
  int64_t answer = -1;
  if (GetFileSizeEx(file, &size) && GetFileTime(file, nullptr, nullptr, &written)) {
    *lastWrite = written;
    answer = size.QuadPart;
  }
  CloseHandle(file);
  return answer;
}

int64_t GetFileSizeAndTimeA(const char* path, FILETIME* lastWrite) {
  wchar_t widePath[260];
  if (MultiByteToWideChar(CP_ACP, 0, path, -1, widePath, 260) == 0) return -1;
  return GetFileSizeAndTimeW(widePath, lastWrite);
}

}  // namespace qelvorn
