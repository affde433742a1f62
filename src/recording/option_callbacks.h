// Option-column texts for threads, waits, socket errors and terminal-services calls.
#pragma once

#include <cstdint>

#include "recording/callback_registry.h"

namespace qelvorn {

// What ThreadAdvice puts in the option column of CreateThread:
// (●_beginthread/_beginthreadex を使用した方がいいよ)
constexpr char kThreadAdviceText[] =
    "(\x81\x9c_beginthread/_beginthreadex \x82\xf0\x8eg\x97p\x82\xb5\x82\xbd\x95\xfb\x82\xaa"
    "\x82\xa2\x82\xa2\x82\xe6)";

void ThreadAdvice(CallFrame* frame, LineBuilder* builder, bool isPre);
void SingleWait(CallFrame* frame, LineBuilder* builder, bool isPre);
void MultipleWait(CallFrame* frame, LineBuilder* builder, bool isPre);
void MultipleWaitEx(CallFrame* frame, LineBuilder* builder, bool isPre);
void MsgMultipleWaitEx(CallFrame* frame, LineBuilder* builder, bool isPre);
void SignalAndWait(CallFrame* frame, LineBuilder* builder, bool isPre);
void DoNothing(CallFrame* frame, LineBuilder* builder, bool isPre);
void SocketErrorName(CallFrame* frame, LineBuilder* builder, bool isPre);
void SessionList(CallFrame* frame, LineBuilder* builder, bool isPre);
void QueriedSessionText(CallFrame* frame, LineBuilder* builder, bool isPre);

// Name of a socket or wait code, or the empty text for a code not in the table.
const char* WsaErrorName(uint32_t code);

}  // namespace qelvorn
