#pragma once

// For tests run as root (as CI runs them): a child process acting as the
// unprivileged user nobody, a small file system that fills up, and a
// kernel setting changed for one test.

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
// and returns what it returned, or how the child died.
inline std::string AsNobody(const std::function<std::string()>& body) {
    int channel[2];
    EXPECT_EQ(::pipe(channel), 0);
    if (::fork() == 0) {
        const bool dropped = ::setgroups(0, nullptr) == 0 &&
                             ::setresgid(kNobody, kNobody, kNobody) == 0 &&
                             ::setresuid(kNobody, kNobody, kNobody) == 0;
        const std::string result = dropped ? body() : "cannot become nobody";
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
    ::wait(&status);
    return WIFEXITED(status) ? result : result + " (child died)";
}

// A 1 MiB tmpfs on `folder` for the object's lifetime.
class SmallFileSystem {
  public:
    explicit SmallFileSystem(std::filesystem::path folder) : folder_(std::move(folder)) {
        std::filesystem::create_directories(folder_);
        EXPECT_EQ(::mount("tmpfs", folder_.c_str(), "tmpfs", 0, "size=1m"), 0) << folder_;
    }
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;
    ~SmallFileSystem() { ::umount2(folder_.c_str(), MNT_DETACH); }

    void Fill() const {
        std::ofstream filler(folder_ / "filler", std::ios::binary);
        for (const std::string block(4096, 'f'); filler.write(block.data(), 4096);) {
        }
    }

  private:
    std::filesystem::path folder_;
};

// Sets /proc/sys/fs/<name> to 1 for the object's lifetime.
class KernelSetting {
  public:
    explicit KernelSetting(const std::string& name) : file_("/proc/sys/fs/" + name) {
        std::ifstream(file_) >> saved_;
        std::ofstream(file_) << 1;
    }
    KernelSetting(const KernelSetting&) = delete;
    KernelSetting& operator=(const KernelSetting&) = delete;
    ~KernelSetting() { std::ofstream(file_) << saved_; }

  private:
    std::string file_, saved_;
};

} // namespace velmora::testing_support
