// Writing a complete Qelvorn.lst for a program from its import tables and lists/ (lists/x64/
// for a 64-bit program).
#include "common/hook_list_maker.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <set>

#include "common/pe_image.h"
#include "common/text_encoding.h"
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

// The names of a DLL's exports by ordinal, or why there are none.
struct ExportNameTable {
  std::map<int, std::string> names;
  std::string path;  // the file they were read from
  std::string why;   // when no names could be read
};

// What a 32-bit or a 64-bit program is called in the notes.
const char* KindName(bool pe32Plus) {
  return pe32Plus ? "64-bit" : "32-bit";
}

// The most bytes of program and DLL files read to make one list.
constexpr uint64_t kMaxBytesRead = uint64_t{512} << 20;

class Maker {
 public:
  Maker(const HookListRequest& request, HookList* list) : request_(request), list_(list) {}

  // The program's bytes when the caller already holds them; otherwise its file is read.
  void UseProgramBytes(const uint8_t* data, size_t size) {
    programData_ = data;
    programSize_ = size;
    haveProgramBytes_ = true;
  }

  Status Run() {
    IndexFolder(FolderOf(request_.program));
    for (const std::string& m : request_.modules) IndexFolder(FolderOf(m));
    std::vector<std::string> queue{request_.program};
    queue.insert(queue.end(), request_.modules.begin(), request_.modules.end());
    std::set<std::string> queued;
    for (const std::string& path : queue) queued.insert(Lower(FileNameOf(path)));
    size_t importCount = 0;
    for (size_t i = 0; i < queue.size(); ++i) {
      Result<PeImage> read = ReadImage(queue[i], i == 0);
      if (!read) return Fail(read.message());
      const PeImage& image = read.value();
      if (i == 0) pe32Plus_ = image.pe32Plus;
      if (image.pe32Plus != pe32Plus_) {
        std::string why = std::string("a ") + KindName(image.pe32Plus) + " image, and " +
                          EscapePath(FileNameOf(request_.program)) + " is a " +
                          KindName(pe32Plus_) + " program";
        if (i <= request_.modules.size()) return Fail(EscapePath(queue[i]) + ": " + why);
        // The loader passes over a DLL of the other kind; so does the list.
        Note("left out " + EscapeName(FileNameOf(queue[i])) + " beside the program: " + why,
             queuedImports_[Lower(FileNameOf(queue[i]))]);
        continue;
      }
      Importer importer{FileNameOf(queue[i]), {}};
      for (const PeImportedDll& dll : image.imports) {
        importCount += dll.functions.size();
        if (importCount > kMaxImports)
          return Fail("more than " + std::to_string(kMaxImports) +
                      " imports in the program and its DLLs, more than any real program has");
        if (!IsPlainDllName(dll.dll)) {
          LeaveOutDll(dll, importer, "not a plain file name");
          continue;
        }
        std::string lower = Lower(dll.dll);
        if (Load(lower) != nullptr) {
          AddLibraryImports(importer, dll, lower);
        } else if (files_.count(lower) && !IsSystemDll(lower) && !queued.count(lower)) {
          queued.insert(lower);
          queue.push_back(files_[lower]);
          queuedImports_[lower] = dll.functions.size();
        } else if (!files_.count(lower) || IsSystemDll(lower)) {
          LeaveOutDll(dll, importer, "no definitions for it under lists/");
        }
      }
      importers_.push_back(importer);
    }
    if (importCount == 0)
      return Fail(EscapePath(FileNameOf(request_.program)) +
                  " imports no functions: nothing to trace");
    Status patterns = ApplyDllPatterns();
    if (!patterns) return patterns;
    Write();
    if (list_->functions == 0)
      return Fail("nothing to trace: none of the imported functions has a definition");
    return Done{};
  }

 private:
  // One line of what was left out; functions is how many imports it stands for.
  void Note(const std::string& note, size_t functions = 1) {
    list_->notes.push_back(note);
    list_->leftOut += functions;
  }

  void LeaveOutDll(const PeImportedDll& dll, const Importer& importer, const std::string& why) {
    Note("left out " + EscapeName(dll.dll) + " (imported by " + EscapeName(importer.name) +
             "): " + why,
         dll.functions.size());
  }

