// Reading decode.txt, and naming a value by its constant set.
#include "call_definitions.h"

#include <cstdio>
#include <memory>

#include "common/win32_errors.h"
#include "log_line.h"
#include "shown_text.h"

namespace qel::report {
namespace {

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

// Whether `test` holds for any name of a comma-separated list such as a definition's DLLs.
template <class Test>
bool AnyListed(std::string_view list, Test&& test) {
  for (size_t start = 0; start <= list.size();) {
    size_t comma = list.find(',', start);
    if (comma == std::string_view::npos) comma = list.size();
    if (test(list.substr(start, comma - start))) return true;
    start = comma + 1;
  }
  return false;
}

// Splits a line at its tabs; false when it has more than `limit` fields or a field longer
// than CallDefinitions::kFieldLimit.
bool SplitFields(std::string_view line, size_t limit, std::vector<std::string_view>* fields) {
  fields->clear();
  size_t start = 0;
  for (;;) {
    size_t tab = line.find('\t', start);
    std::string_view field =
        line.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start);
    if (field.size() > CallDefinitions::kFieldLimit || fields->size() >= limit) return false;
    fields->push_back(field);
    if (tab == std::string_view::npos) return true;
    start = tab + 1;
  }
}

bool ParseRange(std::string_view text, uint32_t* range) {
  if (text.empty() || text.size() > 6) return false;
  uint32_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  *range = v;
  return true;
}

// Names come from a file: only identifier characters, so that nothing in them reaches a
// terminal or forges the decoded line's punctuation.
bool IsName(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '.' || c == '-';
    if (!ok) return false;
  }
  return true;
}

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

uint64_t Mask(int bits) {
  return bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
}

}  // namespace

Result<CallDefinitions> CallDefinitions::Load(const std::string& path) {
  const std::string unreadable = EscapeControls(path) + ": cannot be read";
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
  if (!file) return Fail(unreadable);
  auto bytes = std::make_shared<std::string>();
  // Read in one piece where the size is known; the loop reads whatever the file holds.
  if (std::fseek(file.get(), 0, SEEK_END) == 0) {
    long size = std::ftell(file.get());
    if (size > 0 && static_cast<uint64_t>(size) <= kFileLimit) {
      bytes->reserve(static_cast<size_t>(size));
    }
  }
  std::rewind(file.get());
  char chunk[1 << 16];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
    if (bytes->size() + got > kFileLimit) {
      return Fail(EscapeControls(path) + ": larger than " + std::to_string(kFileLimit >> 20) +
                  " MiB, not a decoding table");
    }
    bytes->append(chunk, got);
  }
  if (std::ferror(file.get())) return Fail(unreadable);
  return ParseText(std::move(bytes));
}

CallDefinitions CallDefinitions::Parse(std::string_view bytes) {
  return ParseText(std::make_shared<const std::string>(bytes));
}

CallDefinitions CallDefinitions::ParseText(std::shared_ptr<const std::string> text) {
  CallDefinitions defs;
  defs.text_ = std::move(text);
  std::string_view bytes = *defs.text_;
  std::vector<std::string_view> fields;
  FunctionDefinition scratch;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find('\n', start);
    if (end == std::string_view::npos) end = bytes.size();
    std::string_view line = bytes.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.substr(0, 2) == "//") continue;
    bool ok = false;
    if (line.substr(0, 4) == "set\t") {
      ok = SplitFields(line, 4 + kMemberLimit, &fields) && defs.AddSet(fields);
    } else if (line.substr(0, 3) == "fn\t") {
      ok = SplitFields(line, kFunctionFields, &fields) && defs.AddFunction(line, fields, &scratch);
    }
    if (!ok) ++defs.skipped_;
  }
  return defs;
}

// set NAME KIND HEADER NAME=HEX[+N]...
bool CallDefinitions::AddSet(const std::vector<std::string_view>& fields) {
  if (fields.size() < 4 || sets_.size() >= kSetLimit || !IsName(fields[1])) return false;
  ConstantSet set;
  set.name = std::string(fields[1]);
  if (fields[2] == "flags") {
    set.kind = SetKind::kFlags;
  } else if (fields[2] == "values") {
    set.kind = SetKind::kValues;
  } else if (fields[2] == "errors") {
    set.kind = SetKind::kErrors;
  } else {
    return false;
  }
  for (size_t i = 4; i < fields.size(); ++i) {
    std::string_view member = fields[i];
    size_t equals = member.find('=');
    if (equals == std::string_view::npos || !IsName(member.substr(0, equals))) return false;
    std::string_view value = member.substr(equals + 1);
    Constant constant;
    constant.name = std::string(member.substr(0, equals));
    size_t plus = value.find('+');
    if (plus != std::string_view::npos) {
      if (!ParseRange(value.substr(plus + 1), &constant.range)) return false;
      value = value.substr(0, plus);
    }
    if (!ReadHexText(value, &constant.value)) return false;
    set.members.push_back(std::move(constant));
  }
  if (setIndex_.count(fields[1]) > 0) return false;
  setIndex_.emplace(fields[1], static_cast<int>(sets_.size()));
  sets_.push_back(std::move(set));
  return true;
}

