// A fresh folder under /tmp for one test, removed with everything in it at the end.
#pragma once
#include <stdlib.h>

#include <filesystem>
#include <string>

namespace qeltest {

class TempFolder {
 public:
  TempFolder() {
    char pattern[] = "/tmp/qel-lst-test.XXXXXX";
    const char* made = mkdtemp(pattern);
    path_ = made != nullptr ? made : "";
  }
  ~TempFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace qeltest
