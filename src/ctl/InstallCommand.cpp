#include "ctl/InstallCommand.h"

#include "ctl/AssistantConfigFile.h"
#include "ctl/ExternalCommand.h"
#include "ctl/GeminiPolicySetup.h"
#include "ctl/HookRegistrations.h"
#include "ctl/Installation.h"
#include "ctl/ServiceUnit.h"
#include "leversync/SyncLock.h"
#include "platform/Files.h"
#include "platform/Paths.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace vemlo::ctl::InstallCommand {
namespace {

using namespace std::chrono_literals;

constexpr auto kSystemctlTimeout = 30s;

std::string tilde(const std::string& path, const std::string& home) {
    if (home.empty() || home == "/" || path.rfind(home + "/", 0) != 0) return path;
    std::string out(1, '~');
    out.append(path, home.size());
    return out;
}

std::string realPath(const std::string& path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

bool selected(const Options& o, const Assistant& a) {
    return o.only.empty() || std::find(o.only.begin(), o.only.end(), a.key) != o.only.end();
}

std::string plural(int n, const char* word) { return std::to_string(n) + " " + word + (n == 1 ? "" : "s"); }

std::string firstLine(const std::string& text) {
    std::string line = text.substr(0, text.find('\n'));
    return line.empty() ? "no message" : line;
}

// Runs systemctl --user, returning its failure in words, or nothing.
std::string systemctl(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"systemctl", "--user"};
    argv.insert(argv.end(), args.begin(), args.end());
    ExternalCommandResult r = runExternalCommand(argv, kSystemctlTimeout);
    if (!r.started) return "systemctl was not found";
    if (r.exitCode != 0) return firstLine(r.output);
    return {};
}

struct Printer {
    const Options& o;
    std::ostream& out;
    std::ostream& err;
    bool failed = false;
    std::vector<std::string> supportToRecord{};  // our support folder and parents, when install is creating them

    void line(const std::string& who, const std::string& text) const { out << who << ": " << text << "\n"; }
    void problem(const std::string& who, const std::string& text) {
        err << "vemloctl: " << who << ": " << text << "\n";
        failed = true;
    }
    std::string path(const std::string& p) const { return tilde(p, o.home); }
};

// What install created (folders, a lock file), one absolute path a line, so that uninstall removes
// exactly that, once it is empty; what was there before install is never recorded.
std::string createdRecord(const std::string& home) { return files::join(paths::supportFolder(home), "vemloctl-created"); }

// `path` and its parents that do not exist, outermost first.
std::vector<std::string> missingFolders(std::string path) {
    std::vector<std::string> missing;
    for (int depth = 0; depth < 64 && path.size() > 1 && !files::nameTaken(path); ++depth) {
        missing.insert(missing.begin(), path);
        path = path.substr(0, path.rfind('/'));
    }
    return missing;
}

void recordCreated(Printer& p, std::vector<std::string> created) {
    if (created.empty() || p.o.dryRun) return;
    created.insert(created.begin(), p.supportToRecord.begin(), p.supportToRecord.end());
    p.supportToRecord.clear();
    std::string lines;
    for (const std::string& path : created)
        if (path.find('\n') == std::string::npos) lines += path + "\n";
    if (paths::createSupportFolder(p.o.home)) (void)files::appendToFile(createdRecord(p.o.home), lines);
}

bool createFolders(Printer& p, const std::string& folder) {
    std::vector<std::string> missing = missingFolders(folder);
    if (!files::createDirectories(folder)) return false;
    recordCreated(p, std::move(missing));
    return true;
}

// Removes a recorded folder or lock file when it is empty (a lock only when nobody holds it); true when
// it is gone.
bool removeIfEmpty(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
    if (S_ISDIR(st.st_mode)) return ::rmdir(path.c_str()) == 0;
    if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || st.st_size != 0) return false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    const bool gone = ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::unlink(path.c_str()) == 0;
    ::close(fd);
    return gone;
}

