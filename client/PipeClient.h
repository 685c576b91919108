#pragma once
// The client side of the pipe transport: connect by name, send plain or
// multi-part messages, receive whole messages with multi-part ones assembled.
//
// Used by tests, the command-line client and client authors. Framing is the
// server's (pipes/PipeControlPacket.h). Errors are the platform's pipe error
// codes (platform/Pipe.h): 0 success, ERROR_FILE_NOT_FOUND (no server),
// ERROR_BROKEN_PIPE (the server closed the pipe), ERROR_NO_DATA (a send after
// the server closed it), ERROR_SEM_TIMEOUT.
//
// One thread at a time; blocking calls with time-outs.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "platform/Pipe.h"

namespace client {

// The Instrument Server's pipe.
inline constexpr std::string_view kServerPipeName = "QNPipeServer";

class TPipeClient {
 public:
  // How often Connect looks again for a name that is not published.
  static constexpr uint32_t kRetryMs = 10;

  // Connects to the pipe with this name ("QNPipeServer"), or to a full path
  // ("\\.\pipe\QNPipeServer"), waiting up to timeoutMs for a server to
  // publish the name (0: look once).
  int32_t Connect(std::string_view pipeName = kServerPipeName, uint32_t timeoutMs = 5000);
  bool Connected() const { return FPipe.IsOpen(); }
  void Close();

  // Sends one message the way the server does: plain up to 65 534 bytes,
  // multi-part in 65 534-byte parts above.
  int32_t Send(std::span<const std::byte> message, uint32_t timeoutMs = platform::kInfinite);
  // One plain message of any size the socket takes (empty included). A 16-byte
  // message with the control packet layout is taken as a control packet.
  int32_t SendPlain(std::span<const std::byte> message, uint32_t timeoutMs = platform::kInfinite);
  // Start packet, the message in parts of partSize bytes, end packet.
  int32_t SendMultiPart(std::span<const std::byte> message,
                        uint32_t partSize = 65534,
                        uint32_t timeoutMs = platform::kInfinite);

  // The next whole message: a plain one as it came, a multi-part one
  // assembled. Applies the server's rules: a start packet (re)starts an
  // assembly, an end packet delivers it (and is ignored without one), any
  // other control packet drops it, and plain messages during an assembly
  // become part of it.
  int32_t Receive(std::vector<std::byte>* message, uint32_t timeoutMs = platform::kInfinite);
  // The next pipe message as it is, control packets included.
  int32_t ReceiveRaw(std::vector<std::byte>* message, uint32_t timeoutMs = platform::kInfinite);

  // Signalled while a message (or the end of the pipe) waits to be received.
  platform::TWaitHandle ReadHandle() const { return FPipe.ReadHandle(); }

 private:
  platform::TClientPipe FPipe;
  std::vector<std::byte> FAssembly;
  bool FAssembling = false;
};

}  // namespace client
