// Tracing steps of set-up and clean-up: the log header, the module listings, the hook
// list, binding and patching, the column header line, and unhooking.
#include "control/tracing_steps.h"

#include "control/control_state.h"
#include "control/message_buffer.h"
#include "control/messages.h"
#include "hookengine/hook_entries.h"
#include "hookengine/import_patching.h"
#include "hooklist/hook_list_parser.h"
#include "tracelog/line_builder.h"
#include "tracelog/module_snapshot.h"
#include "tracelog/trace_log.h"

namespace {

constexpr char kColumnHeader[] =
    "\r\n[time],       [th],[ret adr],[ret],    [LastEr], [API], [Option], [P1], [P2], ...\r\n";

}  // namespace

void WriteLogHeader(MessageBuffer& messages) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  if (!headerBuilder.AppendDateTime(&now)) AppendMessage(messages, kSetUpHeaderFailed);
  if (!headerBuilder.Flush(true)) AppendMessage(messages, kSetUpHeaderFailed);
}

bool StartTracing(const char* iniDir, MessageBuffer& messages) {
  if (!moduleSnapshot.Take()) AppendMessage(messages, kSetUpSnapshotFailed);
  if (!WriteModuleListing(moduleSnapshot)) AppendMessage(messages, kSetUpListingFailed);
  if (LoadHookList(iniDir) < 0) AppendMessage(messages, kSetUpLstFailed);
  controlState.entryBase = QueryHookEntryTable(kHookTableFirstEntry);
  controlState.entrySize = QueryHookEntryTable(kHookTableEntrySize);
  controlState.entryCount = QueryHookEntryTable(kHookTableEntryCount);
  if (!ListApis() || !ListModules(true)) {
    AppendMessage(messages, kSetUpHookFailed);
    return false;
  }
  if (!WriteLine(kColumnHeader, true)) AppendMessage(messages, kSetUpHeaderFailed);
  return true;
}

void StopTracing(MessageBuffer& messages) {
  if (!ListModules(false)) AppendMessage(messages, kCleanUpUnhookFailed);
  ModuleSnapshot current;
  bool taken = current.Take();
  if (!taken) AppendMessage(messages, kCleanUpListingFailed);
  if (!WriteModuleListing(current)) AppendMessage(messages, kCleanUpListingFailed);
}
