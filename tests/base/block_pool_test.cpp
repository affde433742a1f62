// The block pool: packing, the limit of one request (10228 bytes on x86) and the chain of blocks.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/block_pool.h"

using namespace qelvorn;

namespace {

// The header takes three words (12 bytes on x86), the rest of the block is for requests.
constexpr uint32_t kMax = BlockPool::kMaxRequest;

char* Start(BlockHeader* block) {
  return reinterpret_cast<char*>(block) + BlockPool::kHeaderSize;
}

}  // namespace

TEST(BlockPool, FirstBlockIsTakenAtConstruction) {
  BlockPool pool;
  EXPECT_EQ(10240u, pool.blockSize);
  EXPECT_EQ(1u, pool.blockCount);
  ASSERT_NE(nullptr, pool.firstBlock);
  EXPECT_EQ(pool.firstBlock, pool.currentBlock);
  EXPECT_EQ(kMax, pool.firstBlock->bytesLeft);
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
  EXPECT_EQ(kMax - 8, pool.firstBlock->bytesLeft);
}

TEST(BlockPool, AnAlignedRequestIsPaddedBeforeAndTheNextPacksBehindIt) {
  BlockPool pool;
  char* odd = static_cast<char*>(pool.Allocate(3));
  char* aligned = static_cast<char*>(pool.AllocateAligned(16, sizeof(void*)));
  char* next = static_cast<char*>(pool.Allocate(1));
  EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(aligned) % sizeof(void*));
  EXPECT_LT(aligned - odd, static_cast<ptrdiff_t>(3 + sizeof(void*)));
  EXPECT_EQ(aligned + 16, next);
  // Where the padding and the request no longer fit, the next block takes it, aligned: the
  // block ends on a word boundary, so 17 bytes before its end is never one.
  pool.Allocate(pool.currentBlock->bytesLeft - 17);
  char* moved = static_cast<char*>(pool.AllocateAligned(17, sizeof(void*)));
  EXPECT_EQ(2u, pool.blockCount);
  EXPECT_EQ(Start(pool.currentBlock), moved);
  EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(moved) % sizeof(void*));
}

TEST(BlockPool, WholeBlockFitsAndOneMoreByteDoesNot) {
  BlockPool pool;
  EXPECT_EQ(nullptr, pool.Allocate(kMax + 1));
  EXPECT_EQ(1u, pool.blockCount);
  char* whole = static_cast<char*>(pool.Allocate(kMax));
  EXPECT_EQ(Start(pool.firstBlock), whole);
  memset(whole, 0x5a, kMax);
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
  EXPECT_EQ(kMax - 10000, pool.firstBlock->bytesLeft);
  char* small = static_cast<char*>(pool.Allocate(10));
  EXPECT_EQ(second + 300, small);
  EXPECT_EQ(kMax - 10000, pool.firstBlock->bytesLeft);
}

TEST(BlockPool, CopyStringKeepsTheTextAndRefusesWhatDoesNotFit) {
  BlockPool pool;
  EXPECT_STREQ("CloseHandle", pool.CopyString("CloseHandle"));
  EXPECT_STREQ("", pool.CopyString(""));
  EXPECT_EQ(nullptr, pool.CopyString(nullptr));
  std::string longest(kMax - 1, 'n');
  const char* copy = pool.CopyString(longest.c_str());
  ASSERT_NE(nullptr, copy);
  EXPECT_EQ(longest, copy);
  EXPECT_EQ(2u, pool.blockCount);
  EXPECT_EQ(0u, pool.currentBlock->bytesLeft);
  EXPECT_EQ(nullptr, pool.CopyString(std::string(kMax, 'n').c_str()));
  EXPECT_EQ(nullptr, pool.CopyString(std::string(50000, 'n').c_str()));
  EXPECT_EQ(2u, pool.blockCount);
}
