#include "scratch_folder.h"
#include "velmora/failure.h"
#include "velmora/text_file.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <string>

#ifndef _WIN32
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace std::string_literals;
namespace fs = std::filesystem;

namespace velmora {
namespace {

using testing_support::AllByteValues;
using testing_support::GetBytes;
using testing_support::PutBytes;
using testing_support::ScratchFolder;

// Runs `action` and returns the description of the FileFailure it raises.
template <typename Action> std::string FileFailureOf(Action action) {
    try {
        action();
    } catch (const FileFailure& failure) {
        EXPECT_EQ(failure.number(), FailureNumber::File);
        return failure.description();
    }
    ADD_FAILURE() << "no FileFailure";
    return {};
}

struct ContentCase {
    const char* name;
    std::string bytes;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const ContentCase& testCase, std::ostream* out) {
    *out << testCase.name;
}

class ContentRoundTrip : public testing::TestWithParam<ContentCase> {};

TEST_P(ContentRoundTrip, IsByteForByte) {
    const ScratchFolder folder;
    const std::string& bytes = GetParam().bytes;

    WriteTextFile(bytes, folder / "written.bin");
    EXPECT_EQ(GetBytes(folder / "written.bin"), bytes) << "written with something added or lost";

    PutBytes(folder / "given.bin", bytes);
    EXPECT_EQ(ReadTextFile(folder / "given.bin"), bytes) << "read with something added or lost";
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Bytes, ContentRoundTrip, testing::Values(
    ContentCase{"Empty",               ""},
    ContentCase{"Hex",                 "2F41"},
    ContentCase{"CrLfKept",            "2F41\r\n4142\r\n"},
    ContentCase{"LoneLf",              "41\n"},
    ContentCase{"ControlZIsNoEnd",     "41\x1A" "42"},
    ContentCase{"NulAndFF",            "\0\xFF\0"s},
    ContentCase{"EveryByte",           AllByteValues()},
    ContentCase{"LargerThanOneBuffer", std::string(200'000, 'Z')}),
    [](const testing::TestParamInfo<ContentCase>& info) { return std::string(info.param.name); });
// clang-format on

TEST(WriteTextFile, ReplacesLongerContentAndLeavesNoTemporaryFile) {
    const ScratchFolder folder;
    PutBytes(folder / "out.txt", std::string(5000, 'x'));

    WriteTextFile("new", folder / "out.txt");

    EXPECT_EQ(GetBytes(folder / "out.txt"), "new");
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"out.txt"});
}

TEST(WriteTextFile, EmptyTextCreatesOrEmptiesTheFile) {
    const ScratchFolder folder;
    PutBytes(folder / "full.txt", "content");

    WriteTextFile("", folder / "new.txt");
    WriteTextFile("", folder / "full.txt");

    EXPECT_TRUE(fs::exists(folder / "new.txt"));
    EXPECT_EQ(fs::file_size(folder / "new.txt"), 0u);
    EXPECT_EQ(fs::file_size(folder / "full.txt"), 0u);
}

TEST(WriteTextFile, KeepsEveryCharacterOfAPath) {
    const ScratchFolder folder;
    const fs::path path = folder / fs::path(u8"Résumé 文字 ünï.txt");

    WriteTextFile("41", path);

    EXPECT_EQ(ReadTextFile(path), "41");
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"Résumé 文字 ünï.txt"});
}

TEST(WriteTextFile, RefusesUnusablePathsAndCreatesNothing) {
    const ScratchFolder folder;
    fs::create_directory(folder / "sub");

    EXPECT_NE(FileFailureOf([&] { WriteTextFile("x", folder / "sub"); }).find("folder"),
              std::string::npos);
    EXPECT_NE(FileFailureOf([&] {
                  WriteTextFile("x", folder / "missing" / "out.txt");
              }).find("for writing"),
              std::string::npos);
    (void)FileFailureOf([&] { WriteTextFile("x", ""); });

    EXPECT_EQ(folder.Names(), std::vector<std::string>{"sub"});
    EXPECT_TRUE(fs::is_empty(folder / "sub"));
}

TEST(ReadTextFile, MissingFileFailsWithTheSystemsReasonAndIsNotCreated) {
#ifdef _WIN32
    constexpr int kFileNotFound = 2; // ERROR_FILE_NOT_FOUND
#else
    constexpr int kFileNotFound = ENOENT;
#endif
    const ScratchFolder folder;
    const fs::path missing = folder / "in.txt";
    try {
        (void)ReadTextFile(missing);
        ADD_FAILURE() << "no FileFailure";
    } catch (const FileFailure& failure) {
        const std::string expectedStart = "Cannot open \"" + missing.string() + "\" for reading: ";
        ASSERT_EQ(failure.description().rfind(expectedStart, 0), 0u) << failure.description();
        const std::string reason = failure.description().substr(expectedStart.size());
        RecordProperty("reason", reason);
        EXPECT_EQ(failure.systemError(), kFileNotFound);
        EXPECT_EQ(reason.find("rror " + std::to_string(kFileNotFound)), std::string::npos)
            << "the system's wording is missing: " << reason;
    }
    EXPECT_FALSE(fs::exists(missing));
}

TEST(ReadTextFile, FolderFailsAsAFolder) {
    const ScratchFolder folder;
    const std::string description = FileFailureOf([&] { (void)ReadTextFile(folder.path()); });
    EXPECT_NE(description.find("it is a folder"), std::string::npos) << description;
}

#ifdef _WIN32

TEST(ReadTextFile, DeviceIsNotAFile) {
    const std::string description = FileFailureOf([] { (void)ReadTextFile("NUL"); });
    EXPECT_NE(description.find("not a regular file"), std::string::npos) << description;
}

#else

TEST(ReadTextFile, PipeFailsAtOnceInsteadOfWaiting) {
    const ScratchFolder folder;
    ASSERT_EQ(::mkfifo((folder / "pipe").c_str(), 0600), 0);
    // Without a writer, an open that waits would hang this test.
    const std::string description = FileFailureOf([&] { (void)ReadTextFile(folder / "pipe"); });
    EXPECT_NE(description.find("not a regular file"), std::string::npos) << description;
}

TEST(WriteTextFile, KeepsPermissionsOfTheReplacedFile) {
    const ScratchFolder folder;
    PutBytes(folder / "out.txt", "old");
    fs::permissions(folder / "out.txt", fs::perms::owner_read | fs::perms::owner_write |
                                            fs::perms::group_read | fs::perms::others_exec);

    WriteTextFile("new", folder / "out.txt");

    EXPECT_EQ(fs::status(folder / "out.txt").permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                  fs::perms::others_exec);
}

TEST(WriteTextFile, ReplacesTheFileBehindASymbolicLinkAndKeepsTheLink) {
    const ScratchFolder folder;
    fs::create_directory(folder / "real");
    PutBytes(folder / "real" / "out.txt", "old");
    fs::create_symlink(fs::path("real") / "out.txt", folder / "link.txt");

    WriteTextFile("new", folder / "link.txt");

    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(folder / "link.txt")));
    EXPECT_EQ(GetBytes(folder / "real" / "out.txt"), "new");
}

