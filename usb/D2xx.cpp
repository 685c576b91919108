#include "usb/D2xx.h"

namespace usb {

const char* StatusName(FT_STATUS status) {
  switch (status) {
    case FT_OK:
      return "FT_OK";
    case FT_INVALID_HANDLE:
      return "FT_INVALID_HANDLE";
    case FT_DEVICE_NOT_FOUND:
      return "FT_DEVICE_NOT_FOUND";
    case FT_DEVICE_NOT_OPENED:
      return "FT_DEVICE_NOT_OPENED";
    case FT_IO_ERROR:
      return "FT_IO_ERROR";
    case FT_INSUFFICIENT_RESOURCES:
      return "FT_INSUFFICIENT_RESOURCES";
    case FT_INVALID_PARAMETER:
      return "FT_INVALID_PARAMETER";
    default:
      return "FT_OTHER_ERROR";
  }
}

}  // namespace usb
