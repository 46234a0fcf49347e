#include "ctl/AssistantConfigFile.h"

#include "ctl/JsonHookEdit.h"
#include "ctl/KimiHookBlock.h"
#include "platform/Files.h"
#include "platform/Json.h"
#include "platform/Paths.h"
#include "platform/Text.h"

#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace vemlo::ctl::AssistantConfigFile {
namespace {

Json skeleton(const Assistant& assistant) {
    return assistant.shape == ConfigShape::commandList ? Json{{"version", 1}} : Json::object();
}

// Whether nothing but what a fresh file of ours would hold is left.
bool holdsNothingElse(const Json& root, const Assistant& assistant) {
    Json rest = root;
    if (assistant.shape == ConfigShape::commandList && rest.contains("version") && rest["version"] == 1)
        rest.erase("version");
    return rest.empty();
}

// Reads the file into `change`; false (with `change.error` set) when it is there but unreadable.
bool readExisting(FileChange& change) {
    change.existed = files::exists(change.path);
    if (!change.existed) return true;
    auto bytes = files::readFile(change.path);
    if (!bytes) {
        change.error = "it cannot be read";
        return false;
    }
    change.before = std::move(*bytes);
    return true;
}

std::optional<Json> parseJson(FileChange& change) {
    auto root = json::parse(change.before);
    if (!root) change.error = "it is not valid JSON";
    return root;
}

// The backup is private whatever the original's bits: Kimi's config.toml holds API keys. Once made
// it is never replaced, so it keeps the file from before our first change; anything else in its
// place (a link, a folder) is no backup, and the file is then left unchanged.
std::string writeBackup(const std::string& path, const std::string& bytes) {
    const std::string backup = backupPath(path);
    std::string err;
    switch (files::createExclusive(backup, bytes, 0600, &err)) {
    case files::Created::created:
        return {};
    case files::Created::alreadyThere:
        if (files::isOwnRegularFile(backup)) return {};
        return "cannot create the backup " + backup + ": something else is in its place";
    case files::Created::failed:
        break;
    }
    return "cannot create the backup " + backup + ": " + err;
}

// The whole text of a file of our own: one command hook per event.
std::string ownFileText(const Assistant& assistant, const std::string& agentPath) {
    Json hooks = Json::object();
    for (const EventBinding& b : assistant.events)
        hooks[b.assistantEvent] = Json::array({Json{{"type", "command"},
                                                    {"bash", hookCommand(agentPath, b.agentEvent)},
                                                    {"timeoutSec", JsonHookEdit::kHookTimeoutSeconds}}});
    return json::dumpPrettySorted(Json{{"version", 1}, {"hooks", std::move(hooks)}}) + "\n";
}

// Events of `assistant` that a file of our own registers.
int ownFileEvents(const Json& root, const Assistant& assistant) {
    const Json* hooks = root.is_object() && root.contains("hooks") ? &root["hooks"] : nullptr;
    if (!hooks || !hooks->is_object()) return 0;
    int count = 0;
    for (const EventBinding& b : assistant.events) {
        auto list = hooks->find(b.assistantEvent);
        if (list == hooks->end() || !list->is_array()) continue;
        for (const Json& entry : *list) {
            auto bash = entry.is_object() ? entry.find("bash") : entry.end();
            if (bash != entry.end() && bash->is_string() &&
                isAgentHookCommand(bash->get_ref<const std::string&>(), b.agentEvent)) {
                ++count;
                break;
            }
        }
    }
    return count;
}

int ownFileEventsIn(std::string_view text, const Assistant& assistant) {
    auto root = json::parse(text);
    return root ? ownFileEvents(*root, assistant) : 0;
}

}  // namespace

std::string folderPath(const Assistant& assistant, const std::string& home) {
    // Kimi reads $KIMI_SHARE_DIR instead of ~/.kimi when that is set.
    if (assistant.key == "kimi") return paths::kimiFolder(home);
    return files::join(home, assistant.folder);
}

std::string filePath(const Assistant& assistant, const std::string& home) {
    return files::join(folderPath(assistant, home), assistant.file);
}

std::string backupPath(const std::string& path) { return path + ".vemloctl.bak"; }

