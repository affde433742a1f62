// libFuzzer target: the input is a program file, for which a hook list is made from the
// definitions under lists/ as qelvorn-lst makes it. The program is named in a folder that
// does not exist, so no file beside it is read and every run sees only its own input.
#include <cstdint>
#include <string>

#include "common/hook_list_maker.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qel::HookListRequest request;
  request.program = "/nonexistent/qel-fuzz/program.exe";
  request.listsDirs = qel::DefaultListsDirs();
  qel::HookList list;
  (void)qel::MakeHookListFromBytes(request, data, size, &list);
  return 0;
}
