#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace vemlo::ctl {

// The vemloctl command line: `args` without the program name; `selfPath` is vemloctl's own file,
// next to which install finds the agent to copy; `root` is where the package's files are looked for
// ("/" but in tests). Returns the exit status: 0 success, 1 failure, 2 a command line that could not
// be understood.
int runVemloCtl(const std::vector<std::string>& args, const std::string& selfPath, std::ostream& out, std::ostream& err,
                const std::string& root = "/");

}  // namespace vemlo::ctl
