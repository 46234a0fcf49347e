#pragma once

#include "platform/Json.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vemlo {

// A JSON configuration file of an assistant that the lever relaxes and later puts back exactly as
// the user had it. Before the first relaxation the user's file is copied aside once (the snapshot,
// 0600); when there was no file, an empty marker records that instead. The presence of one of the
// two, never the file's content, is what "relaxed" means: further relaxations only re-merge the
// settings, and a restoration brings back the snapshot's bytes or removes the file again. So a
// file is relaxed only once its snapshot or marker is in place, and only a regular file of the
// user's counts as either: a link or a folder at their names is never read, never replaced.
//
// Relaxation and restoration hold a lock of our own (SyncLock), because concurrent hooks would
// otherwise race between testing for the snapshot and taking it, and a second hook could snapshot
// a file the first had already relaxed, losing the user's configuration for good.
class LeverSnapshotFile {
public:
    struct Names {
        std::string folder;      // relative to the home directory, e.g. ".cursor"
        std::string fileName;    // e.g. "cli-config.json"; the snapshot is this + ".vemlo.lever0.bak"
        std::string markerName;  // e.g. ".vemlo_had_no_cli_config"
        std::string lockName;    // lock file under our own support folder
    };
    // Lines on standard error read "<owner>: <what failed> <label>: <reason>", e.g.
    // "CursorCliLeverSync: 无法备份原 cli-config: ...".
    struct Messages {
        std::string owner;              // e.g. "CursorCliLeverSync"
        std::string label;              // e.g. "cli-config"
        std::string writeFailedSuffix;  // appended after the path when the rewrite fails
    };

    LeverSnapshotFile(std::string home, Names names, Messages messages);

    const std::string& path() const { return path_; }
    const std::string& snapshotPath() const { return snapshotPath_; }
    const std::string& markerPath() const { return markerPath_; }

    // Takes the snapshot (or the marker) unless one exists, then rewrites the file with `relax`
    // applied to its top-level object (an empty object when the file is missing or not an object).
    // When neither snapshot nor marker could be made, the file is left alone.
    void applyRelaxed(const std::function<void(Json&)>& relax) const;

    // Puts the user's own state back; does nothing when neither snapshot nor marker exists. A file
    // that is no longer what the relaxation wrote (edited, or created by the user while the lever
    // was at 0) is first kept beside it as editsPath() (or that name with ".2" to ".99"; a copy
    // already holding the same bytes counts), named on standard error; when it cannot be kept,
    // nothing is restored.
    void restore() const;

    // "<file>.vemlo.lever0-edits.bak".
    const std::string& editsPath() const { return editsPath_; }
    // What the last relaxation wrote, kept in our support folder to tell the user's edits from ours.
    const std::string& writtenPath() const { return writtenPath_; }

    bool fileExists() const;  // anything at the name, a dangling link included
    bool snapshotExists() const;
    bool markerExists() const;
    // The file's top-level object, or nothing when it is missing, unreadable or not an object.
    std::optional<Json> readObject() const;

    // The strings of a JSON array in order, other elements dropped; empty for anything else.
    static std::vector<std::string> stringArray(const Json* value);

private:
    // True when a snapshot or marker stands afterwards; else the failure went to standard error.
    bool takeSnapshotOnce() const;
    // False when the file holds changes that are not ours and they could not be kept aside.
    bool keepEditsMadeAtLeverZero() const;
    void reportLine(const std::string& text) const;

    std::string home_;
    Names names_;
    Messages messages_;
    std::string path_;
    std::string snapshotPath_;
    std::string markerPath_;
    std::string editsPath_;
    std::string writtenPath_;
};

}  // namespace vemlo
