// SPDX-License-Identifier: MIT
#pragma once

// A fresh folder per test, byte access beside the code under test, and outcomes.

#include "velmora/failure.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <random>
#include <regex>
#include <string>
#ifdef _WIN32
#include <winerror.h>
#endif

namespace velmora::testing_support {

namespace fs = std::filesystem;
using namespace std::string_literals;

struct ScratchFolder {
    const fs::path path =
        fs::temp_directory_path() / ("velmora-test-" + std::to_string(std::random_device()()));

    ScratchFolder() { fs::create_directories(path); }
    ~ScratchFolder() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    fs::path operator/(const fs::path& name) const { return path / name; }
};

// How many names a folder holds, but those NFS and FUSE give removed files still open.
inline auto CountIn(const fs::path& folder) {
    return std::count_if(fs::directory_iterator(folder), {}, [](const auto& entry) {
        const std::u8string name = entry.path().filename().u8string();
        return !name.starts_with(u8".nfs") && !name.starts_with(u8".fuse_hidden");
    });
}

// Gives `file` a second name `link`, or false where the file system has no hard links.
inline bool HardLinked(const fs::path& file, const fs::path& link) {
    std::error_code error;
    fs::create_hard_link(file, link, error);
    if (error && error != std::errc::operation_not_permitted && error != std::errc::not_supported &&
        error != std::errc::function_not_supported && error != std::errc::too_many_links) {
        throw fs::filesystem_error("cannot create hard link", file, link, error);
    }
    return !error;
}

inline void PutBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// The file's bytes, or "(none)" where there is no file (a folder, say).
inline std::string Bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return in && !fs::is_directory(path) ? std::string(std::istreambuf_iterator<char>(in), {})
                                         : "(none)";
}

// The expected "system error" of a statement that must succeed.
inline constexpr int kSucceeds = -1;
#ifdef _WIN32
inline constexpr int kNotFound = ERROR_FILE_NOT_FOUND;
#else
inline constexpr int kNotFound = ENOENT;
#endif

// Whether `statement` ends without a failure (`systemError` kSucceeds), or with a file
// failure (2) carrying `systemError` (0: found by us) and matching regex `pattern`.
inline testing::AssertionResult EndsAs(auto&& statement, int systemError,
                                       const std::string& pattern) {
    std::string outcome = "it succeeds";
    bool expected = systemError == kSucceeds;
    try {
        statement();
    } catch (const FileFailure& failure) {
        outcome = "Error " + std::to_string(static_cast<int>(failure.number())) +
                  ", system error " + std::to_string(failure.systemError()) + ": " +
                  failure.description();
        expected = failure.number() == FailureNumber::File &&
                   failure.systemError() == systemError &&
                   std::regex_search(failure.description(), std::regex(pattern));
    }
    return (expected ? testing::AssertionSuccess() : testing::AssertionFailure()) << outcome;
}

} // namespace velmora::testing_support

// Expects `statement` to end as EndsAs says, e.g. (ENOENT, "^Cannot open").
#define EXPECT_FILE_OUTCOME(statement, systemError, pattern)                                       \
    EXPECT_TRUE(                                                                                   \
        ::velmora::testing_support::EndsAs([&] { (void)(statement); }, systemError, pattern))