  void IndexFolder(const std::string& folder) {
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      std::string name = it->path().filename().string();
      files_.emplace(Lower(name), folder + "/" + name);
    }
  }

  Result<PeImage> ReadImage(const std::string& path, bool isProgram) {
    if (isProgram && haveProgramBytes_)
      return Named(path, ParsePeImage(programData_, programSize_));
    Result<std::vector<uint8_t>> bytes = ReadWholeFile(path);
    if (!bytes) return Fail(bytes.message());
    // One budget for every file read, so that many large DLLs beside a program cannot
    // make the work grow past what any real program needs.
    bytesRead_ += bytes.value().size();
    if (bytesRead_ > kMaxBytesRead)
      return Fail(EscapePath(path) + ": more than " + std::to_string(kMaxBytesRead >> 20) +
                  " MiB of program files read for one list");
    return Named(path, ParsePeImage(bytes.value()));
  }
  // A parser's reason, said of the file it was about.
  static Result<PeImage> Named(const std::string& path, Result<PeImage> parsed) {
    if (parsed) return parsed;
    return Fail(EscapePath(path) + ": " + parsed.message());
  }

  const Definitions* Load(const std::string& lowerDll) {
    auto found = definitions_.find(lowerDll);
    if (found != definitions_.end()) return found->second ? &*found->second : nullptr;
    std::string base = lowerDll;
    if (base.size() > 4 && base.compare(base.size() - 4, 4, ".dll") == 0)
      base.resize(base.size() - 4);
    std::unique_ptr<Definitions>& slot = definitions_[lowerDll];
    for (const std::string& dir : request_.listsDirs) {
      Result<std::vector<uint8_t>> bytes =
          ReadWholeFile(dir + (pe32Plus_ ? "/x64/" : "/") + base + ".lst");
      auto defs = std::make_unique<Definitions>();
      if (bytes && ParseDefinitions(bytes.value(), defs.get())) {
        slot = std::move(defs);
        return &*slot;
      }
    }
    return nullptr;
  }

  // The path of a DLL's file in folder, or empty: the file system's own case rules on
  // Windows; elsewhere a listing of the folder, read once, compared in lower case.
  std::string FindInFolder(const std::string& folder, const std::string& lowerDll) {
#ifdef _WIN32
    std::string path = folder + "\\" + lowerDll;
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)
               ? path
               : std::string();
#else
    auto listed = folderListings_.find(folder);
    if (listed == folderListings_.end()) {
      listed = folderListings_.emplace(folder, std::map<std::string, std::string>()).first;
      std::error_code ec;
      for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        listed->second.emplace(Lower(name), folder + "/" + name);
      }
    }
    auto found = listed->second.find(lowerDll);
    return found == listed->second.end() ? std::string() : found->second;
#endif
  }

  // The names of a DLL's exports by ordinal, read from the file the program would load: the
  // first of the program's own kind, as the loader passes over a DLL of the other kind.
  const ExportNameTable& ExportNames(const std::string& lowerDll) {
    auto found = exportNames_.find(lowerDll);
    if (found != exportNames_.end()) return found->second;
    ExportNameTable& table = exportNames_[lowerDll];
    std::string passedOver;
    for (const std::string& folder : DllSearchFolders(request_)) {
      std::string path = FindInFolder(folder, lowerDll);
      if (path.empty()) continue;
      Result<PeImage> image = ReadImage(path, false);
      if (!image) {
        table.why = image.message();
        return table;
      }
      if (image.value().pe32Plus != pe32Plus_) {
        if (passedOver.empty()) passedOver = EscapePath(path);
        continue;
      }
      table.path = path;
      for (const PeExport& e : image.value().exports)
        table.names.emplace(static_cast<int>(e.ordinal), e.name);
      return table;
    }
    table.why = passedOver.empty()
                    ? std::string("the DLL's file was not found")
                    : std::string("no ") + KindName(pe32Plus_) + " file of the DLL was found";
    table.why += " in the --dll-dir folders, beside the modules";
#ifdef _WIN32
    table.why += ", in the system folder, the Windows folder or PATH";
#endif
    if (!passedOver.empty())
      table.why += "; " + passedOver + " is a " + KindName(!pe32Plus_) + " DLL";
    return table;
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
        const ExportNameTable& table = ExportNames(lower);
        auto name = table.names.find(f.ordinal);
        if (name == table.names.end()) {
          Note(
              "left out " + EscapeName(dll.dll) + " ordinal " + std::to_string(f.ordinal) +
              ": no name for it (" +
              (table.why.empty() ? EscapePath(table.path) + " exports no name for it" : table.why) +
              ")");
          continue;
        }
        traced = Traced{name->second, f.ordinal};
      }
      if (library.seen.insert(traced.name).second) library.functions.push_back(traced);
    }
  }

  Status ApplyDllPatterns() {
    for (const std::string& glob : request_.keepDlls.globs) {
      bool any = false;
      for (const auto& entry : libraries_) any = any || GlobMatches(glob, entry.first);
      if (!any)
        return Fail("unknown DLL " + EscapePath(glob) +
                    ": no imported DLL with definitions matches it");
    }
    for (auto& entry : libraries_) {
      bool keep = request_.keepDlls.globs.empty() || AnyMatches(request_.keepDlls, entry.first);
      entry.second.kept = keep && !AnyMatches(request_.dropDlls, entry.first);
    }
    return Done{};
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
          Note("left out " + EscapeName(library.spelling) + " " + EscapeName(f.name) + ": " +
               (why != defs.leftOut.end() ? why->second : "no definition"));
        } else if (list_->functions == kMaxHookEntries) {
          Note("left out " + EscapeName(library.spelling) + " " + EscapeName(f.name) + ": all " +
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
  std::map<std::string, ExportNameTable> exportNames_;
  std::map<std::string, std::map<std::string, std::string>> folderListings_;
  std::map<std::string, LibraryDll> libraries_;
  std::vector<std::string> order_;
  std::vector<Importer> importers_;
  std::map<std::string, size_t> queuedImports_;  // own DLL -> functions its first importer takes
  bool pe32Plus_ = false;                        // the program's kind, which its DLLs must share
  const uint8_t* programData_ = nullptr;
  size_t programSize_ = 0;
  bool haveProgramBytes_ = false;
  uint64_t bytesRead_ = 0;
};

}  // namespace

