#include "agent/LiveStateWriter.h"

namespace vemlo {

LiveStateWriter::LiveStateWriter(MainQueue& queue, std::string homeDirectory)
    : queue_(queue), home_(std::move(homeDirectory)) {}

LiveStateWriter::~LiveStateWriter() { flush(); }

void LiveStateWriter::write(std::optional<uint8_t> stateValue, std::optional<uint8_t> lightMode,
                            std::optional<uint8_t> switchState, std::optional<uint8_t> workMode) {
    auto update = livestate::makeUpdate(stateValue, lightMode, switchState, workMode);
    if (pending_) {
        pending_->merge(update);
        return;
    }
    pending_ = update;
    timer_ = queue_.runAfter(kDelay, [this] { flush(); });
}

void LiveStateWriter::clearSwitchState() {
    flush();
    livestate::clearSwitchState(home_);
}

void LiveStateWriter::flush() {
    if (timer_) {
        timer_->cancel();
        timer_.reset();
    }
    if (!pending_) return;
    livestate::applyUpdate(home_, *pending_);
    pending_.reset();
}

}  // namespace vemlo
