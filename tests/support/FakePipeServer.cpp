#include "tests/support/FakePipeServer.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace testsupport {

std::vector<uint8_t> Block(std::initializer_list<uint16_t> words) {
  std::vector<uint8_t> block(kBlockSize, 0);
  size_t i = 0;
  for (uint16_t word : words) {
    block[2 * i] = static_cast<uint8_t>(word & 0xFF);
    block[2 * i + 1] = static_cast<uint8_t>(word >> 8);
    ++i;
  }
  return block;
}

uint16_t WordOf(std::span<const uint8_t> block, int32_t index) {
  const size_t at = 2 * static_cast<size_t>(index);
  if (index < 0 || at + 1 >= block.size()) {
    throw std::out_of_range("word beyond the block");
  }
  return static_cast<uint16_t>(block[at] | (block[at + 1] << 8));
}

// ---- TSpanStream ----

int32_t TSpanStream::Read(void* buffer, int32_t count) {
  if (count <= 0 || FPosition >= Size()) {
    return 0;
  }
  const int64_t n = std::min<int64_t>(count, Size() - FPosition);
  std::memcpy(buffer, FBytes.data() + FPosition, static_cast<size_t>(n));
  FPosition += n;
  return static_cast<int32_t>(n);
}

int32_t TSpanStream::Write(const void* /*buffer*/, int32_t /*count*/) {
  throw std::logic_error("TSpanStream is read-only");
}

int64_t TSpanStream::Seek(int64_t offset, pipes::TSeekOrigin origin) {
  int64_t base = 0;
  if (origin == pipes::TSeekOrigin::soCurrent) {
    base = FPosition;
  } else if (origin == pipes::TSeekOrigin::soEnd) {
    base = Size();
  }
  FPosition = std::max<int64_t>(0, base + offset);
  return FPosition;
}

void TSpanStream::SetSize(int64_t /*size*/) {
  throw std::logic_error("TSpanStream is read-only");
}

// ---- TFakePipeServer ----

TFakePipeServer::TFakePipeServer() : FLastBlock(65536, 0) {}

bool TFakePipeServer::WriteTo(TFakeWrite::TKind kind,
                              uint32_t pipe,
                              const void* buffer,
                              int32_t count) {
  if (!GetClientInfo(pipe) || FFailingPipes.contains(pipe)) {
    return false;
  }
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  const size_t size = static_cast<size_t>(std::max(count, 0));
  ++FWriteCount;
  FLastSize = std::min(size, FLastBlock.size());
  std::memcpy(FLastBlock.data(), bytes, FLastSize);
  if (FRecording) {
    FWrites.push_back(TFakeWrite{kind, pipe, std::vector<uint8_t>(bytes, bytes + size)});
  }
  return true;
}

bool TFakePipeServer::Write(uint32_t pipe, const void* buffer, int32_t count) {
  return WriteTo(TFakeWrite::TKind::Write, pipe, buffer, count);
}

bool TFakePipeServer::Broadcast(const void* buffer, int32_t count) {
  for (auto it = FClients.rbegin(); it != FClients.rend(); ++it) {
    if (!WriteTo(TFakeWrite::TKind::Broadcast, *it, buffer, count)) {
      return false;
    }
  }
  return true;
}

bool TFakePipeServer::Disconnect(uint32_t pipe) {
  FDisconnectRequests.push_back(pipe);
  if (pipe == 0) {
    for (uint32_t client : FClients) {
      FPendingDisconnects.push_back(client);
    }
    return !FClients.empty();
  }
  if (!GetClientInfo(pipe)) {
    return false;
  }
  FPendingDisconnects.push_back(pipe);
  return true;
}

bool TFakePipeServer::GetClientInfo(uint32_t pipe) const {
  return std::find(FClients.begin(), FClients.end(), pipe) != FClients.end();
}

uint32_t TFakePipeServer::Clients(int32_t index) const {
  if (index < 0 || index >= ClientCount()) {
    throw std::out_of_range("client index");
  }
  return FClients[static_cast<size_t>(index)];
}

void TFakePipeServer::Connect(uint32_t pipe) {
  FClients.push_back(pipe);
  if (OnPipeConnect) {
    OnPipeConnect(*this, pipe);
  }
}

void TFakePipeServer::Disconnected(uint32_t pipe) {
  std::erase(FClients, pipe);
  if (OnPipeDisconnect) {
    OnPipeDisconnect(*this, pipe);
  }
}

void TFakePipeServer::FinishDisconnects() {
  std::vector<uint32_t> pending;
  pending.swap(FPendingDisconnects);
  for (uint32_t pipe : pending) {
    if (GetClientInfo(pipe)) {  // each client leaves once
      Disconnected(pipe);
    }
  }
}

void TFakePipeServer::Send(uint32_t pipe, std::span<const uint8_t> bytes) {
  TSpanStream stream(bytes);
  if (OnPipeMessage) {
    OnPipeMessage(*this, pipe, stream);
  }
}

void TFakePipeServer::SendWords(uint32_t pipe, std::initializer_list<uint16_t> words) {
  const std::vector<uint8_t> block = Block(words);
  Send(pipe, block);
}

void TFakePipeServer::RaiseError(uint32_t pipe, pipes::TPipeContext context, int32_t errorCode) {
  if (OnPipeError) {
    OnPipeError(*this, pipe, context, errorCode);
  }
}

void TFakePipeServer::SetWriteFails(uint32_t pipe, bool fails) {
  if (fails) {
    FFailingPipes.insert(pipe);
  } else {
    FFailingPipes.erase(pipe);
  }
}

std::vector<TFakeWrite> TFakePipeServer::WritesTo(uint32_t pipe) const {
  std::vector<TFakeWrite> result;
  for (const TFakeWrite& write : FWrites) {
    if (write.Pipe == pipe) {
      result.push_back(write);
    }
  }
  return result;
}

}  // namespace testsupport
