#include "platform/FakeBluez.h"

#include "platform/Files.h"
#include "support/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <atomic>
#include <csignal>
#include <cstdlib>

namespace vemlo::test {
namespace {

void endProcess(int& pid, int signal) {
    if (pid <= 0) return;
    ::kill(pid, signal);
    int status = 0;
    ::waitpid(pid, &status, 0);
    pid = -1;
}

}  // namespace

std::string PrivateBus::daemonPath() {
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
    path += ":/usr/bin:/bin";
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        std::string candidate = path.substr(start, end - start) + "/dbus-daemon";
        if (end > start && ::access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return "";
}

PrivateBus::PrivateBus(std::string folder)
    : folder_(std::move(folder)), address_("unix:path=" + folder_ + "/system_bus") {}

PrivateBus::~PrivateBus() { stop(); }

bool PrivateBus::start() {
    const std::string daemon = daemonPath();
    if (daemon.empty()) return false;
    const std::string config = folder_ + "/bus.conf";
    files::atomicWrite(config,
                       "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                       " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                       "<busconfig>\n"
                       "  <listen>" +
                           address_ +
                           "</listen>\n"
                           "  <auth>EXTERNAL</auth>\n"
                           "  <policy context=\"default\">\n"
                           "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                           "    <allow eavesdrop=\"true\"/>\n"
                           "    <allow own=\"*\"/>\n"
                           "  </policy>\n"
                           "</busconfig>\n");
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    // Its complaints (an fd limit it may not raise, say) are kept beside the test's files.
    const std::string errors = folder_ + "/bus.err";
    posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    pid_ =
        spawnProcess({daemon, "--config-file=" + config, "--nofork", "--nopidfile", "--print-address=1"}, {}, &actions);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    // The daemon prints its address once it listens.
    std::string printed;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (pid_ > 0 && printed.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char buf[512];
        ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        printed.append(buf, static_cast<size_t>(n));
    }
    ::close(out[0]);
    if (printed.find('\n') == std::string::npos) {
        stop();
        return false;
    }
    return true;
}

void PrivateBus::stop() { endProcess(pid_, SIGTERM); }

FakeBluezPeer::FakeBluezPeer(const std::string& folder, const std::string& busAddress,
                             const std::vector<std::string>& args) {
    static std::atomic<int> serial{0};
    outputPath_ = folder + "/peer-" + std::to_string(++serial) + ".out";
    int in[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_addopen(&actions, 1, outputPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> argv{VEMLO_FAKE_BLUEZ_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_ = spawnProcess(argv, {{"DBUS_SYSTEM_BUS_ADDRESS", busAddress}}, &actions);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    input_ = in[1];
    ready_ = pid_ > 0 && waitFor("ready");
}

FakeBluezPeer::~FakeBluezPeer() {
    if (input_ >= 0) ::close(input_);
    // With its input closed it ends by itself; a stuck one is ended.
    if (pid_ > 0 && !test::waitFor(
                        [this] {
                            int status = 0;
                            return ::waitpid(pid_, &status, WNOHANG) == pid_;
                        },
                        5s))
        endProcess(pid_, SIGKILL);
}

void FakeBluezPeer::send(const std::string& command) {
    if (input_ < 0) return;
    const std::string line = command + "\n";
    [[maybe_unused]] ssize_t n = ::write(input_, line.data(), line.size());
}

std::string FakeBluezPeer::output() const { return files::readFile(outputPath_).value_or(""); }

bool FakeBluezPeer::waitFor(const std::string& text, size_t times, std::chrono::milliseconds timeout) const {
    return test::waitFor([&] { return count(text) >= times; }, timeout);
}

size_t FakeBluezPeer::count(const std::string& text) const { return occurrences(output(), text); }

void FakeBluezPeer::kill() {
    endProcess(pid_, SIGKILL);
    if (input_ >= 0) ::close(input_);
    input_ = -1;
}

}  // namespace vemlo::test
