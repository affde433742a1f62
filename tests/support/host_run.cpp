#include "support/host_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <regex>

#include "support/test_support.h"

namespace qeltest {

const std::string kAnyWord = "[0-9a-f]{8}";
const std::string kAnyAddress = "[0-9a-f]{" + std::to_string(2 * sizeof(void*)) + "}";
const std::string kBlankAddress(2 * sizeof(void*), ' ');

std::string Address(uintptr_t value) {
  char text[24];
  snprintf(text, sizeof text, "%0*llx", static_cast<int>(2 * sizeof value),
           static_cast<unsigned long long>(value));
  return text;
}

HostRun RunHost(const std::string& program, const std::string& scenario,
                const std::string& hookList) {
  return RunHost(program, scenario, hookList, HostOptions());
}

HostRun RunHost(const std::string& program, const std::string& scenario,
                const std::string& hookList, const HostOptions& options) {
  std::string dir = MakeTempDir("host");
  WriteIni(dir, options.ini);
  WriteFileBytes(dir + "Qelvorn.lst", hookList);
  HostRun run;
  run.dir = dir;
  run.exitCode = RunProgram(program, scenario + " " + dir, options.timeoutMs);
  run.report = ReadFileBytes(dir + "host.txt");
  std::string stem = program.substr(0, program.find('.'));
  auto logs = ListFiles(dir, "$$$" + stem + "*.txt");
  if (logs.empty()) return run;
  for (const std::string& name : logs) run.logs.push_back(ReadFileBytes(dir + name));
  run.log = run.logs[0];
  static const std::regex prefix(R"(^\d\d:\d\d:\d\d:\d\d\d, [ \d]{2}\d, )" + kAnyAddress + ", ");
  bool inCalls = false;
  for (const std::string& line : SplitLines(run.log)) {
    if (line.rfind("[time],", 0) == 0) {
      inCalls = true;
      continue;
    }
    if (line.rfind("[module listing start", 0) == 0 && inCalls) break;
    if (!inCalls || line.empty() || line.rfind("new thread : ", 0) == 0) continue;
    run.calls.push_back(
        std::regex_replace(line, prefix, "", std::regex_constants::format_first_only));
  }
  return run;
}

std::string Pre(const std::string& api, const std::string& rest) {
  return kBlankAddress + ",         , " + api + ", " + rest;
}

std::string Post(const std::string& result, const std::string& api, const std::string& rest) {
  return result + ", " + kAnyWord + ", " + api + ", " + rest;
}

void ExpectLines(const std::vector<std::string>& patterns, const std::vector<std::string>& lines) {
  size_t count = std::max(patterns.size(), lines.size());
  for (size_t i = 0; i < count; ++i) {
    std::string pattern = i < patterns.size() ? patterns[i] : "<none>";
    std::string line = i < lines.size() ? lines[i] : "<none>";
    EXPECT_TRUE(std::regex_match(line, std::regex(pattern)))
        << "line " << i << "\n  log:      " << line << "\n  expected: " << pattern;
  }
}

}  // namespace qeltest
