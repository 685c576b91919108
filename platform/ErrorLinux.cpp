#include "platform/Error.h"

#include <cerrno>
#include <cstring>

namespace platform {

EOSError::EOSError(int code, const std::string& what) : std::runtime_error(what), FCode(code) {}

void RaiseLastOSError(const char* operation) {
  const int code = errno;
  throw EOSError(code, std::string("System Error.  Code: ") + std::to_string(code) + ".\n" +
                           std::strerror(code) + " (" + operation + ")");
}

}  // namespace platform
