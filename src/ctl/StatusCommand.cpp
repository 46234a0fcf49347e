#include "ctl/StatusCommand.h"

#include "ctl/AssistantConfigFile.h"
#include "ctl/GeminiPolicySetup.h"
#include "ctl/HookRegistrations.h"
#include "platform/ControlClient.h"
#include "platform/Files.h"
#include "platform/LedState.h"
#include "platform/Paths.h"

#include <algorithm>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>

namespace vemlo::ctl::StatusCommand {
namespace {

// The agent answers a status request within its 1.5 s lever query.
constexpr double kRequestTimeoutSeconds = 5;

std::optional<double> number(const std::optional<Json>& object, const char* key) {
    if (!object || !object->is_object()) return std::nullopt;
    auto it = object->find(key);
    if (it == object->end() || !it->is_number()) return std::nullopt;
    return it->get<double>();
}

std::optional<int64_t> integer(const std::optional<Json>& object, const char* key) {
    if (!object) return std::nullopt;
    return json::integerMember(*object, key);
}

std::string age(double seconds) {
    char buf[64];
    if (seconds < 0) seconds = 0;
    if (seconds < 10)
        std::snprintf(buf, sizeof buf, "%.1f s ago", seconds);
    else if (seconds < 120)
        std::snprintf(buf, sizeof buf, "%.0f s ago", seconds);
    else if (seconds < 7200)
        std::snprintf(buf, sizeof buf, "%.0f min ago", std::floor(seconds / 60));
    else if (seconds < 2 * 86400)
        std::snprintf(buf, sizeof buf, "%.0f h ago", std::floor(seconds / 3600));
    else
        std::snprintf(buf, sizeof buf, "%.0f days ago", std::floor(seconds / 86400));
    return buf;
}

// One request to the agent and its reply object; absent with the reason in `failure`.
std::optional<Json> ask(const std::string& socketPath, const Json& request, control::Failure& failure) {
    auto bytes = control::exchange(socketPath, json::dumpCompact(request) + "\n", kRequestTimeoutSeconds, &failure);
    if (!bytes) return std::nullopt;
    auto object = json::parseObject(*bytes);
    if (!object) failure.reason = "the reply is not a JSON object";
    return object;
}

std::string describeHooks(const HookFacts& h) {
    if (!h.installed) return "not installed";
    if (!h.registered) return "its hook file cannot be read or understood";
    if (*h.registered == 0) return "not registered (run `vemloctl install`)";
    if (*h.registered < h.events)
        return "partly registered (" + std::to_string(*h.registered) + " of " + std::to_string(h.events) +
               " events; run `vemloctl install`)";
    return "registered (" + std::to_string(h.events) + " events)";
}

}  // namespace

std::string describeLed(int64_t state) {
    const std::string n = std::to_string(state);
    if (state < 0 || state > wireValue(LedState::sessionEnded)) return n;
    const char* name = "";
    switch (static_cast<LedState>(state)) {
    case LedState::notification:
        name = "waiting (notification)";
        break;
    case LedState::permissionRequest:
        name = "asking for a permission";
        break;
    case LedState::toolFinished:
        name = "tool finished";
        break;
    case LedState::toolRunning:
        name = "running a tool";
        break;
    case LedState::sessionStarted:
        name = "session started";
        break;
    case LedState::stop:
        name = "turn finished";
        break;
    case LedState::taskCompleted:
        name = "task completed";
        break;
    case LedState::promptSubmitted:
        name = "prompt submitted";
        break;
    case LedState::sessionEnded:
        name = "session ended";
        break;
    }
    return n + " (" + name + ")";
}

std::string describeLever(std::optional<int64_t> lever) {
    if (!lever) return "unknown, so nothing is approved automatically";
    if (*lever == 0) return "0 (automatic: tool requests are approved without asking)";
    return std::to_string(*lever) + " (manual: tool requests go back to you)";
}

Report describe(const Facts& f) {
    Report r;
    const bool running = f.reply.has_value();
    std::vector<std::string> wrong;
    if (running) {
        r.lines.push_back("Agent:      running (control socket " + f.socketPath + ")");
    } else if (f.socketUser) {
        const std::string who = "user id " + std::to_string(*f.socketUser);
        r.lines.push_back("Agent:      not usable: the control socket " + f.socketPath + " belongs to another user (" +
                          who + "); it is not trusted, and the agent cannot listen there");
        wrong.push_back("the control socket belongs to " + who);
    } else {
        r.lines.push_back("Agent:      not running: cannot reach " + f.socketPath + " (" + f.agentError +
                          "); start it with `systemctl --user start vemloconfig-agent.service`");
        wrong.push_back("the agent is not running");
    }

    const std::optional<double> lastStatus = number(f.liveState, "lightModeTs");
    bool linked = false;
    if (!running) {
        r.lines.push_back("Keyboard:   unknown while the agent is not running");
    } else if (!lastStatus) {
        r.lines.push_back("Keyboard:   not linked (no status report from the keyboard yet)");
    } else {
        linked = f.now - *lastStatus <= kLinkedWithinSeconds;
        r.lines.push_back(std::string("Keyboard:   ") + (linked ? "linked" : "not linked") + " (last status report " +
                          age(f.now - *lastStatus) + ")");
    }
    if (running && !linked) wrong.push_back("the keyboard is not linked");
    // The file is the one under this HOME; an agent started with another HOME writes its own.
    if (!f.liveStatePath.empty())
        r.lines.push_back("State file: " + f.liveStatePath + (f.liveState ? "" : " (none here)"));

    std::optional<int64_t> lever = running ? integer(f.reply, "switchState") : std::nullopt;
    r.lines.push_back("Lever:      " +
                      (running ? describeLever(lever) : std::string("unknown while the agent is not running")));
    if (running && !lever) wrong.push_back("the lever position is unknown");
    if (auto light = running ? integer(f.reply, "lightMode") : std::nullopt)
        r.lines.push_back("Light mode: " + std::to_string(*light));

    if (auto led = integer(f.liveState, "stateValue")) {
        std::string when;
        if (auto ts = number(f.liveState, "stateTs")) when = ", set " + age(f.now - *ts);
        r.lines.push_back("Last LED:   " + describeLed(*led) + when);
    } else {
        r.lines.push_back("Last LED:   none sent yet");
    }

    if (!f.installation.empty()) r.lines.push_back("Installed:  " + f.installation);

    if (!f.hooks.empty()) r.lines.push_back("Hooks:");
    for (const HookFacts& h : f.hooks) {
        std::string name = h.assistant;
        name.resize(std::max<size_t>(name.size() + 1, 12), ' ');
        r.lines.push_back("  " + name + describeHooks(h) + (h.installed ? h.note : std::string()));
    }

    r.allWell = wrong.empty();
    if (r.allWell) {
        r.lines.push_back("All is well.");
    } else {
        std::string text = "Not all is well: ";
        for (size_t i = 0; i < wrong.size(); ++i) text += (i ? "; " : "") + wrong[i];
        r.lines.push_back(text + ".");
    }
    return r;
}

int status(const std::string& home, const std::string& socketPath, std::ostream& out, const std::string& installation,
           const std::vector<std::string>& only) {
    Facts f;
    f.installation = installation;
    f.socketPath = socketPath;
    control::Failure failure;
    f.reply = ask(socketPath, Json{{"cmd", "status"}}, failure);
    f.agentError = failure.reason;
    if (failure.otherUser) f.socketUser = *failure.otherUser;
    // Read after the reply: with the keyboard linked, the status request has just refreshed the file.
    f.liveStatePath = paths::liveStateFile(home);
    if (auto bytes = files::readOwnFile(f.liveStatePath)) f.liveState = json::parseObject(*bytes);
    f.now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    for (const Assistant& a : assistants()) {
        if (!only.empty() && std::find(only.begin(), only.end(), a.key) == only.end()) continue;
        HookFacts h;
        h.assistant = a.displayName;
        h.events = static_cast<int>(a.events.size());
        h.installed = files::exists(AssistantConfigFile::folderPath(a, home));
        if (h.installed) h.registered = AssistantConfigFile::registeredEvents(a, home);
        if (h.installed && a.key == "gemini") h.note = GeminiPolicySetup::statusNote(home);
        f.hooks.push_back(h);
    }
    Report r = describe(f);
    for (const std::string& line : r.lines) out << line << "\n";
    return r.allWell ? 0 : 1;
}

std::optional<std::string> simulatedLeverFile(const std::string& socketPath) {
    sockaddr_un addr{};
    if (socketPath.size() >= sizeof addr.sun_path) return std::nullopt;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, socketPath.data(), socketPath.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::nullopt;
    // The agent takes a connection that sends nothing and closes as a client that left.
    struct ucred cred {};
    socklen_t len = sizeof cred;
    const bool known = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
                       control::peerIsSameUser(fd) && ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 &&
                       cred.pid > 0;
    ::close(fd);
    if (!known) return std::nullopt;
    std::ifstream environ("/proc/" + std::to_string(cred.pid) + "/environ", std::ios::binary);
    std::map<std::string, std::string> env;
    for (std::string entry; std::getline(environ, entry, '\0');)
        if (auto eq = entry.find('='); eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
    if (env["VEMLO_BLUETOOTH"] != "sim") return std::nullopt;
    if (!env["VEMLO_SIM_LEVER_FILE"].empty()) return env["VEMLO_SIM_LEVER_FILE"];
    const std::string home = env["HOME"].empty() ? files::homeDirectory() : env["HOME"];
    return paths::simLeverFile(home);
}

int lever(const std::string& socketPath, std::optional<int64_t> value, std::ostream& out, std::ostream& err) {
    control::Failure failure;
    const Json request = {{"cmd", "set_switch_override"}, {"value", value ? Json(*value) : Json(nullptr)}};
    auto reply = ask(socketPath, request, failure);
    if (!reply) {
        err << "vemloctl: cannot reach the agent at " << socketPath << " (" << failure.reason
            << "); see `vemloctl status`\n";
        return 1;
    }
    const std::optional<int64_t> effective = json::integerMember(*reply, "switchState");
    if (value) {
        out << "Software lever set to " << describeLever(value) << ".\n"
            << "This is temporary: the keyboard's next real status report ends it (with the keyboard linked, that "
               "comes within about 1.5 seconds), and so do `vemloctl lever clear` and a restart of the agent.\n";
        if (auto file = simulatedLeverFile(socketPath))
            out << "The agent runs on the simulated keyboard, which reports its own lever within 1.5 s; to move "
                   "that lever, write the position to its file: echo "
                << *value << " > '" << *file << "'\n";
    } else {
        out << "Software lever cleared; the lever is now " << describeLever(effective) << ".\n";
    }
    return 0;
}

}  // namespace vemlo::ctl::StatusCommand
