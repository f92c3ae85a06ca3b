// SPDX-License-Identifier: MIT
#include "file_failures.h"

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

void RaiseNoCopyFailure(const std::filesystem::path& path,
                        const std::filesystem::path& temporaryFolder, const std::error_code& there,
                        const std::error_code& beside) {
    const std::string named = temporaryFolder.empty() ? "" : ' ' + Quoted(temporaryFolder);
    const std::string why = there == std::errc::no_such_file_or_directory
                                ? "the temporary folder" + named + " cannot be found"
                                : there.message() + " in" + named;
    throw FileFailure(Describe(kKeepCopy, path, why + " (beside it: " + beside.message() + ')'),
                      there.value());
}

FileFailure WithCopyKeptIn(const FileFailure& failure, const std::filesystem::path& copy) {
    return FileFailure(failure.description() + "; its old content is kept in " + Quoted(copy),
                       failure.systemError());
}

} // namespace velmora::fileio
