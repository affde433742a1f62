// The generated constant sets of lists/decode.txt named as --calls names them: sets whose
// members share bits (message box styles) and value sets with ranges (window messages).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "call_definitions.h"

namespace {

using qel::report::CallDefinitions;
using qel::report::FunctionDefinition;
using qel::report::NameValue;

TEST(ConstantSets, NamesTheGeneratedSets) {
  for (const char* file : {"/decode.txt", "/x64/decode.txt"}) {
    SCOPED_TRACE(file);
    CallDefinitions defs =
        CallDefinitions::Load(std::string(QEL_SOURCE_DIR) + "/lists" + file).value();
    struct Case {
      const char* function;
      const char* parameter;
      uint64_t value;
      const char* named;
    } cases[] = {
        {"MessageBoxA", "uType", 0, "MB_OK"},
        {"MessageBoxW", "uType", 0x24, "MB_YESNO|MB_ICONQUESTION"},
        // Buttons that share bits with other buttons are one value, not two flags.
        {"MessageBoxA", "uType", 0x3, "MB_YESNOCANCEL"},
        {"MessageBoxA", "uType", 0x6, "MB_CANCELTRYCONTINUE"},
        {"MessageBoxA", "uType", 0x5, "MB_RETRYCANCEL"},
        {"MessageBoxExW", "uType", 0x1030, "MB_ICONWARNING|MB_SYSTEMMODAL"},
        {"MessageBoxA", "uType", 0x10, "MB_ICONERROR"},
        {"MessageBoxA", "uType", 0x40, "MB_ICONINFORMATION"},
        {"MessageBoxA", "uType", 0x301, "MB_OKCANCEL|MB_DEFBUTTON4"},
        {"MessageBoxA", "uType", 0x40000 | 0x2000 | 0x100, "MB_DEFBUTTON2|MB_TASKMODAL|MB_TOPMOST"},
        {"MessageBoxA", "uType", 0x800000, "0x800000"},
        {"SendMessageA", "Msg", 0x10, "WM_CLOSE"},
        {"SendMessageW", "Msg", 0x0c, "WM_SETTEXT"},
        {"PostMessageA", "Msg", 0x111, "WM_COMMAND"},
        {"PostThreadMessageW", "Msg", 0x12, "WM_QUIT"},
        {"DefWindowProcW", "Msg", 0x84, "WM_NCHITTEST"},
        {"CallWindowProcA", "Msg", 0x100, "WM_KEYDOWN"},
        {"SendMessageTimeoutW", "Msg", 0x1a, "WM_WININICHANGE"},
        {"SendMessageA", "Msg", 0x400, "WM_USER"},
        {"SendMessageA", "Msg", 0x401, "WM_USER+1"},
        {"SendMessageA", "Msg", 0x7fff, "WM_USER+31743"},
        {"SendMessageA", "Msg", 0x8005, "WM_APP+5"},
        // Registered messages (RegisterWindowMessage) have no name of their own.
        {"SendMessageA", "Msg", 0xc123, ""},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.function) + " " + c.parameter);
      const FunctionDefinition* def = defs.Find("user32.dll", c.function);
      ASSERT_NE(def, nullptr);
      const qel::report::ConstantSet* set = nullptr;
      for (const auto& param : def->params)
        if (param.name == c.parameter) set = defs.Set(param.set);
      ASSERT_NE(set, nullptr);
      EXPECT_EQ(NameValue(*set, c.value, 32), c.named);
    }
  }
}

}  // namespace
