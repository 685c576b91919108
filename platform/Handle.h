#pragma once
// Move-only owner of a file descriptor.
//
// Every descriptor the platform layer opens lives in one of these, so that it is
// closed on every path. Any thread may use a TScopedFd it owns; it is not
// synchronised itself.

#include <utility>

namespace platform {

class TScopedFd {
 public:
  TScopedFd() = default;
  explicit TScopedFd(int fd) : FFd(fd) {}
  TScopedFd(TScopedFd&& other) noexcept : FFd(other.Release()) {}
  TScopedFd& operator=(TScopedFd&& other) noexcept {
    if (this != &other) {
      Reset(other.Release());
    }
    return *this;
  }
  TScopedFd(const TScopedFd&) = delete;
  TScopedFd& operator=(const TScopedFd&) = delete;
  ~TScopedFd() { Close(); }

  int Get() const { return FFd; }
  bool IsValid() const { return FFd >= 0; }
  explicit operator bool() const { return IsValid(); }

  // Gives up ownership without closing.
  [[nodiscard]] int Release() { return std::exchange(FFd, -1); }
  void Reset(int fd = -1);
  void Close() { Reset(); }

 private:
  int FFd = -1;
};

}  // namespace platform
