// Writing a complete Qelvorn.lst for a program from its import tables and lists/.
#include "common/hook_list_maker.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <filesystem>
#include <map>
#include <memory>
#include <set>

#include "common/pe_image.h"
#include "common/text_lines.h"

#ifndef QEL_SOURCE_LISTS_DIR
#define QEL_SOURCE_LISTS_DIR ""
#endif

namespace qel {
namespace {

namespace fs = std::filesystem;

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

std::string FolderOf(const std::string& path) {
  size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? std::string(".") : path.substr(0, cut == 0 ? 1 : cut);
}

std::string FileNameOf(const std::string& path) {
  size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

// One DLL's definitions: the value of each "api=" line and the reason of each left-out line.
struct Definitions {
  std::map<std::string, std::string> entries;
  std::map<std::string, std::string> leftOut;
};

bool ParseDefinitions(const std::vector<uint8_t>& bytes, Definitions* defs) {
  const std::string api = "api=", leftOut = "// left out: ";
  for (const std::string& line : SplitTextLines(std::string(bytes.begin(), bytes.end()))) {
    if (line.compare(0, api.size(), api) == 0) {
      std::string value = line.substr(api.size());
      defs->entries[value.substr(0, value.find(','))] = value;
    } else if (line.compare(0, leftOut.size(), leftOut) == 0) {
      std::string rest = line.substr(leftOut.size());
      size_t colon = rest.find(": ");
      if (colon != std::string::npos) defs->leftOut[rest.substr(0, colon)] = rest.substr(colon + 2);
    }
  }
  return !defs->entries.empty() || !defs->leftOut.empty();
}

// An entry with the export ordinal in its second field, so an import by ordinal matches it.
std::string WithOrdinal(const std::string& entry, int ordinal) {
  size_t first = entry.find(',');
  size_t second = first == std::string::npos ? first : entry.find(',', first + 1);
  if (second == std::string::npos) return entry;
  return entry.substr(0, first + 1) + std::to_string(ordinal) + entry.substr(second);
}

// System DLLs without definitions that stand beside Wine's programs; never the program's own.
bool IsSystemDll(const std::string& lowerName) {
  return lowerName == "ntdll.dll" || lowerName == "kernelbase.dll" ||
         lowerName.compare(0, 11, "api-ms-win-") == 0;
}

struct Traced {
  std::string name;
  int ordinal = -1;
};

struct LibraryDll {
  std::string spelling;  // as the first importer spelled it
  std::vector<Traced> functions;
  std::set<std::string> seen;
  bool kept = true;
};

struct Importer {
  std::string name;
  std::vector<std::string> dlls;  // lower-case names of library DLLs
};

class Maker {
 public:
  Maker(const HookListRequest& request, HookList* list) : request_(request), list_(list) {}

  bool Run(std::string* error) {
    IndexFolder(FolderOf(request_.program));
    for (const std::string& m : request_.modules) IndexFolder(FolderOf(m));
    std::vector<std::string> queue{request_.program};
    queue.insert(queue.end(), request_.modules.begin(), request_.modules.end());
    std::set<std::string> queued;
    for (const std::string& path : queue) queued.insert(Lower(FileNameOf(path)));
    size_t importCount = 0;
    for (size_t i = 0; i < queue.size(); ++i) {
      PeImage image;
      if (!ReadImage(queue[i], &image, error)) return false;
      Importer importer{FileNameOf(queue[i]), {}};
      for (const PeImportedDll& dll : image.imports) {
        importCount += dll.functions.size();
        std::string lower = Lower(dll.dll);
        if (Load(lower) != nullptr) {
          AddLibraryImports(importer, dll, lower);
        } else if (files_.count(lower) && !IsSystemDll(lower) && !queued.count(lower)) {
          queued.insert(lower);
          queue.push_back(files_[lower]);
        } else if (!files_.count(lower) || IsSystemDll(lower)) {
          Note("left out " + dll.dll + " (imported by " + importer.name +
               "): no definitions for it under lists/");
        }
      }
      importers_.push_back(importer);
    }
    if (importCount == 0)
      return Fail(error, FileNameOf(request_.program) + " imports no functions: nothing to trace");
    if (!ApplyDllPatterns(error)) return false;
    Write();
    if (list_->functions == 0)
      return Fail(error, "nothing to trace: none of the imported functions has a definition");
    return true;
  }

 private:
  bool Fail(std::string* error, const std::string& why) {
    *error = why;
    return false;
  }
  void Note(const std::string& note) { list_->notes.push_back(note); }

  void IndexFolder(const std::string& folder) {
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      std::string name = it->path().filename().string();
      files_.emplace(Lower(name), folder + "/" + name);
    }
  }

  bool ReadImage(const std::string& path, PeImage* image, std::string* error) {
    std::vector<uint8_t> bytes;
    if (!ReadWholeFile(path, &bytes, error)) return false;
    if (!ParsePeImage(bytes, image, error)) return Fail(error, path + ": " + *error);
    return true;
  }

  const Definitions* Load(const std::string& lowerDll) {
    auto found = definitions_.find(lowerDll);
    if (found != definitions_.end()) return found->second ? &*found->second : nullptr;
    std::string base = lowerDll;
    if (base.size() > 4 && base.compare(base.size() - 4, 4, ".dll") == 0)
      base.resize(base.size() - 4);
    std::unique_ptr<Definitions>& slot = definitions_[lowerDll];
    for (const std::string& dir : request_.listsDirs) {
      std::vector<uint8_t> bytes;
      std::string ignored;
      auto defs = std::make_unique<Definitions>();
      if (ReadWholeFile(dir + "/" + base + ".lst", &bytes, &ignored) &&
          ParseDefinitions(bytes, defs.get())) {
        slot = std::move(defs);
        return &*slot;
      }
    }
    return nullptr;
  }

  // The names of a DLL's exports by ordinal, read from its file beside the modules.
  const std::map<int, std::string>& ExportNames(const std::string& lowerDll) {
    auto found = exportNames_.find(lowerDll);
    if (found != exportNames_.end()) return found->second;
    std::map<int, std::string>& names = exportNames_[lowerDll];
    PeImage image;
    std::string ignored;
    if (files_.count(lowerDll) && ReadImage(files_[lowerDll], &image, &ignored))
      for (const PeExport& e : image.exports) names.emplace(static_cast<int>(e.ordinal), e.name);
    return names;
  }

  void AddLibraryImports(Importer& importer, const PeImportedDll& dll, const std::string& lower) {
    auto inserted = libraries_.emplace(lower, LibraryDll());
    LibraryDll& library = inserted.first->second;
    if (inserted.second) {
      library.spelling = dll.dll;
      order_.push_back(lower);
    }
    importer.dlls.push_back(lower);
    for (const PeImport& f : dll.functions) {
      Traced traced{f.name, -1};
      if (f.byOrdinal) {
        const std::map<int, std::string>& names = ExportNames(lower);
        auto name = names.find(f.ordinal);
        if (name == names.end()) {
          Note("left out " + dll.dll + " ordinal " + std::to_string(f.ordinal) +
               ": no name for it (the DLL's file was not found beside the modules)");
          continue;
        }
        traced = Traced{name->second, f.ordinal};
      }
      if (library.seen.insert(traced.name).second) library.functions.push_back(traced);
    }
  }

  bool ApplyDllPatterns(std::string* error) {
    for (const std::string& glob : request_.keepDlls.globs) {
      bool any = false;
      for (const auto& entry : libraries_) any = any || GlobMatches(glob, entry.first);
      if (!any)
        return Fail(error, "unknown DLL " + glob + ": no imported DLL with definitions matches it");
    }
    for (auto& entry : libraries_) {
      bool keep = request_.keepDlls.globs.empty() || AnyMatches(request_.keepDlls, entry.first);
      entry.second.kept = keep && !AnyMatches(request_.dropDlls, entry.first);
    }
    return true;
  }

  bool WantFunction(const std::string& name) const {
    if (!request_.keepFunctions.globs.empty() && !AnyMatches(request_.keepFunctions, name))
      return false;
    return !AnyMatches(request_.dropFunctions, name);
  }

  void Write() {
    std::string& out = list_->text;
    out = "// Qelvorn.lst for " + FileNameOf(request_.program) +
          ", written by qelvorn-lst from its import tables\r\n[Imported]\r\n";
    std::set<std::string> written;
    for (const std::string& lower : order_) {
      LibraryDll& library = libraries_[lower];
      if (!library.kept) continue;
      const Definitions& defs = *Load(lower);
      std::string block;
      for (const Traced& f : library.functions) {
        if (!WantFunction(f.name)) continue;
        auto entry = defs.entries.find(f.name);
        if (entry == defs.entries.end()) {
          auto why = defs.leftOut.find(f.name);
          Note("left out " + library.spelling + " " + f.name + ": " +
               (why != defs.leftOut.end() ? why->second : "no definition"));
        } else if (list_->functions == kMaxHookEntries) {
          Note("left out " + library.spelling + " " + f.name + ": all " +
               std::to_string(kMaxHookEntries) + " functions of a hook list are taken");
        } else {
          block +=
              "api=" + (f.ordinal >= 0 ? WithOrdinal(entry->second, f.ordinal) : entry->second) +
              "\r\n";
          ++list_->functions;
        }
      }
      if (block.empty()) continue;
      written.insert(lower);
      out += "imported_module=" + library.spelling + "\r\n" + block;
    }
    out += "[Import]\r\n";
    for (const Importer& importer : importers_) {
      std::string block;
      std::set<std::string> named;
      for (const std::string& lower : importer.dlls)
        if (written.count(lower) && named.insert(lower).second)
          block += "dll=" + libraries_[lower].spelling + "\r\n";
      if (!block.empty()) out += "import_module=" + importer.name + "\r\n" + block;
    }
  }

  const HookListRequest& request_;
  HookList* list_;
  std::map<std::string, std::string> files_;  // lower-case file name -> path
  std::map<std::string, std::unique_ptr<Definitions>> definitions_;
  std::map<std::string, std::map<int, std::string>> exportNames_;
  std::map<std::string, LibraryDll> libraries_;
  std::vector<std::string> order_;
  std::vector<Importer> importers_;
};

}  // namespace

bool MakeHookList(const HookListRequest& request, HookList* list, std::string* error) {
  *list = HookList();
  Maker maker(request, list);
  if (maker.Run(error)) return true;
  list->text.clear();
  return false;
}

namespace {

// The running program's own file, whatever folder it was started from: argv[0] is a bare
// name when the program was found through PATH. Empty when the system cannot say.
std::string OwnExecutablePath() {
#ifdef _WIN32
  char path[MAX_PATH * 2];
  DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  return length > 0 && length < sizeof path ? std::string(path, length) : std::string();
#else
  std::error_code error;
  std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : path.string();
#endif
}

}  // namespace

std::vector<std::string> DefaultListsDirs() {
  std::vector<std::string> dirs{FolderOf(OwnExecutablePath()) + "/lists"};
  if (*QEL_SOURCE_LISTS_DIR) dirs.push_back(QEL_SOURCE_LISTS_DIR);
  return dirs;
}

}  // namespace qel
