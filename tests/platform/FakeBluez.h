#pragma once

#include "support/Process.h"

#include <memory>

namespace vemlo::test {

// A private dbus-daemon that stands in for the system bus, listening on "<folder>/system_bus"
// so that it can be stopped and started again at the same address.
class PrivateBus {
public:
    // Where dbus-daemon is installed, or empty.
    static std::string daemonPath();

    explicit PrivateBus(std::string folder);
    // Starts the daemon and waits until it listens.
    bool start();
    void stop() { process_.reset(); }
    // Usable as DBUS_SYSTEM_BUS_ADDRESS, also before the daemon runs.
    const std::string& address() const { return address_; }

private:
    std::string folder_;
    std::string address_;
    std::unique_ptr<BackgroundProcess> process_;
};

// The fake bluetoothd (tests/bluez_peer) as a process on a private bus: commands go to its
// standard input, what it reports is read from its output file.
class FakeBluezPeer {
public:
    FakeBluezPeer(const std::string& folder, const std::string& busAddress, const std::vector<std::string>& args = {});
    ~FakeBluezPeer();

    bool ready() const { return ready_; }
    void send(const std::string& command);
    std::string output() const { return process_->output(); }
    bool waitFor(const std::string& text, size_t times = 1, std::chrono::milliseconds timeout = 20s) const {
        return process_->waitForOutput(text, times, timeout);
    }
    size_t count(const std::string& text) const { return process_->count(text); }
    // Ends it at once, the way a crashing bluetoothd goes.
    void kill();

private:
    int input_ = -1;
    std::unique_ptr<BackgroundProcess> process_;
    bool ready_ = false;
};

}  // namespace vemlo::test
