#pragma once
// What the server window relies on of the pipe server, and nothing more.
//
// TPipeServer implements it over real pipes; tests drive the window through a
// fake. Every operation is called, and every event raised, on the component's
// thread (the main thread).
//
// Events:
// - OnPipeConnect(Sender, Pipe) when a client's worker starts; the client can
//   already be written to.
// - OnPipeMessage(Sender, Pipe, Stream) once per complete message, in arrival
//   order; the stream is positioned at 0 and valid only during the call.
// - OnPipeDisconnect(Sender, Pipe) after the client's record has been removed.
// - OnPipeError(Sender, Pipe, PipeContext, ErrorCode) for a platform error of
//   the listener or a worker.
// - OnPipeSent(Sender, Pipe, Size) once per pipe message written.
//
// A pipe handle is a 32-bit value, unique while the client is connected; a
// later client may get the same value.

#include <cstdint>
#include <functional>

#include "pipes/Stream.h"

namespace pipes {

enum class TPipeContext : uint8_t { pcListener = 0, pcWorker = 1 };

class TPipeServerContract;

using TOnPipeConnect = std::function<void(TPipeServerContract& sender, uint32_t pipe)>;
using TOnPipeDisconnect = std::function<void(TPipeServerContract& sender, uint32_t pipe)>;
using TOnPipeMessage =
    std::function<void(TPipeServerContract& sender, uint32_t pipe, TStream& stream)>;
using TOnPipeSent = std::function<void(TPipeServerContract& sender, uint32_t pipe, uint32_t size)>;
using TOnPipeError = std::function<
    void(TPipeServerContract& sender, uint32_t pipe, TPipeContext context, int32_t errorCode)>;

class TPipeServerContract {
 public:
  virtual ~TPipeServerContract() = default;

  TOnPipeSent OnPipeSent;
  TOnPipeConnect OnPipeConnect;
  TOnPipeDisconnect OnPipeDisconnect;
  TOnPipeMessage OnPipeMessage;
  TOnPipeError OnPipeError;

  virtual bool Active() const = 0;
  // True starts listening; false stops and waits for every pipe thread (it is
  // deferred when called while serving a send from a pipe thread).
  virtual void SetActive(bool value) = 0;

  // Copies Count bytes into the client's queue; false when Pipe is no client.
  virtual bool Write(uint32_t pipe, const void* buffer, int32_t count) = 0;
  // Writes to the clients from the last registered to the first, stops at the
  // first failed write; true when every client was written.
  virtual bool Broadcast(const void* buffer, int32_t count) = 0;
  // Asks the client's worker to end (0: every client); false when Pipe is no
  // client. OnPipeDisconnect follows later.
  virtual bool Disconnect(uint32_t pipe) = 0;
  virtual bool GetClientInfo(uint32_t pipe) const = 0;
  virtual int32_t ClientCount() const = 0;
  // The pipe of client index (0-based, registration order). Raises
  // std::out_of_range outside 0..ClientCount()-1.
  virtual uint32_t Clients(int32_t index) const = 0;
};

}  // namespace pipes
