#include "ui/qt/DescriptorWatch.h"

#include <QSocketNotifier>

#include <exception>

#include "platform/Messages.h"

namespace ui {

TDescriptorWatch::TDescriptorWatch(int fd, std::function<void()> onReadable)
    : FNotifier(std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read)),
      FOnReadable(std::move(onReadable)) {
  // The callback may run a nested loop (a modal box) in which this fires
  // again while the descriptor stays readable; that is how the queue is served
  // while a box is open.
  QObject::connect(FNotifier.get(), &QSocketNotifier::activated, [this] { FOnReadable(); });
}

TDescriptorWatch::~TDescriptorWatch() = default;

void TDescriptorWatch::SetEnabled(bool enabled) {
  FNotifier->setEnabled(enabled);
}

bool TDescriptorWatch::Enabled() const {
  return FNotifier->isEnabled();
}

std::unique_ptr<TDescriptorWatch> WatchMessageQueue(
    std::function<void(const std::string& text)> onError) {
  return std::make_unique<TDescriptorWatch>(platform::MessageQueueWakeFd(),
                                            [onError = std::move(onError)] {
                                              try {
                                                platform::PumpMessages();
                                              } catch (const std::exception& e) {
                                                if (onError) {
                                                  onError(e.what());
                                                }
                                              } catch (...) {
                                                if (onError) {
                                                  onError("Unknown exception");
                                                }
                                              }
                                            });
}

}  // namespace ui
