// vemloctl: installs, removes and reports on vemloconfig-agent for people. A separate program,
// because the agent's own command line has room for nothing but its two modes.
#include "ctl/VemloCtl.h"

#include <unistd.h>
#include <climits>
#include <iostream>

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    char self[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    std::string selfPath = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string(argc > 0 ? argv[0] : "");
    return vemlo::ctl::runVemloCtl(args, selfPath, std::cout, std::cerr);
}
