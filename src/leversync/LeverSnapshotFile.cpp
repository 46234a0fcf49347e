#include "leversync/LeverSnapshotFile.h"

#include "leversync/SyncLock.h"
#include "platform/Files.h"
#include "platform/Paths.h"

#include <unistd.h>
#include <cerrno>
#include <utility>

namespace vemlo {
namespace {

// Creates the snapshot or the marker unless another hook did; true when one of ours is there.
bool createOnce(const std::string& path, std::string_view bytes, std::string& err) {
    switch (files::createExclusive(path, bytes, 0600, &err)) {
    case files::Created::created:
        return true;
    case files::Created::alreadyThere:
        if (files::isOwnRegularFile(path)) return true;
        err = "something else is in the way at " + path;
        return false;
    case files::Created::failed:
        return false;
    }
    return false;
}

}  // namespace

LeverSnapshotFile::LeverSnapshotFile(std::string home, Names names, Messages messages)
    : home_(std::move(home)), names_(std::move(names)), messages_(std::move(messages)) {
    const std::string folder = files::join(home_, names_.folder);
    path_ = files::join(folder, names_.fileName);
    snapshotPath_ = path_ + ".vemlo.lever0.bak";
    markerPath_ = files::join(folder, names_.markerName);
    editsPath_ = path_ + ".vemlo.lever0-edits.bak";
    writtenPath_ = files::join(paths::supportFolder(home_), "lever0-written-" + names_.fileName);
}

// A dangling link counts: it is the user's, not ours to replace.
bool LeverSnapshotFile::fileExists() const { return files::nameTaken(path_); }
bool LeverSnapshotFile::snapshotExists() const { return files::isOwnRegularFile(snapshotPath_); }
bool LeverSnapshotFile::markerExists() const { return files::isOwnRegularFile(markerPath_); }

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

bool LeverSnapshotFile::takeSnapshotOnce() const {
    if (snapshotExists() || markerExists()) return true;
    std::string err;
    if (fileExists()) {
        // Through a link, if the file is one: the snapshot is a real copy of what the user has.
        const std::optional<std::string> bytes = files::readFile(path_, &err);
        if (bytes && createOnce(snapshotPath_, *bytes, err)) return true;
    } else if (createOnce(markerPath_, "", err)) {
        return true;
    }
    reportLine("无法备份原 " + messages_.label + ": " + err);
    return false;
}

void LeverSnapshotFile::applyRelaxed(const std::function<void(Json&)>& relax) const {
    if (home_.empty()) return;  // no home directory, no configuration of the user's to touch
    SyncLock lock(home_, names_.lockName);
    files::createDirectories(files::join(home_, names_.folder));
    if (!takeSnapshotOnce()) {
        // Relaxed without a snapshot or marker, the file would never be restored: the user's own
        // settings would be gone and the relaxed ones would stay for good.
        reportLine("无法留下快照，保持原文件不动: " + path_);
        return;
    }
    // A file that differs from what the last relaxation wrote holds the user's edits: the record of
    // that earlier write stays, so that restoring keeps the edits aside instead of taking them for ours.
    const std::optional<std::string> before = files::readFile(path_);
    const std::optional<std::string> written = files::readOwnFile(writtenPath_);
    const bool editedSince = written && before != written;
    Json relaxed = readObject().value_or(Json::object());
    relax(relaxed);
    const std::string text = json::dumpPrettySorted(relaxed);
    if (text.empty() || !files::atomicWrite(path_, text)) {
        reportLine("无法写回 " + path_ + messages_.writeFailedSuffix);
        return;
    }
    if (!editedSince && paths::createSupportFolder(home_)) {
        files::WriteOptions options;
        options.newFileMode = 0600;
        (void)files::atomicWrite(writtenPath_, text, options);
    }
}

bool LeverSnapshotFile::keepEditsMadeAtLeverZero() const {
    if (!fileExists()) return true;
    std::string err;
    const std::optional<std::string> now = files::readFile(path_, &err);
    if (!now) {
        // Whatever stands there cannot be kept aside, so it is not replaced either.
        reportLine("无法从快照恢复 " + messages_.label + ": " + path_ + ": " + err);
        return false;
    }
    if (files::readOwnFile(writtenPath_) == now) return true;
    for (int n = 1; n <= 99; ++n) {
        const std::string keep = n == 1 ? editsPath_ : editsPath_ + "." + std::to_string(n);
        switch (files::createExclusive(keep, *now, 0600, &err)) {
        case files::Created::created:
            reportLine("拨杆为 0 期间 " + messages_.label + " 的改动已另存为 " + keep);
            return true;
        case files::Created::alreadyThere:
            // The same change kept before (Cursor rewriting the file the same way each time) is kept.
            if (files::isOwnRegularFile(keep) && files::readOwnFile(keep) == now) {
                reportLine("拨杆为 0 期间 " + messages_.label + " 的改动已另存为 " + keep);
                return true;
            }
            continue;
        case files::Created::failed:
            break;
        }
        break;
    }
    reportLine("无法保留拨杆为 0 期间 " + messages_.label + " 的改动，保持原样不恢复: " + path_ +
               (err.empty() ? "" : ": " + err));
    return false;
}

void LeverSnapshotFile::restore() const {
    // The common case of a manual lever with nothing relaxed stays free of any lock or folder.
    if (!snapshotExists() && !markerExists()) return;
    SyncLock lock(home_, names_.lockName);

    if (!snapshotExists() && !markerExists()) return;  // another hook restored it while we waited for the lock
    if (!keepEditsMadeAtLeverZero()) return;

    if (markerExists()) {
        ::unlink(markerPath_.c_str());
        if (fileExists()) ::unlink(path_.c_str());
        if (snapshotExists()) ::unlink(snapshotPath_.c_str());
        ::unlink(writtenPath_.c_str());
        return;
    }

    const std::string failed = "无法从快照恢复 " + messages_.label + ": ";
    std::string err;
    // Writing over the file keeps a symbolic link and the file's permission bits; a file the user
    // removed meanwhile comes back private, as the snapshot was.
    files::WriteOptions options;
    options.newFileMode = 0600;
    const std::optional<std::string> bytes = files::readOwnFile(snapshotPath_, &err);
    if (!bytes || !files::atomicWrite(path_, *bytes, options, &err)) return reportLine(failed + err);
    if (::unlink(snapshotPath_.c_str()) != 0) reportLine(failed + files::errorText(errno));
    ::unlink(writtenPath_.c_str());
}

}  // namespace vemlo
