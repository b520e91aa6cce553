// Which module a host that names none loads: one rule for the C++, C and Python faces and the
// programs, so that they all agree on which copy they use.
#include <filesystem>
#include <system_error>

#include "host/client/module_loader.h"

namespace host {

std::string FirstExistingModule(std::span<const std::string> candidates, std::string& error) {
    std::string tried;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        std::error_code failed;
        if (std::filesystem::is_regular_file(candidates[i], failed)) return candidates[i];
        if (i > 0) tried += i + 1 == candidates.size() ? " or " : ", ";
        tried += candidates[i];
    }
    error = candidates.empty() ? "no place to look for the driver module"
                               : "no driver module at " + tried;
    return "";
}

std::string DefaultModulePath(std::string& error) {
    const std::vector<std::string> candidates = DefaultModuleCandidates();
    return FirstExistingModule(candidates, error);
}

}  // namespace host
