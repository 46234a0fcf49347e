#include "support/AgentHarness.h"

#include "agent/LiveStateFile.h"
#include "platform/Files.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vemlo::test {

void AgentHarness::restart() {
    agent.reset();
    AgentPlatform platform{&queue, &systemLog, &userDefaults, nullptr, home.path()};
    platform.makeCentral = [this](CentralDelegate& delegate) {
        auto fake = std::make_unique<FakeCentral>(delegate);
        central = fake.get();
        return fake;
    };
    agent = VemloAgent::create("/nonexistent/agent.sock", std::move(platform));
    agent->onLog = [this](const std::string& line) { console.push_back(line); };
}

void AgentHarness::connect(const std::shared_ptr<FakePeripheral>& keyboard) {
    central->setState(CentralState::poweredOn);
    central->discover(keyboard);
    central->completeConnect(keyboard);
    keyboard->deliverServices();
    keyboard->deliverCharacteristics();
    queue.runPending();
}

std::vector<uint8_t> statusFrame(uint8_t battery, int8_t signal, uint8_t fwMain, uint8_t fwSub, uint8_t workMode,
                                 uint8_t lightMode, uint8_t lever) {
    return {0xAA,      0xBB,  0x00, battery, static_cast<uint8_t>(signal), fwMain, fwSub, workMode,
            lightMode, lever, 0xCC, 0xDD};
}

void AgentHarness::sendStatus(const std::shared_ptr<FakePeripheral>& keyboard, uint8_t lever, uint8_t light,
                              uint8_t battery, uint8_t workMode) {
    keyboard->deliverValue(bluetoothUuid(0x7344), statusFrame(battery, -60, 1, 2, workMode, light, lever));
}

int AgentHarness::startCommand(const std::string& text) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return -1;
    auto object = json::parseObject(text);
    agent->handleJsonCommand(object->at("cmd").get<std::string>(), *object, fds[0]);
    return fds[1];
}

// The agent closes its end after the reply; a reply not there yet means none has been written.
std::string AgentHarness::reply(int fd) {
    std::string out;
    char buf[4096];
    pollfd p{fd, POLLIN, 0};
    for (ssize_t n; ::poll(&p, 1, 0) > 0 && (n = ::read(fd, buf, sizeof buf)) > 0;) out.append(buf, size_t(n));
    return out;
}

std::string AgentHarness::command(const std::string& text) {
    int fd = startCommand(text);
    queue.runPending();
    std::string out = reply(fd);
    ::close(fd);
    return out;
}

std::vector<std::string> AgentHarness::takeLog() {
    std::vector<std::string> out(console.begin() + static_cast<long>(taken), console.end());
    taken = console.size();
    return out;
}

std::string AgentHarness::liveStateText() {
    queue.advance(VemloAgent::kLiveStateDelay);
    return files::readFile(livestate::filePath(home.path())).value_or("");
}

}  // namespace vemlo::test
