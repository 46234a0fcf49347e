#pragma once

#include <sys/types.h>
#include <functional>
#include <string>
#include <thread>

namespace vemlo::test {

// A Unix socket bound at `path` (whatever was there removed), not listening yet; -1 on failure.
int boundSocket(const std::string& path);

// A stand-in for the agent: takes one connection's request line, then `script` answers on it.
class ScriptedPeer {
public:
    using Script = std::function<void(int fd)>;
    ScriptedPeer(const std::string& path, Script script);
    ~ScriptedPeer();
    // The bytes the client sent before the script ran; waits for the peer to finish.
    const std::string& request();
    static void send(int fd, const std::string& bytes);
    // Blocks until the client closes its end (or a generous deadline passes).
    static void waitForClose(int fd);

private:
    int listenFd_ = -1;
    std::string request_;
    std::thread thread_;
};

// A listener running as user `uid` that never answers.
class ForeignPeer {
public:
    ForeignPeer(const std::string& path, uid_t uid);
    ~ForeignPeer();
    bool listening() const { return listening_; }

private:
    pid_t pid_ = -1;
    int events_ = -1;
    bool listening_ = false;
};

}  // namespace vemlo::test
