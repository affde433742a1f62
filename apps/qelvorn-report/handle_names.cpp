// Following handles through a log: the reviewed tables of the calls that make and close
// them, and the table of the handles open at each point of the log.
#include "handle_names.h"

namespace qel::report {
namespace {

using K = HandleKind;
using S = HandleSource;
using N = HandleNaming;

// Each row checked against the function's documentation and decode.txt's parameters
// (test_report checks the argument numbers and types against lists/decode.txt).
const std::vector<HandleMaker> kMakers = {
    // Files and file-like objects, named by their path.
    {"CreateFileA", K::kObject, S::kResult, N::kText, "", 0, kNoArgument},
    {"CreateFileW", K::kObject, S::kResult, N::kText, "", 0, kNoArgument},
    {"CreateFile2", K::kObject, S::kResult, N::kText, "", 0, kNoArgument},
    {"CreateNamedPipeA", K::kObject, S::kResult, N::kText, "", 0, kNoArgument},
    {"CreateNamedPipeW", K::kObject, S::kResult, N::kText, "", 0, kNoArgument},
    {"CreateMailslotA", K::kObject, S::kResult, N::kText, "", 0, kNoArgument},
    {"CreateMailslotW", K::kObject, S::kResult, N::kText, "", 0, kNoArgument},
    {"CreateFileMappingA", K::kObject, S::kResult, N::kText, "mapping", 5, kNoArgument},
    {"CreateFileMappingW", K::kObject, S::kResult, N::kText, "mapping", 5, kNoArgument},
    {"OpenFileMappingA", K::kObject, S::kResult, N::kText, "mapping", 2, kNoArgument},
    {"OpenFileMappingW", K::kObject, S::kResult, N::kText, "mapping", 2, kNoArgument},
    // Searches and change notifications, named by what they look at.
    {"FindFirstFileA", K::kObject, S::kResult, N::kText, "find", 0, kNoArgument},
    {"FindFirstFileW", K::kObject, S::kResult, N::kText, "find", 0, kNoArgument},
    {"FindFirstFileExA", K::kObject, S::kResult, N::kText, "find", 0, kNoArgument},
    {"FindFirstFileExW", K::kObject, S::kResult, N::kText, "find", 0, kNoArgument},
    {"FindFirstChangeNotificationA", K::kObject, S::kResult, N::kText, "change", 0, kNoArgument},
    {"FindFirstChangeNotificationW", K::kObject, S::kResult, N::kText, "change", 0, kNoArgument},
    // Synchronisation objects, by kind and the name they were given (none: the kind alone).
    {"CreateEventA", K::kObject, S::kResult, N::kText, "event", 3, kNoArgument},
    {"CreateEventW", K::kObject, S::kResult, N::kText, "event", 3, kNoArgument},
    {"CreateEventExA", K::kObject, S::kResult, N::kText, "event", 1, kNoArgument},
    {"CreateEventExW", K::kObject, S::kResult, N::kText, "event", 1, kNoArgument},
    {"OpenEventA", K::kObject, S::kResult, N::kText, "event", 2, kNoArgument},
    {"OpenEventW", K::kObject, S::kResult, N::kText, "event", 2, kNoArgument},
    {"CreateMutexA", K::kObject, S::kResult, N::kText, "mutex", 2, kNoArgument},
    {"CreateMutexW", K::kObject, S::kResult, N::kText, "mutex", 2, kNoArgument},
    {"CreateMutexExA", K::kObject, S::kResult, N::kText, "mutex", 1, kNoArgument},
    {"CreateMutexExW", K::kObject, S::kResult, N::kText, "mutex", 1, kNoArgument},
    {"OpenMutexA", K::kObject, S::kResult, N::kText, "mutex", 2, kNoArgument},
    {"OpenMutexW", K::kObject, S::kResult, N::kText, "mutex", 2, kNoArgument},
    {"CreateSemaphoreA", K::kObject, S::kResult, N::kText, "semaphore", 3, kNoArgument},
    {"CreateSemaphoreW", K::kObject, S::kResult, N::kText, "semaphore", 3, kNoArgument},
    {"CreateSemaphoreExA", K::kObject, S::kResult, N::kText, "semaphore", 3, kNoArgument},
    {"CreateSemaphoreExW", K::kObject, S::kResult, N::kText, "semaphore", 3, kNoArgument},
    {"OpenSemaphoreA", K::kObject, S::kResult, N::kText, "semaphore", 2, kNoArgument},
    {"OpenSemaphoreW", K::kObject, S::kResult, N::kText, "semaphore", 2, kNoArgument},
    {"CreateWaitableTimerA", K::kObject, S::kResult, N::kText, "timer", 2, kNoArgument},
    {"CreateWaitableTimerW", K::kObject, S::kResult, N::kText, "timer", 2, kNoArgument},
    {"OpenWaitableTimerA", K::kObject, S::kResult, N::kText, "timer", 2, kNoArgument},
    {"OpenWaitableTimerW", K::kObject, S::kResult, N::kText, "timer", 2, kNoArgument},
    // Threads by their start address, processes and threads opened by their id.
    {"CreateThread", K::kObject, S::kResult, N::kValue, "thread", 2, kNoArgument},
    {"CreateRemoteThread", K::kObject, S::kResult, N::kValue, "thread", 3, kNoArgument},
    {"OpenProcess", K::kObject, S::kResult, N::kValue, "process", 2, kNoArgument},
    {"OpenThread", K::kObject, S::kResult, N::kValue, "thread id", 2, kNoArgument},
    {"GetStdHandle", K::kObject, S::kResult, N::kConstant, "", 0, kNoArgument},
    // Modules by the name they were loaded by.
    {"LoadLibraryA", K::kModule, S::kResult, N::kText, "", 0, kNoArgument},
    {"LoadLibraryW", K::kModule, S::kResult, N::kText, "", 0, kNoArgument},
    {"LoadLibraryExA", K::kModule, S::kResult, N::kText, "", 0, kNoArgument},
    {"LoadLibraryExW", K::kModule, S::kResult, N::kText, "", 0, kNoArgument},
    // Registry keys by their path; the key is written through phkResult.
    {"RegOpenKeyA", K::kKey, S::kOutArgument, N::kKeyPath, "", 0, 1},
    {"RegOpenKeyW", K::kKey, S::kOutArgument, N::kKeyPath, "", 0, 1},
    {"RegOpenKeyExA", K::kKey, S::kOutArgument, N::kKeyPath, "", 0, 1},
    {"RegOpenKeyExW", K::kKey, S::kOutArgument, N::kKeyPath, "", 0, 1},
    {"RegCreateKeyA", K::kKey, S::kOutArgument, N::kKeyPath, "", 0, 1},
    {"RegCreateKeyW", K::kKey, S::kOutArgument, N::kKeyPath, "", 0, 1},
    {"RegCreateKeyExA", K::kKey, S::kOutArgument, N::kKeyPath, "", 0, 1},
    {"RegCreateKeyExW", K::kKey, S::kOutArgument, N::kKeyPath, "", 0, 1},
    // Sockets by family and type; accepted ones by the socket they were accepted on.
    {"socket", K::kSocket, S::kResult, N::kConstants, "socket", 0, 1},
    {"WSASocketA", K::kSocket, S::kResult, N::kConstants, "socket", 0, 1},
    {"WSASocketW", K::kSocket, S::kResult, N::kConstants, "socket", 0, 1},
    {"accept", K::kSocket, S::kResult, N::kSocketName, "accepted on", 0, kNoArgument},
    {"WSAAccept", K::kSocket, S::kResult, N::kSocketName, "accepted on", 0, kNoArgument},
};

const std::vector<HandleCloser> kClosers = {
    {"CloseHandle", K::kObject, 0},
    {"FindClose", K::kObject, 0},
    {"FindCloseChangeNotification", K::kObject, 0},
    {"RegCloseKey", K::kKey, 0},
    {"FreeLibrary", K::kModule, 0},
    {"closesocket", K::kSocket, 0},
};

// The predefined keys are 32-bit values that a 64-bit program passes sign-extended.
constexpr uint64_t kPredefinedKeyFirst = 0x80000000;
constexpr uint64_t kPredefinedKeyLast = 0x80000006;

// "(■" in cp932: the start of the tracer's markers for a pointer it could not read.
constexpr std::string_view kMarkerStart = "(\x81\xa1";

uint64_t Mask(int digits) {
  return digits >= 16 ? ~uint64_t{0} : (uint64_t{1} << (digits * 4)) - 1;
}

// The text of a text column, false when the column holds none: a null or unreadable
// pointer is written as a marker, or (S, W) as its value in quotes.
bool TextOf(std::string_view field, std::string_view* text) {
  if (field.substr(0, 6) == "(null)") field.remove_prefix(6);
  if (field.size() < 2 || field.front() != '"' || field.back() != '"') return false;
  std::string_view inner = field.substr(1, field.size() - 2);
  if (inner.substr(0, kMarkerStart.size()) == kMarkerStart) return false;
  if ((inner.size() == 8 || inner.size() == 16) &&
      inner.find_first_not_of('0') == std::string_view::npos) {
    return false;
  }
  *text = inner;
  return true;
}

// The column of parameter `index`, empty when the parameter is not one column wide.
std::string_view FieldOf(const FunctionDefinition& def, const std::vector<std::string_view>& fields,
                         int index) {
  if (index < 0 || static_cast<size_t>(index) >= def.params.size()) return {};
  size_t at = 0;
  for (int i = 0; i < index; ++i) at += def.params[static_cast<size_t>(i)].codes.size();
  if (def.params[static_cast<size_t>(index)].codes.size() != 1 || at >= fields.size()) return {};
  return fields[at];
}

const ParamDefinition* ParamOf(const FunctionDefinition& def, int index) {
  if (index < 0 || static_cast<size_t>(index) >= def.params.size()) return nullptr;
  return &def.params[static_cast<size_t>(index)];
}

// Cut on a character's start: a name is cp932, whose lead bytes take the byte after them.
void Bound(std::string* name) {
  if (name->size() <= HandleNames::kNameLimit) return;
  size_t keep = 0;
  for (size_t next = 0; next <= HandleNames::kNameLimit - 3;) {
    keep = next;
    unsigned char c = static_cast<unsigned char>((*name)[next]);
    next += (c >= 0x81 && c <= 0x9f) || (c >= 0xe0 && c <= 0xfc) ? 2 : 1;
  }
  name->resize(keep);
  name->append("...");
}

std::string Joined(std::string_view label, std::string_view text) {
  std::string name(label);
  if (!name.empty() && !text.empty()) name += ' ';
  name.append(text.data(), text.size());
  return name;
}

}  // namespace

const std::vector<HandleMaker>& HandleMakers() {
  return kMakers;
}

const std::vector<HandleCloser>& HandleClosers() {
  return kClosers;
}

bool IsHandleType(HandleKind kind, std::string_view type) {
  // Asked for every argument of every decoded call; most types are no handle.
  if (type.empty() || (type[0] != 'H' && type[0] != 'S')) return false;
  switch (kind) {
    case HandleKind::kObject:
      return type == "HANDLE";
    case HandleKind::kKey:
      return type == "HKEY";
    case HandleKind::kModule:
      return type == "HMODULE" || type == "HINSTANCE";
    case HandleKind::kSocket:
      return type == "SOCKET";
  }
  return false;
}

void HandleNames::Begin(const CallDefinitions* definitions, int digits) {
  definitions_ = definitions;
  digits_ = digits;
}

const HandleNames::Rules* HandleNames::RulesOf(const FunctionDefinition* def,
                                               std::string_view api) {
  if (def == nullptr) return nullptr;
  auto known = rules_.find(def);
  if (known != rules_.end()) return &known->second;
  Rules rules;
  rules.def = def;
  for (const HandleMaker& maker : kMakers)
    if (api == maker.function) rules.maker = &maker;
  for (const HandleCloser& closer : kClosers)
    if (api == closer.function) rules.closer = &closer;
  for (const ParamDefinition& param : def->params)
    if (IsHandleType(HandleKind::kKey, param.type) && param.codes.size() == 1)
      rules.takesKeys = true;
  // One entry per definition of decode.txt, which bounds the cache.
  return &rules_.emplace(def, rules).first->second;
}

bool HandleNames::Valid(uint64_t value) const {
  value &= Mask(digits_);
  return value != 0 && value != Mask(digits_);
}

void HandleNames::AppendEntryName(const Entry* entry, std::string* out) {
  if (entry == nullptr || entry->name.empty()) return;
  *out += " <";
  *out += entry->name;
  *out += '>';
}

const HandleNames::Entry* HandleNames::Find(HandleKind kind, uint64_t value) const {
  auto found = entries_.find({static_cast<int>(kind), value & Mask(digits_)});
  return found == entries_.end() ? nullptr : &*found->second;
}

void HandleNames::Add(HandleKind kind, uint64_t value, std::string name) {
  value &= Mask(digits_);
  Bound(&name);
  Key key{static_cast<int>(kind), value};
  auto found = entries_.find(key);
  if (found != entries_.end()) {
    // A module loaded again keeps its name and counts the load; any other handle whose
    // value comes back was closed unseen, and takes its new name.
    if (kind == HandleKind::kModule) {
      ++found->second->references;
      return;
    }
    order_.erase(found->second);
    entries_.erase(found);
  }
  if (order_.size() >= kHandleLimit) {
    const Entry& oldest = order_.front();
    entries_.erase({static_cast<int>(oldest.kind), oldest.value});
    order_.pop_front();
  }
  order_.push_back(Entry{kind, value, std::move(name), 1});
  entries_.emplace(key, std::prev(order_.end()));
}

void HandleNames::Remove(HandleKind kind, uint64_t value) {
  auto found = entries_.find({static_cast<int>(kind), value & Mask(digits_)});
  if (found == entries_.end()) return;
  if (--found->second->references > 0) return;
  order_.erase(found->second);
  entries_.erase(found);
}

std::string HandleNames::ConstantName(const ParamDefinition& param, std::string_view field) const {
  const ConstantSet* set = definitions_ != nullptr ? definitions_->Set(param.set) : nullptr;
  uint64_t value = 0;
  if (set == nullptr || !ReadColumnValue(field, param.codes == "d", &value)) return "";
  return NameValue(*set, value, digits_ * 4);
}

std::string HandleNames::NameOf(const HandleMaker& maker, const FunctionDefinition& def,
                                const std::vector<std::string_view>& fields) const {
  std::string_view field = FieldOf(def, fields, maker.argument);
  const ParamDefinition* param = ParamOf(def, maker.argument);
  if (param == nullptr || field.empty()) return "";
  switch (maker.naming) {
    case HandleNaming::kText: {
      std::string_view text;
      if (!TextOf(field, &text)) text = {};
      return Joined(maker.label, text);
    }
    case HandleNaming::kKeyPath: {
      uint64_t parent = 0;
      std::string name;
      const Entry* known =
          ReadColumnValue(field, false, &parent) ? Find(HandleKind::kKey, parent) : nullptr;
      if (known != nullptr) {
        name = known->name;
      } else {
        name = ConstantName(*param, field);
        if (name.empty()) name = std::string(field);
      }
      std::string_view sub;
      if (TextOf(FieldOf(def, fields, maker.second), &sub) && !sub.empty()) {
        name += '\\';
        name.append(sub.data(), sub.size());
      }
      return name;
    }
    case HandleNaming::kValue:
      return Joined(maker.label, field);
    case HandleNaming::kConstant: {
      std::string name = ConstantName(*param, field);
      return name.empty() ? std::string(field) : name;
    }
    case HandleNaming::kConstants: {
      std::string name = Joined(maker.label, "");
      for (int index : {maker.argument, maker.second}) {
        std::string_view column = FieldOf(def, fields, index);
        const ParamDefinition* of = ParamOf(def, index);
        std::string named = of != nullptr ? ConstantName(*of, column) : "";
        name = Joined(name, named.empty() ? column : std::string_view(named));
      }
      return name;
    }
    case HandleNaming::kSocketName: {
      uint64_t socket = 0;
      const Entry* known =
          ReadColumnValue(field, false, &socket) ? Find(HandleKind::kSocket, socket) : nullptr;
      return Joined(maker.label, known != nullptr ? std::string_view(known->name) : field);
    }
  }
  return "";
}

void HandleNames::BindUnseenKeys(const ParsedLine& parsed, const FunctionDefinition& def,
                                 const std::vector<std::string_view>& fields) {
  auto unseen = unseenKeys_.find(parsed.thread);
  if (unseen == unseenKeys_.end()) return;
  for (size_t i = 0; i < def.params.size(); ++i) {
    const ParamDefinition& param = def.params[i];
    if (!IsHandleType(HandleKind::kKey, param.type)) continue;
    std::string_view field = FieldOf(def, fields, static_cast<int>(i));
    uint64_t value = 0;
    if (!ReadColumnValue(field, false, &value) || !Valid(value) || Find(HandleKind::kKey, value))
      continue;
    uint64_t low = value & 0xffffffffu;
    bool extended = (value >> 32) == 0 || (value >> 32) == 0xffffffffu;
    if (extended && low >= kPredefinedKeyFirst && low <= kPredefinedKeyLast) continue;
    // A key this thread opened and has not used yet: the newest is the likeliest, as a
    // key is most often opened just before it is used.
    Add(HandleKind::kKey, value, std::move(unseen->second.back()));
    unseen->second.pop_back();
    if (unseen->second.empty()) {
      unseenKeys_.erase(unseen);
      return;
    }
  }
}

void HandleNames::Observe(const ParsedLine& parsed, const Rules* known, LineArguments& arguments) {
  for (const auto& [kind, value] : closing_) Remove(kind, value);
  closing_.clear();
  if (known == nullptr) return;
  const Rules& rules = *known;
  const FunctionDefinition* def = rules.def;
  if (rules.maker == nullptr && rules.closer == nullptr && !rules.takesKeys) return;
  if (!arguments.Split()) return;
  const std::vector<std::string_view>& fields = arguments.fields();
  if (!parsed.post) {
    if (rules.takesKeys) BindUnseenKeys(parsed, *def, fields);
    uint64_t value = 0;
    if (rules.closer != nullptr &&
        ReadColumnValue(FieldOf(*def, fields, rules.closer->argument), false, &value)) {
      // Closed once its own pre line has been shown with the name.
      closing_.emplace_back(rules.closer->kind, value);
    }
    return;
  }
  const HandleMaker* maker = rules.maker;
  if (maker == nullptr) return;
  if (maker->source == HandleSource::kResult) {
    if (Valid(parsed.result)) Add(maker->kind, parsed.result, NameOf(*maker, *def, fields));
    return;
  }
  // Written through a pointer: the result says whether it was (ERROR_SUCCESS).
  if ((parsed.result & 0xffffffffu) != 0) return;
  auto unseen = unseenKeys_.find(parsed.thread);
  if (unseen == unseenKeys_.end()) {
    if (unseenKeys_.size() >= kUnseenThreads) return;
    unseen = unseenKeys_.emplace(parsed.thread, std::vector<std::string>()).first;
  }
  std::vector<std::string>& names = unseen->second;
  if (names.size() >= kUnseenLimit) names.erase(names.begin());
  std::string name = NameOf(*maker, *def, fields);
  Bound(&name);
  names.push_back(std::move(name));
}

void HandleNames::AppendArgumentName(const ParamDefinition& param, std::string_view field,
                                     std::string* out) const {
  for (HandleKind kind :
       {HandleKind::kObject, HandleKind::kKey, HandleKind::kModule, HandleKind::kSocket}) {
    if (!IsHandleType(kind, param.type)) continue;
    uint64_t value = 0;
    if (!ReadColumnValue(field, false, &value)) return;
    AppendEntryName(Find(kind, value), out);
    return;
  }
}

void HandleNames::AppendResultName(const Rules* rules, uint64_t result, std::string* out) const {
  if (rules == nullptr || rules->maker == nullptr) return;
  const HandleMaker& maker = *rules->maker;
  if (maker.source != HandleSource::kResult || !Valid(result)) return;
  AppendEntryName(Find(maker.kind, result), out);
}

}  // namespace qel::report
