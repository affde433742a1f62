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

// One call per function, none inlined: the compiler may otherwise load an import slot once,
// before set-up redirects it, and call the real function through that copy.
__attribute__((noinline)) HANDLE Open(const std::wstring& path, DWORD access, DWORD share,
                                      DWORD disposition) {
  return CreateFileW(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}
__attribute__((noinline)) void Write(HANDLE file, const char* text, DWORD size) {
  DWORD count = 0;
  WriteFile(file, text, size, &count, nullptr);
}
__attribute__((noinline)) void Read(HANDLE file, char* text, DWORD size) {
  DWORD count = 0;
  ReadFile(file, text, size, &count, nullptr);
}
__attribute__((noinline)) void Close(HANDLE handle) {
  CloseHandle(handle);
}
__attribute__((noinline)) void ToWide(const char* text, wchar_t* wide, int size) {
  MultiByteToWideChar(CP_ACP, 0, text, -1, wide, size);
}
__attribute__((noinline)) void ToNarrow(const wchar_t* wide, char* text, int size) {
  WideCharToMultiByte(CP_ACP, 0, wide, -1, text, size, nullptr, nullptr);
}
__attribute__((noinline)) HMODULE Module(const wchar_t* name) {
  return GetModuleHandleW(name);
}
__attribute__((noinline)) int LoadText(HMODULE module, UINT id, wchar_t* text, int size) {
  return LoadStringW(module, id, text, size);
}

// Writes "hello" to a file and reads it back; answers what was read.
std::string FileRoundTrip(const std::wstring& path) {
  HANDLE file = Open(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
  if (file == INVALID_HANDLE_VALUE) return "create failed";
  Write(file, "hello", 5);
  Close(file);
  file = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE) return "open failed";
  char text[16] = {};
  Read(file, text, sizeof text - 1);
  Close(file);
  return text;
}

// Text conversions both ways; answers the narrow text that made the round.
std::string Conversions() {
  wchar_t wide[16] = {};
  ToWide("round", wide, 16);
  char narrow[16] = {};
  ToNarrow(wide, narrow, sizeof narrow);
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
  HMODULE kernel = Module(L"kernel32.dll");
  wchar_t resource[16];
  int loaded = LoadText(Module(nullptr), 7, resource, 16);
  std::fprintf(report, "read %s\nconverted %s\nkernel %d\nloaded %d\n", read.c_str(),
               converted.c_str(), kernel != nullptr, loaded);
  std::fprintf(report, "cleanup %d\n%s", QelCleanUp_(messages, sizeof messages), messages);
  std::fclose(report);
  return setUp == 0 && read == "hello" && converted == "round" ? 0 : 1;
}
