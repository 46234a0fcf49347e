#pragma once

#include "ctl/HookRegistrations.h"

#include <optional>
#include <string>

namespace vemlo::ctl {

// A change to one assistant's hook file, worked out before anything is written, so that a dry
// run can print it and a file that cannot be edited is left exactly as it was.
struct FileChange {
    enum class Action { none, write, remove };
    std::string path;
    bool existed = false;
    std::string before;  // the file's bytes when it was read
    std::string after;   // the bytes to write, for Action::write
    Action action = Action::none;
    std::string error;  // non-empty: why the file is left alone
    int added = 0;
    int removed = 0;
    bool wholeFileIsOurs = false;  // written whole, never through a link; a missing folder is created
    bool keepBefore = false;       // our own file's name holds something else: kept as the backup first
};

namespace AssistantConfigFile {

// The assistant's configuration folder; when it does not exist the assistant is not installed.
std::string folderPath(const Assistant& assistant, const std::string& home);
std::string filePath(const Assistant& assistant, const std::string& home);

// Where a file's content from before our first change is kept. Written once, never overwritten.
std::string backupPath(const std::string& path);

// Our hooks added to the file (which is created when missing), or brought up to date.
FileChange planInstall(const Assistant& assistant, const std::string& home, const std::string& agentPath);

// Our hooks taken out again. A file that install created (it has no backup) and that holds
// nothing else afterwards is removed.
FileChange planUninstall(const Assistant& assistant, const std::string& home);

// How many of the assistant's events carry a hook of ours; absent when the file cannot be read
// or understood. A missing file has none.
std::optional<int> registeredEvents(const Assistant& assistant, const std::string& home);

// Carries out a planned change: keeps a backup of a file that existed before its first change,
// then replaces the file in one step (or removes it). Returns why it failed, or nothing.
std::string apply(const FileChange& change);

}  // namespace AssistantConfigFile
}  // namespace vemlo::ctl
