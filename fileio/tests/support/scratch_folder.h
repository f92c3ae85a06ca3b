#pragma once

// A fresh folder per test, removed afterwards; raw byte access that does not
// go through the code under test; and how a file operation ended.

#include "velmora/failure.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace velmora::testing_support {

class ScratchFolder {
  public:
    ScratchFolder()
        : path_(std::filesystem::temp_directory_path() /
                ("velmora-test-" + std::to_string(std::random_device()()) +
                 std::to_string(std::random_device()()))) {
        std::filesystem::create_directories(path_);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }

    [[nodiscard]] const std::filesystem::path& path() const { return path_; }
    [[nodiscard]] std::filesystem::path operator/(const std::filesystem::path& name) const {
        return path_ / name;
    }
    // The names in a folder, sorted: shows any file left behind.
    [[nodiscard]] std::vector<std::string> Names() const { return NamesIn(path_); }
    [[nodiscard]] static std::vector<std::string> NamesIn(const std::filesystem::path& folder) {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            const std::u8string name = entry.path().filename().u8string();
            names.emplace_back(name.begin(), name.end());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

  private:
    std::filesystem::path path_;
};

inline void PutBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    ASSERT_TRUE(out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()))) << path;
}

inline std::string GetBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << path;
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// "ok", or the FileFailure's system error number and description
// ("2 Cannot open ..."); any other failure propagates.
inline std::string OutcomeOf(const std::function<void()>& statement) {
    try {
        statement();
    } catch (const FileFailure& failure) {
        return std::to_string(failure.systemError()) + ' ' + failure.description();
    }
    return "ok";
}

} // namespace velmora::testing_support

// Expects `statement` to raise a FileFailure with the system error number
// `code` (0: one we found ourselves) whose description holds `words`.
#define EXPECT_FILE_FAILURE(statement, code, words)                                                \
    do {                                                                                           \
        const std::string outcome_ =                                                               \
            ::velmora::testing_support::OutcomeOf([&] { (void)(statement); });                     \
        EXPECT_EQ(outcome_.rfind(std::to_string(code) + ' ', 0), 0u) << outcome_;                  \
        EXPECT_NE(outcome_.find(words), std::string::npos) << outcome_;                            \
    } while (false)
