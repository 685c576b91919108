#include "app/LogMirror.h"

#include <time.h>

namespace app {

std::string StampLine(const std::string& line, std::chrono::system_clock::time_point when) {
  const auto sinceEpoch = when.time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch - seconds).count();
  const time_t whole = static_cast<time_t>(seconds.count());
  tm local{};
  localtime_r(&whole, &local);
  char stamp[48];
  const size_t length = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  char fraction[8];
  std::snprintf(fraction, sizeof fraction, ".%03d ", static_cast<int>(millis));
  return std::string(stamp, length) + fraction + line;
}

TLogMirror::TLogMirror(core::TMemo& memo, std::FILE* out) : FMemo(memo), FOut(out) {
  FSubscription = memo.Subscribe([this](core::TComponent&, core::TChangeKind kind, int32_t index) {
    if (kind == core::TChangeKind::LineAdded && index >= 0 &&
        static_cast<size_t>(index) < FMemo.Lines().size()) {
      Write(FMemo.Lines()[static_cast<size_t>(index)]);
    }
  });
}

TLogMirror::~TLogMirror() {
  FMemo.Unsubscribe(FSubscription);
}

void TLogMirror::Write(const std::string& line) {
  const std::string stamped = StampLine(line, std::chrono::system_clock::now()) + "\n";
  std::fwrite(stamped.data(), 1, stamped.size(), FOut);
  std::fflush(FOut);
}

}  // namespace app
