#include "support/TomlCheck.h"

#include "support/Process.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace vemlo::test {

bool isValidToml(std::string_view text) {
    // The system interpreter, not a version manager's shim on the PATH, which costs a second a call.
    static const std::string python =
        ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "/usr/local/bin/python3";
    // Exit 3 for a document TOML does not allow (an undecodable byte included), so that a missing
    // interpreter or module can never pass for a verdict.
    const ProcessResult r = runProcess({python, "-I", "-S", "-c",
                                        "import sys, tomllib\n"
                                        "try: tomllib.loads(sys.stdin.buffer.read().decode('utf-8'))\n"
                                        "except (tomllib.TOMLDecodeError, ValueError): sys.exit(3)\n"},
                                       {}, std::string(text));
    EXPECT_TRUE(r.exitCode == 0 || r.exitCode == 3) << python << " with tomllib is needed: " << r.err;
    return r.exitCode == 0;
}

}  // namespace vemlo::test
