#include "agent/VemloAgent.h"

#include "platform/SystemLog.h"

#include <algorithm>
#include <cctype>

namespace vemlo {
namespace {

constexpr MainQueue::Duration kReconnectDelay = seconds(2.0);
constexpr MainQueue::Duration kFirstPoll = seconds(1.0);
constexpr MainQueue::Duration kPollPeriod = seconds(1.5);

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

// ---- frames -------------------------------------------------------------------------------

void VemloAgent::writeFrame(const std::vector<uint8_t>& frame) {
    if (!isConnected()) return;
    const WriteType type = (commandChar_->properties() & kPropertyWriteWithoutResponse) ? WriteType::withoutResponse
                                                                                        : WriteType::withResponse;
    peripheral_->writeValue(frame, *commandChar_, type);
}

void VemloAgent::sendState(uint8_t value) {
    if (pendingStateReset_) {
        pendingStateReset_->cancel();
        pendingStateReset_.reset();
    }
    if (!isConnected()) {
        emit("LED 状态 " + std::to_string(value) + ": 未连接");
        return;
    }
    const auto frame = frames::stateCommand(value);
    writeFrame(frame);
    lastSentState_ = value;
    emit("→ LED 状态 " + std::to_string(value) + ": " + frames::hex(frame));
    liveState_.write(value, std::nullopt, std::nullopt, std::nullopt);
}

void VemloAgent::requestDeviceStatus() {
    if (isConnected()) writeFrame(frames::statusRequest());
}

// ---- connection lifecycle ---------------------------------------------------------------

void VemloAgent::centralDidUpdateState() {
    if (!central_ || central_->state() != CentralState::poweredOn) return;
    emit("蓝牙就绪");
    connectAutomatically();
}

void VemloAgent::takePeripheral(const std::shared_ptr<Peripheral>& peripheral) {
    peripheral_ = peripheral;
    peripheral_->setDelegate(this);
    central_->connect(peripheral_);
}

void VemloAgent::connectAutomatically() {
    if (!central_) return;
    if (lastUUID_) {
        auto known = central_->retrievePeripherals({*lastUUID_});
        if (!known.empty()) {
            emit("直连已知设备: " + lastUUID_->substr(0, 8) + "…");
            takePeripheral(known.front());
            return;
        }
    }
    const std::string prefix = lower(deviceNamePrefix_);
    for (const auto& candidate : central_->retrieveConnectedPeripherals({serviceUUID_})) {
        auto name = candidate->name();
        if (!name || !lower(*name).starts_with(prefix)) continue;
        emit("系统已连接: " + *name);
        takePeripheral(candidate);
        return;
    }
    emit("开始扫描…");
    central_->scanForPeripherals({serviceUUID_});
}

void VemloAgent::didDiscover(std::shared_ptr<Peripheral> peripheral,
                             const std::optional<std::string>& advertisedLocalName) {
    std::string name = peripheral->name().value_or(advertisedLocalName.value_or(""));
    if (!lower(name).starts_with(lower(deviceNamePrefix_))) return;
    central_->stopScan();
    emit("发现: " + name);
    takePeripheral(peripheral);
}

void VemloAgent::didConnect(std::shared_ptr<Peripheral> peripheral) {
    lastUUID_ = peripheral->identifier();
    emit("已连接: " + peripheral->name().value_or("?"));
    peripheral->discoverServices({serviceUUID_});
}

void VemloAgent::didDiscoverServices(Peripheral& peripheral) {
    // A late answer about a link that has already ended must not revive it.
    if (&peripheral != peripheral_.get()) return;
    auto services = peripheral.services();
    if (!services) return;
    for (const auto& service : *services) {
        if (normalizeBluetoothUuid(service->uuid()) != serviceUUID_) continue;
        peripheral.discoverCharacteristics({commandCharUUID_, notifyCharUUID_}, *service);
        return;
    }
}

void VemloAgent::didDiscoverCharacteristics(Peripheral& peripheral, Service& service) {
    if (&peripheral != peripheral_.get()) return;
    for (const auto& characteristic : service.characteristics()) {
        const std::string uuid = normalizeBluetoothUuid(characteristic->uuid());
        if (uuid == commandCharUUID_) {
            commandChar_ = characteristic;
            emit("命令通道就绪");
        } else if (uuid == notifyCharUUID_) {
            notifyChar_ = characteristic;
            peripheral.setNotifyValue(true, *characteristic);
            emit("通知通道已订阅");
        }
    }
    if (commandChar_ && notifyChar_) {
        requestDeviceStatus();
        startStatusPolling();
    }
}

void VemloAgent::didDisconnect(std::shared_ptr<Peripheral>) {
    if (statusPollTimer_) {
        statusPollTimer_->cancel();
        statusPollTimer_.reset();
    }
    commandChar_.reset();
    notifyChar_.reset();
    peripheral_.reset();
    cachedSwitchState_.reset();
    cachedLightMode_.reset();
    publishLever();
    // Nobody may wait for an answer that can no longer come.
    leverQuery_.answer(std::nullopt);
    emit("已断开，2s 后重连");
    queue_.runAfter(kReconnectDelay, weakTask(&VemloAgent::connectAutomatically));
}

// ---- status polling and lever query -----------------------------------------------------------

void VemloAgent::startStatusPolling() {
    if (statusPollTimer_) statusPollTimer_->cancel();
    statusPollTimer_ = queue_.repeat(kFirstPoll, kPollPeriod, [weak = weak_from_this()] {
        auto self = weak.lock();
        // A pending query already sent its own request.
        if (self && !self->leverQuery_.waiting()) self->requestDeviceStatus();
    });
}

void VemloAgent::querySwitchState(MainQueue::Duration timeout,
                                  std::function<void(std::optional<AgentDeviceStatus>)> completion) {
    if (!isConnected()) {
        completion(std::nullopt);
        return;
    }
    requestDeviceStatus();
    leverQuery_.wait(timeout, std::move(completion));
}

void VemloAgent::didUpdateValue(Peripheral&, Characteristic& characteristic) {
    const std::string uuid = normalizeBluetoothUuid(characteristic.uuid());
    if (uuid != commandCharUUID_ && uuid != notifyCharUUID_) return;
    auto value = characteristic.value();
    if (!value) return;
    auto status = frames::parseDeviceStatus(*value);
    if (!status) return;

    cachedSwitchState_ = clampToByte(status->switchState);
    cachedLightMode_ = clampToByte(status->lightMode);
    if (userSwitchOverride_) {
        userSwitchOverride_.reset();
        emit("← 收到真实拨杆状态 " + std::to_string(*cachedSwitchState_) + "，已清除虚拟拨杆覆盖");
    }
    // journald stores every line it is given, and a linked keyboard reports every 1.5 s (57,600 lines
    // a day). The system log gets the status line only when it says something new; the console all.
    const std::string statusLine = "← status battery=" + std::to_string(status->battery) +
                                   " light=" + std::to_string(status->lightMode) +
                                   " switch=" + std::to_string(status->switchState);
    const std::array<int64_t, 3> reported{status->battery, status->lightMode, status->switchState};
    if (lastJournalStatus_ != reported) {
        lastJournalStatus_ = reported;
        if (platform_.systemLog) platform_.systemLog->info(statusLine);
    }
    if (onLog) onLog(statusLine);
    liveState_.write(std::nullopt, cachedLightMode_, cachedSwitchState_, clampToByte(status->workMode));
    publishLever();
    leverQuery_.answer(*status);
}

}  // namespace vemlo
