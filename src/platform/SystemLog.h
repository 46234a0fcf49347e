#pragma once

#include <string_view>

namespace vemlo {

// Where agent messages go besides the console. On Linux that is syslog (journald collects it).
class SystemLog {
public:
    virtual ~SystemLog() = default;
    virtual void info(std::string_view message) = 0;
};

// syslog(3) with the agent's identifier, opened on first use.
class Syslog final : public SystemLog {
public:
    static constexpr const char* kIdentifier = "corvane.vemloconfig.agent";
    void info(std::string_view message) override;
};

}  // namespace vemlo
