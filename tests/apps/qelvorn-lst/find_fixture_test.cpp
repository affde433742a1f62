// The list qelvorn-lst writes for Wine's find.exe is the checked-in fixture that the guest
// test compares qelvorn-lst.exe's output with: both builds write the same bytes.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

namespace fs = std::filesystem;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(FindExeFixture, TheNativeToolWritesTheFixture) {
  const char* env = std::getenv("QEL_WINE_I386_DIR");
  std::string wine = env ? env : "/var/cache/qelvorn-wine-i386";
  ASSERT_TRUE(fs::exists(wine + "/find.exe"))
      << "run tools/guest/extract-wine-binaries.sh first (" << wine << ")";
  fs::path bin = fs::read_symlink("/proc/self/exe").parent_path();
  char pattern[] = "/tmp/qel-find-fixture.XXXXXX";
  std::string dir = mkdtemp(pattern);
  std::string out = dir + "/find.exe.lst";
  // The default definitions folder, as in the guest: lists/ beside the program.
  std::string command =
      (bin / "qelvorn-lst").string() + " -o " + out + " " + wine + "/find.exe 2>/dev/null";
  int status = std::system(command.c_str());
  std::string written = ReadAll(out);
  fs::remove_all(dir);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;
  EXPECT_EQ(ReadAll(QEL_FIND_FIXTURE), written)
      << "after a change of lists/ or of qelvorn-lst, write the fixture again:\n  "
      << (bin / "qelvorn-lst").string() << " -o " << QEL_FIND_FIXTURE << " " << wine << "/find.exe";
}

}  // namespace
