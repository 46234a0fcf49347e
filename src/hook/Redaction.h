#pragma once

#include <string>
#include <string_view>

// Keeping secrets out of the diagnostics logs. Those logs end up in support requests and bug
// reports, so a command or a URL is recorded only with its credentials masked.
namespace vemlo::HookSupport {

// Whether a variable, option or header name suggests a secret: it holds KEY, TOKEN, SECRET,
// PASSWORD, PASSWD, AUTH, CREDENTIAL, SESSION, JWT, COOKIE, BEARER or NONCE, or one of its words
// (split at "_" and "-") is PAT, PASS or PW; any case.
bool namesASecret(std::string_view name);

// `text` with the user information of every URL removed ("http://u:pass@h/" becomes "http://h/").
std::string stripUrlUserInfo(std::string_view text);

// The start of a command for a log: URLs stripped of user information, the value of every
// assignment or option whose name namesASecret ("TOKEN=…", "--api-key …" is not one, "--api-key=…"
// is) and the rest of every header line whose name does ("Authorization: …") replaced by
// "<redacted>", then cut to `maxCharacters` user-perceived characters.
std::string redactedCommandPreview(std::string_view command, size_t maxCharacters);

}  // namespace vemlo::HookSupport
