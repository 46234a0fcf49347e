#pragma once

#include <sys/types.h>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// The one file layer. Every operation that can fail returns false (or nothing) and, when `err` is
// not null, puts there why: strerror's text of the failing call, or a few words of our own. Callers
// never look at errno after these functions.
//
// Two kinds of file pass through here:
// - an assistant's own file (its configuration): a symbolic link at its name is followed, so that
//   the user's link survives our rewrite, and its permission bits are kept;
// - a file of ours (logs, the live state file, snapshots, markers, backups, temporary and lock
//   files): never reached through a link, created with O_CREAT|O_EXCL|O_NOFOLLOW and mode 0600,
//   and used only when fstat after opening shows a regular file owned by the user.
// Relative paths are refused everywhere: an empty home directory must never turn into the working
// directory, which belongs to whatever repository the assistant has open.
namespace vemlo::files {

// $HOME when set and non-empty, else the home field of getuid()'s line in /etc/passwd, read
// directly: the binary is static, and NSS (getpwuid) would load a shared library and crash it.
// Empty when neither gives an absolute path: then no file of the user's may be touched.
std::string homeDirectory();

// The home field of `uid`'s line in the text of a password file; empty when there is no such line
// or its home is not an absolute path.
std::string homeFromPasswd(std::string_view passwd, uid_t uid);

// Joins path pieces with single slashes.
std::string join(std::string_view a, std::string_view b);

// Whether anything but a dangling link is at `path` (stat(2), links followed).
bool exists(const std::string& path);

// Whether anything, a dangling link included, has the name `path` (lstat(2)).
bool nameTaken(const std::string& path);

// Whether `path` itself (not a link's target) is a regular file owned by the user.
bool isOwnRegularFile(const std::string& path);

// No file we read is anywhere near this; the bound keeps a hostile file from eating memory.
inline constexpr size_t kMaxReadBytes = size_t{256} << 20;

// The whole content of a regular file (a link to one is followed), at most kMaxReadBytes. A FIFO
// or device is refused without blocking.
std::optional<std::string> readFile(const std::string& path, std::string* err = nullptr);

// The whole content of a file of ours: not a link, a regular file owned by the user.
std::optional<std::string> readOwnFile(const std::string& path, std::string* err = nullptr);

// Creates a folder and its missing parents (0755 less the umask). True when a folder is there.
bool createDirectories(const std::string& path, std::string* err = nullptr);

// As createDirectories, but what it creates is 0700, and an existing `path` that is the user's
// own folder loses its group and other permission bits.
bool createPrivateDirectories(const std::string& path, std::string* err = nullptr);

// Why a write through the links at `path` is refused, or empty. A link of another user, a link in a
// sticky or world-writable folder, or a link whose target is in such a folder may have been planted
// by someone else; atomicWrite refuses to follow it (for an assistant's file).
std::string linkProblem(const std::string& path);

struct WriteOptions {
    // False skips both fsyncs: readers still never see half a file, but the new content may not
    // survive a power cut. For files rewritten every second anyway.
    bool durable = true;
    // A file of ours: a link at `path` is replaced rather than followed, and the file is 0600.
    bool ownFile = false;
    // The permission bits of an assistant's file that did not exist yet, less the umask.
    mode_t newFileMode = 0644;
};

// Replaces the file at `path` with `bytes` in one step: a temporary file beside the target is
// written (and fsynced), renamed over the target, then the folder is fsynced. For an assistant's
// file a link at `path` is kept and its target replaced (unless linkProblem refuses the link), the replaced file's permission bits are
// kept, and a new file gets `newFileMode` less the umask. On failure the original file is untouched.
// The temporary file is "<target>.vemlo-tmp.<pid>.<12 random letters>", flocked by its writer
// until it is renamed. A writer killed midway leaves it; the next write of the same target removes
// every such file that nobody holds locked (and nothing of any other name), so at most one
// temporary file per target ever remains.
bool atomicWrite(const std::string& path, std::string_view bytes, std::string* err = nullptr);
bool atomicWrite(const std::string& path, std::string_view bytes, const WriteOptions& options,
                 std::string* err = nullptr);

enum class Created {
    created,       // `bytes` are at `path` now, whole
    alreadyThere,  // something (anything, a dangling link included) already had the name; untouched
    failed,        // nothing was created; `err` says why
};

// Creates `path` holding `bytes`, whole or not at all, and never replaces anything: the bytes go to a
// temporary file beside it which is then linked into place (link(2) fails when the name is taken).
// So a crash never leaves a half-written file that later runs take for complete. `mode` is the new
// file's permission bits. A writer killed midway leaves at most its temporary file, removed as by
// atomicWrite.
Created createExclusive(const std::string& path, std::string_view bytes, mode_t mode, std::string* err = nullptr);

// Appends `bytes` with a single write at the end of a file of ours, so concurrent appenders never
// interleave within one call. Opens with O_APPEND|O_NOFOLLOW|O_NONBLOCK: a link is not followed and a
// FIFO never blocks; anything but a regular file of the user's is refused. An existing file is
// tightened to 0600; a missing one is created whole, 0600, with createExclusive.
bool appendToFile(const std::string& path, std::string_view bytes, std::string* err = nullptr);

// Opens a file of ours for reading and writing, creating it empty (0600) when missing; for lock
// files. The descriptor (close-on-exec), or -1.
int openOwnFile(const std::string& path, std::string* err = nullptr);

// Writes all of `bytes` to a descriptor, retrying short writes and interruptions. False on an error.
bool writeAll(int fd, std::string_view bytes);

// strerror's text for an errno value, "unknown error" for 0. For callers' own system calls.
std::string errorText(int err);

}  // namespace vemlo::files
