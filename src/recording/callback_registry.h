// Named callbacks that fill the option column of a traced call's lines. Filled once, by
// the first set-up before it patches anything, and only read afterwards, so look-ups take
// no lock.
#pragma once

#include "recording/call_frame.h"

namespace qelvorn {

struct LineBuilder;

// isPre: true from the pre-call recorder, false from the post-call recorder.
using Callback = void (*)(CallFrame* frame, LineBuilder* builder, bool isPre);

// Adds the entry unless the name is present already (the first registration stays) or
// 256 names are registered.
void RegisterCallback(const char* name, Callback callback);
// The callback registered under exactly this name (case-sensitive), or null.
Callback FindCallback(const char* name);

}  // namespace qelvorn
