// Address waits, looked up once while the library loads; the module is loaded in every
// process that has these functions.
#include "base/address_wait.h"

namespace qelvorn {

namespace {

using WaitOnAddressFn = BOOL(WINAPI*)(volatile VOID*, PVOID, SIZE_T, DWORD);
using WakeByAddressFn = VOID(WINAPI*)(PVOID);

struct AddressWait {
  WaitOnAddressFn wait = nullptr;
  WakeByAddressFn wake = nullptr;
  bool used = true;
  AddressWait() {
    HMODULE module = GetModuleHandleW(L"kernelbase.dll");
    if (module == nullptr) return;
    auto waitFn = reinterpret_cast<WaitOnAddressFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "WaitOnAddress")));
    auto wakeFn = reinterpret_cast<WakeByAddressFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "WakeByAddressSingle")));
    if (waitFn != nullptr && wakeFn != nullptr) {
      wait = waitFn;
      wake = wakeFn;
    }
  }
};
AddressWait addressWait;
// Counted in rounds that make a system call anyway, so the count costs nothing that shows.
WaitRounds rounds{};

}  // namespace

void WaitWhileWordIs(volatile LONG* word, LONG seen, DWORD timeoutMs, unsigned round) {
  if (round < kYieldRounds) {
    InterlockedIncrement(&rounds.yielded);
    SwitchToThread();
    return;
  }
  InterlockedIncrement(&rounds.slept);
  if (addressWait.used && addressWait.wait != nullptr) {
    addressWait.wait(word, &seen, sizeof seen, timeoutMs);
  } else {
    Sleep(1);
  }
}

void WakeWordWaiter(volatile LONG* word) {
  if (addressWait.used && addressWait.wake != nullptr) addressWait.wake(const_cast<LONG*>(word));
}

WaitRounds WaitRoundsSoFar() {
  return rounds;
}

void UseAddressWaits(bool use) {
  addressWait.used = use;
}

}  // namespace qelvorn
