#pragma once

#include "support/Process.h"

#include <atomic>
#include <memory>

namespace vemlo::test {

// A private dbus-daemon that stands in for the system bus, listening on "<folder>/system_bus"
// so that it can be stopped and started again at the same address.
class PrivateBus {
public:
    static std::string daemonPath() {
        for (std::string dir : {"/usr/bin/", "/bin/", "/usr/local/bin/"})
            if (::access((dir + "dbus-daemon").c_str(), X_OK) == 0) return dir + "dbus-daemon";
        return "";
    }

    explicit PrivateBus(std::string folder)
        : folder_(std::move(folder)), address_("unix:path=" + folder_ + "/system_bus") {}
    bool start() {
        const std::string daemon = daemonPath(), config = folder_ + "/bus.conf";
        if (daemon.empty()) return false;
        files::atomicWrite(config,
                           "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                           "<busconfig><listen>" +
                               address_ +
                               "</listen><auth>EXTERNAL</auth>\n"
                               "  <policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                               "    <allow eavesdrop=\"true\"/><allow own=\"*\"/></policy>\n"
                               "</busconfig>\n");
        // It prints its address once it listens; its complaints (an fd limit it may not raise, say) are kept.
        process_ = std::make_unique<BackgroundProcess>(
            std::vector<std::string>{daemon, "--config-file=" + config, "--nofork", "--nopidfile", "--print-address=1"},
            Env{}, folder_ + "/bus.out", -1, folder_ + "/bus.err");
        if (process_->waitForOutput("\n")) return true;
        stop();
        return false;
    }
    void stop() { process_.reset(); }
    const std::string& address() const { return address_; }

private:
    std::string folder_, address_;
    std::unique_ptr<BackgroundProcess> process_;
};

// The fake bluetoothd (tests/bluez_peer) as a process on a private bus: commands go to its
// standard input, what it reports is read from its output file.
class FakeBluezPeer {
public:
    FakeBluezPeer(const std::string& folder, const std::string& busAddress, const std::vector<std::string>& args = {}) {
        static std::atomic<int> serial{0};
        int in[2];
        if (::pipe2(in, O_CLOEXEC) != 0) return;
        std::vector<std::string> argv{VEMLO_FAKE_BLUEZ_BINARY};
        argv.insert(argv.end(), args.begin(), args.end());
        process_ = std::make_unique<BackgroundProcess>(argv, Env{{"DBUS_SYSTEM_BUS_ADDRESS", busAddress}},
                                                       folder + "/peer-" + std::to_string(++serial) + ".out", in[0]);
        ::close(in[0]);
        input_ = in[1];
        ready_ = waitFor("ready");
    }
    ~FakeBluezPeer() {
        if (input_ >= 0) ::close(input_);
        if (process_ && !process_->waitExit(5s)) process_->stop(SIGKILL);
    }

    bool ready() const { return ready_; }
    void send(const std::string& command) {
        const std::string line = command + "\n";
        if (input_ >= 0) [[maybe_unused]]
            ssize_t n = ::write(input_, line.data(), line.size());
    }
    std::string output() const { return process_->output(); }
    bool waitFor(const std::string& text, size_t times = 1, std::chrono::milliseconds timeout = 20s) const {
        return process_->waitForOutput(text, times, timeout);
    }
    size_t count(const std::string& text) const { return process_->count(text); }
    // Ends it at once, the way a crashing bluetoothd goes.
    void kill() {
        if (process_) process_->stop(SIGKILL);
        if (input_ >= 0) ::close(input_);
        input_ = -1;
    }

private:
    int input_ = -1;
    std::unique_ptr<BackgroundProcess> process_;
    bool ready_ = false;
};

}  // namespace vemlo::test
