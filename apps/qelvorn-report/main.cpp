// Entry point of qelvorn-report; no exception leaves it.
#include <exception>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "report_command.h"

int main(int argc, char** argv) {
  try {
    std::ios::sync_with_stdio(false);
    std::vector<std::string> arguments(argv + 1, argv + argc);
    int code = qel::report::RunReport(arguments, std::cout, std::cerr);
    std::cout.flush();
    return code;
  } catch (const std::bad_alloc&) {
    std::cerr << "qelvorn-report: out of memory\n";
  } catch (const std::exception& e) {
    std::cerr << "qelvorn-report: " << e.what() << "\n";
  } catch (...) {
    std::cerr << "qelvorn-report: unexpected failure\n";
  }
  return 5;
}