void removeCreated(Printer& p) {
    const std::string record = createdRecord(p.o.home);
    auto text = files::readOwnFile(record);
    if (p.o.dryRun || !text) return;
    std::vector<std::string> lines, kept;
    const std::string inHome = files::join(p.o.home, "");
    for (size_t start = 0, end; start < text->size(); start = end + 1) {
        end = std::min(text->find('\n', start), text->size());
        // Only ever something in the home folder, whatever the record says.
        if (end > start && text->compare(start, inHome.size(), inHome) == 0)
            lines.push_back(text->substr(start, end - start));
    }
    // The record lives in the support folder: that folder and its parents go last, if at all.
    const std::string support = paths::supportFolder(p.o.home);
    auto holdsRecord = [&](const std::string& path) { return path == support || support.starts_with(path + "/"); };
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        if (holdsRecord(*it) || std::find(kept.begin(), kept.end(), *it) != kept.end()) continue;
        if (!files::nameTaken(*it)) continue;
        if (removeIfEmpty(*it))
            p.line("cleanup", "removed " + p.path(*it) + ", which install had created");
        else
            kept.insert(kept.begin(), *it);
    }
    if (!kept.empty()) {
        std::string rest;
        for (const std::string& path : kept) rest += path + "\n";
        (void)files::atomicWrite(record, rest, {.ownFile = true});
        return;
    }
    ::unlink(record.c_str());
    for (auto it = lines.rbegin(); it != lines.rend(); ++it)
        if (holdsRecord(*it)) (void)::rmdir(it->c_str());
}

// Copies the agent into the bin folder; true when the file there changed.
bool placeAgent(Printer& p, const std::string& target) {
    const std::string source = p.o.agentSource;
    if (realPath(source) == realPath(target)) {
        p.line("agent", p.path(target) + " is already in place");
        return false;
    }
    auto bytes = files::readFile(source);
    if (!bytes) {
        p.problem("agent", "cannot read " + source);
        return false;
    }
    auto current = files::readFile(target);
    if (current && *current == *bytes) {
        p.line("agent", p.path(target) + " is up to date");
        return false;
    }
    const std::string verb = current ? "updated" : "installed";
    if (p.o.dryRun) {
        p.line("agent", "would copy " + source + " to " + p.path(target));
        return true;
    }
    if (!createFolders(p, p.o.binDir) || !files::atomicWrite(target, *bytes) ||
        ::chmod(target.c_str(), 0755) != 0) {
        p.problem("agent", "cannot write " + target);
        return false;
    }
    p.line("agent", verb + " " + p.path(target));
    return true;
}

void notePath(Printer& p) {
    const char* path = std::getenv("PATH");
    std::string rest = path ? path : "";
    for (size_t start = 0; start <= rest.size();) {
        size_t end = rest.find(':', start);
        if (end == std::string::npos) end = rest.size();
        if (rest.substr(start, end - start) == p.o.binDir) return;
        start = end + 1;
    }
    p.line("agent", p.path(p.o.binDir) +
                        " is not on your PATH; the hooks call the agent by its full path, so "
                        "they work anyway");
}

// Writes the unit file; true when it changed.
bool placeUnit(Printer& p, const std::string& agentPath) {
    const std::string path = ServiceUnit::unitPath(p.o.home);
    const std::string text = ServiceUnit::unitText(agentPath, p.o.home);
    auto current = files::readFile(path);
    if (current && *current == text) {
        p.line("service", p.path(path) + " is up to date");
        return false;
    }
    if (p.o.dryRun) {
        p.line("service", "would write " + p.path(path));
        return true;
    }
    FileChange change;
    change.path = path;
    // A unit that install wrote is just replaced; any other (one you changed too) is kept as the backup.
    change.existed = current && !ServiceUnit::agentOfUnitWeWrote(*current, p.o.home);
    change.before = current.value_or("");
    change.after = text;
    change.action = FileChange::Action::write;
    const bool backupNeeded = change.existed && !files::nameTaken(AssistantConfigFile::backupPath(path));
    const size_t slash = path.rfind('/');
    std::string failure =
        createFolders(p, path.substr(0, slash)) ? AssistantConfigFile::apply(change) : "cannot create its folder";
    if (!failure.empty()) {
        p.problem("service", path + ": " + failure);
        return false;
    }
    p.line("service", std::string(current ? "updated " : "installed ") + p.path(path) +
                          (backupNeeded ? " (backup: " + p.path(AssistantConfigFile::backupPath(path)) + ")" : ""));
    return true;
}

