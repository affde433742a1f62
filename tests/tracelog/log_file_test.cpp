// Log file naming, slot choice, deletion of a reused slot and roll-over, through the
// real DLL writing into fresh directories.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "control/messages.h"
#include "support/test_support.h"

using namespace qelvorn;

using qeltest::Dll;

namespace {

std::string SlotName(int slot, const std::string& pid) {
  char name[128];
  snprintf(name, sizeof name, "$$$test_tracelog%02d$$$(%s).txt", slot, pid.c_str());
  return name;
}

std::string OwnPid() {
  return std::to_string(GetCurrentProcessId());
}

// Creates a slot file written `age` seconds ago.
void MakeSlotFile(const std::string& dir, int slot, const std::string& pid, long long age) {
  std::string path = dir + SlotName(slot, pid);
  qeltest::WriteFileBytes(path, "old");
  qeltest::SetLastWriteRelative(path, -age);
}

class LogFile : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(nullptr, Dll().setUp);
    iniDir = qeltest::MakeTempDir("ini");
    logDir = qeltest::MakeTempDir("log");
    Ini("0");
  }
  void TearDown() override {
    char buffer[512];
    Dll().cleanUp(buffer, sizeof buffer);
  }
  void Ini(const char* maxSize) {
    qeltest::WriteIni(iniDir, std::string("[Option]\r\nspan=1\r\nmax_size=") + maxSize + "\r\n");
  }
  int StartTracing() {
    char buffer[2048];
    return Dll().setUp(iniDir.c_str(), logDir.c_str(), buffer, sizeof buffer);
  }
  int Write(const std::string& text) {
    char buffer[512];
    return Dll().writeLog(text.c_str(), buffer, sizeof buffer);
  }
  // The byte count outlives a set-up; a session whose every write rolls over, the closing
  // line included, leaves it at 0, so the next log's size is the count. The settings file
  // is left with max_size=1: the caller writes its own.
  void ResetByteCount() {
    std::string scratch = logDir;
    logDir = qeltest::MakeTempDir("reset");
    Ini("1");
    ASSERT_EQ(0, StartTracing());
    TearDown();
    logDir = scratch;
  }
  std::string iniDir;
  std::string logDir;
};

}  // namespace

TEST_F(LogFile, SlotChoice) {
  struct Case {
    const char* name;
    std::vector<int> existing;  // slots present, each written (slot index) seconds later
    int chosen;
  } cases[] = {
      {"empty", {}, 0},
      {"gap", {0, 2}, 1},
      {"firstFive", {0, 1, 2, 3, 4}, 5},
  };
  for (const Case& c : cases) {
    logDir = qeltest::MakeTempDir("slot");
    for (int slot : c.existing) MakeSlotFile(logDir, slot, "7", 600 - slot);
    ASSERT_EQ(0, StartTracing()) << c.name;
    auto ours = qeltest::ListFiles(logDir, "$$$*(" + OwnPid() + ").txt");
    ASSERT_EQ(1u, ours.size()) << c.name;
    EXPECT_EQ(SlotName(c.chosen, OwnPid()), ours[0]) << c.name;
    TearDown();
  }
}

TEST_F(LogFile, AllSlotsTakenReusesTheSlotAfterTheNewest) {
  struct Case {
    int newest;
    int tie;  // a second slot with the same newest time, or -1
    int chosen;
  } cases[] = {{30, -1, 0}, {7, 12, 8}, {0, -1, 1}};
  for (const Case& c : cases) {
    logDir = qeltest::MakeTempDir("ring");
    for (int slot = 0; slot < 31; ++slot) {
      long long age = (slot == c.newest || slot == c.tie) ? 10 : 1000 + slot;
      MakeSlotFile(logDir, slot, "7", age);
    }
    // Files of other processes in the chosen slot go too.
    MakeSlotFile(logDir, c.chosen, "99999", 5000);
    ASSERT_EQ(0, StartTracing());
    auto chosen = qeltest::ListFiles(logDir, SlotName(c.chosen, "*"));
    ASSERT_EQ(1u, chosen.size()) << c.newest;
    EXPECT_EQ(SlotName(c.chosen, OwnPid()), chosen[0]);
    EXPECT_EQ(31u, qeltest::ListFiles(logDir, "$$$*.txt").size());
    TearDown();
  }
}

