// The hook list tables: record construction, insert-if-absent, orderings and lookups.
#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <string>
#include <vector>

#include "describe_tables.h"
#include "hooklist/hook_list.h"

using namespace qelvorn;

using hooklisttest::DescribeModule;

TEST(HookListTables, NewApiHookRecordStartsEmpty) {
  HookList list;
  ApiHookRecord* record = NewApiHookRecord(list.pool, "recv", 4);
  ASSERT_NE(nullptr, record);
  EXPECT_STREQ("recv", record->name);
  EXPECT_EQ(nullptr, record->preCallbackName);
  EXPECT_EQ(nullptr, record->postCallbackName);
  EXPECT_EQ(0u, record->argCount);
  EXPECT_EQ(nullptr, record->hookEntry);
  EXPECT_EQ(0u, record->realFunction);
  EXPECT_EQ(-1, record->ordinal);
  EXPECT_EQ(0, record->callerCleans);
  EXPECT_EQ(0, record->skipCall);
  EXPECT_NE(nullptr, record->argTypes);
  EXPECT_EQ(nullptr, record->moduleName);
  // Record, name and type room come one after the other from the pool.
  EXPECT_EQ(reinterpret_cast<char*>(record) + sizeof(ApiHookRecord), record->name);
  EXPECT_EQ(record->name + 5, record->argTypes);

  EXPECT_NE(nullptr, NewApiHookRecord(list.pool, "F", qelvorn::BlockPool::kMaxRequest));
  EXPECT_EQ(nullptr, NewApiHookRecord(list.pool, "F", qelvorn::BlockPool::kMaxRequest + 1));
  EXPECT_EQ(nullptr, NewApiHookRecord(
                         list.pool, std::string(qelvorn::BlockPool::kMaxRequest, 'F').c_str(), 0));
  EXPECT_EQ(nullptr, NewApiHookRecord(list.pool, nullptr, 0));
}

TEST(HookListTables, NewModuleRecordsCopyTheirNames) {
  HookList list;
  std::string name = "KERNEL32.dll";
  ImportedModuleRecord imported = NewImportedModuleRecord(list.pool, name.c_str());
  name[0] = 'x';
  EXPECT_STREQ("KERNEL32.dll", imported.name);
  EXPECT_EQ(nullptr, imported.handle);
  EXPECT_TRUE(imported.apisByName.empty() && imported.apisByOrdinal.empty());
  EXPECT_EQ(nullptr, NewImportedModuleRecord(
                         list.pool, std::string(qelvorn::BlockPool::kMaxRequest, 'k').c_str())
                         .name);

  ModuleHookRecord* importer = NewModuleHookRecord(list.pool, "host.exe");
  ASSERT_NE(nullptr, importer);
  EXPECT_STREQ("host.exe", importer->name);
  EXPECT_EQ(nullptr, importer->handle);
  EXPECT_TRUE(importer->importedModules.empty());
  EXPECT_EQ(0, importer->loadedAtSetUp);
  EXPECT_EQ(0, importer->importsPatched);
  delete importer;
  EXPECT_EQ(nullptr, NewModuleHookRecord(
                         list.pool, std::string(qelvorn::BlockPool::kMaxRequest, 'h').c_str()));
}

TEST(HookListTables, AddApiKeepsFirstNameAndFirstOrdinalIndependently) {
  HookList list;
  ImportedModuleRecord module = NewImportedModuleRecord(list.pool, "WS2_32.dll");
  ApiHookRecord* first = NewApiHookRecord(list.pool, "recv", 0);
  first->ordinal = 16;
  ApiHookRecord* sameName = NewApiHookRecord(list.pool, "recv", 0);
  sameName->ordinal = 17;
  ApiHookRecord* sameOrdinal = NewApiHookRecord(list.pool, "send", 0);
  sameOrdinal->ordinal = 16;
  ApiHookRecord* noOrdinal = NewApiHookRecord(list.pool, "Zw", 0);
  ApiHookRecord* negative = NewApiHookRecord(list.pool, "neg", 0);
  negative->ordinal = -3;
  for (ApiHookRecord* record : {first, sameName, sameOrdinal, noOrdinal, negative}) {
    AddApi(module, record);
  }
  EXPECT_EQ("WS2_32.dll[Zw,neg,recv,send|16=recv|17=recv]", DescribeModule(module));
  EXPECT_EQ(first, FindApiByName(module, "recv"));
  EXPECT_EQ(first, FindApiByOrdinal(module, 16));
  EXPECT_EQ(sameName, FindApiByOrdinal(module, 17));
  EXPECT_EQ(nullptr, FindApiByName(module, "RECV"));
  EXPECT_EQ(nullptr, FindApiByName(module, nullptr));
  EXPECT_EQ(nullptr, FindApiByOrdinal(module, 0x80000010u));
  EXPECT_EQ(nullptr, FindApiByOrdinal(module, 0xfffffffdu));
}

