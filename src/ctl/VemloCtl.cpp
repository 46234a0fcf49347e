#include "ctl/VemloCtl.h"

#include "Version.h"
#include "ctl/HookRegistrations.h"
#include "ctl/InstallCommand.h"
#include "ctl/Installation.h"
#include "ctl/StatusCommand.h"
#include "platform/Files.h"
#include "platform/SocketPath.h"

#include <unistd.h>
#include <algorithm>
#include <climits>
#include <cstdint>
#include <optional>

namespace vemlo::ctl {
namespace {

constexpr const char* kMainHelp = R"(Usage: vemloctl <command> [options]

Sets up and watches vemloconfig-agent, which couples the Vemlo keyboard's lever and LED with
Claude Code, Codex, Cursor, the Kimi CLI and the Copilot CLI.

Commands:
  install     install the agent as a systemd user service and register the assistants' hooks
  uninstall   take out exactly what install added
  status      whether the agent runs, the keyboard is linked, the lever position and the last LED state
  lever       set or clear the temporary software lever
  help        this text, or `vemloctl help <command>` for one command

Options:
  --help      this text
  --version   the version of vemloctl

Run `vemloctl <command> --help` for the options of a command.
)";

constexpr const char* kInstallHelp = R"(Usage: vemloctl install [--only LIST] [--dry-run] [--bin-dir DIR] [--agent FILE]

Copies vemloconfig-agent to DIR (default ~/.local/bin), installs the systemd user unit
vemloconfig-agent.service and starts it, and registers the agent's hooks with every assistant
that is installed (its configuration folder exists). When the vemloconfig package is installed
(/usr/bin/vemloconfig-agent and /usr/lib/systemd/user/vemloconfig-agent.service) and neither
--bin-dir nor --agent is given, nothing is copied and no unit is written: the package's unit is
enabled for you and the hooks run /usr/bin/vemloconfig-agent.

  claude   ~/.claude/settings.json
  codex    ~/.codex/hooks.json
  cursor   ~/.cursor/hooks.json
  kimi     ~/.kimi/config.toml
  copilot  ~/.copilot/hooks/vemloconfig-agent.json (a file of its own)
  gemini   ~/.gemini/settings.json, and the policy ~/.gemini/policies/vemloconfig.toml (0600)

Every other setting and every hook of your own stays as it is. Each file is backed up once, to
<file>.vemloctl.bak, before its first change. Running install again changes nothing unless
something is missing or out of date. A file that cannot be understood (for example one that is
not valid JSON) is reported and left exactly as it was.

Options:
  --only LIST    only these assistants, comma-separated (claude,codex,cursor,kimi,copilot,gemini)
  --dry-run      print what would change and change nothing
  --bin-dir DIR  where the agent goes (default ~/.local/bin)
  --agent FILE   the vemloconfig-agent to install (default: the one next to vemloctl)
)";

constexpr const char* kUninstallHelp = R"(Usage: vemloctl uninstall [--only LIST] [--dry-run] [--bin-dir DIR]

Removes the hooks that install registered (recognised by their command,
`.../vemloconfig-agent hook <Event>`), and nothing else; stops and disables the systemd user
unit and removes it and the installed agent. With the package, the package's unit is only
stopped and disabled; its files are the package manager's to remove. A file that install created only for our hooks is
removed; a backup that matches the restored file is removed, any other backup is kept.

Options:
  --only LIST    only these assistants' hooks (claude,codex,cursor,kimi,copilot,gemini); the service stays
  --dry-run      print what would change and change nothing
  --bin-dir DIR  where install put the agent (default ~/.local/bin)
)";

constexpr const char* kStatusHelp = R"(Usage: vemloctl status [--only LIST]

Asks the agent over its control socket ($VEMLO_SOCKET, default /tmp/vemlo.sock) and reads
~/Library/Application Support/VemloConfig/current-ide-state.json, then says whether the agent
runs, whether the keyboard is linked, where the lever stands, the last LED state, which
installation it found (package, user copy or none) and which assistants have the hooks
registered (with --only LIST, comma-separated, just those assistants; for Gemini CLI also
whether its policy file is in place).

Exit status: 0 when the agent runs, the keyboard is linked and the lever position is known;
1 otherwise.
)";

constexpr const char* kLeverHelp = R"(Usage: vemloctl lever <0-255|clear>

Sets the agent's temporary software lever: 0 approves tool requests automatically, any other
position hands them back to you. It is temporary: the keyboard's next real status report ends
it (with the keyboard linked, within about 1.5 seconds), and so do `vemloctl lever clear` and a
restart of the agent. Useful without a keyboard, or to try the assistants' behaviour.
)";

int usageError(std::ostream& err, const std::string& command, const std::string& what) {
    err << "vemloctl" << (command.empty() ? "" : " " + command) << ": " << what << "\nRun `vemloctl"
        << (command.empty() ? "" : " " + command) << " --help` for help.\n";
    return 2;
}

std::string absolute(const std::string& path) {
    if (path.empty() || path.front() == '/') return path;
    char buf[PATH_MAX];
    return ::getcwd(buf, sizeof buf) ? files::join(buf, path) : path;
}

