#include "agent/LiveStateFile.h"

#include "platform/Files.h"
#include "platform/Json.h"

#include <chrono>

namespace vemlo::livestate {
namespace {

double secondsSince1970() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

void store(const std::string& home, const Json& object) {
    std::string bytes = json::dumpCompact(object);
    if (bytes.empty()) return;
    // A mirror for other programs, rewritten every 1.5 s while a keyboard is linked: atomic so no
    // reader sees half a file, but not worth two fsyncs on the main queue before every reply.
    files::atomicWrite(filePath(home), bytes, /*durable=*/false);
}

}  // namespace

std::string folderPath(const std::string& home) {
    return files::join(home, "Library/Application Support/VemloConfig");
}

std::string filePath(const std::string& home) { return files::join(folderPath(home), "current-ide-state.json"); }

void write(const std::string& home, std::optional<uint8_t> stateValue, std::optional<uint8_t> lightMode,
           std::optional<uint8_t> switchState, std::optional<uint8_t> workMode) {
    files::createDirectories(folderPath(home));
    Json object = Json::object();
    if (auto text = files::readFile(filePath(home))) {
        if (auto parsed = json::parseObject(*text)) object = std::move(*parsed);
    }
    const double now = secondsSince1970();
    if (stateValue) {
        object["stateValue"] = *stateValue;
        object["stateTs"] = now;
    }
    if (lightMode) {
        object["lightMode"] = *lightMode;
        object["lightModeTs"] = now;
    }
    if (switchState) object["switchState"] = *switchState;
    if (workMode) object["workMode"] = *workMode;
    object["ts"] = now;
    store(home, object);
}

void clearSwitchState(const std::string& home) {
    auto text = files::readFile(filePath(home));
    if (!text) return;
    auto object = json::parseObject(*text);
    if (!object) return;
    object->erase("switchState");
    (*object)["ts"] = secondsSince1970();
    store(home, *object);
}

}  // namespace vemlo::livestate
