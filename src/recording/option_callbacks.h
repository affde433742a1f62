// Option-column texts for threads, waits, socket errors and terminal-services calls.
#pragma once

#include <cstdint>

#include "recording/callback_registry.h"

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