// fn DLL[,DLL...] FUNCTION RESULT-TYPE RESULT-SET, then NAME TYPE CODES SET per parameter.
// Checked in full as the table is read, and made into its definition only when a log asks
// for the function: a log names a few of the table's thousands, and making them all cost
// more than reading a log of a thousand lines.
bool CallDefinitions::AddFunction(std::string_view line,
                                  const std::vector<std::string_view>& fields,
                                  FunctionDefinition* scratch) {
  if (!ReadFunction(fields, scratch)) return false;
  auto [known, added] = index_.try_emplace(fields[2], LineChain{lines_.size(), lines_.size()});
  if (!added) {
    lines_[known->second.last].next = lines_.size();
    known->second.last = lines_.size();
  }
  lines_.push_back(FunctionLine{line, kNoLine});
  return true;
}

bool CallDefinitions::ReadFunction(const std::vector<std::string_view>& fields,
                                   FunctionDefinition* out) const {
  if (fields.size() < 5 || (fields.size() - 5) % 4 != 0 || !IsName(fields[2])) return false;
  auto setOf = [&](std::string_view name, int* index) {
    *index = kNoSet;
    if (name == "-") return true;
    auto found = setIndex_.find(name);
    if (found == setIndex_.end()) return false;
    *index = found->second;
    return true;
  };
  FunctionDefinition& def = *out;
  def.params.clear();
  def.columns = 0;
  def.params.reserve((fields.size() - 5) / 4);
  if (AnyListed(fields[1], [](std::string_view dll) { return !IsName(dll); })) return false;
  def.dlls = fields[1];
  def.resultType = fields[3];
  if (!setOf(fields[4], &def.resultSet)) return false;
  for (size_t i = 5; i < fields.size(); i += 4) {
    ParamDefinition param;
    if (fields[i] != "-") {
      if (!IsName(fields[i])) return false;
      param.name = fields[i];
    }
    param.type = fields[i + 1];
    param.codes = fields[i + 2];
    if (param.codes.empty() || param.codes.size() > 16 || !IsName(param.codes)) return false;
    if (!setOf(fields[i + 3], &param.set)) return false;
    def.columns += param.codes.size();
    def.params.push_back(std::move(param));
  }
  return true;
}

const FunctionDefinition* CallDefinitions::Find(std::string_view dll, std::string_view name) const {
  auto found = built_.find(name);
  if (found == built_.end()) {
    auto indexed = index_.find(name);
    if (indexed == index_.end()) return nullptr;
    std::vector<FunctionDefinition> defs;
    std::vector<std::string_view> fields;
    for (size_t at = indexed->second.first; at != kNoLine; at = lines_[at].next) {
      FunctionDefinition def;
      if (SplitFields(lines_[at].line, kFunctionFields, &fields) && ReadFunction(fields, &def)) {
        defs.push_back(std::move(def));
      }
    }
    found = built_.emplace(indexed->first, std::move(defs)).first;
  }
  if (found->second.empty()) return nullptr;
  for (const FunctionDefinition& def : found->second) {
    if (AnyListed(def.dlls, [&](std::string_view listed) { return SameIgnoringCase(listed, dll); }))
      return &def;
  }
  return &found->second.front();
}

const ConstantSet* CallDefinitions::Set(int index) const {
  if (index < 0 || static_cast<size_t>(index) >= sets_.size()) return nullptr;
  return &sets_[static_cast<size_t>(index)];
}

std::string NameValue(const ConstantSet& set, uint64_t value, int bits) {
  std::string text;
  AppendNameValue(set, value, bits, &text);
  return text;
}

bool AppendNameValue(const ConstantSet& set, uint64_t value, int bits, std::string* out) {
  uint64_t mask = Mask(bits);
  value &= mask;
  if (set.kind == SetKind::kErrors) {
    const char* name = value > 0xffffffffu ? nullptr : Win32ErrorName(static_cast<uint32_t>(value));
    if (name == nullptr) return false;
    *out += name;
    return true;
  }
  // An exact member first: a value such as INVALID_FILE_ATTRIBUTES is not a set of bits.
  for (const Constant& member : set.members) {
    uint64_t base = member.value & mask;
    if (value == base) {
      *out += member.name;
      return true;
    }
    if (member.range > 0 && value > base && value - base <= member.range) {
      *out += member.name;
      *out += '+';
      *out += std::to_string(value - base);
      return true;
    }
  }
  if (set.kind != SetKind::kFlags) return false;
  if (value == 0) {
    *out += '0';
    return true;
  }
  uint64_t left = value;
  bool first = true;
  for (const Constant& member : set.members) {
    uint64_t bitsOf = member.value & mask;
    if (bitsOf == 0 || (value & bitsOf) != bitsOf || (left & bitsOf) == 0) continue;
    if (!first) *out += '|';
    *out += member.name;
    first = false;
    left &= ~bitsOf;
  }
  if (left != 0) {
    if (!first) *out += '|';
    *out += Hex(left);
  }
  return true;
}

}  // namespace qel::report