TEST_F(LogFile, DirectoryMatchingASlotCountsAsTakenAndStays) {
  ASSERT_TRUE(CreateDirectoryA((logDir + SlotName(0, "1")).c_str(), nullptr));
  ASSERT_EQ(0, StartTracing());
  EXPECT_EQ(1u, qeltest::ListFiles(logDir, SlotName(1, OwnPid())).size());
  TearDown();
  // All slots taken, the newest directly before a slot that holds only a directory.
  std::string ring = qeltest::MakeTempDir("ringdir");
  logDir = ring;
  for (int slot = 1; slot < 31; ++slot) MakeSlotFile(logDir, slot, "7", slot == 30 ? 1 : 500);
  ASSERT_TRUE(CreateDirectoryA((logDir + SlotName(0, "1")).c_str(), nullptr));
  qeltest::SetLastWriteRelative(logDir + SlotName(0, "1"), -900);
  ASSERT_EQ(0, StartTracing());
  DWORD attributes = GetFileAttributesA((logDir + SlotName(0, "1")).c_str());
  EXPECT_NE(INVALID_FILE_ATTRIBUTES, attributes);
  EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(1u, qeltest::ListFiles(logDir, SlotName(0, OwnPid())).size());
}

TEST_F(LogFile, SlotFileHeldOpenElsewhereFailsSetUp) {
  for (int slot = 0; slot < 31; ++slot) MakeSlotFile(logDir, slot, "7", slot == 30 ? 1 : 500);
  HANDLE holder = CreateFileA((logDir + SlotName(0, "7")).c_str(), GENERIC_READ, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, holder);
  char buffer[2048];
  EXPECT_EQ(-1, Dll().setUp(iniDir.c_str(), logDir.c_str(), buffer, sizeof buffer));
  std::string messages = buffer;
  const std::string failure = kSetUpLogFailed;
  ASSERT_GE(messages.size(), failure.size());
  EXPECT_EQ(failure, messages.substr(messages.size() - failure.size()));
  CloseHandle(holder);
}

TEST_F(LogFile, RollOverPutsTheWholeTextInTheOldFile) {
  ResetByteCount();
  Ini("100000");
  ASSERT_EQ(0, StartTracing());
  auto before = qeltest::ListFiles(logDir, "$$$*.txt");
  ASSERT_EQ(1u, before.size());
  size_t headerSize = qeltest::ReadFileBytes(logDir + before[0]).size();
  ASSERT_LT(headerSize, 100000u);
  std::string big(100000 - headerSize + 50, 'B');
  ASSERT_EQ(0, Write(big));
  ASSERT_EQ(0, Write("next"));
  TearDown();
  auto logs = qeltest::ListFiles(logDir, "$$$*.txt");
  ASSERT_EQ(2u, logs.size());
  EXPECT_EQ(SlotName(0, OwnPid()), logs[0]);
  EXPECT_EQ(SlotName(1, OwnPid()), logs[1]);
  std::string first = qeltest::ReadFileBytes(logDir + logs[0]);
  EXPECT_EQ(headerSize + big.size(), first.size());
  EXPECT_EQ(big, first.substr(first.size() - big.size()));
  std::string second = qeltest::ReadFileBytes(logDir + logs[1]);
  EXPECT_EQ(0u, second.find("next"));
}

TEST_F(LogFile, ByteCountCarriesAcrossSetUpUntilARollOver) {
  // A first session counts its whole file; the second, with a limit that its own bytes
  // alone never reach, rolls over where the carried count plus its bytes reach it.
  ResetByteCount();
  Ini("100000");
  ASSERT_EQ(0, StartTracing());
  ASSERT_EQ(0, Write(std::string(1000, 'A')));
  TearDown();
  auto first = qeltest::ListFiles(logDir, "$$$*.txt");
  ASSERT_EQ(1u, first.size());
  size_t carried = qeltest::ReadFileBytes(logDir + first[0]).size();

  const size_t limit = carried + 20000;
  Ini(std::to_string(limit).c_str());
  ASSERT_EQ(0, StartTracing());
  auto opened = qeltest::ListFiles(logDir, "$$$*.txt");
  ASSERT_EQ(2u, opened.size());
  size_t header = qeltest::ReadFileBytes(logDir + opened[1]).size();
  ASSERT_LT(header + 100, 20000u);
  std::string reaching(limit - carried - header, 'C');
  ASSERT_EQ(0, Write(reaching));
  ASSERT_EQ(0, Write("next"));
  ASSERT_EQ(0, Write(std::string(limit - 4 - 1, 'D')));
  ASSERT_EQ(0, Write("last"));
  auto logs = qeltest::ListFiles(logDir, "$$$*.txt");
  ASSERT_EQ(4u, logs.size());
  EXPECT_EQ(header + reaching.size(), qeltest::ReadFileBytes(logDir + logs[1]).size());
  // After the roll-over the count starts at zero: the next file takes the text that
  // reaches the limit counted from its own first byte, and rolls over after it.
  std::string third = qeltest::ReadFileBytes(logDir + logs[2]);
  EXPECT_EQ(0u, third.find("next"));
  EXPECT_EQ(limit + 3, third.size());
  EXPECT_EQ(0u, qeltest::ReadFileBytes(logDir + logs[3]).size());
}

