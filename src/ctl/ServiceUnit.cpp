#include "ctl/ServiceUnit.h"

#include "ctl/HookRegistrations.h"
#include "ctl/ServiceUnitTemplate.h"
#include "platform/Files.h"

#include <cstdlib>
#include <sstream>

namespace vemlo::ctl::ServiceUnit {
namespace {

constexpr std::string_view kExecStart = "ExecStart=";

// systemd reads "%" as a specifier and "$" as a variable; a path with blanks needs quotes.
std::string systemdWord(const std::string& path) {
    std::string out;
    bool quote = false;
    for (char c : path) {
        if (c == '%' || c == '$') out += c;
        if (c == '"' || c == '\\') out += '\\';
        if (c == ' ' || c == '\t') quote = true;
        out += c;
    }
    return quote ? "\"" + out + "\"" : out;
}

}  // namespace

std::string unitPath(const std::string& home) {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    const std::string config = xdg && xdg[0] == '/' ? std::string(xdg) : files::join(home, ".config");
    return files::join(config, std::string("systemd/user/") + kUnitName);
}

std::string unitText(const std::string& agentPath, const std::string& home) {
    const std::string text = kServiceUnitTemplate;
    if (agentPath == files::join(home, ".local/bin/") + std::string(kAgentFileName)) return text;
    std::istringstream in(text);
    std::string out, line;
    while (std::getline(in, line)) {
        if (line.rfind(kExecStart, 0) == 0) {
            // Keep any arguments after the program.
            size_t end = line.find(' ', kExecStart.size());
            line =
                std::string(kExecStart) + systemdWord(agentPath) + (end == std::string::npos ? "" : line.substr(end));
        }
        out += line + "\n";
    }
    return out;
}

std::optional<std::string> agentOfUnitWeWrote(const std::string& text, const std::string& home) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line) && line.rfind(kExecStart, 0) != 0) {
    }
    if (line.rfind(kExecStart, 0) != 0) return std::nullopt;
    // The program word as systemdWord wrote it: quoted when it has blanks, "%" and "$" doubled.
    std::string word, path;
    const std::string rest = line.substr(kExecStart.size());
    if (!rest.empty() && rest[0] == '"') {
        for (size_t i = 1; i < rest.size() && rest[i] != '"'; ++i) word += rest[i] == '\\' ? rest[++i] : rest[i];
    } else {
        word = rest.substr(0, rest.find(' '));
    }
    for (size_t i = 0; i < word.size(); ++i) {
        if ((word[i] == '%' || word[i] == '$') && i + 1 < word.size() && word[i + 1] == word[i]) ++i;
        path += word[i];
    }
    if (word.rfind("%h/", 0) == 0) path = files::join(home, word.substr(3));
    if (path.empty() || path[0] != '/' || unitText(path, home) != text) return std::nullopt;
    return path;
}

bool isOurUnit(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(kExecStart, 0) == 0 && line.find(kAgentFileName) != std::string::npos) return true;
    }
    return false;
}

}  // namespace vemlo::ctl::ServiceUnit
