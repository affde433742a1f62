// Module-wide state of the exported interface.
#pragma once

#include <windows.h>

#include <cstdint>

struct ControlState {
  volatile bool initialised = false;
};

extern ControlState controlState;
