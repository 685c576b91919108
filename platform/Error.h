#pragma once
// Errors of the platform layer.
//
// EOSError carries the platform's error code (errno on Linux) and its text; it
// is raised when a system object (event, window, descriptor, mapping) cannot be
// created. Failures of operations on existing objects are returned as codes.

#include <cstdint>
#include <stdexcept>
#include <string>

namespace platform {

class EOSError : public std::runtime_error {
 public:
  EOSError(int code, const std::string& what);
  int Code() const { return FCode; }

 private:
  int FCode;
};

// Raises EOSError for the current errno, prefixed with what was attempted.
[[noreturn]] void RaiseLastOSError(const char* operation);

}  // namespace platform
