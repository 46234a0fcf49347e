#include "ctl/ServiceUnit.h"

#include <gtest/gtest.h>

#include <string>

namespace vemlo::ctl {
namespace {

std::string execStart(const std::string& unit) {
    size_t at = unit.find("\nExecStart=");
    return at == std::string::npos ? "" : unit.substr(at + 1, unit.find('\n', at + 1) - at - 1);
}

TEST(ServiceUnit, ExecStartFollowsTheAgentsFolder) {
    struct Case {
        std::string agentPath;
        std::string line;
    };
    const Case cases[] = {
        {"/home/ann/.local/bin/vemloconfig-agent", "ExecStart=%h/.local/bin/vemloconfig-agent"},
        {"/opt/vemlo/vemloconfig-agent", "ExecStart=/opt/vemlo/vemloconfig-agent"},
        {"/home/ann/my tools/vemloconfig-agent", "ExecStart=\"/home/ann/my tools/vemloconfig-agent\""},
        {"/srv/100%/$x/vemloconfig-agent", "ExecStart=/srv/100%%/$$x/vemloconfig-agent"},
    };
    for (const Case& c : cases) {
        const std::string unit = ServiceUnit::unitText(c.agentPath, "/home/ann");
        EXPECT_EQ(execStart(unit), c.line);
        EXPECT_TRUE(ServiceUnit::isOurUnit(unit));
        EXPECT_NE(unit.find("Restart=on-failure"), std::string::npos);
    }
    EXPECT_FALSE(ServiceUnit::isOurUnit("[Service]\nExecStart=/usr/bin/other-agent\n# vemloconfig-agent\n"));
}

}  // namespace
}  // namespace vemlo::ctl