Status MakeHookList(const HookListRequest& request, HookList* list) {
  *list = HookList();
  Maker maker(request, list);
  Status made = maker.Run();
  if (!made) list->text.clear();
  return made;
}

Status MakeHookListFromBytes(const HookListRequest& request, const uint8_t* data, size_t size,
                             HookList* list) {
  *list = HookList();
  Maker maker(request, list);
  maker.UseProgramBytes(data, size);
  Status made = maker.Run();
  if (!made) list->text.clear();
  return made;
}

bool IsPlainDllName(const std::string& name) {
  if (name.empty() || name.find("..") != std::string::npos) return false;
  for (char c : name) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '/' || c == '\\' || c == ':' || u < 0x20 || u == 0x7f) return false;
  }
  return true;
}

std::vector<std::string> DllSearchFolders(const HookListRequest& request) {
  std::vector<std::string> folders = request.dllDirs;
  folders.push_back(FolderOf(request.program));
  for (const std::string& m : request.modules) folders.push_back(FolderOf(m));
#ifdef _WIN32
  char buffer[MAX_PATH * 2];
  UINT length = GetSystemDirectoryA(buffer, sizeof buffer);
  if (length > 0 && length < sizeof buffer) folders.emplace_back(buffer, length);
  length = GetWindowsDirectoryA(buffer, sizeof buffer);
  if (length > 0 && length < sizeof buffer) {
    // A 32-bit process on 64-bit Windows sees the 32-bit system DLLs under the system
    // folder's name; the 64-bit ones a 64-bit program loads are under Sysnative. Elsewhere
    // the folder does not exist, and a DLL of the other kind found first is passed over.
    folders.push_back(std::string(buffer, length) + "\\Sysnative");
    folders.emplace_back(buffer, length);
  }
  if (const char* path = std::getenv("PATH")) {
    std::string rest = path;
    for (size_t start = 0; start <= rest.size();) {
      size_t end = rest.find(';', start);
      if (end == std::string::npos) end = rest.size();
      std::string folder = rest.substr(start, end - start);
      if (folder.size() >= 2 && folder.front() == '"' && folder.back() == '"')
        folder = folder.substr(1, folder.size() - 2);
      if (!folder.empty()) folders.push_back(folder);
      start = end + 1;
    }
  }
#endif
  return folders;
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
  // The 64-bit tools of a release sit in its x64 folder, below the one lists/ of both kinds.
  std::string folder = FolderOf(OwnExecutablePath());
  std::vector<std::string> dirs{folder + "/lists", folder + "/../lists"};
  if (*QEL_SOURCE_LISTS_DIR) dirs.push_back(QEL_SOURCE_LISTS_DIR);
  return dirs;
}

}  // namespace qel
