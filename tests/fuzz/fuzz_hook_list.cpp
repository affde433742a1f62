// libFuzzer target: the input is a program file in a folder of its own, for which a hook
// list is made from the definitions under lists/ as qelvorn-lst makes it.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/hook_list_maker.h"

namespace {

namespace fs = std::filesystem;

// One folder for the whole run: the maker looks beside the program for its own DLLs.
const std::string& Folder() {
  static const std::string folder = [] {
    std::string pattern = (fs::temp_directory_path() / "qel-fuzz-list.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern;
  }();
  return folder;
}

void RemoveFolder() {
  std::error_code ignored;
  fs::remove_all(Folder(), ignored);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Registered after the folder's name is made, so it runs before that name is destroyed.
  Folder();
  std::atexit(RemoveFolder);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qel::HookListRequest request;
  request.program = Folder() + "/program.exe";
  {
    std::ofstream out(request.program, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out.flush()) std::abort();
  }
  request.listsDirs = qel::DefaultListsDirs();
  qel::HookList list;
  (void)qel::MakeHookList(request, &list);
  return 0;
}
