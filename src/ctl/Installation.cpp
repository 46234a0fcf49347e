#include "ctl/Installation.h"

#include "ctl/HookRegistrations.h"
#include "ctl/ServiceUnit.h"
#include "platform/Files.h"

namespace vemlo::ctl::Installation {
namespace {

bool ourUserUnit(const std::string& home) {
    auto text = files::readFile(ServiceUnit::unitPath(home));
    return text && ServiceUnit::isOurUnit(*text);
}

}  // namespace

std::string packagedAgentPath(const std::string& root) {
    return files::join(root, std::string("usr/bin/") + std::string(kAgentFileName));
}

std::string packagedUnitPath(const std::string& root) {
    return files::join(root, std::string("usr/lib/systemd/user/") + ServiceUnit::kUnitName);
}

bool fromPackage(const std::string& root) {
    return files::exists(packagedAgentPath(root)) && files::exists(packagedUnitPath(root));
}

Found find(const std::string& root, const std::string& home, const std::string& binDir) {
    Found f;
    const bool userUnit = ourUserUnit(home);
    const std::string copy = files::join(binDir, kAgentFileName);
    if (fromPackage(root)) {
        f.kind = Kind::package;
        f.agentPath = packagedAgentPath(root);
        f.userUnitToo = userUnit;
    } else if (userUnit || files::exists(copy)) {
        f.kind = Kind::userCopy;
        f.agentPath = copy;
    }
    return f;
}

std::string describe(const Found& f) {
    switch (f.kind) {
    case Kind::package:
        return "package (" + f.agentPath + ")" +
               (f.userUnitToo ? "; a user unit of an earlier `vemloctl install` hides the package's unit "
                                "(run `vemloctl install` again to hand over to the package)"
                              : "");
    case Kind::userCopy:
        return "user copy (" + f.agentPath + ")";
    case Kind::none:
        break;
    }
    return "none (run `vemloctl install`)";
}

}  // namespace vemlo::ctl::Installation
