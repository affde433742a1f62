// Module-wide state of the exported interface.
#pragma once

#include <windows.h>

#include <cstdint>

namespace qelvorn {

struct ControlState {
  volatile bool initialised = false;
};

extern ControlState controlState;

}  // namespace qelvorn
