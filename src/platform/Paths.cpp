#include "platform/Paths.h"

#include "platform/Files.h"

#include <cstdlib>

namespace vemlo::paths {

std::string supportFolder(const std::string& home) {
    return files::join(home, "Library/Application Support/VemloConfig");
}

std::string diagnosticsFolder(const std::string& home) { return files::join(supportFolder(home), "diagnostics"); }

std::string diagnosticsFile(const std::string& home, std::string_view name) {
    return files::join(diagnosticsFolder(home), name);
}

std::string liveStateFile(const std::string& home) {
    return files::join(supportFolder(home), "current-ide-state.json");
}

std::string simLeverFile(const std::string& home) { return files::join(supportFolder(home), "sim-lever"); }

std::string kimiFolder(const std::string& home) {
    // A relative value would name a folder in whatever directory the hook runs in: not ours to edit.
    if (const char* share = std::getenv("KIMI_SHARE_DIR"); share && share[0] == '/') return share;
    return files::join(home, ".kimi");
}

std::string lockFile(const std::string& home, std::string_view lockName) {
    return files::join(supportFolder(home), lockName);
}

bool createSupportFolder(const std::string& home, std::string* err) {
    return files::createPrivateDirectories(supportFolder(home), err);
}

bool createDiagnosticsFolder(const std::string& home, std::string* err) {
    return createSupportFolder(home, err) && files::createPrivateDirectories(diagnosticsFolder(home), err);
}

}  // namespace vemlo::paths