void startService(Printer& p, const std::string& agentPath, bool changed) {
    const std::string unit = ServiceUnit::kUnitName;
    if (p.o.dryRun) {
        p.line("service", "would run systemctl --user daemon-reload and enable --now " + unit);
        return;
    }
    if (std::string failure = systemctl({"daemon-reload"}); !failure.empty()) {
        p.line("service", "the systemd user manager cannot be reached (" + failure +
                              "), so the agent was not started as a service. The unit file is in place: "
                              "run `systemctl --user enable --now " +
                              unit + "` once systemd is available, or start the agent yourself with `" + agentPath +
                              " &`");
        return;
    }
    // An agent that is already running keeps the old program or unit until it is restarted.
    std::string failure = changed ? systemctl({"enable", unit}) : systemctl({"enable", "--now", unit});
    if (failure.empty() && changed) failure = systemctl({"restart", unit});
    if (!failure.empty()) {
        p.problem("service", "systemctl could not enable and start " + unit + ": " + failure);
        return;
    }
    p.line("service", unit + " is enabled and running");
}

// Carries out one file change; a dry run only pretends.
bool applyChange(Printer& p, const Assistant& a, const FileChange& change) {
    if (p.o.dryRun) return true;
    if (std::string failure = AssistantConfigFile::apply(change); !failure.empty()) {
        p.problem(a.displayName, change.path + ": " + failure);
        return false;
    }
    return true;
}

void registerHooks(Printer& p, const Assistant& a, const std::string& agentPath, bool& codexChanged) {
    const std::string where = p.path(AssistantConfigFile::filePath(a, p.o.home));
    if (!files::exists(AssistantConfigFile::folderPath(a, p.o.home))) {
        p.line(a.displayName, p.path(AssistantConfigFile::folderPath(a, p.o.home)) + " not found, so " + a.displayName +
                                  " is not installed; skipped");
        return;
    }
    std::unique_ptr<SyncLock> lock;
    if (a.shape == ConfigShape::tomlArrayTables && !p.o.dryRun) {
        const std::string lockPath = paths::lockFile(p.o.home, paths::kKimiConfigLock);
        const bool lockWasThere = files::nameTaken(lockPath);
        lock = std::make_unique<SyncLock>(p.o.home, paths::kKimiConfigLock);
        if (!lockWasThere && files::nameTaken(lockPath)) recordCreated(p, {lockPath});
    }
    const FileChange change = AssistantConfigFile::planInstall(a, p.o.home, agentPath);
    if (!change.error.empty()) {
        p.problem(a.displayName, where + ": " + change.error + "; the file was left exactly as it was");
        return;
    }
    if (change.action == FileChange::Action::none) {
        p.line(a.displayName,
               where + ": hooks already registered (" + plural(static_cast<int>(a.events.size()), "event") + ")");
        return;
    }
    const bool backupNeeded = change.existed && (!change.wholeFileIsOurs || change.keepBefore) &&
                              !files::nameTaken(AssistantConfigFile::backupPath(change.path));
    if (change.wholeFileIsOurs && !p.o.dryRun &&
        !createFolders(p, change.path.substr(0, change.path.rfind('/')))) {
        p.problem(a.displayName, change.path + ": cannot create its folder");
        return;
    }
    if (!applyChange(p, a, change)) return;
    std::string text = p.o.dryRun ? (change.existed ? "would add " : "would create it with ")
                                  : (change.existed ? "added " : "created it with ");
    text += plural(change.added, "hook");
    if (change.removed > 0) text += ", replacing " + plural(change.removed, "older hook") + " of ours";
    if (backupNeeded) text += " (backup: " + p.path(AssistantConfigFile::backupPath(change.path)) + ")";
    p.line(a.displayName, where + ": " + text);
    if (a.key == "codex") codexChanged = true;
}

