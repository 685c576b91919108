#include "pipes/WriteQueue.h"

#include <algorithm>

#include "pipes/PipeControlPacket.h"

namespace pipes {

struct TWriteNode {
  PPipeWrite PipeWrite;
  TWriteNode* NextNode = nullptr;
};

namespace {
// Fixed accounting costs of a node and of a record besides its bytes.
constexpr uint32_t kNodeCost = 12;
constexpr uint32_t kRecordCost = 12 + 4;
}  // namespace

TWriteQueue::TWriteQueue() = default;

TWriteQueue::~TWriteQueue() {
  Clear();
}

uint32_t TWriteQueue::NodeSize(const TWriteNode& node) {
  uint32_t size = kNodeCost;
  if (node.PipeWrite) {
    size += kRecordCost + static_cast<uint32_t>(node.PipeWrite->Count);
  }
  return size;
}

TWriteNode* TWriteQueue::NewNode(PPipeWrite pipeWrite) {
  auto* node = new TWriteNode{std::move(pipeWrite), nullptr};
  FDataSize += NodeSize(*node);
  return node;
}

void TWriteQueue::Append(PPipeWrite pipeWrite) {
  TWriteNode* node = NewNode(std::move(pipeWrite));
  if (FTail != nullptr) {
    FTail->NextNode = node;
  } else {
    FHead = node;
  }
  FTail = node;
}

void TWriteQueue::Enqueue(PPipeWrite pipeWrite) {
  std::lock_guard<std::recursive_mutex> lock(FMutex);
  if (!pipeWrite) {
    return;
  }
  struct TUpdate {
    TWriteQueue* Queue;
    ~TUpdate() { Queue->UpdateEvents(); }
  } update{this};
  if (pipeWrite->Count > kMaxPipeMessage) {
    EnqueueSplit(std::move(pipeWrite));
  } else {
    Append(std::move(pipeWrite));
  }
}

void TWriteQueue::EnqueueSplit(PPipeWrite pipeWrite) {
  std::lock_guard<std::recursive_mutex> lock(FMutex);
  // The end packet follows even when a chunk could not be made, so the
  // client never waits for the end of a message that will not come.
  struct TEnd {
    TWriteQueue* Queue;
    ~TEnd() {
      try {
        Queue->EnqueueEndPacket();
      } catch (...) {
      }
    }
  };
  EnqueueStartPacket();
  TEnd end{this};
  const uint8_t* position = pipeWrite->Buffer.get();
  int32_t left = pipeWrite->Count;
  while (left > 0) {
    const int32_t chunk = std::min(left, kMaxPipeMessage);
    Enqueue(NewPipeWrite(position, chunk));
    position += chunk;
    left -= chunk;
  }
}

void TWriteQueue::EnqueueControlPacket(uint32_t command) {
  std::lock_guard<std::recursive_mutex> lock(FMutex);
  const TControlPacketBytes packet = MakeControlPacket(command);
  Enqueue(NewPipeWrite(packet.data(), kControlPacketSize));
}

void TWriteQueue::EnqueueStartPacket() {
  EnqueueControlPacket(kStartCommand);
}

void TWriteQueue::EnqueueEndPacket() {
  EnqueueControlPacket(kEndCommand);
}

PPipeWrite TWriteQueue::Dequeue() {
  std::lock_guard<std::recursive_mutex> lock(FMutex);
  if (FHead == nullptr) {
    UpdateEvents();
    return nullptr;
  }
  TWriteNode* head = FHead;
  FDataSize -= NodeSize(*head);
  if (FHead == FTail) {
    FTail = nullptr;
  }
  FHead = head->NextNode;
  PPipeWrite pipeWrite = std::move(head->PipeWrite);
  delete head;
  UpdateEvents();
  return pipeWrite;
}

void TWriteQueue::Clear() {
  std::lock_guard<std::recursive_mutex> lock(FMutex);
  while (FHead != nullptr) {
    TWriteNode* node = FHead;
    FHead = node->NextNode;
    delete node;
  }
  FTail = nullptr;
  FDataSize = 0;
  UpdateEvents();
}

void TWriteQueue::UpdateEvents() {
  const bool hasData = FHead != nullptr;
  if (hasData == FEventsShowData) {
    return;
  }
  FEventsShowData = hasData;
  if (hasData) {
    FDataEv.Set();
    if (FEmptyEv) {
      FEmptyEv->Reset();
    }
  } else {
    FDataEv.Reset();
    if (FEmptyEv) {
      FEmptyEv->Set();
    }
  }
}

const platform::TEvent& TWriteQueue::EmptyEvent() const {
  std::lock_guard<std::recursive_mutex> lock(FMutex);
  if (!FEmptyEv) {
    FEmptyEv = std::make_unique<platform::TEvent>(FHead == nullptr);
  }
  return *FEmptyEv;
}

uint32_t TWriteQueue::DataSize() const {
  std::lock_guard<std::recursive_mutex> lock(FMutex);
  return FDataSize;
}

bool TWriteQueue::Empty() const {
  std::lock_guard<std::recursive_mutex> lock(FMutex);
  return FHead == nullptr;
}

}  // namespace pipes
