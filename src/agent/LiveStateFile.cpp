#include "agent/LiveStateFile.h"

#include "platform/Files.h"
#include "platform/Json.h"
#include "platform/Paths.h"

#include <chrono>

namespace vemlo::livestate {
namespace {

void store(const std::string& home, const Json& object) {
    std::string bytes = json::dumpCompact(object);
    if (bytes.empty()) return;
    // A mirror for other programs, rewritten at every status frame: atomic so no reader sees half a
    // file, but not worth two fsyncs. Ours alone: a link at its name is replaced, never followed.
    files::WriteOptions options;
    options.durable = false;
    options.ownFile = true;
    (void)files::atomicWrite(filePath(home), bytes, options);
}

}  // namespace

std::string folderPath(const std::string& home) { return paths::supportFolder(home); }

std::string filePath(const std::string& home) { return paths::liveStateFile(home); }

double now() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

void Update::merge(const Update& later) {
    if (later.stateValue) {
        stateValue = later.stateValue;
        stateTs = later.stateTs;
    }
    if (later.lightMode) {
        lightMode = later.lightMode;
        lightModeTs = later.lightModeTs;
    }
    if (later.switchState) switchState = later.switchState;
    if (later.workMode) workMode = later.workMode;
    ts = later.ts;
}

Update makeUpdate(std::optional<uint8_t> stateValue, std::optional<uint8_t> lightMode,
                  std::optional<uint8_t> switchState, std::optional<uint8_t> workMode) {
    const double t = now();
    return Update{stateValue, t, lightMode, t, switchState, workMode, t};
}

void applyUpdate(const std::string& home, const Update& update) {
    if (!paths::createSupportFolder(home)) return;
    Json object = Json::object();
    if (auto text = files::readOwnFile(filePath(home))) {
        if (auto parsed = json::parseObject(*text)) object = std::move(*parsed);
    }
    if (update.stateValue) {
        object["stateValue"] = *update.stateValue;
        object["stateTs"] = update.stateTs;
    }
    if (update.lightMode) {
        object["lightMode"] = *update.lightMode;
        object["lightModeTs"] = update.lightModeTs;
    }
    if (update.switchState) object["switchState"] = *update.switchState;
    if (update.workMode) object["workMode"] = *update.workMode;
    object["ts"] = update.ts;
    store(home, object);
}

void clearSwitchState(const std::string& home) {
    auto text = files::readOwnFile(filePath(home));
    if (!text) return;
    auto object = json::parseObject(*text);
    if (!object) return;
    object->erase("switchState");
    (*object)["ts"] = now();
    store(home, *object);
}

}  // namespace vemlo::livestate
