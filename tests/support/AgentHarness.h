#pragma once

#include "agent/VemloAgent.h"
#include "platform/SystemLog.h"
#include "platform/UserDefaults.h"
#include "support/FakeCentral.h"
#include "support/ManualMainQueue.h"
#include "support/TempDir.h"

#include <string>
#include <vector>

namespace vemlo::test {

struct CapturingSystemLog final : SystemLog {
    void info(std::string_view message) override { lines.emplace_back(message); }
    std::vector<std::string> lines;
};

struct RecordingUserDefaults final : UserDefaults {
    void removeKey(std::string_view key) override { removed.emplace_back(key); }
    std::vector<std::string> removed;
};

// A VemloAgent on virtual time with a scripted central and a temporary home directory.
struct AgentHarness {
    AgentHarness() { restart(); }
    // Builds a new agent (a new central with it) on the same queue, recorders and home.
    void restart();

    // Powers on, lets the agent scan, discovers `keyboard` and walks it to Ready.
    void connect(const std::shared_ptr<FakePeripheral>& keyboard);
    // A status frame from the keyboard on its notify characteristic.
    void sendStatus(const std::shared_ptr<FakePeripheral>& keyboard, uint8_t lever, uint8_t light = 2,
                    uint8_t battery = 90, uint8_t workMode = 1);

    // Runs a command as the socket server would and returns the reply text ("" when none came).
    std::string command(const std::string& json);
    // Starts a command whose reply comes later; read it with `reply(fd)`.
    int startCommand(const std::string& json);
    static std::string reply(int fd);

    // Console lines logged since the last call.
    std::vector<std::string> takeLog();
    // The live state file once the agent's gathered changes are written (moves virtual time on).
    std::string liveStateText();

    ManualMainQueue queue;
    CapturingSystemLog systemLog;
    RecordingUserDefaults userDefaults;
    TempDir home;
    FakeCentral* central = nullptr;
    std::shared_ptr<VemloAgent> agent;
    std::vector<std::string> console;
    size_t taken = 0;
};

std::vector<uint8_t> statusFrame(uint8_t battery, int8_t signal, uint8_t fwMain, uint8_t fwSub, uint8_t workMode,
                                 uint8_t lightMode, uint8_t lever);

}  // namespace vemlo::test
