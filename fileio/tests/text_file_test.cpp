#include "scratch_folder.h"
#include "velmora/text_file.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include "as_another_user.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#endif

using namespace std::string_literals;
namespace fs = std::filesystem;
using Names = std::vector<std::string>;

namespace velmora {
namespace {

using namespace testing_support;

#ifdef _WIN32
constexpr int kNotFound = ERROR_FILE_NOT_FOUND;
constexpr int kFolderNotFound = ERROR_PATH_NOT_FOUND;
constexpr const char* kNotFoundWords = ""; // worded differently by Windows and wine
#else
constexpr int kNotFound = ENOENT;
constexpr int kFolderNotFound = ENOENT;
constexpr const char* kNotFoundWords = "No such file or directory";
#endif

std::string AllByteValues() {
    std::string bytes;
    for (int code = 0; code < 256; ++code) {
        bytes += static_cast<char>(code);
    }
    return bytes;
}

TEST(TextFile, RoundTripsEveryByteThroughNewAndExistingFiles) {
    const std::string kCases[] = {
        "",          "2F41\r\n",      "41\x1A"s + "42",
        "\0\xFF\0"s, AllByteValues(), std::string(200'000, 'Z')}; // the last: more than one buffer
    for (const std::string& bytes : kCases) {
        SCOPED_TRACE(bytes.substr(0, 8));
        const ScratchFolder folder;
        PutBytes(folder / "longer.bin", std::string(40'000, '#'));

        WriteTextFile(bytes, folder / "new.bin");
        WriteTextFile(bytes, folder / "longer.bin");

        EXPECT_EQ(GetBytes(folder / "new.bin"), bytes);
        EXPECT_EQ(ReadTextFile(folder / "longer.bin"), bytes);
        EXPECT_EQ(folder.Names(), (Names{"longer.bin", "new.bin"})) << "a file left behind";
    }
}

TEST(TextFile, AnyNameTheFileSystemTakesWorks) {
    std::u8string longest; // 255 bytes of UTF-8, the most a Linux name may hold
    for (int i = 0; i < 85; ++i) {
        longest += u8"文";
    }
    for (const std::u8string& name : {std::u8string(u8"Résumé 文字 ünï.txt"), longest}) {
        const ScratchFolder folder;
        const fs::path path = folder / fs::path(name);
        WriteTextFile("new", path);
        WriteTextFile("41", path);
        EXPECT_EQ(ReadTextFile(path), "41");
        EXPECT_EQ(folder.Names(), Names{std::string(name.begin(), name.end())});
    }
}

TEST(ReadTextFileUpTo, ReadsNoMoreThanOneBytePastTheLimit) {
    const ScratchFolder folder;
    PutBytes(folder / "in.txt", std::string(100, 'A'));
    EXPECT_EQ(ReadTextFileUpTo(folder / "in.txt", 100), std::string(100, 'A'));
    EXPECT_EQ(ReadTextFileUpTo(folder / "in.txt", 99), std::nullopt);
#ifndef _WIN32
    // Files in /proc report a size of 0: only what is read counts.
    EXPECT_EQ(ReadTextFileUpTo("/proc/self/maps", 100), std::nullopt);
    EXPECT_NE(ReadTextFileUpTo("/proc/self/maps", 1 << 20).value_or("").find("[stack]"),
              std::string::npos);
#endif
}

TEST(TextFile, RefusesWhatNamesNoFileAndTouchesNothing) {
    const ScratchFolder folder;
    fs::create_directory(folder / "sub");
    PutBytes(folder / "victim", "keep");
    // What the system would take as "victim", the name before the NUL.
    fs::path cutShort = (folder / "victim").native() + fs::path::string_type(1, 0);
    cutShort += ".bak";
    const fs::path missing = folder / "missing.txt";
    const std::string quotedMissing = '"' + missing.string() + '"';
#ifndef _WIN32
    ASSERT_EQ(::mkfifo((folder / "pipe").c_str(), 0600), 0); // an open that waits would hang
#endif

    const struct {
        bool write;
        fs::path path;
        int code;
        std::string words;
    } kCases[] = {
        {true, folder / "sub", 0, "for writing: it is a folder"},
        {true, folder / "missing" / "out.txt", kFolderNotFound, "for writing: "},
        {true, "", kNotFound, "Cannot open \"\" for writing: "},
        {true, cutShort, 0, "for writing: the path holds a NUL character"},
        {false, folder / "sub", 0, "for reading: it is a folder"},
        {false, missing, kNotFound,
         "Cannot open " + quotedMissing + " for reading: " + kNotFoundWords},
        {false, cutShort, 0, "for reading: the path holds a NUL character"},
#ifdef _WIN32
        {true, folder / "out.txt.", 0, "cannot end in a dot"},
        {true, folder / "out.txt:stream", 0, "cannot hold"},
        {true, folder / "con.txt", 0, "belongs to a device"},
        {false, "NUL", 0, "belongs to a device"},
#else
        {true, folder / "pipe", 0, "not a regular file"},
        {false, folder / "pipe", 0, "not a regular file"},
#endif
    };
    for (const auto& [write, path, code, words] : kCases) {
        if (write) {
            EXPECT_FILE_FAILURE(WriteTextFile("x", path), code, words);
        } else {
            EXPECT_FILE_FAILURE(ReadTextFile(path), code, words);
        }
    }

    const Names expected{
#ifndef _WIN32
        "pipe",
#endif
        "sub", "victim"};
    EXPECT_EQ(folder.Names(), expected) << "a file created or left behind";
    EXPECT_TRUE(fs::is_empty(folder / "sub"));
    EXPECT_EQ(GetBytes(folder / "victim"), "keep");
}

#ifdef _WIN32

TEST(WriteTextFile, RefusesAReadOnlyFile) {
    const ScratchFolder folder;
    PutBytes(folder / "out.txt", "old");
    ASSERT_TRUE(::SetFileAttributesW((folder / "out.txt").c_str(), FILE_ATTRIBUTE_READONLY));

    EXPECT_FILE_FAILURE(WriteTextFile("new", folder / "out.txt"), ERROR_ACCESS_DENIED,
                        "for writing: ");

    ::SetFileAttributesW((folder / "out.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(GetBytes(folder / "out.txt"), "old");
    EXPECT_EQ(folder.Names(), Names{"out.txt"});
}

#else

// Everything about a file but its content, size and times.
std::string Identity(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    std::string identity = std::to_string(info.st_ino) + " mode " + std::to_string(info.st_mode) +
                           " owner " + std::to_string(info.st_uid) + ':' +
                           std::to_string(info.st_gid) + " links " + std::to_string(info.st_nlink);
    for (const char* name : {"user.tag", "system.posix_acl_access"}) {
        char value[256];
        const ssize_t size = std::max<ssize_t>(::getxattr(path.c_str(), name, value, 256), 0);
        identity += std::string(" ") + name + '=' + std::string(value, std::size_t(size));
    }
    return identity;
}

TEST(WriteTextFile, AnExistingOutputChangesOnlyInContent) {
    const ScratchFolder folder;
    const fs::path file = folder / "real" / "out.txt";
    fs::create_directory(folder / "real");
    PutBytes(file, "old content, longer than the new");
    ASSERT_EQ(::chown(file.c_str(), 1234, 1234), 0); // someone else's file, edited by root
    ASSERT_EQ(::chmod(file.c_str(), 06750), 0);
    // "u::rw-,u:1000:rw-,g::---,m::rw-,o::---" as the kernel stores it
    const std::string acl =
        "\2\0\0\0\1\0\6\0\xFF\xFF\xFF\xFF\2\0\6\0\xE8\3\0\0\4\0\0\0\xFF\xFF\xFF\xFF"
        "\x10\0\6\0\xFF\xFF\xFF\xFF\x20\0\0\0\xFF\xFF\xFF\xFF"s;
    ASSERT_EQ(::setxattr(file.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0), 0);
    ASSERT_EQ(::setxattr(file.c_str(), "user.tag", "blue", 4, 0), 0);
    ASSERT_EQ(::link(file.c_str(), (folder / "second name").c_str()), 0);
    fs::create_symlink(fs::path("real") / "out.txt", folder / "link.txt");
    const std::string before = Identity(file);

    WriteTextFile("new", folder / "link.txt");

    EXPECT_EQ(Identity(file), before);
    EXPECT_EQ(GetBytes(folder / "second name"), "new");
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(folder / "link.txt")));
    EXPECT_EQ(folder.Names(), (Names{"link.txt", "real", "second name"}));
    EXPECT_EQ(ScratchFolder::NamesIn(folder / "real"), Names{"out.txt"});
}

// Each case as root sets up a folder and maybe an output in it, then writes
// (as nobody, or as root) and checks that the outcome is what a plain save
// would give, and that a failure changes nothing.
TEST(WriteTextFile, DoesWhatAPlainSaveMayAndNothingOnFailure) {
    SKIP_UNLESS_ROOT();
    enum Limit { kNone, kFullDisk, kSizeLimit, kProtectedSymlinks, kProtectedRegular };
    constexpr mode_t kNoFile = 0;
    const struct {
        const char* name;
        mode_t folderMode;
        uid_t folderOwner;
        mode_t fileMode;
        uid_t fileOwner;
        Limit limit;
        bool asNobody;
        std::string outcome;
    } kCases[] = {
        {"own read-only file", 0755, kNobody, 0444, kNobody, kNone, true, "13 Cannot open"},
        {"another's file, shared folder", 0777, 0, 0666, 0, kNone, true, "ok"},
        {"another's file, sticky folder", 01777, 0, 0666, 0, kNone, true, "ok"},
        {"own setuid file", 0755, kNobody, 06755, kNobody, kNone, true, "ok"},
        {"folder takes no new file", 0555, 0, 0644, kNobody, kNone, true, "ok"},
        {"full disk, new output", 0777, 0, kNoFile, 0, kFullDisk, true, "28 Cannot write"},
        {"full disk", 0777, 0, 0644, kNobody, kFullDisk, true, "28 Cannot write"},
        {"full disk, no new file", 0555, 0, 0644, kNobody, kFullDisk, true, "28 Cannot write"},
        {"size limit, new output", 0777, 0, kNoFile, 0, kSizeLimit, true, "27 Cannot write"},
        {"size limit", 0777, 0, 0644, kNobody, kSizeLimit, true, "27 Cannot write"},
        {"another's link in /tmp", 01777, 0, 0644, 0, kProtectedSymlinks, false, "13 Cannot open"},
        {"another's file in /tmp", 01777, 0, 0644, kNobody, kProtectedRegular, false,
         "13 Cannot open"},
    };
    for (const auto& [name, folderMode, folderOwner, fileMode, fileOwner, limit, asNobody,
                      expected] : kCases) {
        SCOPED_TRACE(name);
        const ScratchFolder folder;
        const fs::path shared = folder / "shared", temporary = folder / "tmp";
        const fs::path out = shared / "out.txt";
        const fs::path file = limit == kProtectedSymlinks ? folder / "root's file" : out;
        fs::create_directories(temporary);
        fs::permissions(temporary, fs::perms::all);
        std::optional<SmallFileSystem> disk;
        if (limit == kFullDisk) {
            disk.emplace(shared);
        }
        fs::create_directories(shared);
        if (fileMode != kNoFile) {
            PutBytes(file, std::string(1000, 'o'));
            ASSERT_EQ(::chown(file.c_str(), fileOwner, fileOwner), 0);
            ASSERT_EQ(::chmod(file.c_str(), fileMode), 0);
        }
        if (limit == kProtectedSymlinks) { // planted by nobody
            fs::create_symlink(file, out);
            ASSERT_EQ(::lchown(out.c_str(), kNobody, kNobody), 0);
        }
        if (disk) {
            disk->Fill();
        }
        ASSERT_EQ(::chown(shared.c_str(), folderOwner, folderOwner), 0);
        ASSERT_EQ(::chmod(shared.c_str(), folderMode), 0);
        const std::string before = fileMode == kNoFile ? "" : Identity(file);
        const Names names = ScratchFolder::NamesIn(shared);
        std::optional<KernelSetting> protect;
        if (limit == kProtectedSymlinks || limit == kProtectedRegular) {
            protect.emplace(limit == kProtectedSymlinks ? "protected_symlinks"
                                                        : "protected_regular");
        }

        const auto write = [&] {
            return OutcomeOf([&] { WriteTextFile(std::string(300'000, 'n'), out); });
        };
        const std::string outcome = !asNobody ? write() : AsNobody([&] {
            ::setenv("TMPDIR", temporary.c_str(), 1); // where a backup goes if not beside
            const rlimit lowered{4096, 4096};
            if (limit == kSizeLimit) {
                ::setrlimit(RLIMIT_FSIZE, &lowered);
            }
            return write();
        });
        protect.reset();

        EXPECT_EQ(outcome.substr(0, expected.size()), expected) << outcome;
        const std::string old = fileMode == kNoFile ? "none" : std::string(1000, 'o');
        EXPECT_EQ(fs::exists(file) ? GetBytes(file) : "none",
                  expected == "ok" ? std::string(300'000, 'n') : old);
        EXPECT_EQ(fileMode == kNoFile ? "" : Identity(file), before);
        EXPECT_EQ(ScratchFolder::NamesIn(shared), names);
        EXPECT_TRUE(fs::is_empty(temporary)) << "a backup left behind";
    }
}

#endif

} // namespace
} // namespace velmora
