// The generated constant sets of lists/decode.txt named as --calls names them: sets whose
// members share bits (message box styles, variant types), value sets with ranges (window
// messages), the access rights of synchronisation objects and threads, and the sets of the
// functions Wine's programs call most.
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
        // Sets of the functions Wine's programs call most.
        {"WideCharToMultiByte", "CodePage", 65001, "CP_UTF8"},
        {"MultiByteToWideChar", "dwFlags", 0x9, "MB_PRECOMPOSED|MB_ERR_INVALID_CHARS"},
        {"FormatMessageW", "dwFlags", 0x1300,
         "FORMAT_MESSAGE_ALLOCATE_BUFFER|FORMAT_MESSAGE_IGNORE_INSERTS|FORMAT_MESSAGE_FROM_SYSTEM"},
        // The low byte is a line width: a mask only when all of it is set.
        {"FormatMessageW", "dwFlags", 0x1050, "FORMAT_MESSAGE_FROM_SYSTEM|0x50"},
        {"FormatMessageW", "dwFlags", 0x10ff,
         "FORMAT_MESSAGE_MAX_WIDTH_MASK|FORMAT_MESSAGE_FROM_SYSTEM"},
        {"FormatMessageW", "dwMessageId", 2, "ERROR_FILE_NOT_FOUND"},
        {"HeapAlloc", "dwFlags", 0x8, "HEAP_ZERO_MEMORY"},
        {"CompareStringW", "Locale", 0x400, "LOCALE_USER_DEFAULT"},
        {"CompareStringW", "dwCmpFlags", 0x1, "NORM_IGNORECASE"},
        {"GetDateFormatW", "dwFlags", 0x80000001, "LOCALE_NOUSEROVERRIDE|DATE_SHORTDATE"},
        {"CreateFileMappingW", "flProtect", 0x8000004, "PAGE_READWRITE|SEC_COMMIT"},
        {"CoCreateInstance", "dwClsContext", 0x17, "CLSCTX_ALL"},
        {"CoCreateInstance", "dwClsContext", 0x5, "CLSCTX_INPROC_SERVER|CLSCTX_LOCAL_SERVER"},
        {"CoInitializeEx", "dwCoInit", 0, "COINIT_MULTITHREADED"},
        {"CoInitializeSecurity", "dwImpLevel", 3, "RPC_C_IMP_LEVEL_IMPERSONATE"},
        // A variant type: modifier bits and one base type, not the base type's bits.
        {"VariantChangeType", "vt", 0x2003, "VT_ARRAY|VT_I4"},
        {"VariantChangeType", "vt", 0x4011, "VT_BYREF|VT_UI1"},
        {"VariantChangeType", "vt", 0x8, "VT_BSTR"},
        // Access to synchronisation objects and threads: the full mask before its parts,
        // and each object's own rights (a mutex's modify right is bit 0, an event's bit 1).
        {"OpenEventA", "dwDesiredAccess", 0x100000, "SYNCHRONIZE"},
        {"OpenEventW", "dwDesiredAccess", 0x100002, "EVENT_MODIFY_STATE|SYNCHRONIZE"},
        {"CreateEventExA", "dwDesiredAccess", 0x1f0003, "EVENT_ALL_ACCESS"},
        {"OpenMutexA", "dwDesiredAccess", 0x1f0001, "MUTEX_ALL_ACCESS"},
        {"OpenMutexW", "dwDesiredAccess", 0x100001, "MUTEX_MODIFY_STATE|SYNCHRONIZE"},
        {"OpenSemaphoreA", "dwDesiredAccess", 0x1f0003, "SEMAPHORE_ALL_ACCESS"},
        {"CreateSemaphoreExW", "dwDesiredAccess", 0x100002, "SEMAPHORE_MODIFY_STATE|SYNCHRONIZE"},
        {"OpenWaitableTimerW", "dwDesiredAccess", 0x100003,
         "TIMER_MODIFY_STATE|TIMER_QUERY_STATE|SYNCHRONIZE"},
        {"OpenThread", "dwDesiredAccess", 0x1fffff, "THREAD_ALL_ACCESS"},
        {"OpenThread", "dwDesiredAccess", 0x100042,
         "THREAD_SUSPEND_RESUME|THREAD_QUERY_INFORMATION|SYNCHRONIZE"},
        {"OpenThread", "dwDesiredAccess", 0x1000, "0x1000"},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.function) + " " + c.parameter);
      const FunctionDefinition* def = defs.Find("", c.function);
      ASSERT_NE(def, nullptr);
      const qel::report::ConstantSet* set = nullptr;
      for (const auto& param : def->params)
        if (param.name == c.parameter) set = defs.Set(param.set);
      ASSERT_NE(set, nullptr);
      EXPECT_EQ(NameValue(*set, c.value, 32), c.named);
    }
    struct Result {
      const char* function;
      uint64_t value;
      const char* named;
    } results[] = {
        {"CompareStringW", 2, "CSTR_EQUAL"},
        {"CoInitialize", 0x80010106, "RPC_E_CHANGED_MODE"},
        {"CoCreateInstance", 0x80040154, "REGDB_E_CLASSNOTREG"},
        {"GetFileSize", 0xffffffff, "INVALID_FILE_SIZE"},
        {"WSAStartup", 10091, "WSASYSNOTREADY"},
    };
    for (const Result& r : results) {
      SCOPED_TRACE(r.function);
      const FunctionDefinition* def = defs.Find("", r.function);
      ASSERT_NE(def, nullptr);
      ASSERT_NE(defs.Set(def->resultSet), nullptr);
      EXPECT_EQ(NameValue(*defs.Set(def->resultSet), r.value, 32), r.named);
    }
  }
}

}  // namespace
