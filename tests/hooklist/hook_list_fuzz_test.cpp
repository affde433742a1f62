// Malformed hook lists: a deterministic loop of mutated and random texts, each parsed from
// a buffer that ends at a no-access page, with the tables and the pool checked afterwards.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <cstdlib>
#include <string>
#include <vector>

#include "hooklist/hook_list.h"
#include "hooklist/hook_list_parser.h"
#include "support/test_support.h"

using namespace qelvorn;

namespace {

const char* const kSeeds[] = {
    "// c\r\n[Imported]\r\nimported_module = KERNEL32.dll\r\n"
    "api=CreateFileA,,,,,,,,,S,4,4,p,4,4,x\r\napi=CloseHandle,,,,,,,,,x\r\n"
    "api=WaitForSingleObject,,,,1,,,,,x,d   // c\r\napi=GetTickCount,,,,,,,,,\r\n"
    "imported_module=WS2_32.dll\r\napi=recv,16,,,ws,ws,,,,x,p,d,4\r\n\r\n"
    "[Import]\r\nimport_module=host.exe\r\ndll=KERNEL32.dll\r\ndll=ws2_32.dll\r\n",
    "[Imported]\r\nimported_module=K\r\napi=A,1,x,x,1,1,,,,s,S,w,W\r\nimported_module=k\r\n"
    "api=A,2,,,,,,,,\r\n[Import]x\r\nimport_module=h\r\nimport_module=H\r\ndll=k\r\n",
    "\x81\x40[Imported]\x81\x40//\x83\x40\r\nimported_module\x81\x40=\x81\x40\x83\x40\r\n"
    "api=\x83\x2F,,,,\x95\x40,,,,,\x83\x40\r\n[Import]\r\nimport_module=\x83\x40\r\ndll="
    "\x83\x40\r\n",
};

// Pieces that the mutations splice in: the grammar's own tokens and the bytes that matter.
const char* const kTokens[] = {"\r\n",
                               "\r",
                               "\n",
                               "=",
                               ",",
                               "//",
                               "/",
                               " ",
                               "\t",
                               "\x81\x40",
                               "\x81",
                               "\x40",
                               "[Imported]",
                               "[Import]",
                               "imported_module",
                               "import_module",
                               "api",
                               "dll",
                               "1",
                               "16",
                               "-1",
                               "x",
                               "K",
                               "h"};

struct Random {
  uint32_t state;
  uint32_t Next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  }
  uint32_t Below(uint32_t n) { return Next() % n; }
};

std::string Mutate(Random& random, std::string text) {
  int edits = 1 + random.Below(4);
  for (int i = 0; i < edits; ++i) {
    size_t at = text.empty() ? 0 : random.Below(static_cast<uint32_t>(text.size() + 1));
    switch (random.Below(8)) {
      case 0:  // truncation
        text.resize(at);
        break;
      case 1:  // byte flip
        if (at < text.size()) text[at] = static_cast<char>(random.Next() | 1);
        break;
      case 2:  // a token
        text.insert(at, kTokens[random.Below(sizeof kTokens / sizeof kTokens[0])]);
        break;
      case 3:  // a byte removed
        if (at < text.size()) text.erase(at, 1);
        break;
      case 4:  // a long run, around the size of a pool block
        text.insert(at, std::string(10220 + random.Below(20), "n,=/ \x81"[random.Below(6)]));
        break;
      case 5:  // a huge field count
        text.insert(at, std::string(random.Below(12000), ','));
        break;
      case 6:  // a piece of the text repeated
        if (at < text.size()) text.insert(at, text.substr(at, random.Below(200)));
        break;
      case 7:  // a long name in an entry
        text.insert(at,
                    "\r\napi=" + std::string(10225 + random.Below(6), 'N') + ",,,,1,1,,,,x\r\n");
        break;
    }
  }
  return text;
}

std::string RandomText(Random& random) {
  std::string text;
  int pieces = random.Below(60);
  for (int i = 0; i < pieces; ++i) {
    if (random.Below(4) == 0) {
      text += static_cast<char>(random.Next() | 1);
    } else {
      text += kTokens[random.Below(sizeof kTokens / sizeof kTokens[0])];
    }
  }
  return text;
}

