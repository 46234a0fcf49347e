#pragma once

#include <sys/types.h>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What /proc tells about a process and its ancestors. A hook is started by its assistant, often
// through a shell or two; the assistant's own command line shows the flags it was started with
// (an allow-all or auto-approve mode), which its hook input does not carry.
//
// Every read is bounded: the files are the kernel's, but a command line can be long and a chain of
// parents must end even when /proc answers strangely.
namespace vemlo::process {

struct ProcessInfo {
    pid_t pid = 0;
    pid_t parent = 0;              // 0 for the first process or when unknown
    std::string comm;              // the kernel's short name (at most 15 bytes on Linux)
    std::string exe;               // the executable's path, empty when not readable (another user's)
    std::vector<std::string> argv; // the command line, possibly cut (see kMaxArguments, kMaxCommandLineBytes)
    uint64_t startTime = 0;        // clock ticks after boot; with `pid`, names one process for good
};

inline constexpr size_t kMaxCommandLineBytes = 64 * 1024;
inline constexpr size_t kMaxArguments = 256;
// Parents followed from the start process; real chains are a handful deep.
inline constexpr int kMaxAncestry = 32;

// The process `pid` as read from `procRoot` ("/proc" unless a test lays out its own); nothing when
// it is gone or its stat line cannot be read.
std::optional<ProcessInfo> read(pid_t pid, const std::string& procRoot = "/proc");

// The parsed "stat" line: pid, comm (which may hold spaces and parentheses), parent and start time.
// Nothing for a line that is not one.
std::optional<ProcessInfo> parseStat(std::string_view line);

// Walks from `start` (included) up its parents, at most kMaxAncestry processes, and returns the first
// for which `match` is true. Stops at pid 1 and at a parent that cannot be read.
std::optional<ProcessInfo> nearestAncestor(pid_t start, const std::function<bool(const ProcessInfo&)>& match,
                                           const std::string& procRoot = "/proc");

// The last path component of `path` ("node" for "/usr/bin/node").
std::string_view baseName(std::string_view path);

// Whether the program is `name`: the short name, the executable's base name or argv[0]'s base name
// is `name`, or, for an interpreter (node, python...), argv[1]'s base name is `name` or names a
// folder or file called `name` on its path (".../@github/copilot/index.js", ".../bin/kimi").
bool runsProgram(const ProcessInfo& process, std::string_view name);

// Whether any argument after argv[0] is one of `flags`, alone or as "--flag=value".
bool hasFlag(const ProcessInfo& process, const std::vector<std::string_view>& flags);

}  // namespace vemlo::process
