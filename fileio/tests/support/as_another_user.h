#pragma once

// For tests run as root (as CI runs them): a child process that acts as the
// unprivileged user "nobody", a small file system that fills up, and a
// kernel setting changed for one test only.

#include <filesystem>
#include <fstream>
#include <functional>
#include <grp.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace velmora::testing_support {

inline constexpr uid_t kNobody = 65534;

#define SKIP_UNLESS_ROOT()                                                                         \
    if (::geteuid() != 0) {                                                                        \
        GTEST_SKIP() << "needs root to act as other users (CI runs as root)";                      \
    }

// Runs `body` in a child process as nobody, without supplementary groups,
// and returns what it returned (or how the child died).
inline std::string AsNobody(const std::function<std::string()>& body) {
    int channel[2];
    if (::pipe(channel) != 0) {
        return "no pipe";
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        std::string result;
        if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
            ::setresuid(kNobody, kNobody, kNobody) != 0) {
            result = "cannot become nobody";
        } else {
            try {
                result = body();
            } catch (const std::exception& unexpected) {
                result = std::string("unexpected: ") + unexpected.what();
            }
        }
        [[maybe_unused]] const auto written = ::write(channel[1], result.data(), result.size());
        ::_exit(0);
    }
    ::close(channel[1]);
    std::string result;
    char buffer[4096];
    for (ssize_t count; (count = ::read(channel[0], buffer, sizeof buffer)) > 0;) {
        result.append(buffer, static_cast<std::size_t>(count));
    }
    ::close(channel[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status)) {
        result += " (child killed by signal " + std::to_string(WTERMSIG(status)) + ')';
    }
    return result;
}

// A 1 MiB tmpfs mounted on `folder` for the test's lifetime.
class SmallFileSystem {
  public:
    explicit SmallFileSystem(std::filesystem::path folder) : folder_(std::move(folder)) {
        std::filesystem::create_directories(folder_);
        mounted_ = ::mount("tmpfs", folder_.c_str(), "tmpfs", 0, "size=1m,mode=0755") == 0;
        EXPECT_TRUE(mounted_) << "cannot mount a tmpfs on " << folder_;
    }
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;
    ~SmallFileSystem() {
        if (mounted_) {
            ::umount2(folder_.c_str(), MNT_DETACH);
        }
    }

    // Fills what room is left with one file.
    void Fill() const {
        std::ofstream filler(folder_ / "filler", std::ios::binary);
        const std::string block(4096, 'f');
        while (filler.write(block.data(), static_cast<std::streamsize>(block.size()))) {
        }
    }

  private:
    std::filesystem::path folder_;
    bool mounted_ = false;
};

// Sets a /proc/sys value for the test's lifetime.
class KernelSetting {
  public:
    KernelSetting(std::filesystem::path file, const std::string& value) : file_(std::move(file)) {
        std::ifstream(file_) >> saved_;
        std::ofstream(file_) << value;
    }
    KernelSetting(const KernelSetting&) = delete;
    KernelSetting& operator=(const KernelSetting&) = delete;
    ~KernelSetting() { std::ofstream(file_) << saved_; }

  private:
    std::filesystem::path file_;
    std::string saved_;
};

} // namespace velmora::testing_support
