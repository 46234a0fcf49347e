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
    writeLiveState(value, std::nullopt, std::nullopt, std::nullopt);
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

void VemloAgent::didDiscover(std::shared_ptr<Peripheral> peripheral, const std::optional<std::string>& advertisedLocalName) {
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
    cachedSwitchState.reset();
    cachedLightMode.reset();
    // Nobody may wait for an answer that can no longer come.
    auto waiters = std::move(statusWaiters_);
    statusWaiters_.clear();
    for (auto& waiter : waiters) waiter(std::nullopt);
    emit("已断开，2s 后重连");
    queue_.runAfter(kReconnectDelay, weakTask(&VemloAgent::connectAutomatically));
}

// ---- status polling and lever query -----------------------------------------------------------

void VemloAgent::startStatusPolling() {
    if (statusPollTimer_) statusPollTimer_->cancel();
    statusPollTimer_ = queue_.repeat(kFirstPoll, kPollPeriod, [weak = weak_from_this()] {
        auto self = weak.lock();
        // A pending query already sent its own request.
        if (self && self->statusWaiters_.empty()) self->requestDeviceStatus();
    });
}

void VemloAgent::querySwitchState(MainQueue::Duration timeout,
                                  std::function<void(std::optional<AgentDeviceStatus>)> completion) {
    if (!isConnected()) {
        completion(std::nullopt);
        return;
    }
    requestDeviceStatus();
    statusWaiters_.push_back(std::move(completion));
    const auto deadline = queue_.now() + timeout;
    queryDeadlines_.insert(std::upper_bound(queryDeadlines_.begin(), queryDeadlines_.end(), deadline), deadline);
    armQueryTimer();
}

// Every query keeps its own time-out, even once a status frame has answered it: a stale time-out
// answers whoever is waiting when it comes due. Under load there are thousands of them in flight,
// so they are kept as bare deadlines behind one timer instead of one timer each.
void VemloAgent::armQueryTimer() {
    if (queryDeadlines_.empty()) return;
    const auto first = queryDeadlines_.front();
    if (queryTimer_ && queryTimerAt_ == first) return;
    if (queryTimer_) queryTimer_->cancel();
    queryTimerAt_ = first;
    queryTimer_ = queue_.runAfter(first - queue_.now(), weakTask(&VemloAgent::onQueryDeadline));
}

void VemloAgent::onQueryDeadline() {
    queryTimer_.reset();
    const auto now = queue_.now();
    while (!queryDeadlines_.empty() && queryDeadlines_.front() <= now) {
        queryDeadlines_.pop_front();
        onQueryTimeout();
    }
    armQueryTimer();
}

void VemloAgent::onQueryTimeout() {
    if (statusWaiters_.empty()) return;
    auto waiters = std::move(statusWaiters_);
    statusWaiters_.clear();
    std::optional<AgentDeviceStatus> answer;
    if (cachedSwitchState) {
        answer = AgentDeviceStatus{-1, -1, -1, -1, -1, cachedLightMode.value_or(0), *cachedSwitchState};
    }
    for (auto& waiter : waiters) waiter(answer);
}

void VemloAgent::didUpdateValue(Peripheral&, Characteristic& characteristic) {
    const std::string uuid = normalizeBluetoothUuid(characteristic.uuid());
    if (uuid != commandCharUUID_ && uuid != notifyCharUUID_) return;
    auto value = characteristic.value();
    if (!value) return;
    auto status = frames::parseDeviceStatus(*value);
    if (!status) return;

    cachedSwitchState = clampToByte(status->switchState);
    cachedLightMode = clampToByte(status->lightMode);
    if (userSwitchOverride) {
        userSwitchOverride.reset();
        emit("← 收到真实拨杆状态 " + std::to_string(*cachedSwitchState) + "，已清除虚拟拨杆覆盖");
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
    writeLiveState(std::nullopt, cachedLightMode, cachedSwitchState, clampToByte(status->workMode));
    if (!statusWaiters_.empty()) {
        auto waiters = std::move(statusWaiters_);
        statusWaiters_.clear();
        for (auto& waiter : waiters) waiter(*status);
    }
}

}  // namespace vemlo
