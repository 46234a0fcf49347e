#include "ctl/ServiceUnit.h"

#include <gtest/gtest.h>

#include <string>

namespace vemlo::ctl {
namespace {

TEST(ServiceUnit, ExecStartFollowsTheAgentsFolder) {
    const std::pair<std::string, std::string> cases[] = {
        {"/home/ann/.local/bin/vemloconfig-agent", "\nExecStart=%h/.local/bin/vemloconfig-agent\n"},
        {"/opt/vemlo/vemloconfig-agent", "\nExecStart=/opt/vemlo/vemloconfig-agent\n"},
        {"/home/ann/my tools/vemloconfig-agent", "\nExecStart=\"/home/ann/my tools/vemloconfig-agent\"\n"},
        {"/srv/100%/$x/vemloconfig-agent", "\nExecStart=/srv/100%%/$$x/vemloconfig-agent\n"},
    };
    for (const auto& [agentPath, line] : cases) {
        const std::string unit = ServiceUnit::unitText(agentPath, "/home/ann");
        EXPECT_NE(unit.find(line), std::string::npos) << unit;
        EXPECT_TRUE(ServiceUnit::isOurUnit(unit));
        EXPECT_NE(unit.find("Restart=on-failure"), std::string::npos);
    }
    EXPECT_FALSE(ServiceUnit::isOurUnit("[Service]\nExecStart=/usr/bin/other-agent\n# vemloconfig-agent\n"));
}

}  // namespace
}  // namespace vemlo::ctl