FileChange planInstall(const Assistant& assistant, const std::string& home, const std::string& agentPath) {
    FileChange change;
    change.path = filePath(assistant, home);
    if (!readExisting(change)) return change;
    if (assistant.shape == ConfigShape::ownCommandFile) {
        change.wholeFileIsOurs = true;
        change.after = ownFileText(assistant, agentPath);
        if (change.existed && change.before == change.after) return change;
        change.added = static_cast<int>(assistant.events.size());
        change.removed = change.existed ? ownFileEventsIn(change.before, assistant) : 0;
        change.action = FileChange::Action::write;
        return change;
    }
    if (assistant.shape == ConfigShape::tomlArrayTables) {
        KimiHookBlock::Outcome out = KimiHookBlock::install(change.before, assistant, agentPath);
        change.error = out.error;
        if (!out.changed) return change;
        change.after = std::move(out.text);
        change.added = out.added;
        change.removed = out.removed;
        change.action = FileChange::Action::write;
        return change;
    }
    std::optional<Json> root = change.existed ? parseJson(change) : skeleton(assistant);
    if (!root) return change;
    JsonHookEdit::Outcome out = JsonHookEdit::install(*root, assistant, agentPath);
    change.error = out.error;
    if (!out.error.empty() || !out.changed()) return change;
    change.after = JsonHookEdit::serializeLike(*root, change.before);
    change.added = out.added;
    change.removed = out.removed;
    change.action = FileChange::Action::write;
    return change;
}

FileChange planUninstall(const Assistant& assistant, const std::string& home) {
    FileChange change;
    change.path = filePath(assistant, home);
    if (!readExisting(change) || !change.existed) return change;
    if (assistant.shape == ConfigShape::ownCommandFile) {
        change.wholeFileIsOurs = true;
        change.removed = ownFileEventsIn(change.before, assistant);
        change.action = FileChange::Action::remove;
        return change;
    }
    const bool createdByUs = !files::nameTaken(backupPath(change.path));
    if (assistant.shape == ConfigShape::tomlArrayTables) {
        KimiHookBlock::Outcome out = KimiHookBlock::uninstall(change.before, assistant);
        change.error = out.error;
        if (!out.changed) return change;
        change.removed = out.removed;
        const bool empty = out.text.find_first_not_of(" \t\r\n") == std::string::npos;
        change.action = createdByUs && empty ? FileChange::Action::remove : FileChange::Action::write;
        change.after = std::move(out.text);
        return change;
    }
    std::optional<Json> root = parseJson(change);
    if (!root) return change;
    JsonHookEdit::Outcome out = JsonHookEdit::uninstall(*root, assistant);
    change.error = out.error;
    if (!out.error.empty() || !out.changed()) return change;
    change.removed = out.removed;
    change.action =
        createdByUs && holdsNothingElse(*root, assistant) ? FileChange::Action::remove : FileChange::Action::write;
    change.after = JsonHookEdit::serializeLike(*root, change.before);
    return change;
}

std::optional<int> registeredEvents(const Assistant& assistant, const std::string& home) {
    const std::string path = filePath(assistant, home);
    if (!files::exists(path)) return 0;
    auto bytes = files::readFile(path);
    if (!bytes) return std::nullopt;
    if (assistant.shape == ConfigShape::tomlArrayTables) return KimiHookBlock::registeredEvents(*bytes, assistant);
    if (assistant.shape == ConfigShape::ownCommandFile) {
        auto root = json::parse(*bytes);
        if (!root) return std::nullopt;
        return ownFileEvents(*root, assistant);
    }
    auto root = json::parse(*bytes);
    if (!root) return std::nullopt;
    return JsonHookEdit::registeredEvents(*root, assistant);
}

std::string apply(const FileChange& change) {
    switch (change.action) {
    case FileChange::Action::none:
        return {};
    case FileChange::Action::remove:
        if (::unlink(change.path.c_str()) != 0 && errno != ENOENT)
            return "cannot remove it: " + std::string(std::strerror(errno));
        return {};
    case FileChange::Action::write:
        break;
    }
    if (change.wholeFileIsOurs) {
        const std::string folder = change.path.substr(0, change.path.rfind('/'));
        if (!files::createDirectories(folder)) return "cannot create its folder";
    } else if (change.existed) {
        if (std::string failure = writeBackup(change.path, change.before); !failure.empty()) return failure;
    }
    std::string err;
    if (!files::atomicWrite(change.path, change.after, &err)) return "cannot write it (the file is unchanged): " + err;
    return {};
}

}  // namespace vemlo::ctl::AssistantConfigFile