// Copies text so that its NUL is the last byte before a no-access page: a read past the
// end faults instead of passing unseen.
struct GuardedText {
  char* base = nullptr;
  size_t room = 0;
  const char* Place(const std::string& text) {
    size_t need = (text.size() + 1 + 4095) / 4096 * 4096;
    if (need > room) {
      if (base != nullptr) VirtualFree(base, 0, MEM_RELEASE);
      base = static_cast<char*>(VirtualAlloc(nullptr, need + 4096, MEM_COMMIT, PAGE_READWRITE));
      DWORD old;
      VirtualProtect(base + need, 4096, PAGE_NOACCESS, &old);
      room = need;
    }
    char* start = base + room - text.size() - 1;
    memcpy(start, text.c_str(), text.size() + 1);
    return start;
  }
  ~GuardedText() {
    if (base != nullptr) VirtualFree(base, 0, MEM_RELEASE);
  }
};

// The pool's chain and every table entry still hold together.
void CheckTables(const HookList& list) {
  uint32_t blocks = 0;
  const BlockHeader* last = nullptr;
  for (const BlockHeader* block = list.pool.firstBlock; block != nullptr;
       block = block->nextBlock) {
    ++blocks;
    ASSERT_LE(block->bytesLeft, qelvorn::BlockPool::kMaxRequest);
    ASSERT_EQ(reinterpret_cast<const char*>(block) + 10240 - block->bytesLeft, block->nextFree);
    last = block;
  }
  ASSERT_EQ(list.pool.blockCount, blocks);
  ASSERT_EQ(list.pool.currentBlock, last);
  for (const auto& api : list.apiTable) {
    const ApiHookRecord& record = *api.second;
    ASSERT_EQ(api.first, record.name);
    ASSERT_LT(strlen(record.name), qelvorn::BlockPool::kMaxRequest);
    ASSERT_LE(record.argCount, qelvorn::BlockPool::kMaxRequest);
    ASSERT_NE(nullptr, record.argTypes);
    ASSERT_NE(nullptr, record.moduleName);
    if (record.preCallbackName) {
      ASSERT_LT(strlen(record.preCallbackName), qelvorn::BlockPool::kMaxRequest);
    }
    if (record.postCallbackName) {
      ASSERT_LT(strlen(record.postCallbackName), qelvorn::BlockPool::kMaxRequest);
    }
  }
  for (const auto& module : list.importedModuleTable) {
    ASSERT_EQ(module.first, module.second.name);
    for (const auto& api : module.second.apisByName) ASSERT_EQ(api.first, api.second->name);
    for (const auto& api : module.second.apisByOrdinal) ASSERT_EQ(api.first, api.second->ordinal);
  }
  for (const auto& importer : list.moduleTable) {
    ASSERT_EQ(importer.first, importer.second->name);
    for (const auto& imported : importer.second->importedModules) {
      ASSERT_NE(nullptr, FindImportedModule(const_cast<HookList&>(list), imported.first));
    }
  }
}

}  // namespace

TEST(HookListRobustness, MutatedAndRandomListsNeverFault) {
  Random random{0x9e3779b9u};
  GuardedText guarded;
  std::vector<std::string> corpus(std::begin(kSeeds), std::end(kSeeds));
  HookList* list = new HookList;
  int answers[2] = {0, 0};
  // The long run (tools/run-fuzz.sh) sets QEL_FUZZ_ROUNDS; the test command keeps 3000.
  const char* wanted = getenv("QEL_FUZZ_ROUNDS");
  const int kRounds = wanted != nullptr && atoi(wanted) > 0 ? atoi(wanted) : 3000;
  for (int round = 0; round < kRounds; ++round) {
    std::string text = random.Below(5) == 0 ? RandomText(random)
                                            : Mutate(random, corpus[random.Below(corpus.size())]);
    int answer = ParseHookList(*list, guarded.Place(text));
    ASSERT_TRUE(answer == 0 || answer == -1) << round;
    ++answers[answer == 0 ? 0 : 1];
    // Short accepted texts join the corpus, so later mutations start from deeper states.
    if (answer == 0 && text.size() < 2000 && corpus.size() < 64) corpus.push_back(text);
    if (round % 50 == 49) {
      CheckTables(*list);
      delete list;
      list = new HookList;
    }
  }
  CheckTables(*list);
  delete list;
  EXPECT_GT(answers[0], 100);
  EXPECT_GT(answers[1], 100);
}

TEST(HookListRobustness, MutatedFilesThroughTheReader) {
  Random random{12345u};
  std::string dir = qeltest::MakeTempDir("fuzz");
  HookList list;
  for (int round = 0; round < 100; ++round) {
    qeltest::WriteFileBytes(dir + "Qelvorn.lst", Mutate(random, kSeeds[round % 3]));
    int answer = LoadHookListInto(list, dir.c_str());
    ASSERT_TRUE(answer == 0 || answer == -1) << round;
  }
  CheckTables(list);
}
