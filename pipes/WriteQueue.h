#pragma once
// A client's outgoing queue: records in, one message at a time out.
//
// The component's thread adds records (Write, Broadcast, SendStream); the
// client's worker takes them one at a time, first in first out, and sends each
// as one pipe message. A record longer than kMaxPipeMessage bytes is replaced
// by a start packet, chunks of kMaxPipeMessage bytes (the last one shorter)
// and an end packet, all queued under one hold of the lock so that nothing
// else comes between them.
//
// DataEvent is signalled exactly while the queue holds something, EmptyEvent
// exactly while it is empty; the worker waits on DataEvent instead of polling.
//
// Ownership: a record passed to Enqueue belongs to the queue; Dequeue hands
// it to the caller. Records still queued are freed by the destructor (queued,
// unsent messages are discarded).
//
// Thread safety: every operation may be called from any thread; the lock is
// recursive. The events must outlive every wait on them, so the queue must
// outlive its worker.

#include <cstdint>
#include <memory>
#include <mutex>

#include "pipes/PipeWrite.h"
#include "platform/Event.h"

namespace pipes {

struct TWriteNode;

class TWriteQueue {
 public:
  // Raises platform::EOSError when an event cannot be created.
  TWriteQueue();
  TWriteQueue(const TWriteQueue&) = delete;
  TWriteQueue& operator=(const TWriteQueue&) = delete;
  ~TWriteQueue();

  // Appends a record (or its framed chunks). Null: no effect, events untouched.
  void Enqueue(PPipeWrite pipeWrite);
  void EnqueueStartPacket();
  void EnqueueEndPacket();
  // The oldest record, or null when empty.
  PPipeWrite Dequeue();
  // Frees every queued record.
  void Clear();

  const platform::TEvent& DataEvent() const { return FDataEv; }
  // Made on first use (nothing in the transport waits on it, and keeping it
  // current costs two system calls per message); raises EOSError when it
  // cannot be made then.
  const platform::TEvent& EmptyEvent() const;
  // Accounting total of the queued nodes: per record Count + 28 bytes.
  uint32_t DataSize() const;
  // A momentary answer.
  bool Empty() const;

 private:
  static uint32_t NodeSize(const TWriteNode& node);
  TWriteNode* NewNode(PPipeWrite pipeWrite);
  void Append(PPipeWrite pipeWrite);
  void EnqueueControlPacket(uint32_t command);
  void EnqueueSplit(PPipeWrite pipeWrite);
  void UpdateEvents();

  mutable std::recursive_mutex FMutex;
  platform::TEvent FDataEv{false};
  mutable std::unique_ptr<platform::TEvent> FEmptyEv;
  uint32_t FDataSize = 0;
  TWriteNode* FHead = nullptr;
  TWriteNode* FTail = nullptr;
  // What the events show now; they are touched only when this changes.
  bool FEventsShowData = false;
};

}  // namespace pipes