void unregisterHooks(Printer& p, const Assistant& a) {
    if (!files::exists(AssistantConfigFile::folderPath(a, p.o.home))) return;
    const std::string where = p.path(AssistantConfigFile::filePath(a, p.o.home));
    std::unique_ptr<SyncLock> lock;
    if (a.shape == ConfigShape::tomlArrayTables && !p.o.dryRun)
        lock = std::make_unique<SyncLock>(p.o.home, paths::kKimiConfigLock);
    const FileChange change = AssistantConfigFile::planUninstall(a, p.o.home);
    if (!change.error.empty()) {
        p.problem(a.displayName, where + ": " + change.error + "; the file was left exactly as it was");
        return;
    }
    if (change.action == FileChange::Action::none) {
        p.line(a.displayName, where + ": no hooks of ours");
        return;
    }
    const bool restored =
        change.wholeFileIsOurs && files::isOwnRegularFile(AssistantConfigFile::backupPath(change.path));
    if (!applyChange(p, a, change)) return;
    std::string text = (p.o.dryRun ? "would remove " : "removed ") + plural(change.removed, "hook");
    if (change.action == FileChange::Action::remove)
        text += change.wholeFileIsOurs ? (restored ? "; the file from before install is back in its place"
                                                   : "; the file was ours alone, so it goes too")
                                       : "; install had created the file for them, so it goes too";
    p.line(a.displayName, where + ": " + text);
    // A backup that matches the restored file has nothing left to give back.
    const std::string backup = AssistantConfigFile::backupPath(change.path);
    auto kept = files::readOwnFile(backup);
    if (p.o.dryRun || !kept) return;
    if (change.action == FileChange::Action::write && *kept == change.after) {
        ::unlink(backup.c_str());
    } else {
        p.line(a.displayName, "the backup from before the first install stays at " + p.path(backup));
    }
}

// Gemini CLI's policy file goes with its hooks: the hooks stamp, the policy allows what is stamped.
void placeGeminiPolicy(Printer& p, const Assistant& a) {
    if (a.key != "gemini" || !files::exists(AssistantConfigFile::folderPath(a, p.o.home))) return;
    bool failed = false;
    const std::string text = GeminiPolicySetup::install(p.o.home, p.o.dryRun, failed);
    if (failed)
        p.problem(a.displayName, text);
    else
        p.line(a.displayName, text);
}

void removeGeminiPolicy(Printer& p, const Assistant& a) {
    if (a.key != "gemini") return;
    bool failed = false;
    const std::string text = GeminiPolicySetup::uninstall(p.o.home, p.o.dryRun, failed);
    if (failed)
        p.problem(a.displayName, text);
    else if (!text.empty())
        p.line(a.displayName, text);
}

// Stops, disables and removes the user unit when it is one that install wrote; false when a unit stays.
bool removeService(Printer& p) {
    const std::string unit = ServiceUnit::kUnitName;
    const std::string path = ServiceUnit::unitPath(p.o.home);
    auto text = files::readFile(path);
    if (!text) {
        p.line("service", "no unit installed");
        return true;
    }
    if (!ServiceUnit::isOurUnit(*text)) {
        p.line("service", p.path(path) + " does not start vemloconfig-agent; left alone");
        return false;
    }
    if (!ServiceUnit::agentOfUnitWeWrote(*text, p.o.home)) {
        p.line("service", p.path(path) +
                              " is not the unit install wrote (it was changed), so it stays, with the agent it "
                              "starts; remove them yourself if you no longer want them");
        return false;
    }
    if (p.o.dryRun) {
        p.line("service", "would stop and disable " + unit + " and remove " + p.path(path));
        return true;
    }
    if (std::string failure = systemctl({"disable", "--now", unit}); !failure.empty())
        p.line("service", "could not stop and disable " + unit + " through systemd (" + failure + ")");
    if (::unlink(path.c_str()) != 0) {
        p.problem("service", "cannot remove " + path + ": " + std::strerror(errno));
        return false;
    }
    systemctl({"daemon-reload"});
    p.line("service", "removed " + p.path(path));
    return true;
}

void removeAgent(Printer& p, const std::string& target) {
    if (!files::exists(target)) return;
    if (realPath(target) == realPath(p.o.agentSource)) {
        p.line("agent", "kept " + p.path(target) + ": it is the copy vemloctl was installed with");
        return;
    }
    if (p.o.dryRun) {
        p.line("agent", "would remove " + p.path(target));
        return;
    }
    if (::unlink(target.c_str()) != 0) {
        p.problem("agent", "cannot remove " + target + ": " + std::strerror(errno));
        return;
    }
    p.line("agent", "removed " + p.path(target));
}

