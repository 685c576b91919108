#include "client/PipeClient.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "pipes/PipeControlPacket.h"

namespace client {

using platform::ERROR_SUCCESS;

int32_t TPipeClient::Connect(std::string_view pipeName, uint32_t timeoutMs) {
  Close();
  const bool fullPath =
      pipeName.substr(0, platform::kPipePathPrefix.size()) == platform::kPipePathPrefix;
  const std::string path = fullPath ? std::string(pipeName) : platform::PipePath(pipeName);
  // The name is published only while the server has an instance listening;
  // a server that is starting has none yet. Look again until the time-out.
  const uint64_t start = platform::MonotonicMs();
  for (;;) {
    const int32_t result = FPipe.Open(path, platform::RemainingMs(timeoutMs, start));
    const uint32_t left = platform::RemainingMs(timeoutMs, start);
    if (result != platform::ERROR_FILE_NOT_FOUND || left == 0) {
      return result;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min<uint32_t>(left, kRetryMs)));
  }
}

void TPipeClient::Close() {
  FPipe.Close();
  FAssembly.clear();
  FAssembling = false;
}

int32_t TPipeClient::Send(std::span<const std::byte> message, uint32_t timeoutMs) {
  if (message.size() <= static_cast<size_t>(pipes::kMaxPipeMessage)) {
    return SendPlain(message, timeoutMs);
  }
  return SendMultiPart(message, pipes::kMaxPipeMessage, timeoutMs);
}

int32_t TPipeClient::SendPlain(std::span<const std::byte> message, uint32_t timeoutMs) {
  return FPipe.Write(message, timeoutMs);
}

int32_t TPipeClient::SendMultiPart(std::span<const std::byte> message,
                                   uint32_t partSize,
                                   uint32_t timeoutMs) {
  if (partSize == 0) {
    return platform::ERROR_INVALID_PARAMETER;
  }
  const uint64_t start = platform::MonotonicMs();
  const auto startPacket = pipes::MakeControlPacket(pipes::kStartCommand);
  int32_t result = FPipe.Write(startPacket, timeoutMs);
  for (size_t at = 0; result == ERROR_SUCCESS && at < message.size(); at += partSize) {
    const size_t n = std::min<size_t>(partSize, message.size() - at);
    result = FPipe.Write(message.subspan(at, n), platform::RemainingMs(timeoutMs, start));
  }
  if (result != ERROR_SUCCESS) {
    return result;
  }
  const auto endPacket = pipes::MakeControlPacket(pipes::kEndCommand);
  return FPipe.Write(endPacket, platform::RemainingMs(timeoutMs, start));
}

int32_t TPipeClient::ReceiveRaw(std::vector<std::byte>* message, uint32_t timeoutMs) {
  return FPipe.Read(message, timeoutMs);
}

int32_t TPipeClient::Receive(std::vector<std::byte>* message, uint32_t timeoutMs) {
  const uint64_t start = platform::MonotonicMs();
  for (;;) {
    const int32_t result = FPipe.Read(message, platform::RemainingMs(timeoutMs, start));
    if (result != ERROR_SUCCESS) {
      return result;
    }
    uint32_t command = 0;
    if (pipes::IsControlPacket(*message, &command)) {
      if (command == pipes::kStartCommand) {
        FAssembly.clear();
        FAssembling = true;
      } else if (command == pipes::kEndCommand) {
        if (FAssembling) {
          message->swap(FAssembly);
          FAssembly.clear();
          FAssembling = false;
          return ERROR_SUCCESS;
        }
      } else {
        FAssembly.clear();
        FAssembling = false;
      }
      continue;
    }
    if (!FAssembling) {
      return ERROR_SUCCESS;
    }
    FAssembly.insert(FAssembly.end(), message->begin(), message->end());
  }
}

}  // namespace client
