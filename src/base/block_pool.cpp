// BlockPool: blocks taken with the array form of new and chained through their headers.
#include "base/block_pool.h"

#include <cstring>
#include <new>

namespace qelvorn {

namespace {

BlockHeader* NewBlock(BlockPool& pool) {
  char* memory = new char[pool.blockSize];
  auto* block = new (memory) BlockHeader{pool.blockSize - BlockPool::kHeaderSize,
                                         memory + BlockPool::kHeaderSize, nullptr};
  ++pool.blockCount;
  return block;
}

// The rest of the current block is never used again.
void ChainNewBlock(BlockPool& pool) {
  BlockHeader* block = NewBlock(pool);
  pool.currentBlock->nextBlock = block;
  pool.currentBlock = block;
}

}  // namespace

BlockPool::BlockPool() {
  firstBlock = currentBlock = NewBlock(*this);
}

BlockPool::~BlockPool() {
  for (BlockHeader* block = firstBlock; block != nullptr;) {
    BlockHeader* next = block->nextBlock;
    delete[] reinterpret_cast<char*>(block);
    block = next;
  }
}

void* BlockPool::AllocateAligned(size_t n, size_t align) {
  if (n > kMaxRequest) return nullptr;
  size_t pad = (align - reinterpret_cast<uintptr_t>(currentBlock->nextFree) % align) % align;
  // A fresh block starts at a word boundary, right behind its header of three words.
  if (currentBlock->bytesLeft < pad + n) {
    ChainNewBlock(*this);
    pad = 0;
  }
  Allocate(pad);
  return Allocate(n);
}

void* BlockPool::Allocate(size_t n) {
  if (n > kMaxRequest) return nullptr;
  if (currentBlock->bytesLeft < n) ChainNewBlock(*this);
  char* answer = currentBlock->nextFree;
  currentBlock->nextFree += n;
  currentBlock->bytesLeft -= static_cast<uint32_t>(n);
  return answer;
}

char* BlockPool::CopyString(const char* text) {
  if (text == nullptr) return nullptr;
  size_t length = strnlen(text, kMaxRequest);
  if (length >= kMaxRequest) return nullptr;
  auto* copy = static_cast<char*>(Allocate(length + 1));
  memcpy(copy, text, length + 1);
  return copy;
}

}  // namespace qelvorn
