#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vemlo::files {

// The user's home directory: $HOME when set and non-empty, else the password database.
std::string homeDirectory();

// Joins path pieces with single slashes.
std::string join(std::string_view a, std::string_view b);

// The whole file, or nothing when it cannot be opened or read.
std::optional<std::string> readFile(const std::string& path);

// Creates a directory and its missing parents. False when it does not exist afterwards.
bool createDirectories(const std::string& path);

bool exists(const std::string& path);

// Replaces the file at `path` with `bytes` in one step: a temporary file in the same folder is
// written and fsynced, then renamed over the target, then the folder is fsynced. A symbolic link
// at `path` is kept and its target is replaced. The replaced file's permission bits are kept; a new
// file gets 0644 less the umask. On any failure the original file is untouched and false returned.
// `durable` false skips both fsyncs: readers still never see a half-written file, but the new
// content may not survive a power cut. For files that are rewritten every second anyway.
bool atomicWrite(const std::string& path, std::string_view bytes, bool durable = true);

// Writes all of `bytes` to a descriptor, retrying short writes and interruptions. False on an error.
bool writeAll(int fd, std::string_view bytes);

// strerror's text for an errno value, "unknown error" for 0.
std::string errorText(int err);

// Appends `bytes` in a single write to a file opened with O_APPEND, creating it if needed.
bool appendToFile(const std::string& path, std::string_view bytes);

}  // namespace vemlo::files