TEST(HookListTables, ImportedModuleCopiesHaveTheirOwnHandleAndMaps) {
  HookList list;
  ImportedModuleRecord original = NewImportedModuleRecord(list.pool, "KERNEL32.dll");
  ApiHookRecord* record = NewApiHookRecord(list.pool, "CloseHandle", 1);
  AddApi(original, record);
  ModuleHookRecord importer;
  AddImportedModule(importer, original);
  ImportedModuleRecord other = NewImportedModuleRecord(list.pool, "kernel32.DLL");
  AddImportedModule(importer, other);
  ASSERT_EQ(1u, importer.importedModules.size());
  ImportedModuleRecord& copy = importer.importedModules.begin()->second;
  EXPECT_EQ(original.name, copy.name);
  EXPECT_EQ(record, FindApiByName(copy, "CloseHandle"));
  copy.handle = reinterpret_cast<HMODULE>(0x10000000);
  copy.apisByName.clear();
  EXPECT_EQ(nullptr, original.handle);
  EXPECT_EQ(record, FindApiByName(original, "CloseHandle"));
}

TEST(HookListTables, OrderingsAreByteWiseAndCaseInsensitive) {
  // Names deliberately spanning the bytes between 'Z' and 'a', and above 0x7f.
  const std::vector<const char*> names = {"recv",      "Zw",          "a_",          "AB",
                                          "\x83\x40x", "CloseHandle", "CreateFileA", "closehandle",
                                          "[x",        "_x",          "GetTickCount"};
  HookList list;
  for (const char* name : names) {
    ApiHookRecord* record = NewApiHookRecord(list.pool, name, 0);
    list.apiTable.emplace(record->name, record);
    ImportedModuleRecord module = NewImportedModuleRecord(list.pool, name);
    list.importedModuleTable.try_emplace(module.name, module);
  }
  std::string apis, modules;
  for (const auto& api : list.apiTable) apis += std::string(api.first) + " ";
  for (const auto& module : list.importedModuleTable) modules += std::string(module.first) + " ";
  EXPECT_EQ("AB CloseHandle CreateFileA GetTickCount Zw [x _x a_ closehandle recv \x83\x40x ",
            apis);
  // Letters fold to lower case, so '[' and '_' (between 'Z' and 'a') sort before letters,
  // and the first of two names equal but for case is the key that stays.
  EXPECT_EQ("[x _x a_ AB CloseHandle CreateFileA GetTickCount recv Zw \x83\x40x ", modules);
}

TEST(HookListTables, NoCaseOrderIsStricmpOfTheCLocale) {
  // Every pair of 7-bit bytes against _stricmp of the C locale. Above 0x7f Windows compares
  // unsigned bytes while Wine's _stricmp compares signed ones, so those are stated directly.
  setlocale(LC_ALL, "C");
  NoCaseOrder less;
  for (int a = 1; a < 128; ++a) {
    for (int b = 1; b < 128; ++b) {
      char left[3] = {'k', static_cast<char>(a), 0};
      char right[3] = {'k', static_cast<char>(b), 0};
      ASSERT_EQ(_stricmp(left, right) < 0, less(left, right)) << a << " " << b;
    }
  }
  EXPECT_FALSE(less("abc", "ABC"));
  EXPECT_FALSE(less("ABC", "abc"));
  EXPECT_TRUE(less("ab", "ABC"));
  EXPECT_TRUE(less("k\x7f", "k\x80"));
  EXPECT_TRUE(less("kz", "k\x81"));
  // No folding above 0x7f: these are two keys, ordered by byte value.
  EXPECT_TRUE(less("k\xc0", "k\xe0"));
  EXPECT_FALSE(less("k\xe0", "k\xc0"));
}

TEST(HookListTables, LookupsFindModulesIgnoringCaseAndFunctionsByExactName) {
  HookList list;
  ImportedModuleRecord module = NewImportedModuleRecord(list.pool, "KERNEL32.dll");
  ApiHookRecord* record = NewApiHookRecord(list.pool, "CloseHandle", 1);
  list.apiTable.emplace(record->name, record);
  list.importedModuleTable.try_emplace(module.name, module);
  ModuleHookRecord* importer = NewModuleHookRecord(list.pool, "host.exe");
  list.moduleTable.emplace(importer->name, importer);

  EXPECT_EQ(record, FindApi(list, "CloseHandle"));
  EXPECT_EQ(nullptr, FindApi(list, "closehandle"));
  EXPECT_EQ(nullptr, FindApi(list, "CloseHandleX"));
  EXPECT_EQ(nullptr, FindApi(list, nullptr));
  ImportedModuleRecord* found = FindImportedModule(list, "kernel32.DLL");
  ASSERT_NE(nullptr, found);
  EXPECT_EQ(module.name, found->name);
  EXPECT_EQ(nullptr, FindImportedModule(list, "kernel32"));
  EXPECT_EQ(importer, FindModule(list, "HOST.EXE"));
  EXPECT_EQ(nullptr, FindModule(list, "host.ex"));
  EXPECT_EQ(nullptr, FindModule(list, nullptr));
}
