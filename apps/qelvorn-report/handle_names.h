// Handle names for qelvorn-report --calls: the handles a log's calls make are followed
// through the log by a reviewed table of which call makes or closes which kind of handle,
// and each is named wherever it is passed again (hFile=00000070 <in.txt>) until the call
// that closes it. A log is one process, and handles are process-wide, so one table serves
// every thread. Everything it holds comes from the log, and is bounded.
#pragma once
#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "call_definitions.h"
#include "log_line.h"

namespace qel::report {

// Handles of different kinds may share values: each kind is a namespace of its own.
enum class HandleKind { kObject, kKey, kModule, kSocket };

// Where a call puts the handle it makes.
enum class HandleSource {
  kResult,  // the result is the handle
  // Written through a pointer argument, which the log shows only as an address: the handle
  // is named at its first use (see HandleNames::Observe).
  kOutArgument,
};

// What a handle is named by.
enum class HandleNaming {
  kText,        // the text argument, after the label when there is one
  kKeyPath,     // the parent key's name (or predefined key) \ the sub key text
  kValue,       // the label and the argument as written (a start address, an id)
  kConstant,    // the argument by its constant set's name (GetStdHandle)
  kConstants,   // the label and two arguments by their sets' names (socket)
  kSocketName,  // the label and the name (or value) of a socket argument (accept)
};

constexpr int kNoArgument = -1;

struct HandleMaker {
  const char* function;
  HandleKind kind;
  HandleSource source;
  HandleNaming naming;
  const char* label;  // "event", "" when the text alone says what it is
  int argument;       // the argument that names it
  int second;         // kKeyPath: the sub key text; kConstants: the second argument
};

struct HandleCloser {
  const char* function;
  HandleKind kind;
  int argument;
};

// The reviewed tables (handle_names.cpp), for the README and the test that checks them
// against decode.txt.
const std::vector<HandleMaker>& HandleMakers();
const std::vector<HandleCloser>& HandleClosers();
// The declared parameter types that carry a handle of `kind`.
bool IsHandleType(HandleKind kind, std::string_view type);

class HandleNames {
 public:
  // Handles named at once, at most; past it the one named longest ago is forgotten.
  static constexpr size_t kHandleLimit = 16384;
  // Bytes of one name, at most; a longer one is cut and ends in "...".
  static constexpr size_t kNameLimit = 512;
  // Keys opened through an out-argument and not yet seen used, per thread and threads.
  static constexpr size_t kUnseenLimit = 16;
  static constexpr size_t kUnseenThreads = 1024;

  // The tables of constants names are read from (may be null), and the log's column width.
  void Begin(const CallDefinitions* definitions, int digits);

  // What the tables say of one function; the caller looks it up once per function of the
  // log and keeps it, valid as long as this object.
  struct Rules {
    const FunctionDefinition* def = nullptr;
    const HandleMaker* maker = nullptr;
    const HandleCloser* closer = nullptr;
    bool takesKeys = false;  // has an HKEY parameter: may use a key not yet seen
  };
  // The rules of the function `api` that `def` defines; nullptr when `def` is.
  const Rules* RulesOf(const FunctionDefinition* def, std::string_view api);

  // Follows one call line of a function with `rules` (null: nothing to follow). Called for
  // every call line in log order, before the line is decoded, filters or not. `arguments`
  // are the line's, split as the function's definition says.
  void Observe(const ParsedLine& parsed, const Rules* rules, LineArguments& arguments);

  // Appends " <name>" for an argument column passed as `param`, nothing when it names no
  // handle.
  void AppendArgumentName(const ParamDefinition& param, std::string_view field,
                          std::string* out) const;
  // Appends " <name>" for the result of a call of a function with `rules` (may be null),
  // nothing unless it made a named handle.
  void AppendResultName(const Rules* rules, uint64_t result, std::string* out) const;

  size_t size() const { return order_.size(); }

 private:
  struct Entry {
    HandleKind kind;
    uint64_t value;
    std::string name;
    uint32_t references;  // modules: LoadLibrary counts up, FreeLibrary down
  };
  using Key = std::pair<int, uint64_t>;
  struct KeyHash {
    size_t operator()(const Key& key) const {
      return std::hash<uint64_t>()(key.second) ^ static_cast<size_t>(key.first);
    }
  };

  std::string NameOf(const HandleMaker& maker, const FunctionDefinition& def,
                     const std::vector<std::string_view>& fields) const;
  std::string ConstantName(const ParamDefinition& param, std::string_view field) const;
  const Entry* Find(HandleKind kind, uint64_t value) const;
  static void AppendEntryName(const Entry* entry, std::string* out);
  void Add(HandleKind kind, uint64_t value, std::string name);
  void Remove(HandleKind kind, uint64_t value);
  void BindUnseenKeys(const ParsedLine& parsed, const FunctionDefinition& def,
                      const std::vector<std::string_view>& fields);
  bool Valid(uint64_t value) const;

  const CallDefinitions* definitions_ = nullptr;
  int digits_ = 8;
  std::unordered_map<const FunctionDefinition*, Rules> rules_;
  // Oldest named first, so that the table forgets the handle named longest ago.
  std::list<Entry> order_;
  std::unordered_map<Key, std::list<Entry>::iterator, KeyHash> entries_;
  // Per thread, the names of keys opened whose value the log did not show, newest last.
  std::unordered_map<int, std::vector<std::string>> unseenKeys_;
  // A handle closed by a call whose pre line was the last line seen: its name stays for
  // that line, and goes before the next.
  std::vector<std::pair<HandleKind, uint64_t>> closing_;
};

}  // namespace qel::report