TEST_F(LogFile, NoLimitNeverRollsOver) {
  for (const char* limit : {"0", "-50"}) {
    logDir = qeltest::MakeTempDir("nolimit");
    Ini(limit);
    ASSERT_EQ(0, StartTracing());
    for (int i = 0; i < 20; ++i) ASSERT_EQ(0, Write(std::string(100, 'N')));
    TearDown();
    EXPECT_EQ(1u, qeltest::ListFiles(logDir, "$$$*.txt").size()) << limit;
  }
}

TEST_F(LogFile, ConcurrentWritesStayWhole) {
  ASSERT_EQ(0, StartTracing());
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([this, t] {
      std::string line(60, static_cast<char>('a' + t));
      line += "\r\n";
      for (int i = 0; i < 200; ++i) Write(line);
    });
  }
  for (auto& thread : threads) thread.join();
  TearDown();
  auto logs = qeltest::ListFiles(logDir, "$$$*.txt");
  ASSERT_EQ(1u, logs.size());
  int whole = 0;
  for (const std::string& line : qeltest::SplitLines(qeltest::ReadFileBytes(logDir + logs[0]))) {
    if (line.size() == 60 && line.find_first_not_of(line[0]) == std::string::npos) ++whole;
  }
  EXPECT_EQ(1200, whole);
}

// A roll-over whose slot is held by another writer moves on to the next slot of the ring;
// when no slot at all can be opened the log stops, and QelWriteLog_ says so.
TEST_F(LogFile, ARollOverPassesOverHeldSlotsAndStopsOnlyWhenNoneOpens) {
  // The size of set-up's own lines, so that the first host line is the one that rolls over.
  ResetByteCount();
  Ini("0");
  std::string measureDir = logDir;
  ASSERT_EQ(0, StartTracing());
  WIN32_FILE_ATTRIBUTE_DATA measured;
  ASSERT_TRUE(GetFileAttributesExA((measureDir + SlotName(0, OwnPid())).c_str(),
                                   GetFileExInfoStandard, &measured));
  TearDown();
  const std::string limit = std::to_string(measured.nFileSizeLow + 1);
  ResetByteCount();
  Ini(limit.c_str());

  // Slot 1 held: the roll-over out of slot 0 lands in slot 2, and no line is lost.
  logDir = qeltest::MakeTempDir("skip");
  MakeSlotFile(logDir, 1, "7", 600);
  HANDLE held = CreateFileA((logDir + SlotName(1, "7")).c_str(), GENERIC_READ, FILE_SHARE_READ,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, held);
  ASSERT_EQ(0, StartTracing());
  EXPECT_EQ(0, Write("rolls over\r\n"));
  EXPECT_EQ(0, Write("in the slot after the held one\r\n"));
  TearDown();
  CloseHandle(held);
  EXPECT_NE(std::string::npos,
            qeltest::ReadFileBytes(logDir + SlotName(0, OwnPid())).find("rolls over\r\n"));
  EXPECT_EQ(0u, qeltest::ReadFileBytes(logDir + SlotName(2, OwnPid()))
                    .find("in the slot after the held one\r\n"));
  EXPECT_EQ("old", qeltest::ReadFileBytes(logDir + SlotName(1, "7")));

  // Every slot but the first held by another writer: set-up writes in slot 0, and the
  // roll-over, which never reuses the slot it has just filled, finds no slot to open.
  ResetByteCount();
  Ini(limit.c_str());
  logDir = qeltest::MakeTempDir("held");
  std::vector<HANDLE> holders;
  for (int slot = 1; slot < 31; ++slot) {
    MakeSlotFile(logDir, slot, "7", 1000 - slot);
    holders.push_back(CreateFileA((logDir + SlotName(slot, "7")).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  }
  ASSERT_EQ(0, StartTracing());
  EXPECT_EQ(0, Write("written, then the roll-over finds no slot\r\n"));
  char buffer[512];
  EXPECT_EQ(-1, Dll().writeLog("lost\r\n", buffer, sizeof buffer));
  EXPECT_EQ(std::string(kWriteLogFailed), std::string(buffer));
  for (HANDLE holder : holders) CloseHandle(holder);
}
