#include "leversync/LeverSnapshotFile.h"

#include "leversync/SyncLock.h"
#include "platform/Files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace vemlo {
namespace {

std::string describe(int error) { return files::errorText(error); }

// A directory standing where a snapshot or marker belongs is not one of ours.
bool fileAt(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

// Copies `from` to `to` through a temporary file, so that a crash never leaves a half-written
// snapshot that a later restoration would take for the user's file. The copy gets the source's
// permission bits: a private configuration stays private. `exclusive` puts the copy in place only if
// nothing is there yet: a snapshot, once taken, is never replaced, even by a hook that went ahead
// without the lock and copied an already relaxed file. Returns the failure's reason.
std::optional<std::string> copyWhole(const std::string& from, const std::string& to, bool exclusive) {
    struct stat st {};
    if (::stat(from.c_str(), &st) != 0) return describe(errno);
    auto bytes = files::readFile(from);
    if (!bytes) return describe(errno);

    std::string tmp = to + ".tmp.XXXXXX";
    int fd = ::mkstemp(tmp.data());
    if (fd < 0) return describe(errno);
    bool ok = ::fchmod(fd, st.st_mode & 07777) == 0 && files::writeAll(fd, *bytes) && ::fsync(fd) == 0;
    int error = ok ? 0 : errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && exclusive) {
        // Another hook's snapshot already there is fine; a directory in its place is a failure.
        if (::link(tmp.c_str(), to.c_str()) != 0 && !(errno == EEXIST && fileAt(to))) {
            ok = false;
            error = errno;
        }
        ::unlink(tmp.c_str());
        return ok ? std::nullopt : std::optional(describe(error));
    }
    if (ok && ::rename(tmp.c_str(), to.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        ::unlink(tmp.c_str());
        return describe(error);
    }
    return std::nullopt;
}

// Anything at the path, a dangling symbolic link included: such a link is the user's, not ours to
// replace.
bool anythingAt(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

LeverSnapshotFile::LeverSnapshotFile(std::string home, Names names, Messages messages)
    : home_(std::move(home)), names_(std::move(names)), messages_(std::move(messages)) {
    const std::string folder = files::join(home_, names_.folder);
    path_ = files::join(folder, names_.fileName);
    snapshotPath_ = path_ + ".vemlo.lever0.bak";
    markerPath_ = files::join(folder, names_.markerName);
}

bool LeverSnapshotFile::fileExists() const { return anythingAt(path_); }
bool LeverSnapshotFile::snapshotExists() const { return fileAt(snapshotPath_); }
bool LeverSnapshotFile::markerExists() const { return fileAt(markerPath_); }

std::optional<Json> LeverSnapshotFile::readObject() const {
    auto text = files::readFile(path_);
    if (!text) return std::nullopt;
    return json::parseObject(*text);
}

std::vector<std::string> LeverSnapshotFile::stringArray(const Json* value) {
    std::vector<std::string> out;
    if (!value || !value->is_array()) return out;
    for (const auto& element : *value)
        if (element.is_string()) out.push_back(element.get<std::string>());
    return out;
}

void LeverSnapshotFile::reportLine(const std::string& text) const {
    const std::string line = messages_.owner + ": " + text + "\n";
    (void)!::write(STDERR_FILENO, line.data(), line.size());
}

void LeverSnapshotFile::takeSnapshotOnce() const {
    if (snapshotExists() || markerExists()) return;
    if (fileExists()) {
        if (auto error = copyWhole(path_, snapshotPath_, /*exclusive=*/true))
            reportLine("无法备份原 " + messages_.label + ": " + *error);
    } else {
        files::atomicWrite(markerPath_, "");
    }
}

void LeverSnapshotFile::applyRelaxed(const std::function<void(Json&)>& relax) const {
    SyncLock lock(home_, names_.lockName);
    files::createDirectories(files::join(home_, names_.folder));
    takeSnapshotOnce();

    auto object = readObject();
    if (!object && fileExists() && !snapshotExists() && !markerExists()) {
        // Rewriting it now would replace the user's content with our settings and no copy left.
        reportLine("原 " + messages_.label + " 不是可解析的 JSON 对象且没有快照，保持原文件不动: " + path_);
        return;
    }
    Json relaxed = object ? std::move(*object) : Json::object();
    relax(relaxed);
    const std::string text = json::dumpPrettySorted(relaxed);
    if (text.empty() || !files::atomicWrite(path_, text))
        reportLine("无法写回 " + path_ + messages_.writeFailedSuffix);
}

void LeverSnapshotFile::restore() const {
    // The common case of a manual lever with nothing relaxed stays free of any lock or folder.
    if (!snapshotExists() && !markerExists()) return;
    SyncLock lock(home_, names_.lockName);

    if (markerExists()) {
        ::unlink(markerPath_.c_str());
        if (fileExists()) ::unlink(path_.c_str());
        if (snapshotExists()) ::unlink(snapshotPath_.c_str());
        return;
    }
    if (!snapshotExists()) return;  // another hook restored it while we waited for the lock

    const std::string failed = "无法从快照恢复 " + messages_.label + ": ";
    if (fileExists()) {
        // Writing over the file keeps a symbolic link and the file's permission bits.
        auto bytes = files::readFile(snapshotPath_);
        if (!bytes) return reportLine(failed + describe(errno));
        if (!files::atomicWrite(path_, *bytes)) return reportLine(failed + describe(errno));
    } else if (auto error = copyWhole(snapshotPath_, path_, /*exclusive=*/false)) {
        return reportLine(failed + *error);
    }
    if (::unlink(snapshotPath_.c_str()) != 0) reportLine(failed + describe(errno));
}

}  // namespace vemlo
