// SPDX-License-Identifier: MIT
#include "file_failures.h"

#include "velmora/failure.h"

namespace velmora::fileio {
namespace {

// The path in double quotes, as UTF-8, with every character kept. A NUL
// would end the description early, so it shows as the symbol for it, "␀".
std::string Quoted(const std::filesystem::path& path) {
    std::string quoted = "\"";
    for (const char8_t c : path.u8string()) {
        quoted += c == 0 ? std::string("\u2400") : std::string(1, static_cast<char>(c));
    }
    return quoted + '"';
}

std::string Describe(Step step, const std::filesystem::path& path, std::string_view why) {
    return std::string(step.action) + ' ' + Quoted(path) + std::string(step.detail) + ": " +
           std::string(why);
}

} // namespace

void RaiseFileFailure(Step step, const std::filesystem::path& path, const std::error_code& why) {
    throw FileFailure(Describe(step, path, why.message()), why.value());
}

void RaiseFileFailure(Step step, const std::filesystem::path& path, std::string_view why) {
    throw FileFailure(Describe(step, path, why), 0);
}

} // namespace velmora::fileio
