#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace vemlo::ctl {

struct ExternalCommandResult {
    bool started = false;  // false: the program was not found or could not be run
    int exitCode = -1;     // -1 when it was killed or died of a signal
    std::string output;    // standard output and standard error together
};

// Runs a program found through $PATH to completion, standard input empty, killing it after
// `timeout`. Used for systemctl, which may hang when the user's bus is half there.
ExternalCommandResult runExternalCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeout);

}  // namespace vemlo::ctl
