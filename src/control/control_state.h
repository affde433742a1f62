// Module-wide state of the exported interface.
#pragma once

#include <windows.h>

#include <cstdint>

struct ControlState {
  volatile bool initialised = false;
  CRITICAL_SECTION setupLock;
  // Trampoline geometry, asked of the HookEntry table at every set-up.
  uint32_t entryBase = 0;
  uint32_t entrySize = 0;
  uint32_t entryCount = 0;
};

extern ControlState controlState;
