#pragma once
// TLogMirror: every line the window's log receives, also written to a stream
// (standard error in the programs) with a time stamp, so that a server
// running as a service, where nobody sees the window, keeps its log.
//
// A line is written when it is added, before any later clear of the log, so
// the mirror also holds the lines that the USB Test's clear removes from the
// window.
//
// Threads: the main thread, like the log. The memo must outlive the mirror.

#include <chrono>
#include <cstdio>
#include <string>

#include "core/Controls.h"

namespace app {

// "2026-12-10 15:26:08.123 <line>" in local time.
std::string StampLine(const std::string& line, std::chrono::system_clock::time_point when);

class TLogMirror {
 public:
  TLogMirror(core::TMemo& memo, std::FILE* out);
  TLogMirror(const TLogMirror&) = delete;
  TLogMirror& operator=(const TLogMirror&) = delete;
  ~TLogMirror();

  // Writes one line, stamped now; also for lines that are not the log's.
  void Write(const std::string& line);

 private:
  core::TMemo& FMemo;
  std::FILE* FOut;
  int32_t FSubscription = 0;
};

}  // namespace app