// Lowers the largest file this process may write, so that a write fails
// part-way with EFBIG as it would on a full disk.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        const rlimit lowered{bytes, saved_.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &lowered);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previousHandler_);
    }

  private:
    rlimit saved_{};
    void (*previousHandler_)(int) = nullptr;
};

TEST(WriteTextFile, FailurePartWayLeavesTheOldFileAndNoTemporaryFile) {
    const ScratchFolder folder;
    PutBytes(folder / "out.txt", "the only copy");

    std::string description;
    {
        const FileSizeLimit limit(4096);
        description =
            FileFailureOf([&] { WriteTextFile(std::string(100'000, 'x'), folder / "out.txt"); });
    }

    EXPECT_NE(description.find("Cannot write \"" + (folder / "out.txt").string() + "\": "),
              std::string::npos)
        << description;
    EXPECT_EQ(GetBytes(folder / "out.txt"), "the only copy");
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"out.txt"});
}

TEST(WriteTextFile, WritesInPlaceWhenTheFolderTakesNoNewFile) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "folder permissions do not bind the superuser";
    }
    const ScratchFolder folder;
    PutBytes(folder / "out.txt", "old content");
    fs::permissions(folder.path(), fs::perms::owner_write, fs::perm_options::remove);

    WriteTextFile("new", folder / "out.txt");

    fs::permissions(folder.path(), fs::perms::owner_write, fs::perm_options::add);
    EXPECT_EQ(GetBytes(folder / "out.txt"), "new");
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"out.txt"});
}

#endif

} // namespace
} // namespace velmora
