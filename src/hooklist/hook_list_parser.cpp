// Qelvorn.lst: reading the file and the two section state machines that fill the tables.
#include "hooklist/hook_list_parser.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "hooklist/hook_list.h"

namespace qelvorn {

namespace {

constexpr char kFileName[] = "Qelvorn.lst";
// A hook list is a few kilobytes; a larger file is refused rather than read into memory.
constexpr LONGLONG kMaxListBytes = 64LL * 1024 * 1024;

// Characters are walked with the ANSI code page's lead bytes rather than the C runtime's
// multibyte code page, which the host may have set to something else and which the library
// must not change under it.
size_t CharLength(const std::string& text, size_t at) {
  if (at + 1 < text.size() && IsDBCSLeadByte(static_cast<BYTE>(text[at]))) return 2;
  return 1;
}

bool IsBlank(const std::string& text, size_t at, size_t length) {
  if (length == 1) return text[at] == ' ' || text[at] == '\t';
  return text[at] == '\x81' && text[at + 1] == '\x40';
}

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, strlen(prefix), prefix) == 0;
}

// A key/value line with exactly one "=", the trimmed key equal to keyword and a non-empty
// value (answered untrimmed). A second "=" fails even where it would leave two pieces.
bool SplitKeyValue(const std::string& line, const char* keyword, std::string& value) {
  std::vector<std::string> pieces = SplitText(line, "=");
  if (pieces.size() != 2 || line.find('=') != line.rfind('=')) return false;
  if (TrimBlanks(pieces[0]) != keyword) return false;
  value = pieces[1];
  return true;
}

// base + suffix in the pool; null when it does not fit one block.
const char* CopyCallbackName(BlockPool& pool, const std::string& base, const char* suffix) {
  size_t suffixLength = strlen(suffix);
  auto* name = static_cast<char*>(pool.Allocate(base.size() + suffixLength + 1));
  if (name == nullptr) return nullptr;
  memcpy(name, base.data(), base.size());
  memcpy(name + base.size(), suffix, suffixLength + 1);
  return name;
}

enum class State { kStart, kHeader, kModuleBlock, kImportSection, kImportBlock };

struct Parser {
  explicit Parser(HookList& target) : list(target) {}

  HookList& list;
  State state = State::kStart;
  ImportedModuleRecord module;                 // the open imported-module block
  std::unique_ptr<ModuleHookRecord> importer;  // the open import block

  bool OpenModuleBlock(const std::string& line) {
    std::string value;
    if (!SplitKeyValue(line, "imported_module", value)) return false;
    module = NewImportedModuleRecord(list.pool, TrimBlanks(value).c_str());
    return module.name != nullptr;
  }

  // A name already present (ignoring case) keeps its block; this one is dropped.
  void CommitModuleBlock() {
    const char* name = module.name;
    list.importedModuleTable.try_emplace(name, std::move(module));
  }

  // Every record is built in full before anything is entered, so a failing line leaves
  // the tables as they were.
  bool BuildEntry(const std::string& line) {
    std::string value;
    if (!SplitKeyValue(line, "api", value)) return false;
    std::vector<std::string> fields = SplitText(value, ",");
    if (fields.size() < 9) return false;
    std::string name = TrimBlanks(fields[0]);
    ApiHookRecord* record =
        NewApiHookRecord(list.pool, name.c_str(), static_cast<uint32_t>(fields.size() - 9));
    if (record == nullptr) return false;
    std::string ordinal = TrimBlanks(fields[1]);
    if (!ordinal.empty()) record->ordinal = atoi(ordinal.c_str());
    record->callerCleans = TrimBlanks(fields[2]).empty() ? 0 : 1;
    record->skipCall = TrimBlanks(fields[3]).empty() ? 0 : 1;
    std::string pre = TrimBlanks(fields[4]);
    if (!pre.empty()) {
      record->preCallbackName = CopyCallbackName(list.pool, pre == "1" ? name : pre, "_Pre");
      if (record->preCallbackName == nullptr) return false;
    }
    std::string post = TrimBlanks(fields[5]);
    if (!post.empty()) {
      record->postCallbackName = CopyCallbackName(list.pool, post == "1" ? name : post, "_Post");
      if (record->postCallbackName == nullptr) return false;
    }
    for (size_t i = 9; i < fields.size(); ++i) {
      std::string type = TrimBlanks(fields[i]);
      if (type.empty()) continue;
      // "8f" (a double) and "4f" (a float) print as 8 and 4; on x64 the first four such
      // arguments are read from the XMM register that carries them instead of their slot.
      if (type.size() == 2 && type[1] == 'f' && record->argCount < 4) {
        record->floatSlots |= static_cast<uint8_t>(1u << record->argCount);
      }
      record->argTypes[record->argCount++] = type[0];
    }
    record->moduleName = module.name;
    AddApi(module, record);
    list.apiTable.emplace(record->name, record);
    return true;
  }

  bool OpenImportBlock(const std::string& line) {
    std::string value;
    if (!SplitKeyValue(line, "import_module", value)) return false;
    importer.reset(NewModuleHookRecord(list.pool, TrimBlanks(value).c_str()));
    return importer != nullptr;
  }

