#include "file_failures.h"

#include "velmora/failure.h"

namespace velmora::native {

SystemError ToSystemError(const std::error_code& error) {
    return {error.value(), error.message()};
}

SystemError IsAFolder() {
    return {0, "it is a folder, not a file"};
}

SystemError IsNotARegularFile() {
    return {0, "it is not a regular file"};
}

std::string Quoted(const std::filesystem::path& path) {
    const std::u8string utf8 = path.u8string();
    return '"' + std::string(utf8.begin(), utf8.end()) + '"';
}

void RaiseFileFailure(std::string_view action, const std::filesystem::path& path,
                      std::string_view detail, const SystemError& why) {
    throw FileFailure(
        std::string(action) + ' ' + Quoted(path) + std::string(detail) + ": " + why.text, why.code);
}

} // namespace velmora::native
