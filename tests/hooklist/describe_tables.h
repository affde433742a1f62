// Compact texts of what a HookList holds, so a test can state the whole tables in one row.
#pragma once

#include <string>

#include "hooklist/hook_list.h"

namespace hooklisttest {

// One record: "name ordinal callerCleans skipCall pre post types@module".
inline std::string DescribeRecord(const qelvorn::ApiHookRecord& record) {
  std::string text = record.name;
  text += " " + std::to_string(record.ordinal) + " " + std::to_string(record.callerCleans) + " " +
          std::to_string(record.skipCall) + " ";
  text += record.preCallbackName ? record.preCallbackName : "-";
  text += " ";
  text += record.postCallbackName ? record.postCallbackName : "-";
  text += " " + std::string(record.argTypes, record.argCount) + "@";
  text += record.moduleName ? record.moduleName : "?";
  return text;
}

inline std::string DescribeModule(const qelvorn::ImportedModuleRecord& module) {
  std::string text = std::string(module.name) + "[";
  const char* separator = "";
  for (const auto& api : module.apisByName) {
    text += separator + std::string(api.first);
    separator = ",";
  }
  for (const auto& api : module.apisByOrdinal) {
    text += "|" + std::to_string(api.first) + "=" + api.second->name;
  }
  return text + "]";
}

// "api:A,B mod:K[A,B|16=B] imp:host.exe[K]" with every table in its own key order.
inline std::string DescribeTables(const qelvorn::HookList& list) {
  std::string text = "api:";
  const char* separator = "";
  for (const auto& api : list.apiTable) {
    text += separator + std::string(api.first);
    separator = ",";
  }
  text += " mod:";
  separator = "";
  for (const auto& module : list.importedModuleTable) {
    text += separator + DescribeModule(module.second);
    separator = ",";
  }
  text += " imp:";
  separator = "";
  for (const auto& importer : list.moduleTable) {
    text += separator + std::string(importer.first) + "[";
    const char* inner = "";
    for (const auto& imported : importer.second->importedModules) {
      text += inner + std::string(imported.first);
      inner = ",";
    }
    text += "]";
    separator = ",";
  }
  return text;
}

}  // namespace hooklisttest
