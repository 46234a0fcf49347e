#pragma once

#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace vemlo::test {

// Acting as another user (chown to it, setuid to it) takes root, as CI runs the tests. Without it a
// test skips, with this reason, instead of failing; a table skips only its rows that need it and
// reports the skip at its end.
inline bool canActAsAnotherUser() { return ::geteuid() == 0; }
inline constexpr const char* kNeedsRoot = "needs root to act as another user (run the suite as root, as CI does)";

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        path_ = std::string(base && *base ? base : "/tmp") + "/vemlo-test-XXXXXX";
        if (!::mkdtemp(path_.data())) throw std::runtime_error("mkdtemp failed");
    }
    ~TempDir() { std::filesystem::remove_all(path_, ec_); }
    TempDir(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
    std::error_code ec_;
};

}  // namespace vemlo::test
