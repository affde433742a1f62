// Tracing steps of set-up and clean-up: the log header, the module listings, the hook
// list, binding and patching, the column header line, and unhooking.
#include "control/tracing_steps.h"

#include "control/listings.h"
#include "control/message_buffer.h"
#include "control/messages.h"
#include "hookengine/import_patching.h"
#include "hookengine/module_tracking.h"
#include "hooklist/hook_list_lock.h"
#include "hooklist/hook_list_parser.h"
#include "tracelog/line_builder.h"
#include "tracelog/module_snapshot.h"
#include "tracelog/trace_log.h"

namespace qelvorn {

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
  int loaded = -1;
  {
    // Callbacks reached through HookEntries handed out earlier read the tables under the
    // same lock, so they never walk a map while it grows.
    ListingHold hold;
    if (hold.held()) loaded = LoadHookList(iniDir);
  }
  if (loaded < 0) AppendMessage(messages, kSetUpLstFailed);
  if (!BindAndListApis() || !ListModules(PatchDirection::kHook)) {
    AppendMessage(messages, kSetUpHookFailed);
    return false;
  }
  if (!WriteLine(kColumnHeader, true)) AppendMessage(messages, kSetUpHeaderFailed);
  SetModuleTracking(true);
  return true;
}

void AbandonTracing() {
  SetModuleTracking(false);
  RestoreAllModules();
}

void StopTracing(MessageBuffer& messages) {
  SetModuleTracking(false);
  if (!ListModules(PatchDirection::kUnhook)) AppendMessage(messages, kCleanUpUnhookFailed);
  ModuleSnapshot current;
  bool taken = current.Take();
  if (!taken) AppendMessage(messages, kCleanUpListingFailed);
  if (!WriteModuleListing(current)) AppendMessage(messages, kCleanUpListingFailed);
}

}  // namespace qelvorn
