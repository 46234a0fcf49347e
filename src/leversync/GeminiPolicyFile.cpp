#include "leversync/GeminiPolicyFile.h"

#include "platform/Files.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vemlo::GeminiPolicyFile {
namespace {

// Far above the file we write; a bigger file is not ours.
constexpr size_t kMaxPolicyBytes = 16 * 1024;

bool isSecret(std::string_view s) {
    if (s.size() != kSecretLength) return false;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

}  // namespace

std::string path(const std::string& home) { return files::join(home, ".gemini/policies/vemloconfig.toml"); }

std::string text(std::string_view secret) {
    const std::string s(secret);
    // Gemini matches argsPattern against the arguments' key-sorted JSON, in which every top-level
    // pair stands between NUL bytes; a JSON string cannot hold a raw NUL, so no value (a command's
    // text, a nested object) can produce these matches. Shell sub-commands of `a; b | c` are
    // re-checked with only "command" and "dir_path", hence the second rule.
    return "# Written by vemloctl (vemloconfig); removed by `vemloctl uninstall`.\n"
           "# Allows a tool call only when vemloconfig's BeforeTool hook stamped it, which it does only\n"
           "# while the keyboard's lever is at 0. The secret changes each time a Gemini CLI process starts.\n"
           "[[rule]]\n"
           "toolName = \"*\"\n"
           "argsPattern = '\\x00\"vemloconfig_lever\":\"" +
           s +
           "\"\\x00'\n"
           "decision = \"allow\"\n"
           "priority = 100\n"
           "modes = [\"default\", \"autoEdit\"]\n"
           "allowRedirection = true\n"
           "\n"
           "[[rule]]\n"
           "toolName = \"run_shell_command\"\n"
           "argsPattern = '\\x00\"dir_path\":\"[^\\x00]*/\\.vemloconfig-lever-" +
           s +
           "/\\.\\.\"\\x00'\n"
           "decision = \"allow\"\n"
           "priority = 100\n"
           "modes = [\"default\", \"autoEdit\"]\n"
           "allowRedirection = true\n";
}

std::optional<std::string> secretIn(std::string_view fileText) {
    const std::string anchor = "\"vemloconfig_lever\":\"";
    const size_t at = fileText.find(anchor);
    if (at == std::string_view::npos) return std::nullopt;
    const std::string_view candidate = fileText.substr(at + anchor.size(), kSecretLength);
    if (!isSecret(candidate) || fileText != text(candidate)) return std::nullopt;
    return std::string(candidate);
}

std::optional<std::string> newSecret() {
    unsigned char bytes[kSecretLength / 2];
    if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) return std::nullopt;
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out.push_back(kHex[b >> 4]);
        out.push_back(kHex[b & 15]);
    }
    return out;
}

std::optional<Loaded> load(const std::string& home) {
    if (home.empty()) return std::nullopt;
    const int fd = ::open(path(home).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::optional<Loaded> out;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::getuid() &&
        static_cast<size_t>(st.st_size) <= kMaxPolicyBytes) {
        Loaded loaded;
        loaded.modified = st.st_mtim;
        char buf[4096];
        ssize_t n = 0;
        while (loaded.text.size() <= kMaxPolicyBytes && (n = ::read(fd, buf, sizeof buf)) > 0)
            loaded.text.append(buf, static_cast<size_t>(n));
        if (n == 0 && loaded.text.size() <= kMaxPolicyBytes) out = std::move(loaded);
    }
    ::close(fd);
    return out;
}

bool writeNew(const std::string& home, std::string* err) {
    const std::optional<std::string> secret = newSecret();
    if (!secret) {
        if (err) *err = "no random bytes for a new secret";
        return false;
    }
    files::WriteOptions options;
    options.ownFile = true;
    return files::atomicWrite(path(home), text(*secret), options, err);
}

}  // namespace vemlo::GeminiPolicyFile