  bool AddDll(const std::string& line) {
    std::string value;
    if (!SplitKeyValue(line, "dll", value)) return false;
    ImportedModuleRecord* found = FindImportedModule(list, TrimBlanks(value).c_str());
    if (found == nullptr) return false;
    AddImportedModule(*importer, *found);
    return true;
  }

  void CommitImportBlock() {
    if (list.moduleTable.count(importer->name) != 0) {
      importer.reset();
      return;
    }
    list.moduleTable.emplace(importer->name, importer.get());
    importer.release();
  }

  bool HandleLine(const std::string& line, LineKind kind) {
    switch (state) {
      case State::kStart:
        if (kind != kImportedSectionLine) return false;
        state = State::kHeader;
        return true;
      case State::kHeader:
        if (kind != kImportedModuleLine || !OpenModuleBlock(line)) return false;
        state = State::kModuleBlock;
        return true;
      case State::kModuleBlock:
        if (kind == kApiLine) return BuildEntry(line);
        CommitModuleBlock();
        if (kind == kImportSectionLine) {
          state = State::kImportSection;
          return true;
        }
        return kind == kImportedModuleLine && OpenModuleBlock(line);
      case State::kImportSection:
        if (kind != kImportModuleLine || !OpenImportBlock(line)) return false;
        state = State::kImportBlock;
        return true;
      case State::kImportBlock:
        if (kind == kDllLine) return AddDll(line);
        CommitImportBlock();
        return kind == kImportModuleLine && OpenImportBlock(line);
    }
    return false;
  }

  int Finish() {
    if (state == State::kImportSection) return 0;
    if (state != State::kImportBlock) return -1;
    if (!importer->importedModules.empty()) CommitImportBlock();
    return 0;
  }
};

struct FileHolder {
  HANDLE handle;
  ~FileHolder() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
};

struct TextHolder {
  char* text;
  ~TextHolder() {
    if (text != nullptr) VirtualFree(text, 0, MEM_RELEASE);
  }
};

}  // namespace

std::vector<std::string> SplitText(const std::string& text, const char* delimiter) {
  std::vector<std::string> pieces;
  size_t delimiterLength = strlen(delimiter);
  size_t start = 0;
  while (start < text.size()) {
    size_t at = text.find(delimiter, start, delimiterLength);
    if (at == std::string::npos) at = text.size();
    pieces.push_back(text.substr(start, at - start));
    start = at + delimiterLength;
  }
  return pieces;
}

std::string TrimBlanks(const std::string& text) {
  size_t begin = 0;
  while (begin < text.size()) {
    size_t length = CharLength(text, begin);
    if (!IsBlank(text, begin, length)) break;
    begin += length;
  }
  size_t end = begin;
  for (size_t at = begin; at < text.size();) {
    size_t length = CharLength(text, at);
    if (!IsBlank(text, at, length)) end = at + length;
    at += length;
  }
  return text.substr(begin, end - begin);
}

std::string CleanLine(const std::string& line) {
  size_t at = 0;
  while (at < line.size()) {
    size_t length = CharLength(line, at);
    if (length == 1 && line[at] == '/' && at + 1 < line.size() && line[at + 1] == '/') break;
    at += length;
  }
  return TrimBlanks(line.substr(0, at));
}

LineKind ClassifyLine(const std::string& cleaned) {
  if (cleaned == "[Imported]") return kImportedSectionLine;
  if (StartsWith(cleaned, "imported_module")) return kImportedModuleLine;
  if (StartsWith(cleaned, "api")) return kApiLine;
  if (StartsWith(cleaned, "[Import]")) return kImportSectionLine;
  if (StartsWith(cleaned, "import_module")) return kImportModuleLine;
  if (StartsWith(cleaned, "dll")) return kDllLine;
  return kOtherLine;
}

int ParseHookList(HookList& list, const char* text) {
  if (text == nullptr) return -1;
  Parser parser(list);
  for (const std::string& raw : SplitText(text, "\r\n")) {
    std::string line = CleanLine(raw);
    if (line.empty()) continue;
    if (!parser.HandleLine(line, ClassifyLine(line))) return -1;
  }
  return parser.Finish();
}

int LoadHookListInto(HookList& list, const char* iniDir) {
  if (iniDir == nullptr) return -1;
  char path[260];
  size_t dirLength = strnlen(iniDir, sizeof path);
  if (dirLength + strlen(kFileName) >= sizeof path) return -1;
  snprintf(path, sizeof path, "%s%s", iniDir, kFileName);

  FileHolder file{CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_ARCHIVE, nullptr)};
  if (file.handle == INVALID_HANDLE_VALUE) return -1;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file.handle, &size) || size.QuadPart > kMaxListBytes) return -1;
  DWORD byteCount = static_cast<DWORD>(size.QuadPart);
  TextHolder text{static_cast<char*>(
      VirtualAlloc(nullptr, byteCount + 1, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE))};
  if (text.text == nullptr) return -1;
  DWORD got = 0;
  if (!ReadFile(file.handle, text.text, byteCount, &got, nullptr) || got != byteCount) return -1;
  CloseHandle(file.handle);
  file.handle = INVALID_HANDLE_VALUE;
  return ParseHookList(list, text.text);
}

int LoadHookList(const char* iniDir) {
  return LoadHookListInto(hookList, iniDir);
}

}  // namespace qelvorn
