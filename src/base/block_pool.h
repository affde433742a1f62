// A bump allocator over 10240-byte blocks: names, records and type codes of the hook
// list and the module snapshots. Nothing is freed before the pool dies.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qelvorn {

// The head of every block: bytes left, next free byte, next block (12 bytes on x86, 24 on
// x64).
struct BlockHeader {
  uint32_t bytesLeft;
  char* nextFree;
  BlockHeader* nextBlock;
};

struct BlockPool {
  static constexpr uint32_t kBlockSize = 10240;
  // Three words: 12 bytes on 32-bit (10228 bytes a request at most), 24 on x64.
  static constexpr uint32_t kHeaderSize = sizeof(BlockHeader);
  static constexpr uint32_t kMaxRequest = kBlockSize - kHeaderSize;

  uint32_t blockSize = kBlockSize;
  uint32_t blockCount = 0;
  BlockHeader* firstBlock = nullptr;
  BlockHeader* currentBlock = nullptr;

  // Takes the first block; std::bad_alloc when it cannot.
  BlockPool();
  ~BlockPool();
  BlockPool(const BlockPool&) = delete;
  BlockPool& operator=(const BlockPool&) = delete;

  // n bytes packed right behind the previous request (no alignment); null when n exceeds
  // kMaxRequest. The rest of a block too small for n is never used; std::bad_alloc when a
  // new block cannot be taken.
  void* Allocate(size_t n);
  // The same at an address that is a multiple of align (a power of two, at most a word):
  // the padding goes before the n bytes, so the next request still packs right behind.
  void* AllocateAligned(size_t n, size_t align);
  // A copy of text with its NUL; null when text is null or does not fit one block
  // (kMaxRequest bytes or more before the NUL).
  char* CopyString(const char* text);
};

}  // namespace qelvorn
