#pragma once

// How file failures are worded: `Cannot open "C:\in.txt" for reading: No
// such file or directory`, i.e. what was being done, to which path, and the
// operating system's reason.

#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace velmora::native {

struct SystemError {
    int code = 0; // the system's error number; 0 when we detected it ourselves
    std::string text;
};

// The error of the last failed system call (errno, or GetLastError()).
[[nodiscard]] SystemError LastSystemError();
[[nodiscard]] SystemError ToSystemError(const std::error_code& error);

// Whether a system error number means "not allowed" (rather than, say, a
// full disk or a missing folder).
[[nodiscard]] bool IsPermissionError(int code) noexcept;

// Reasons detected by us rather than by the system.
[[nodiscard]] SystemError IsAFolder();
[[nodiscard]] SystemError IsNotARegularFile();

// The path in double quotes, as UTF-8, with every character kept.
[[nodiscard]] std::string Quoted(const std::filesystem::path& path);

// Throws FileFailure described as `<action> "<path>"<detail>: <why>`, e.g.
// `Cannot open "C:\in.txt" for reading: No such file or directory`.
[[noreturn]] void RaiseFileFailure(std::string_view action, const std::filesystem::path& path,
                                   std::string_view detail, const SystemError& why);

} // namespace velmora::native
