// SPDX-License-Identifier: MIT
#pragma once

// A fresh folder per test, byte access beside the code under test, and outcomes.

#include "velmora/failure.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <random>
#include <regex>
#include <string>

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

// How many names a folder holds: shows a file created or left behind.
inline auto CountIn(const fs::path& folder) {
    return std::distance(fs::directory_iterator(folder), {});
}

inline void PutBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// The file's bytes, or "(none)" where there is no file.
inline std::string Bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return in ? std::string(std::istreambuf_iterator<char>(in), {}) : "(none)";
}

// Whether `statement` ends as the regular expression `pattern` says: "ok", or
// the FileFailure's system error and description ("2 Cannot open ..."), or else.
inline testing::AssertionResult EndsAs(auto&& statement, const std::string& pattern) {
    std::string outcome = "ok";
    try {
        statement();
    } catch (const FileFailure& failure) {
        outcome = std::to_string(failure.systemError()) + ' ' + failure.description();
    } catch (const std::exception& other) {
        outcome = "not a file failure: "s + other.what();
    }
    const bool matches = std::regex_search(outcome, std::regex(pattern));
    return (matches ? testing::AssertionSuccess() : testing::AssertionFailure()) << outcome;
}

} // namespace velmora::testing_support

// Expects `statement` to end as `pattern` says, such as "^0 .*: it is a folder".
#define EXPECT_FILE_OUTCOME(statement, pattern)                                                    \
    EXPECT_TRUE(::velmora::testing_support::EndsAs([&] { (void)(statement); }, pattern))