// The package's unit is enabled, never copied; the package's files are dpkg's to remove.
void disablePackagedService(Printer& p) {
    const std::string unit = ServiceUnit::kUnitName;
    if (p.o.dryRun) {
        p.line("service", "would stop and disable the packaged " + unit);
        return;
    }
    if (std::string failure = systemctl({"disable", "--now", unit}); !failure.empty()) {
        p.line("service", "could not stop and disable " + unit + " through systemd (" + failure + ")");
        return;
    }
    p.line("service", "stopped and disabled the packaged " + unit + "; the package itself stays installed");
}

void noteCodexTrust(std::ostream& out) {
    out << "\nCodex runs a new or changed hook only after you have trusted it, and skips an untrusted one "
           "without a word. Open Codex once, enter /hooks and trust the vemloconfig-agent hooks.\n";
}

bool ourUserUnitExists(const Options& o) {
    auto text = files::readFile(ServiceUnit::unitPath(o.home));
    return text && ServiceUnit::isOurUnit(*text);
}

// A user unit of the same name hides the package's: the unit an earlier install wrote gives way, with
// the agent copy it started. A unit changed by hand, and any other copy, are the user's and stay.
void handOverToPackage(Printer& p) {
    const std::string unitPath = ServiceUnit::unitPath(p.o.home);
    const std::string copy = files::join(p.o.binDir, kAgentFileName);
    auto text = files::readFile(unitPath);
    auto agent = text ? ServiceUnit::agentOfUnitWeWrote(*text, p.o.home) : std::nullopt;
    if (agent) {
        if (removeService(p)) removeAgent(p, *agent);
    } else if (text && ServiceUnit::isOurUnit(*text)) {
        p.line("service", p.path(unitPath) +
                              " starts vemloconfig-agent but is not the unit install wrote, so it stays; it hides "
                              "the package's unit until you remove it (systemctl --user disable --now " +
                              ServiceUnit::kUnitName + ", then delete it)");
    }
    if (files::nameTaken(copy) && (!agent || *agent != copy) && files::exists(copy))
        p.line("agent", "kept " + p.path(copy) + ": no unit that install wrote starts it");
}

}  // namespace

int install(const Options& options, std::ostream& out, std::ostream& err) {
    Printer p{options, out, err};
    p.supportToRecord = missingFolders(paths::supportFolder(options.home));
    if (!options.packageRoot.empty()) {
        const std::string agentPath = Installation::packagedAgentPath(options.packageRoot);
        p.line("agent", "using the packaged " + agentPath + "; nothing is copied");
        handOverToPackage(p);
        bool codexChanged = false;
        for (const Assistant& a : assistants())
            if (selected(options, a)) {
                registerHooks(p, a, agentPath, codexChanged);
                placeGeminiPolicy(p, a);
            }
        startService(p, agentPath, false);
        if (codexChanged) noteCodexTrust(out);
        return p.failed ? 1 : 0;
    }
    const std::string agentPath = files::join(options.binDir, kAgentFileName);
    if (realPath(options.agentSource).empty()) {
        p.problem("agent", "cannot find " + options.agentSource + " to install; give its path with --agent");
        return 1;
    }
    const bool agentChanged = placeAgent(p, agentPath);
    // Hooks that point at a program that is not there would fail at every event of the assistant.
    if (p.failed) return 1;
    notePath(p);
    const bool unitChanged = placeUnit(p, agentPath);
    bool codexChanged = false;
    for (const Assistant& a : assistants())
        if (selected(options, a)) {
            registerHooks(p, a, agentPath, codexChanged);
            placeGeminiPolicy(p, a);
        }
    startService(p, agentPath, agentChanged || unitChanged);
    if (codexChanged) noteCodexTrust(out);
    return p.failed ? 1 : 0;
}

int uninstall(const Options& options, std::ostream& out, std::ostream& err) {
    Printer p{options, out, err};
    for (const Assistant& a : assistants())
        if (selected(options, a)) {
            unregisterHooks(p, a);
            removeGeminiPolicy(p, a);
        }
    if (options.only.empty()) {
        if (options.packageRoot.empty() || ourUserUnitExists(options)) {
            if (removeService(p)) removeAgent(p, files::join(options.binDir, kAgentFileName));
        } else {
            disablePackagedService(p);
        }
    }
    removeCreated(p);
    return p.failed ? 1 : 0;
}

}  // namespace vemlo::ctl::InstallCommand
