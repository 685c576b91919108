#pragma once
// TTerminationSignals: SIGTERM and SIGINT turned into a readable descriptor,
// so that the main loop closes the window the normal way (clients released,
// the pause, exit code 0) instead of the process dying.
//
// While an object lives, the two signals do nothing but make ReadFd()
// readable; the loop watches it, calls Drain and closes the main window. The
// previous dispositions come back when the object is destroyed.
//
// One object per process at a time. Make and destroy it on the main thread;
// the signals may arrive on any thread.

#include "platform/Handle.h"

namespace app {

class TTerminationSignals {
 public:
  // Raises platform::EOSError when the descriptor or a handler cannot be set
  // up, and std::logic_error when another object lives.
  TTerminationSignals();
  TTerminationSignals(const TTerminationSignals&) = delete;
  TTerminationSignals& operator=(const TTerminationSignals&) = delete;
  ~TTerminationSignals();

  int ReadFd() const { return FRead.Get(); }
  // Takes the signals that arrived since the last call; returns how many.
  int Drain();

 private:
  platform::TScopedFd FRead;
  platform::TScopedFd FWrite;
};

}  // namespace app
