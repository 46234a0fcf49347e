#pragma once

#include <string_view>

namespace vemlo {

// The per-user preference store. Only removal is needed: the agent drops a stale lever override
// at every start.
class UserDefaults {
public:
    virtual ~UserDefaults() = default;
    virtual void removeKey(std::string_view key) = 0;
};

// Linux keeps no such store for us, so there is never anything to remove. The seam stays so that a
// macOS backend can remove the key from its defaults domain.
class NoUserDefaults final : public UserDefaults {
public:
    void removeKey(std::string_view) override {}
};

}  // namespace vemlo
