// The decoding table beside the hook lists (lists/decode.txt, lists/x64/decode.txt): each
// listed function's parameter names, declared types and type codes, and the constant sets
// its arguments and result take. The file is read as input anyone may have edited: every
// line, field and count is bounded, and a line that breaks the format is passed over.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/result.h"

namespace qel::report {

struct Constant {
  std::string name;
  uint64_t value = 0;
  uint32_t range = 0;  // NAME+1 ... NAME+range name the values above
};

enum class SetKind { kFlags, kValues, kErrors };

struct ConstantSet {
  std::string name;
  SetKind kind = SetKind::kValues;
  std::vector<Constant> members;
};

constexpr int kNoSet = -1;

// The texts of a definition are views into the table's text, which every copy of the
// table shares: a table is read for each report, and making a string of each name cost
// more than the rest of reading it.
struct ParamDefinition {
  std::string_view name;  // empty when the prototype names none
  std::string_view type;
  std::string_view codes;  // one type code per log column the argument takes
  int set = kNoSet;
};

struct FunctionDefinition {
  std::string_view dlls;  // as listed: comma-separated, any case
  std::string_view resultType;
  int resultSet = kNoSet;
  std::vector<ParamDefinition> params;
  size_t columns = 0;  // log columns the arguments take, one per type code
};

class CallDefinitions {
 public:
  // Limits on what one file may hold; more is passed over.
  static constexpr uint64_t kFileLimit = 64ull << 20;
  static constexpr size_t kFieldLimit = 512;
  static constexpr size_t kParamLimit = 64;
  static constexpr size_t kMemberLimit = 4096;
  static constexpr size_t kSetLimit = 4096;

  // Reads `path`; fails when it cannot be read or is larger than kFileLimit.
  static Result<CallDefinitions> Load(const std::string& path);
  // The same for bytes already read.
  static CallDefinitions Parse(std::string_view bytes);

  // The definition of `name`, preferring the one of `dll` (any case; may be empty).
  const FunctionDefinition* Find(std::string_view dll, std::string_view name) const;
  const ConstantSet* Set(int index) const;
  size_t functions() const { return index_.size(); }
  size_t skippedLines() const { return skipped_; }

 private:
  static CallDefinitions ParseText(std::shared_ptr<const std::string> text);
  bool AddSet(const std::vector<std::string_view>& fields);
  static constexpr size_t kFunctionFields = 5 + 4 * kParamLimit;
  static constexpr size_t kNoLine = ~size_t{0};
  // The checked lines of each function, in the order of the file.
  struct FunctionLine {
    std::string_view line;
    size_t next;  // the function's next line, kNoLine after its last
  };
  struct LineChain {
    size_t first;
    size_t last;
  };

  bool AddFunction(std::string_view line, const std::vector<std::string_view>& fields,
                   FunctionDefinition* scratch);
  bool ReadFunction(const std::vector<std::string_view>& fields, FunctionDefinition* out) const;

  std::shared_ptr<const std::string> text_;
  std::vector<ConstantSet> sets_;
  std::unordered_map<std::string_view, int> setIndex_;
  std::vector<FunctionLine> lines_;
  std::unordered_map<std::string_view, LineChain> index_;
  // The definitions made so far, by name. Find makes them on first asking, so a table is
  // for one thread at a time.
  mutable std::unordered_map<std::string_view, std::vector<FunctionDefinition>> built_;
  size_t skipped_ = 0;
};

// A value by its set: flags as A|B|0x40 (bits no member names kept in hex, 0 as 0), a value
// or an error by its name; empty when the set does not name it. `bits` is the width of the
// column the value was read from: a member is compared within it.
std::string NameValue(const ConstantSet& set, uint64_t value, int bits);
// The same appended to `out`; false, and nothing appended, when the set does not name it.
bool AppendNameValue(const ConstantSet& set, uint64_t value, int bits, std::string* out);

}  // namespace qel::report