std::string dirName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::optional<std::vector<std::string>> parseOnly(const std::string& list, std::string& bad) {
    std::vector<std::string> keys;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = std::min(list.find(',', start), list.size());
        std::string key = list.substr(start, end - start);
        const auto& all = assistants();
        if (std::none_of(all.begin(), all.end(), [&](const Assistant& a) { return a.key == key; })) {
            bad = key;
            return std::nullopt;
        }
        keys.push_back(key);
        start = end + 1;
    }
    return keys;
}

int installOrUninstall(const std::string& command, const std::vector<std::string>& args, const std::string& selfPath,
                       const std::string& root, std::ostream& out, std::ostream& err) {
    const bool installing = command == "install";
    InstallCommand::Options o;
    o.home = files::homeDirectory();
    if (o.home.empty()) {
        err << "vemloctl: no home directory ($HOME is unset and the password file names none for this user)\n";
        return 1;
    }
    o.binDir = files::join(o.home, ".local/bin");
    o.agentSource = files::join(dirName(selfPath), kAgentFileName);
    bool placeGiven = false;  // --bin-dir or --agent: the user asks for a copy of their own
    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        std::optional<std::string> inlineValue;
        if (auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            inlineValue = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
        }
        auto value = [&]() -> std::optional<std::string> {
            if (inlineValue) return inlineValue;
            if (i + 1 < args.size()) return args[++i];
            return std::nullopt;
        };
        if (arg == "--dry-run" && !inlineValue) {
            o.dryRun = true;
        } else if (arg == "--only" || arg == "--bin-dir" || (arg == "--agent" && installing)) {
            auto v = value();
            if (!v || v->empty()) return usageError(err, command, arg + " needs a value");
            if (arg == "--only") {
                std::string bad;
                auto keys = parseOnly(*v, bad);
                if (!keys)
                    return usageError(
                        err, command,
                        "unknown assistant \"" + bad + "\" (known: claude, codex, cursor, kimi, copilot, gemini)");
                o.only = *keys;
            } else {
                (arg == "--bin-dir" ? o.binDir : o.agentSource) = absolute(*v);
                placeGiven = true;
            }
        } else {
            return usageError(err, command, "unknown option " + args[i]);
        }
    }
    if (!placeGiven && Installation::fromPackage(root)) o.packageRoot = root;
    return installing ? InstallCommand::install(o, out, err) : InstallCommand::uninstall(o, out, err);
}

std::optional<int64_t> parseLever(const std::string& text) {
    if (text.empty() || text.size() > 3 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    int64_t v = std::stoll(text);
    return v <= 255 ? std::optional<int64_t>(v) : std::nullopt;
}

}  // namespace

int runVemloCtl(const std::vector<std::string>& args, const std::string& selfPath, std::ostream& out, std::ostream& err,
                const std::string& root) {
    if (args.empty()) {
        err << kMainHelp;
        return 2;
    }
    std::string command = args[0];
    std::vector<std::string> rest(args.begin() + 1, args.end());
    if (command == "help") {
        if (rest.empty()) {
            out << kMainHelp;
            return 0;
        }
        command = rest[0];
        rest = {"--help"};
    }
    const bool help =
        std::any_of(rest.begin(), rest.end(), [](const std::string& a) { return a == "--help" || a == "-h"; });
    if (command == "--help" || command == "-h") {
        out << kMainHelp;
        return 0;
    }
    if (command == "--version" && rest.empty()) {
        out << "vemloctl " << kVersion << "\n";
        return 0;
    }
    if (command == "install" || command == "uninstall") {
        if (help) {
            out << (command == "install" ? kInstallHelp : kUninstallHelp);
            return 0;
        }
        return installOrUninstall(command, rest, selfPath, root, out, err);
    }
    if (command == "status") {
        if (help) {
            out << kStatusHelp;
            return 0;
        }
        std::vector<std::string> only;
        for (size_t i = 0; i < rest.size(); ++i) {
            std::optional<std::string> list;
            if (rest[i].rfind("--only=", 0) == 0) list = rest[i].substr(7);
            else if (rest[i] == "--only" && i + 1 < rest.size()) list = rest[++i];
            if (!list || list->empty()) return usageError(err, command, "takes only --only LIST");
            std::string bad;
            auto keys = parseOnly(*list, bad);
            if (!keys)
                return usageError(err, command,
                                  "unknown assistant \"" + bad + "\" (known: claude, codex, cursor, kimi, copilot, gemini)");
            only = *keys;
        }
        const std::string home = files::homeDirectory();
        const auto found = Installation::find(root, home, files::join(home, ".local/bin"));
        return StatusCommand::status(home, defaultSocketPath(), out, Installation::describe(found), only);
    }
    if (command == "lever") {
        if (help) {
            out << kLeverHelp;
            return 0;
        }
        if (rest.size() != 1) return usageError(err, command, "needs one position, 0 to 255, or clear");
        std::optional<int64_t> value;
        if (rest[0] != "clear") {
            value = parseLever(rest[0]);
            if (!value) return usageError(err, command, "the position must be a whole number from 0 to 255, or clear");
        }
        return StatusCommand::lever(defaultSocketPath(), value, out, err);
    }
    return usageError(err, "", "unknown command \"" + command + "\"");
}

}  // namespace vemlo::ctl
