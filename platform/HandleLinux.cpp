#include "platform/Handle.h"

#include <unistd.h>

namespace platform {

void TScopedFd::Reset(int fd) {
  const int old = std::exchange(FFd, fd);
  if (old >= 0) {
    ::close(old);
  }
}

}  // namespace platform
