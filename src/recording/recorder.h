// The pre-call and post-call recorders that the dispatcher calls for every traced call.
#pragma once

#include "recording/call_frame.h"

namespace qelvorn {

extern "C" void RecordPre(CallFrame* frame);
extern "C" void RecordPost(CallFrame* frame);

}  // namespace qelvorn
