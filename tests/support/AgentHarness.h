#pragma once

#include "agent/LiveStateFile.h"
#include "agent/VemloAgent.h"
#include "platform/Files.h"
#include "platform/SystemLog.h"
#include "platform/UserDefaults.h"
#include "support/FakeCentral.h"
#include "support/ManualMainQueue.h"
#include "support/TempDir.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vemlo::test {

struct CapturingSystemLog final : SystemLog {
    void info(std::string_view message) override { lines.emplace_back(message); }
    std::vector<std::string> lines;
};

struct RecordingUserDefaults final : UserDefaults {
    void removeKey(std::string_view key) override { removed.emplace_back(key); }
    std::vector<std::string> removed;
};

inline std::vector<uint8_t> statusFrame(uint8_t battery, int8_t signal, uint8_t fwMain, uint8_t fwSub, uint8_t workMode,
                                        uint8_t lightMode, uint8_t lever) {
    return {0xAA, 0xBB, 0x00, battery, uint8_t(signal), fwMain, fwSub, workMode, lightMode, lever, 0xCC, 0xDD};
}

// A VemloAgent on virtual time with a scripted central, recorders and a temporary home.
struct AgentHarness {
    AgentHarness() { restart(); }
    void restart() {
        agent.reset();
        AgentPlatform platform{&queue, &systemLog, &userDefaults, nullptr, home.path(), {}};
        platform.makeCentral = [this](CentralDelegate& delegate) {
            auto fake = std::make_unique<FakeCentral>(delegate);
            central = fake.get();
            return fake;
        };
        agent = VemloAgent::create("/nonexistent/agent.sock", std::move(platform));
        agent->onLog = [this](const std::string& line) { console.push_back(line); };
    }
    void connect(const std::shared_ptr<FakePeripheral>& keyboard) {
        central->setState(CentralState::poweredOn);
        central->discover(keyboard);
        central->completeConnect(keyboard);
        keyboard->deliverServices();
        keyboard->deliverCharacteristics();
        queue.runPending();
    }
    void sendStatus(const std::shared_ptr<FakePeripheral>& keyboard, uint8_t lever, uint8_t light = 2) {
        keyboard->deliverValue(bluetoothUuid(0x7344), statusFrame(90, -60, 1, 2, 1, light, lever));
    }
    // A command as the socket server hands it over; `reply(fd)` reads what has come so far.
    int startCommand(const std::string& json) {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return -1;
        auto object = json::parseObject(json).value();
        agent->handleJsonCommand(object.at("cmd").get<std::string>(), object, fds[0]);
        return fds[1];
    }
    static std::string reply(int fd) {
        std::string out;
        char buf[4096];
        pollfd p{fd, POLLIN, 0};
        for (ssize_t n; ::poll(&p, 1, 0) > 0 && (n = ::read(fd, buf, sizeof buf)) > 0;) out.append(buf, size_t(n));
        return out;
    }
    std::string command(const std::string& json) {
        const int fd = startCommand(json);
        queue.runPending();
        const std::string out = reply(fd);
        return ::close(fd), out;
    }
    std::vector<std::string> takeLog() {
        const size_t from = std::exchange(taken, console.size());
        return {console.begin() + long(from), console.end()};
    }
    std::string liveStateText() {
        queue.advance(VemloAgent::kLiveStateDelay);
        return files::readFile(livestate::filePath(home.path())).value_or("");
    }

    ManualMainQueue queue;
    CapturingSystemLog systemLog;
    RecordingUserDefaults userDefaults;
    TempDir home;
    FakeCentral* central = nullptr;
    std::shared_ptr<VemloAgent> agent;
    std::vector<std::string> console;
    size_t taken = 0;
};

}  // namespace vemlo::test
