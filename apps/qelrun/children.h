// --children: the launcher serves a named pipe on which every traced process asks it to set
// tracing up in each process it creates, before that process's first thread runs; at the
// end it prints the tree of the processes it traced.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "options.h"

namespace qelrun {

class ChildTracing {
 public:
  // Its serving threads run until the launcher exits: an instance is never destroyed.
  ChildTracing(const Options& options, const std::wstring& home);
  ChildTracing(const ChildTracing&) = delete;
  ChildTracing& operator=(const ChildTracing&) = delete;

  // Opens the pipe and starts serving it; false when it cannot (said why).
  bool Start();
  // The pipe's name, for RunRemoteSetUp.
  const std::wstring& pipe() const { return pipe_; }

  // The process the launcher started or attached to, set up with log (empty: none);
  // watching is RemoteAnswer::watchingChildren of its set-up.
  void AddRoot(HANDLE process, DWORD pid, const std::wstring& name, const std::wstring& log,
               bool watching);
  // The traced children still running, by process id.
  std::vector<DWORD> RunningChildren();
  // Waits until every traced process has ended.
  void WaitForAll();
  // The process tree on standard error: process id, parent, program, exit code, log.
  void SayTree();

 private:
  struct Traced {
    DWORD pid = 0;
    DWORD parent = 0;  // 0: the root, whose parent the launcher does not know
    std::wstring name;
    std::wstring log;  // empty: not traced, note says why
    std::wstring note;
    HANDLE handle = nullptr;
  };

  static DWORD WINAPI ServeThread(void* self);
  void Serve(HANDLE instance);
  bool Known(DWORD pid);
  Traced SetUpChild(DWORD pid, DWORD parent);
  void SayBranch(DWORD parent, int depth, std::vector<bool>& said);
  void SayProcess(const Traced& traced, int depth);

  Options options_;
  std::wstring home_;
  std::wstring pipe_;
  std::vector<HANDLE> instances_;
  CRITICAL_SECTION lock_;  // held while a child is set up and while the list is read
  std::vector<Traced> traced_;
};

// The --set-up-child mode of the launcher of a child's width: sets tracing up in the
// suspended process options.setUpChild for the launcher serving options.childPipe, and
// answers 0 when it is traced.
int RunSetUpChild(const Options& options);

}  // namespace qelrun
