#pragma once

#include "agent/DeviceFrames.h"
#include "agent/LeverFollower.h"
#include "agent/LeverQuery.h"
#include "agent/LiveStateWriter.h"
#include "agent/Watchdog.h"
#include "platform/BluetoothCentral.h"
#include "platform/Json.h"
#include "platform/MainQueue.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vemlo {

class SocketServer;
class SystemLog;
class UserDefaults;

// What the agent needs from the operating system, so tests can run it on virtual time and a
// scripted keyboard.
struct AgentPlatform {
    MainQueue* queue = nullptr;
    SystemLog* systemLog = nullptr;
    UserDefaults* userDefaults = nullptr;
    // Creates the central with the agent as its delegate; the power state comes later.
    std::function<std::unique_ptr<BluetoothCentral>(CentralDelegate&)> makeCentral;
    std::string homeDirectory;
    // Brings the assistants' configurations in line with the lever; run off the main queue whenever
    // the effective lever changes. None: the configurations follow only at the hooks.
    LeverFollower::Sync followLever;
};

// The agent process's one stateful object: the keyboard link, the control socket's commands, and
// the pieces it owns (the lever query, the watchdog, the live state file's writer). Every member
// is touched only on the main queue; timers and deferred work hold a weak reference, or belong to
// a piece that cancels them, and do nothing once the agent is gone.
//
// The implementation is split by concern: VemloAgent.cpp (construction, log), VemloAgentDevice.cpp
// (frames, link, polling, status frames), VemloAgentSocket.cpp (server, replies), VemloAgentCommands.cpp
// (command set).
class VemloAgent final : public CentralDelegate,
                         public PeripheralDelegate,
                         public std::enable_shared_from_this<VemloAgent> {
public:
    static constexpr const char* kUserSwitchOverrideDefaultsKey = "corvane.vemloconfig.agent.userSwitchOverride";
    // How long changes to the live state file are gathered before they are written together.
    static constexpr MainQueue::Duration kLiveStateDelay = LiveStateWriter::kDelay;

    // The only way to build an agent: shared ownership is what the weak references of timers need.
    static std::shared_ptr<VemloAgent> create(std::string socketPath, AgentPlatform platform);
    ~VemloAgent() override;

    // Starts the watchdog, then the control socket server. False when the server could not take its
    // path (logged): the agent is of no use then.
    bool startSocketListener();

    // The console sink; the entry point installs the line writer.
    std::function<void(const std::string&)> onLog;

    // Entry points of the socket server, run on the main queue. Public so tests can drive the
    // command set without a socket.
    void handleJsonCommand(const std::string& cmd, const Json& obj, int clientFd);
    void sendState(uint8_t value);
    // Writes the reply and one line feed, then closes the descriptor.
    static void replyAndClose(int fd, const Json& reply);

    // The lever query: asks the keyboard at once and answers with its next status, with a status
    // built from the cache after `timeout`, or with absent at once when no keyboard is linked.
    void querySwitchState(MainQueue::Duration timeout,
                          std::function<void(std::optional<AgentDeviceStatus>)> completion);
    void setSwitchOverride(std::optional<uint8_t> value);

    static Json statusReply(const std::optional<AgentDeviceStatus>& status, std::optional<uint8_t> cachedSwitch,
                            std::optional<uint8_t> cachedLight);

    bool isConnected() const { return peripheral_ && commandChar_; }
    // The lever position and light mode of the last status frame, and the software lever.
    std::optional<uint8_t> cachedSwitchState() const { return cachedSwitchState_; }
    std::optional<uint8_t> cachedLightMode() const { return cachedLightMode_; }
    std::optional<uint8_t> userSwitchOverride() const { return userSwitchOverride_; }
    uint8_t lastSentState() const { return lastSentState_; }
    // The lever follower's finished runs; 0 without one.
    uint64_t leverSyncRuns() const { return leverFollower_ ? leverFollower_->completedRuns() : 0; }
    const std::string& socketPath() const { return socketPath_; }

    // CentralDelegate
    void centralDidUpdateState() override;
    void didDiscover(std::shared_ptr<Peripheral> peripheral,
                     const std::optional<std::string>& advertisedLocalName) override;
    void didConnect(std::shared_ptr<Peripheral> peripheral) override;
    void didDisconnect(std::shared_ptr<Peripheral> peripheral) override;
    // PeripheralDelegate
    void didDiscoverServices(Peripheral& peripheral) override;
    void didDiscoverCharacteristics(Peripheral& peripheral, Service& service) override;
    void didUpdateValue(Peripheral& peripheral, Characteristic& characteristic) override;

private:
    VemloAgent(std::string socketPath, AgentPlatform platform);

    void emit(const std::string& message);
    // Battery, light and lever of the last status line the system log got (see didUpdateValue).
    std::optional<std::array<int64_t, 3>> lastJournalStatus_;
    std::optional<uint8_t> effectiveSwitch() const;
    // Tells the lever follower where the effective lever stands now.
    void publishLever();

    // Device link
    void connectAutomatically();
    void takePeripheral(const std::shared_ptr<Peripheral>& peripheral);
    void writeFrame(const std::vector<uint8_t>& frame);
    void requestDeviceStatus();
    void startStatusPolling();

    // Command set
    void scheduleStateReset(uint8_t to, int64_t afterMs, std::string reason);
    void replyToLeverQuery(bool isPermission, int clientFd);

    // Runs `task` on the main queue only if the agent still exists then.
    std::function<void()> weakTask(void (VemloAgent::*method)());

    AgentPlatform platform_;
    MainQueue& queue_;

    std::unique_ptr<BluetoothCentral> central_;
    std::shared_ptr<Peripheral> peripheral_;
    std::shared_ptr<Characteristic> commandChar_;
    std::shared_ptr<Characteristic> notifyChar_;
    std::optional<std::string> lastUUID_;
    const std::string serviceUUID_ = bluetoothUuid(0x7340);
    const std::string commandCharUUID_ = bluetoothUuid(0x7343);
    const std::string notifyCharUUID_ = bluetoothUuid(0x7344);
    const std::string deviceNamePrefix_ = "Vemlo";
    const std::string socketPath_;
    const std::array<uint8_t, 2> header_ = frames::kHeader;
    const std::array<uint8_t, 2> trailer_ = frames::kTrailer;
    std::optional<uint8_t> cachedSwitchState_;
    std::optional<uint8_t> cachedLightMode_;
    std::optional<uint8_t> userSwitchOverride_;
    std::shared_ptr<Cancellable> pendingStateReset_;
    std::shared_ptr<Cancellable> statusPollTimer_;
    uint8_t lastSentState_ = 0;
    LiveStateWriter liveState_;
    LeverQuery leverQuery_;
    Watchdog watchdog_;

    std::unique_ptr<SocketServer> server_;
    std::unique_ptr<LeverFollower> leverFollower_;
};

// Integers from requests and frames become state values and lever positions by clamping.
inline uint8_t clampToByte(int64_t x) { return static_cast<uint8_t>(x < 0 ? 0 : (x > 255 ? 255 : x)); }

}  // namespace vemlo
