// vemloconfig-agent: the per-user agent that owns the keyboard link and serves the control socket,
// or, as `vemloconfig-agent hook <EventName>`, one short-lived hook of an AI coding assistant.

#include "Version.h"
#include "agent/VemloAgent.h"
#include "hook/HookClient.h"
#include "leversync/LeverFollow.h"
#include "platform/AsioMainQueue.h"
#include "platform/BluetoothBackend.h"
#include "platform/Files.h"
#include "platform/SocketPath.h"
#include "platform/SystemLog.h"
#include "platform/UserDefaults.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace {

// "[2026-12-04T08:20:29Z] message"
void writeConsoleLine(const std::string& message) {
    std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm utc{};
    gmtime_r(&now, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    // Appended piece by piece: GCC 12 at -O2 reports a bogus -Wrestrict for the operator+ chain
    // once this function is inlined.
    std::string line = "[";
    line.append(stamp).append("] ").append(message).append("\n");
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

constexpr const char* kUsage =
    "Usage: vemloconfig-agent [--socket PATH]\n"
    "       vemloconfig-agent hook <EventName>\n"
    "       vemloconfig-agent --help | --version\n"
    "\n"
    "Without arguments, the agent: it links the Vemlo keyboard and serves the control socket\n"
    "(--socket PATH, default $VEMLO_SOCKET or /tmp/vemlo.sock). With `hook <EventName>`, one hook of\n"
    "an AI coding assistant: the event on standard input, the answer on standard output.\n"
    "See vemloconfig-agent(1).\n";

// The agent's command line. Anything it does not know is refused rather than ignored: a mistyped
// option that started a second agent would take the socket from the one already running.
enum class Invocation { agent, help, version, usageError };

Invocation parseAgentArgs(const std::vector<std::string>& args, std::string& socketPath) {
    if (args.size() == 1) return Invocation::agent;
    if (args.size() == 2 && (args[1] == "--help" || args[1] == "-h")) return Invocation::help;
    if (args.size() == 2 && args[1] == "--version") return Invocation::version;
    if (args.size() == 3 && args[1] == "--socket" && !args[2].empty()) {
        socketPath = args[2];
        return Invocation::agent;
    }
    return Invocation::usageError;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv, argv + argc);

    if (args.size() >= 3 && args[1] == "hook") return vemlo::HookClient::run(args[2]);

    std::string socketPath = vemlo::defaultSocketPath();
    switch (parseAgentArgs(args, socketPath)) {
    case Invocation::agent:
        break;
    case Invocation::help:
        std::fputs(kUsage, stdout);
        return 0;
    case Invocation::version:
        std::printf("vemloconfig-agent %s\n", vemlo::kVersion);
        return 0;
    case Invocation::usageError:
        std::fputs(kUsage, stderr);
        return 2;
    }

    if (const std::string problem = vemlo::bluetoothBackendProblem(); !problem.empty()) {
        std::fputs(problem.c_str(), stderr);
        return 2;
    }

    // A reply to a client that already left must not end the agent.
    std::signal(SIGPIPE, SIG_IGN);

    vemlo::AsioMainQueue queue;
    vemlo::Syslog systemLog;
    vemlo::NoUserDefaults userDefaults;
    vemlo::AgentPlatform platform;
    platform.queue = &queue;
    platform.systemLog = &systemLog;
    platform.userDefaults = &userDefaults;
    platform.homeDirectory = vemlo::files::homeDirectory();
    // Kimi's and Cursor's files follow the lever as soon as it moves. (Codex's approval_policy does
    // not depend on the lever; its hooks decide per call.)
    platform.followLever = [home = platform.homeDirectory](const vemlo::LeverFollower::ReadLever& readLever) {
        vemlo::LeverFollow::syncAll(home, readLever);
    };
    platform.makeCentral = [&queue, &systemLog](vemlo::CentralDelegate& delegate) {
        // The backend's failure lines go where the agent's own messages go.
        return vemlo::makeBluetoothCentral(queue, delegate, [&systemLog](const std::string& line) {
            systemLog.info(line);
            writeConsoleLine(line);
        });
    };

    // First line of every run, in the journal too: which build is running. Before the agent exists,
    // so that no line of the Bluetooth backend can come first.
    const std::string started = std::string("vemloconfig-agent ") + vemlo::kVersion + " 启动";
    systemLog.info(started);
    writeConsoleLine(started);

    static std::shared_ptr<vemlo::VemloAgent> agent = vemlo::VemloAgent::create(socketPath, std::move(platform));
    agent->onLog = writeConsoleLine;
    if (!agent->startSocketListener()) {
        agent.reset();  // while the queue its timers belong to still exists
        return 1;
    }
    queue.run();
    return 0;
}
