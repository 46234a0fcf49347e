#include "platform/ProcessInfo.h"

#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <charconv>

namespace vemlo::process {
namespace {

// At most `limit` bytes of a /proc file. These files are generated on read and report no size, so
// they are read in pieces; O_NONBLOCK keeps a FIFO laid out by a test (or anything odd) from hanging.
std::optional<std::string> readBounded(const std::string& path, size_t limit) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    std::string data;
    char buffer[4096];
    while (data.size() < limit) {
        const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, limit - data.size()));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        data.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return data;
}

template <typename T>
std::optional<T> number(std::string_view text) {
    T value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

bool isInterpreter(std::string_view program) {
    static constexpr std::string_view kInterpreters[] = {"node", "nodejs", "bun", "deno", "python", "python3"};
    if (program.starts_with("python3.")) return true;
    return std::find(std::begin(kInterpreters), std::end(kInterpreters), program) != std::end(kInterpreters);
}

bool pathHasComponent(std::string_view path, std::string_view name) {
    while (!path.empty()) {
        const size_t slash = path.find('/');
        const std::string_view part = path.substr(0, slash);
        if (part == name) return true;
        if (slash == std::string_view::npos) break;
        path.remove_prefix(slash + 1);
    }
    return false;
}

}  // namespace

std::optional<ProcessInfo> parseStat(std::string_view line) {
    // "pid (comm) state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime stime
    // cutime cstime priority nice threads itrealvalue starttime ...": comm is whatever the process
    // named itself, so it ends at the last ')'.
    const size_t open = line.find(" (");
    const size_t close = line.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open) return std::nullopt;
    ProcessInfo info;
    const auto pid = number<pid_t>(line.substr(0, open));
    if (!pid || *pid <= 0) return std::nullopt;
    info.pid = *pid;
    info.comm = std::string(line.substr(open + 2, close - open - 2));
    std::string_view rest = line.substr(close + 1);
    std::vector<std::string_view> fields;  // fields[0] is the state, field 3 of the line
    while (!rest.empty() && fields.size() < 20) {
        while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
        const size_t end = std::min(rest.find(' '), rest.size());
        if (end == 0) break;
        fields.push_back(rest.substr(0, end));
        rest.remove_prefix(end);
    }
    if (fields.size() < 20) return std::nullopt;
    const auto parent = number<pid_t>(fields[1]);
    const auto start = number<uint64_t>(fields[19]);
    if (!parent || *parent < 0 || !start) return std::nullopt;
    info.parent = *parent;
    info.startTime = *start;
    return info;
}

std::optional<ProcessInfo> read(pid_t pid, const std::string& procRoot) {
    if (pid <= 0) return std::nullopt;
    const std::string dir = procRoot + "/" + std::to_string(pid);
    const auto stat = readBounded(dir + "/stat", 4096);
    if (!stat) return std::nullopt;
    auto info = parseStat(*stat);
    if (!info || info->pid != pid) return std::nullopt;
    if (auto cmdline = readBounded(dir + "/cmdline", kMaxCommandLineBytes)) {
        std::string_view rest = *cmdline;
        while (!rest.empty() && info->argv.size() < kMaxArguments) {
            const size_t end = std::min(rest.find('\0'), rest.size());
            info->argv.emplace_back(rest.substr(0, end));
            rest.remove_prefix(std::min(end + 1, rest.size()));
        }
    }
    char target[4096];
    const ssize_t n = ::readlink((dir + "/exe").c_str(), target, sizeof target);
    if (n > 0 && static_cast<size_t>(n) < sizeof target) info->exe.assign(target, static_cast<size_t>(n));
    return info;
}

std::optional<ProcessInfo> nearestAncestor(pid_t start, const std::function<bool(const ProcessInfo&)>& match,
                                           const std::string& procRoot) {
    pid_t pid = start;
    for (int depth = 0; depth < kMaxAncestry && pid > 0; ++depth) {
        auto info = read(pid, procRoot);
        if (!info) return std::nullopt;
        if (match(*info)) return info;
        if (info->pid == 1 || info->parent == info->pid) return std::nullopt;
        pid = info->parent;
    }
    return std::nullopt;
}

std::string_view baseName(std::string_view path) {
    const size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool runsProgram(const ProcessInfo& process, std::string_view name) {
    const std::string_view argv0 = process.argv.empty() ? std::string_view() : baseName(process.argv[0]);
    if (process.comm == name || baseName(process.exe) == name || argv0 == name) return true;
    if (!isInterpreter(argv0) && !isInterpreter(process.comm) && !isInterpreter(baseName(process.exe))) return false;
    // The script is the first argument that is not an option of the interpreter.
    for (size_t i = 1; i < process.argv.size(); ++i) {
        const std::string& argument = process.argv[i];
        // Code on the command line names no script.
        if (argument == "-c" || argument == "-e" || argument == "--eval" || argument == "-p" || argument == "--print")
            return false;
        if (argument.starts_with('-')) continue;
        return pathHasComponent(argument, name);
    }
    return false;
}

bool hasFlag(const ProcessInfo& process, const std::vector<std::string_view>& flags) {
    for (size_t i = 1; i < process.argv.size(); ++i) {
        std::string_view argument = process.argv[i];
        // Everything after "--" is an operand (a prompt, say), not an option.
        if (argument == "--") return false;
        argument = argument.substr(0, argument.find('='));
        if (std::find(flags.begin(), flags.end(), argument) != flags.end()) return true;
    }
    return false;
}

}  // namespace vemlo::process
