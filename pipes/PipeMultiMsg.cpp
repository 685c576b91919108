#include "pipes/PipeMultiMsg.h"

#include <algorithm>
#include <mutex>
#include <new>
#include <stdexcept>
#include <vector>

namespace pipes {

namespace {

std::mutex& DirectoryLock() {
  static std::mutex lock;
  return lock;
}

std::optional<std::string>& DirectoryOverride() {
  static std::optional<std::string> directory;
  return directory;
}

std::string TempDirectory() {
  std::lock_guard<std::mutex> guard(DirectoryLock());
  return DirectoryOverride().value_or(platform::GetTempPath());
}

// A stream over the assembly's temporary file.
class TTempFileStream : public TStream {
 public:
  explicit TTempFileStream(platform::TTempFile& file) : FFile(file) {}

  int32_t Read(void* buffer, int32_t count) override {
    if (count <= 0) {
      return 0;
    }
    const int64_t n = FFile.ReadAt(FPosition, buffer, count);
    if (n <= 0) {
      return 0;
    }
    FPosition += n;
    return static_cast<int32_t>(n);
  }

  int32_t Write(const void* buffer, int32_t count) override {
    if (count <= 0) {
      return 0;
    }
    const int64_t n = FFile.WriteAt(FPosition, buffer, count);
    if (n != count) {
      return 0;
    }
    FPosition += n;
    return count;
  }

  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    int64_t base = 0;
    if (origin == TSeekOrigin::soCurrent) {
      base = FPosition;
    } else if (origin == TSeekOrigin::soEnd) {
      base = Size();
    }
    FPosition = std::max<int64_t>(0, base + offset);
    return FPosition;
  }

  int64_t Size() const override { return std::max<int64_t>(0, FFile.Size()); }

  void SetSize(int64_t size) override {
    FFile.Resize(std::max<int64_t>(0, size));
    FPosition = std::min(FPosition, Size());
  }

 private:
  platform::TTempFile& FFile;
  int64_t FPosition = 0;
};

}  // namespace

void TPipeMultiMsg::SetTempDirectory(std::optional<std::string> directory) {
  std::lock_guard<std::mutex> guard(DirectoryLock());
  DirectoryOverride() = std::move(directory);
}

TPipeMultiMsg::TPipeMultiMsg() {
  int error = 0;
  FHandle = platform::TTempFile::Create(TempDirectory(), "PMM", &error);
  if (FHandle.IsValid()) {
    FStream = std::make_unique<TTempFileStream>(FHandle);
  } else {
    FStream = std::make_unique<TFastMemStream>();
  }
}

TPipeMultiMsg::~TPipeMultiMsg() {
  // The stream refers to the file: it goes first.
  FStream.reset();
  FHandle.Close();
}

void TPipeMultiMsg::Append(const void* buffer, int32_t count) {
  if (count <= 0) {
    return;
  }
  const int64_t complete = FStream->Seek(0, TSeekOrigin::soEnd);
  if (FStream->Write(buffer, count) == count) {
    return;
  }
  // Only the file can fail short; carry on in memory.
  MoveToMemory(complete);
  FStream->Seek(0, TSeekOrigin::soEnd);
  FStream->Write(buffer, count);
}

void TPipeMultiMsg::MoveToMemory(int64_t size) {
  if (InMemory()) {
    throw std::bad_alloc();
  }
  auto memory = std::make_unique<TFastMemStream>();
  std::vector<uint8_t> piece(static_cast<size_t>(std::min<int64_t>(size, 1 << 20)));
  FStream->Seek(0, TSeekOrigin::soBeginning);
  int64_t copied = 0;
  while (copied < size) {
    const int32_t want = static_cast<int32_t>(std::min<int64_t>(size - copied, piece.size()));
    const int32_t n = FStream->Read(piece.data(), want);
    if (n <= 0) {
      throw std::runtime_error("The assembly's temporary file cannot be read back");
    }
    memory->Write(piece.data(), n);
    copied += n;
  }
  // Bytes a failed write left beyond the complete parts are not copied.
  FStream = std::move(memory);
  FHandle.Close();
}

}  // namespace pipes
