// SPDX-License-Identifier: MIT
#pragma once

// How file failures are worded, in one place for both platforms:
// `Cannot open "C:\in.txt" for reading: No such file or directory`, i.e.
// the step that failed, the path as the user gave it, and the reason.

#include "velmora/failure.h"

#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace velmora::fileio {

// A step of reading or writing, as the user sees it: the words before and
// after the quoted path.
struct Step {
    std::string_view action;
    std::string_view detail = "";
};

inline constexpr Step kOpenForReading{"Cannot open", " for reading"};
inline constexpr Step kRead{"Cannot read"};
inline constexpr Step kOpenForWriting{"Cannot open", " for writing"};
inline constexpr Step kWrite{"Cannot write"};
inline constexpr Step kSave{"Cannot save", " to disk"};
inline constexpr Step kCreate{"Cannot create"};
inline constexpr Step kReplace{"Cannot replace"};
inline constexpr Step kKeepCopy{"Cannot keep a copy of", " while it is rewritten"};

// Throws FileFailure carrying the system's error number and wording.
[[noreturn]] void RaiseFileFailure(Step step, const std::filesystem::path& path,
                                   const std::error_code& why);
// Throws FileFailure for a reason we found ourselves (error number 0).
[[noreturn]] void RaiseFileFailure(Step step, const std::filesystem::path& path,
                                   std::string_view why);

// No copy of the old content could be made beside the output, nor then in
// the temporary folder: the reason there decided (that folder not found,
// it may be), and the one beside the output is given as well.
[[noreturn]] void RaiseNoCopyFailure(const std::filesystem::path& path,
                                     const std::filesystem::path& temporaryFolder,
                                     const std::error_code& there, const std::error_code& beside);

// `failure`, telling also where the old content is kept: putting it back
// failed, so the user must do it.
[[nodiscard]] FileFailure WithCopyKeptIn(const FileFailure& failure,
                                         const std::filesystem::path& copy);

// Runs one step; a system error it throws becomes a FileFailure about `path`.
template <typename Action>
decltype(auto) Attempt(Step step, const std::filesystem::path& path, Action&& action) {
    try {
        return action();
    } catch (const std::system_error& error) {
        RaiseFileFailure(step, path, error.code());
    }
}

// Refuses a path that the system call would not take as typed: one holding
// a NUL (which would cut it short), and on Windows names the system would
// silently change (a trailing dot or space, a device name such as CON, a
// ':' that names a stream).
void RefuseUnusablePath(Step step, const std::filesystem::path& path);

// Our own reasons, for what the system does not refuse by itself.
inline constexpr std::string_view kIsAFolder = "it is a folder, not a file";
inline constexpr std::string_view kIsNotARegularFile = "it is not a regular file";
inline constexpr std::string_view kReplacedMeanwhile =
    "another file took its place while it was being opened";
inline constexpr std::string_view kTakenWhileWritten =
    "another file took its place, or it was removed, while it was being written";

} // namespace velmora::fileio
