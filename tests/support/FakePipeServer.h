#pragma once
// A pipe server for tests of the server window: no pipes, no threads.
//
// It keeps a client list in registration order, records every block written to
// a client (by Write or by Broadcast) in one ordered log, records disconnect
// requests, and lets the test raise the component's events as the real one
// would: Connect registers a client and raises OnPipeConnect; Send raises
// OnPipeMessage with a stream over the bytes; FinishDisconnects removes the
// clients asked to leave and raises OnPipeDisconnect for each.
//
// Single-threaded: the test thread plays the main thread.

#include <cstdint>
#include <initializer_list>
#include <set>
#include <span>
#include <vector>

#include "pipes/PipeServerContract.h"

namespace testsupport {

inline constexpr int32_t kBlockSize = 32768;

// A request or notice block: the given words from word 0, zeros after them.
std::vector<uint8_t> Block(std::initializer_list<uint16_t> words);
uint16_t WordOf(std::span<const uint8_t> block, int32_t index);

struct TFakeWrite {
  enum class TKind { Write, Broadcast };
  TKind Kind;
  uint32_t Pipe;
  std::vector<uint8_t> Block;
  uint16_t Word(int32_t index) const { return WordOf(Block, index); }
};

// A stream over bytes the caller keeps alive; reading allocates nothing.
class TSpanStream : public pipes::TStream {
 public:
  explicit TSpanStream(std::span<const uint8_t> bytes) : FBytes(bytes) {}
  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t offset, pipes::TSeekOrigin origin) override;
  int64_t Size() const override { return static_cast<int64_t>(FBytes.size()); }
  void SetSize(int64_t size) override;

 private:
  std::span<const uint8_t> FBytes;
  int64_t FPosition = 0;
};

class TFakePipeServer : public pipes::TPipeServerContract {
 public:
  TFakePipeServer();

  // ---- The contract ----
  bool Active() const override { return FActive; }
  void SetActive(bool value) override { FActive = value; }
  bool Write(uint32_t pipe, const void* buffer, int32_t count) override;
  bool Broadcast(const void* buffer, int32_t count) override;
  bool Disconnect(uint32_t pipe) override;
  bool GetClientInfo(uint32_t pipe) const override;
  int32_t ClientCount() const override { return static_cast<int32_t>(FClients.size()); }
  uint32_t Clients(int32_t index) const override;

  // ---- Driving the window ----
  void Connect(uint32_t pipe);
  // Removes the client (if listed) and raises OnPipeDisconnect.
  void Disconnected(uint32_t pipe);
  // Completes every disconnect asked for so far, in the order asked.
  void FinishDisconnects();
  void Send(uint32_t pipe, std::span<const uint8_t> bytes);
  void SendWords(uint32_t pipe, std::initializer_list<uint16_t> words);
  void RaiseError(uint32_t pipe, pipes::TPipeContext context, int32_t errorCode);

  // ---- Faults ----
  // Writes to this pipe fail (return false) while set.
  void SetWriteFails(uint32_t pipe, bool fails);

  // ---- What happened ----
  const std::vector<TFakeWrite>& Writes() const { return FWrites; }
  std::vector<TFakeWrite> WritesTo(uint32_t pipe) const;
  void ClearWrites() { FWrites.clear(); }
  // Pipes passed to Disconnect, in order (0 included as asked).
  const std::vector<uint32_t>& DisconnectRequests() const { return FDisconnectRequests; }

  // Without recording, writes only count and keep the last block in a buffer
  // allocated up front, so that a test can count the allocations of others.
  void SetRecording(bool on) { FRecording = on; }
  int64_t WriteCount() const { return FWriteCount; }
  std::span<const uint8_t> LastBlock() const { return {FLastBlock.data(), FLastSize}; }

 private:
  bool WriteTo(TFakeWrite::TKind kind, uint32_t pipe, const void* buffer, int32_t count);

  bool FActive = false;
  std::vector<uint32_t> FClients;
  std::set<uint32_t> FFailingPipes;
  std::vector<TFakeWrite> FWrites;
  std::vector<uint32_t> FDisconnectRequests;
  std::vector<uint32_t> FPendingDisconnects;
  bool FRecording = true;
  int64_t FWriteCount = 0;
  std::vector<uint8_t> FLastBlock;
  size_t FLastSize = 0;
};

}  // namespace testsupport
