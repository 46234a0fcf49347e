#pragma once

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace vemlo::test {

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
