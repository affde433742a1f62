// Host of the generated-list test: sets up tracing with the Qelvorn.lst in DIR, then calls,
// through its own import table, functions that Wine's find.exe imports too, and writes what
// it saw to DIR\host.txt.
// Usage: lst_host.exe trace DIR\   (DIR ends in a backslash)
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

extern "C" {
int WINAPI QelSetUp_(const char* iniDir, const char* logDir, char* msgBuf, int msgBufSize);
int WINAPI QelCleanUp_(char* msgBuf, int msgBufSize);
}

namespace {

char messages[8192];

// Writes "hello" to a file and reads it back; answers what was read.
std::string FileRoundTrip(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "create failed";
  DWORD count = 0;
  WriteFile(file, "hello", 5, &count, nullptr);
  CloseHandle(file);
  file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "open failed";
  char text[16] = {};
  ReadFile(file, text, sizeof text - 1, &count, nullptr);
  CloseHandle(file);
  return text;
}

// Text conversions both ways; answers the narrow text that made the round.
std::string Conversions() {
  wchar_t wide[16] = {};
  MultiByteToWideChar(CP_ACP, 0, "round", -1, wide, 16);
  char narrow[16] = {};
  WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow, sizeof narrow, nullptr, nullptr);
  return narrow;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || std::strcmp(argv[1], "trace") != 0) return 2;
  std::string dir = argv[2];
  FILE* report = std::fopen((dir + "host.txt").c_str(), "wb");
  if (report == nullptr) return 3;
  std::string path = dir + "lst-e2e.txt";
  std::fprintf(report, "file %s\n", path.c_str());
  int setUp = QelSetUp_(dir.c_str(), dir.c_str(), messages, sizeof messages);
  std::fprintf(report, "setup %d\n%s", setUp, messages);
  std::string read = FileRoundTrip(std::wstring(path.begin(), path.end()));
  std::string converted = Conversions();
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  wchar_t resource[16];
  int loaded = LoadStringW(GetModuleHandleW(nullptr), 7, resource, 16);
  std::fprintf(report, "read %s\nconverted %s\nkernel %d\nloaded %d\n", read.c_str(),
               converted.c_str(), kernel != nullptr, loaded);
  std::fprintf(report, "cleanup %d\n%s", QelCleanUp_(messages, sizeof messages), messages);
  std::fclose(report);
  return setUp == 0 && read == "hello" && converted == "round" ? 0 : 1;
}
