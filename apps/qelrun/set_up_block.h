// The blocks that the launcher writes into the program's memory and the helper DLL
// fills in: the folders for QelSetUp_ going in, its answer and messages coming back, and
// QelCleanUp_'s answer and messages.
#pragma once

#include <cstdint>

#include "child_request.h"

namespace qelrun {

// QelSetUp_ joins the settings folder with "Qelvorn.ini" in 260 bytes and the logs folder
// with the log's name; the launcher checks the tighter limits before it gets here.
constexpr int kFolderBytes = 264;
constexpr int kPathChars = 1024;
constexpr int kMessageBytes = 32768;

// Where the helper stopped; the launcher turns it into a sentence.
enum class HelperStage : int32_t {
  kNotStarted = 0,
  kDllNotLoaded = 1,
  kNoSetUpFunction = 2,
  kAnswered = 3,
  kNoCleanUpFunction = 4,
};

struct SetUpBlock {
  wchar_t qelvornPath[kPathChars];
  char settingsDir[kFolderBytes];
  char logsDir[kFolderBytes];
  // The launcher's pipe for --children, empty without it: the helper then watches the
  // processes that the program creates.
  wchar_t childPipe[kChildPipeChars];
  int32_t watchingChildren;  // 1 when the helper took over process creation
  HelperStage stage;
  int32_t lastError;
  int32_t answer;
  char message[kMessageBytes];
};

struct CleanUpBlock {
  HelperStage stage;
  int32_t lastError;
  int32_t answer;
  char message[kMessageBytes];
};

// The helper's exports, each run as a thread's start routine in the program.
constexpr char kHelperEntry[] = "QelRunSetUp";
constexpr char kHelperCleanUpEntry[] = "QelRunCleanUp";
constexpr wchar_t kHelperFile[] = L"qelrun-inject.dll";
constexpr wchar_t kQelvornFile[] = L"Qelvorn.dll";

}  // namespace qelrun
