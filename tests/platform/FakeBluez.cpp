#include "platform/FakeBluez.h"

#include "platform/Files.h"

#include <fcntl.h>
#include <unistd.h>
#include <atomic>

namespace vemlo::test {

std::string PrivateBus::daemonPath() {
    for (std::string dir : {"/usr/bin/", "/bin/", "/usr/local/bin/"})
        if (::access((dir + "dbus-daemon").c_str(), X_OK) == 0) return dir + "dbus-daemon";
    return "";
}

PrivateBus::PrivateBus(std::string folder)
    : folder_(std::move(folder)), address_("unix:path=" + folder_ + "/system_bus") {}

bool PrivateBus::start() {
    const std::string daemon = daemonPath();
    if (daemon.empty()) return false;
    const std::string config = folder_ + "/bus.conf";
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

FakeBluezPeer::FakeBluezPeer(const std::string& folder, const std::string& busAddress,
                             const std::vector<std::string>& args) {
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

FakeBluezPeer::~FakeBluezPeer() {
    if (input_ >= 0) ::close(input_);
    // With its input closed it ends by itself; a stuck one is ended.
    if (process_ && !process_->waitExit(5s)) process_->stop(SIGKILL);
}

void FakeBluezPeer::send(const std::string& command) {
    const std::string line = command + "\n";
    if (input_ >= 0) [[maybe_unused]]
        ssize_t n = ::write(input_, line.data(), line.size());
}

void FakeBluezPeer::kill() {
    if (process_) process_->stop(SIGKILL);
    if (input_ >= 0) ::close(input_);
    input_ = -1;
}

}  // namespace vemlo::test
