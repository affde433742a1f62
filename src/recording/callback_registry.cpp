// The callback registry: names to callbacks, filled by the layer that wires the system.
#include "recording/callback_registry.h"

#include <cstring>
#include <map>
#include <string>

namespace {

// Plain byte order; transparent so a look-up by C string allocates nothing.
struct ByteOrder {
  using is_transparent = void;
  static const char* Text(const std::string& s) { return s.c_str(); }
  static const char* Text(const char* s) { return s; }
  template <class A, class B>
  bool operator()(const A& a, const B& b) const {
    return strcmp(Text(a), Text(b)) < 0;
  }
};

// Never destroyed: traced calls made by DLLs detached after this one at process exit
// still look their callbacks up.
std::map<std::string, Callback, ByteOrder>& Registry() {
  static auto* registry = new std::map<std::string, Callback, ByteOrder>;
  return *registry;
}

}  // namespace

void RegisterCallback(const char* name, Callback callback) {
  Registry().emplace(std::string(name), callback);
}

Callback FindCallback(const char* name) {
  if (name == nullptr) return nullptr;
  auto& registry = Registry();
  auto found = registry.find(name);
  return found == registry.end() ? nullptr : found->second;
}
