// The readability test for traced pointers, with a per-thread memory of readable regions.
#include "base/memory_probe.h"

#include <windows.h>

#include <cstdint>
#include <cstring>

#include "base/tls_slot.h"

namespace qelvorn {

namespace {

// Nothing below 64 KB is ever mapped in a Win32 process.
constexpr uintptr_t kLowestMapped = 0x10000;
constexpr int kRemembered = 4;

struct RegionMemory {
  uintptr_t start[kRemembered];
  uintptr_t end[kRemembered];
  int next;
};

// One slot for the process, never freed; each thread's memory is allocated on its first
// probe and kept for the thread's life (a few dozen bytes).
const DWORD memorySlot = TlsAlloc();

RegionMemory* ThreadMemory() {
  return static_cast<RegionMemory*>(ThreadRecord(memorySlot, sizeof(RegionMemory)));
}

// Page states and protections under which a read cannot fault.
bool IsReadableRegion(const MEMORY_BASIC_INFORMATION& info) {
  if (info.State != MEM_COMMIT) return false;
  if (info.Protect & (PAGE_GUARD | PAGE_NOACCESS)) return false;
  DWORD access = info.Protect & 0xff;
  return access == PAGE_READONLY || access == PAGE_READWRITE || access == PAGE_WRITECOPY ||
         access == PAGE_EXECUTE_READ || access == PAGE_EXECUTE_READWRITE ||
         access == PAGE_EXECUTE_WRITECOPY;
}

// End of the readable region that holds at, from memory or from the memory manager;
// 0 when at cannot be read.
uintptr_t ReadableEnd(RegionMemory* memory, uintptr_t at) {
  if (memory != nullptr) {
    for (int i = 0; i < kRemembered; ++i) {
      if (at >= memory->start[i] && at < memory->end[i]) return memory->end[i];
    }
  }
  MEMORY_BASIC_INFORMATION info;
  if (VirtualQuery(reinterpret_cast<const void*>(at), &info, sizeof info) == 0 ||
      !IsReadableRegion(info)) {
    return 0;
  }
  uintptr_t start = reinterpret_cast<uintptr_t>(info.BaseAddress);
  uintptr_t end = start + info.RegionSize;
  if (end < start) end = UINTPTR_MAX;
  if (memory != nullptr) {
    memory->start[memory->next] = start;
    memory->end[memory->next] = end;
    memory->next = (memory->next + 1) % kRemembered;
  }
  return end;
}

}  // namespace

size_t ReadableBytes(const void* address, size_t limit) {
  uintptr_t at = reinterpret_cast<uintptr_t>(address);
  if (at < kLowestMapped || limit == 0) return 0;
  DWORD savedError = GetLastError();
  RegionMemory* memory = ThreadMemory();
  size_t readable = 0;
  while (readable < limit) {
    uintptr_t next = at + readable;
    if (next < at) break;
    uintptr_t end = ReadableEnd(memory, next);
    if (end == 0) break;
    size_t inRegion = end - next;
    readable += inRegion < limit - readable ? inRegion : limit - readable;
  }
  SetLastError(savedError);
  return readable;
}

bool IsReadable(const void* address) {
  return ReadableBytes(address, 1) == 1;
}

bool IsReadableText(const char* text, size_t limit) {
  ForgetReadableRegions();
  size_t readable = ReadableBytes(text, limit);
  if (readable == 0) return false;
  return readable == limit || memchr(text, '\0', readable) != nullptr;
}

void ForgetReadableRegions() {
  DWORD savedError = GetLastError();
  RegionMemory* memory = memorySlot == TLS_OUT_OF_INDEXES
                             ? nullptr
                             : static_cast<RegionMemory*>(ReadTlsSlot(memorySlot));
  if (memory != nullptr) {
    for (int i = 0; i < kRemembered; ++i) memory->start[i] = memory->end[i] = 0;
  }
  SetLastError(savedError);
}

}  // namespace qelvorn
