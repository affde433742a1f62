// The block pool: packing, the limit of one request (10228 bytes on x86) and the chain of blocks.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/block_pool.h"

using namespace qelvorn;

namespace {

char* Start(BlockHeader* block) {
  return reinterpret_cast<char*>(block) + 12;
}

}  // namespace

TEST(BlockPool, FirstBlockIsTakenAtConstruction) {
  BlockPool pool;
  EXPECT_EQ(10240u, pool.blockSize);
  EXPECT_EQ(1u, pool.blockCount);
  ASSERT_NE(nullptr, pool.firstBlock);
  EXPECT_EQ(pool.firstBlock, pool.currentBlock);
  EXPECT_EQ(qelvorn::BlockPool::kMaxRequest, pool.firstBlock->bytesLeft);
  EXPECT_EQ(Start(pool.firstBlock), pool.firstBlock->nextFree);
  EXPECT_EQ(nullptr, pool.firstBlock->nextBlock);
}

TEST(BlockPool, RequestsArePackedWithoutAlignment) {
  BlockPool pool;
  char* a = static_cast<char*>(pool.Allocate(3));
  char* b = static_cast<char*>(pool.Allocate(5));
  char* c = static_cast<char*>(pool.Allocate(0));
  EXPECT_EQ(Start(pool.firstBlock), a);
  EXPECT_EQ(a + 3, b);
  EXPECT_EQ(b + 5, c);
  EXPECT_EQ(10220u, pool.firstBlock->bytesLeft);
}

TEST(BlockPool, WholeBlockFitsAndOneMoreByteDoesNot) {
  BlockPool pool;
  EXPECT_EQ(nullptr, pool.Allocate(10229));
  EXPECT_EQ(1u, pool.blockCount);
  char* whole = static_cast<char*>(pool.Allocate(qelvorn::BlockPool::kMaxRequest));
  EXPECT_EQ(Start(pool.firstBlock), whole);
  memset(whole, 0x5a, qelvorn::BlockPool::kMaxRequest);
  EXPECT_EQ(0u, pool.firstBlock->bytesLeft);
  EXPECT_EQ(1u, pool.blockCount);
}

TEST(BlockPool, NewBlockIsChainedAndTheRestOfTheOldOneIsNeverUsed) {
  BlockPool pool;
  pool.Allocate(10000);
  char* second = static_cast<char*>(pool.Allocate(300));
  ASSERT_EQ(2u, pool.blockCount);
  BlockHeader* next = pool.firstBlock->nextBlock;
  ASSERT_NE(nullptr, next);
  EXPECT_EQ(next, pool.currentBlock);
  EXPECT_EQ(Start(next), second);
  EXPECT_EQ(228u, pool.firstBlock->bytesLeft);
  char* small = static_cast<char*>(pool.Allocate(10));
  EXPECT_EQ(second + 300, small);
  EXPECT_EQ(228u, pool.firstBlock->bytesLeft);
}

TEST(BlockPool, CopyStringKeepsTheTextAndRefusesWhatDoesNotFit) {
  BlockPool pool;
  EXPECT_STREQ("CloseHandle", pool.CopyString("CloseHandle"));
  EXPECT_STREQ("", pool.CopyString(""));
  EXPECT_EQ(nullptr, pool.CopyString(nullptr));
  std::string longest(10227, 'n');
  const char* copy = pool.CopyString(longest.c_str());
  ASSERT_NE(nullptr, copy);
  EXPECT_EQ(longest, copy);
  EXPECT_EQ(2u, pool.blockCount);
  EXPECT_EQ(0u, pool.currentBlock->bytesLeft);
  EXPECT_EQ(nullptr, pool.CopyString(std::string(qelvorn::BlockPool::kMaxRequest, 'n').c_str()));
  EXPECT_EQ(nullptr, pool.CopyString(std::string(50000, 'n').c_str()));
  EXPECT_EQ(2u, pool.blockCount);
}
