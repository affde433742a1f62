// qelvorn-report.exe --follow on the log of a traced program that is still writing it: the
// fixture host's live scenario, rolling over every few calls, with a call seconds long.
// Both programs run under a watchdog: one that does not end in time is ended and fails.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

fs::path ProgramFolder() {
  wchar_t path[MAX_PATH];
  DWORD size = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return fs::path(std::wstring(path, size)).parent_path();
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

size_t FilesIn(const fs::path& folder) {
  std::error_code error;
  size_t count = 0;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
    ++count;
  return count;
}

// A program started with its output and error in files.
class Program {
 public:
  Program(const std::wstring& commandLine, const fs::path& out, const fs::path& err) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    out_ = CreateFileW(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    err_ = CreateFileW(err.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = out_;
    startup.hStdError = err_;
    std::wstring line = commandLine;
    PROCESS_INFORMATION info{};
    if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                       &info)) {
      process_ = info.hProcess;
      CloseHandle(info.hThread);
    }
  }
  ~Program() {
    if (process_ != nullptr) {
      TerminateProcess(process_, 999);
      WaitForSingleObject(process_, 5000);
      CloseHandle(process_);
    }
    if (out_ != INVALID_HANDLE_VALUE) CloseHandle(out_);
    if (err_ != INVALID_HANDLE_VALUE) CloseHandle(err_);
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  bool started() const { return process_ != nullptr; }
  // Its exit code once it ended within `ms`; ended with 999 otherwise.
  DWORD Wait(DWORD ms) {
    DWORD code = 999;
    if (WaitForSingleObject(process_, ms) != WAIT_OBJECT_0) TerminateProcess(process_, 999);
    WaitForSingleObject(process_, 5000);
    GetExitCodeProcess(process_, &code);
    CloseHandle(process_);
    process_ = nullptr;
    return code;
  }

 private:
  HANDLE process_ = nullptr;
  HANDLE out_ = INVALID_HANDLE_VALUE;
  HANDLE err_ = INVALID_HANDLE_VALUE;
};

size_t Count(const std::string& text, const std::string& piece) {
  size_t count = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
    ++count;
  return count;
}

TEST(FollowGuest, FollowsATracedProgramStillWritingAcrossRollOvers) {
  const fs::path bin = ProgramFolder();
  const fs::path work = bin / "follow-live";
  fs::remove_all(work);
  fs::create_directories(work / "settings");
  fs::create_directories(work / "logs");
  std::ofstream(work / "settings" / "Qelvorn.ini", std::ios::binary)
      << "[Option]\r\nspan=24\r\nmax_size=3000\r\n";
  std::ofstream(work / "settings" / "Qelvorn.lst", std::ios::binary)
      << "[Imported]\r\nimported_module=KERNEL32.dll\r\n"
         "api=CreateFileA,,,,,,,,,S,4,4,x,4,4,x\r\napi=Sleep,,,,,,,,,d\r\n\r\n"
         "[Import]\r\nimport_module=fixture_host.exe\r\ndll=KERNEL32.dll\r\n";
  Program host(L"\"" + (bin / "fixture_host.exe").wstring() + L"\" live \"" +
                   (work / "settings").wstring() + L"\\\\\" \"" + (work / "logs").wstring() +
                   L"\\\\\"",
               work / "host.out", work / "host.err");
  ASSERT_TRUE(host.started());
  // The report starts on the first file once it exists, while the host is still calling.
  for (int i = 0; i < 200 && FilesIn(work / "logs") == 0; ++i) Sleep(50);
  size_t filesAtStart = FilesIn(work / "logs");
  ASSERT_GT(filesAtStart, 0u) << ReadAll(work / "host.out") << ReadAll(work / "host.err");
  // Slot 00: the tracer takes the first free slot, and the folder was empty.
  fs::path first;
  for (const fs::directory_entry& entry : fs::directory_iterator(work / "logs"))
    if (first.empty() || entry.path() < first) first = entry.path();
  Program report(
      L"\"" + (bin / "qelvorn-report.exe").wstring() + L"\" --follow \"" + first.wstring() + L"\"",
      work / "report.out", work / "report.err");
  ASSERT_TRUE(report.started());
  EXPECT_EQ(host.Wait(60000), 0u) << ReadAll(work / "host.out");
  EXPECT_EQ(report.Wait(30000), 0u) << ReadAll(work / "report.err");
  size_t filesAtEnd = FilesIn(work / "logs");
  std::string out = ReadAll(work / "report.out");
  std::string err = ReadAll(work / "report.err");
  EXPECT_GT(filesAtEnd, filesAtStart + 2) << "the log rolled over while it was read";
  EXPECT_NE(err.find("CleanUp OK: the tracing ended"), std::string::npos) << err;
  EXPECT_EQ(Count(out, "  CreateFileA(lpFileName=\"Z:\\no\\such\\"), 40u) << out;
  EXPECT_NE(out.find("  Sleep(dwMilliseconds=2500) ... (in flight)"), std::string::npos) << out;
  EXPECT_EQ(Count(out, "  Sleep returned = "), 1u) << out;
  EXPECT_NE(out.find("files       " + std::to_string(filesAtEnd)), std::string::npos) << out;
  EXPECT_NE(out.find(" texts, 0 unparsed"), std::string::npos) << out;
}

}  // namespace
