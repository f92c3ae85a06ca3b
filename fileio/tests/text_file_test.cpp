#include "scratch_folder.h"
#include "velmora/text_file.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include "as_another_user.h"

#include <cstring>
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
#else
constexpr int kNotFound = ENOENT;
constexpr int kFolderNotFound = ENOENT;
#endif

TEST(TextFile, RoundTripsEveryByteThroughNewAndExistingFiles) {
    const struct {
        const char* name;
        std::string bytes;
    } kCases[] = {
        {"empty", ""},
        {"hex", "2F41"},
        {"CR LF kept", "2F41\r\n4142\r\n"},
        {"lone LF", "41\n"},
        {"^Z is no end", "41\x1A"s + "42"},
        {"NUL and FF", "\0\xFF\0"s},
        {"every byte", AllByteValues()},
        {"more than one buffer", std::string(200'000, 'Z')},
    };
    for (const auto& [name, bytes] : kCases) {
        SCOPED_TRACE(name);
        const ScratchFolder folder;
        PutBytes(folder / "longer.bin", std::string(40'000, '#'));

        WriteTextFile(bytes, folder / "new.bin");
        WriteTextFile(bytes, folder / "longer.bin");

        EXPECT_EQ(GetBytes(folder / "new.bin"), bytes);
        EXPECT_EQ(GetBytes(folder / "longer.bin"), bytes);
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

    const struct {
        fs::path path;
        int code;
        std::string words;
    } kWrites[] =
        {
            {folder / "sub", 0, "for writing: it is a folder"},
            {folder / "missing" / "out.txt", kFolderNotFound, "for writing: "},
            {"", kNotFound, "Cannot open \"\" for writing: "},
            {cutShort, 0, "for writing: the path holds a NUL character"},
#ifdef _WIN32
            {folder / "out.txt.", 0, "cannot end in a dot"},
            {folder / "out.txt:stream", 0, "cannot hold"},
            {folder / "con.txt", 0, "belongs to a device"},
#endif
        },
      kReads[] = {
          {folder / "sub", 0, "for reading: it is a folder"},
          {folder / "missing.txt", kNotFound,
           "Cannot open \"" + (folder / "missing.txt").string() + "\" for reading: "},
          {cutShort, 0, "for reading: the path holds a NUL character"},
#ifdef _WIN32
          {"NUL", 0, "belongs to a device"},
#endif
      };
    for (const auto& [path, code, words] : kWrites) {
        EXPECT_FILE_FAILURE(WriteTextFile("x", path), code, words);
    }
    for (const auto& [path, code, words] : kReads) {
        EXPECT_FILE_FAILURE(ReadTextFile(path), code, words);
    }

    EXPECT_EQ(folder.Names(), (Names{"sub", "victim"}));
    EXPECT_TRUE(fs::is_empty(folder / "sub"));
    EXPECT_EQ(GetBytes(folder / "victim"), "keep");
    const std::string missing = OutcomeOf([&] { (void)ReadTextFile(folder / "missing.txt"); });
    EXPECT_EQ(missing.find("rror " + std::to_string(kNotFound)), std::string::npos)
        << "the system's own wording is missing: " << missing;
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

TEST(TextFile, PathsLongerThanMaxPathWork) {
    const ScratchFolder folder;
    const std::wstring part(100, L'd');
    const fs::path deep = folder / part / part;
    ASSERT_TRUE(fs::create_directories(L"\\\\?\\" + deep.wstring()));
    const fs::path path = deep / (part + L".txt");
    ASSERT_GT(path.native().size(), MAX_PATH);

    WriteTextFile("new", path);
    WriteTextFile("41", path);

    EXPECT_EQ(ReadTextFile(path), "41");
}

#else

TEST(ReadTextFile, PipeFailsAtOnceInsteadOfWaiting) {
    const ScratchFolder folder;
    ASSERT_EQ(::mkfifo((folder / "pipe").c_str(), 0600), 0);
    // Without a writer, an open that waits would hang this test.
    EXPECT_FILE_FAILURE(ReadTextFile(folder / "pipe"), 0, "not a regular file");
    EXPECT_FILE_FAILURE(WriteTextFile("x", folder / "pipe"), 0, "not a regular file");
}

// Everything about a file but its content, size and times.
std::string Identity(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    std::string identity = "inode " + std::to_string(info.st_ino) + " mode " +
                           std::to_string(info.st_mode) + " owner " + std::to_string(info.st_uid) +
                           ':' + std::to_string(info.st_gid) + " links " +
                           std::to_string(info.st_nlink);
    char names[1024];
    const ssize_t size = ::listxattr(path.c_str(), names, sizeof names);
    for (ssize_t at = 0; at < size; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
        char value[256];
        const ssize_t length = ::getxattr(path.c_str(), names + at, value, sizeof value);
        identity += ' ' + std::string(names + at) + '=' +
                    std::string(value, static_cast<std::size_t>(std::max<ssize_t>(length, 0)));
    }
    return identity;
}

void SetAcl(const fs::path& path) {
    // The system.posix_acl_access value of "u::rw-,u:1000:rw-,g::---,m::rw-,o::---".
    struct Entry {
        std::uint16_t tag, permissions;
        std::uint32_t id;
    };
    const struct {
        std::uint32_t version = 2;
        Entry entries[5] = {
            {0x01, 6, ~0u}, {0x02, 6, 1000}, {0x04, 0, ~0u}, {0x10, 6, ~0u}, {0x20, 0, ~0u}};
    } acl;
    ASSERT_EQ(::setxattr(path.c_str(), "system.posix_acl_access", &acl, sizeof acl, 0), 0);
}

TEST(WriteTextFile, AnExistingOutputChangesOnlyInContent) {
    const ScratchFolder folder;
    const fs::path file = folder / "real" / "out.txt";
    fs::create_directory(folder / "real");
    PutBytes(file, "old content, longer than the new");
    ASSERT_EQ(::chmod(file.c_str(), 06750), 0);
    SetAcl(file);
    ASSERT_EQ(::setxattr(file.c_str(), "user.tag", "blue", 4, 0), 0);
    ASSERT_EQ(::link(file.c_str(), (folder / "second name").c_str()), 0);
    fs::create_symlink(fs::path("real") / "out.txt", folder / "link.txt");
    ::chown(file.c_str(), 1234, 1234); // someone else's file, edited by root
    const std::string before = Identity(file);

    WriteTextFile("new", folder / "link.txt");

    EXPECT_EQ(Identity(file), before);
    EXPECT_EQ(GetBytes(folder / "second name"), "new");
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(folder / "link.txt")));
    EXPECT_EQ(folder.Names(), (Names{"link.txt", "real", "second name"}));
    EXPECT_EQ(ScratchFolder::NamesIn(folder / "real"), Names{"out.txt"});
}

TEST(WriteTextFile, AnOrdinaryUserMayWriteWhatAPlainSaveMay) {
    SKIP_UNLESS_ROOT();
    const struct {
        const char* name;
        mode_t folderMode;
        uid_t folderOwner;
        mode_t fileMode;
        uid_t fileOwner;
        std::string outcome;
    } kCases[] = {
        {"own read-only file", 0755, kNobody, 0444, kNobody, "13 Cannot open"},
        {"another's file in a shared folder", 0777, 0, 0666, 0, "ok"},
        {"another's file in a sticky folder", 01777, 0, 0666, 0, "ok"},
        {"own setuid file", 0755, kNobody, 06755, kNobody, "ok"},
        {"folder that takes no new file", 0555, 0, 0644, kNobody, "ok"},
    };
    for (const auto& [name, folderMode, folderOwner, fileMode, fileOwner, expected] : kCases) {
        SCOPED_TRACE(name);
        const ScratchFolder folder;
        const fs::path shared = folder / "shared", temporary = folder / "tmp";
        const fs::path file = shared / "out.txt";
        fs::create_directories(temporary);
        fs::create_directories(shared);
        fs::permissions(temporary, fs::perms::all);
        PutBytes(file, "old");
        ASSERT_EQ(::chown(file.c_str(), fileOwner, fileOwner), 0);
        ASSERT_EQ(::chmod(file.c_str(), fileMode), 0);
        ASSERT_EQ(::chown(shared.c_str(), folderOwner, folderOwner), 0);
        ASSERT_EQ(::chmod(shared.c_str(), folderMode), 0);
        const std::string before = Identity(file);

        const std::string outcome = AsNobody([&] {
            ::setenv("TMPDIR", temporary.c_str(), 1); // where a backup goes if not beside
            return OutcomeOf([&] { WriteTextFile("new", file); });
        });

        EXPECT_EQ(outcome.substr(0, expected.size()), expected) << outcome;
        EXPECT_EQ(GetBytes(file), expected == "ok" ? "new" : "old");
        EXPECT_EQ(Identity(file), before);
        EXPECT_EQ(ScratchFolder::NamesIn(shared), Names{"out.txt"});
        EXPECT_TRUE(fs::is_empty(temporary)) << "a backup left behind";
    }
}

TEST(WriteTextFile, RefusesWhatTheKernelRefusesInASharedFolder) {
    SKIP_UNLESS_ROOT();
    // Another user's link to root's file, and another user's file, in a
    // sticky world-writable folder such as /tmp: `printf x > out.txt` fails.
    const struct {
        const char* setting;
        bool link;
    } kCases[] = {{"protected_symlinks", true}, {"protected_regular", false}};
    for (const auto& [setting, link] : kCases) {
        SCOPED_TRACE(setting);
        const ScratchFolder folder;
        const fs::path sticky = folder / "sticky", out = sticky / "out.txt";
        PutBytes(folder / "root's file", "secret");
        fs::create_directory(sticky);
        fs::permissions(sticky, fs::perms::all | fs::perms::sticky_bit);
        if (link) {
            fs::create_symlink(folder / "root's file", out);
        } else {
            PutBytes(out, "secret");
        }
        ASSERT_EQ(::lchown(out.c_str(), kNobody, kNobody), 0);
        const KernelSetting protect("/proc/sys/fs/" + std::string(setting), "1");

        EXPECT_FILE_FAILURE(WriteTextFile("new", out), EACCES, "Cannot open");

        EXPECT_EQ(GetBytes(link ? folder / "root's file" : out), "secret");
        EXPECT_EQ(ScratchFolder::NamesIn(sticky), Names{"out.txt"});
    }
}

TEST(WriteTextFile, AFailedWriteLeavesTheOutputAsItWas) {
    SKIP_UNLESS_ROOT();
    const struct {
        const char* name;
        bool fullDisk; // else a file-size limit (ulimit -f)
        bool exists;
        mode_t folderMode;
    } kCases[] = {
        {"full disk, new output", true, false, 0777},
        {"full disk, existing output", true, true, 0777},
        {"full disk, folder takes no new file", true, true, 0555},
        {"size limit, new output", false, false, 0777},
        {"size limit, existing output", false, true, 0777},
    };
    for (const auto& [name, fullDisk, exists, folderMode] : kCases) {
        SCOPED_TRACE(name);
        const ScratchFolder folder;
        const fs::path temporary = folder / "tmp", disk = folder / "disk", file = disk / "out.txt";
        std::optional<SmallFileSystem> small;
        if (fullDisk) {
            small.emplace(disk);
        }
        fs::create_directories(disk);
        fs::create_directories(temporary);
        fs::permissions(temporary, fs::perms::all);
        if (exists) {
            PutBytes(file, std::string(1000, 'o'));
            ASSERT_EQ(::chown(file.c_str(), kNobody, kNobody), 0);
        }
        if (small) {
            small->Fill();
        }
        ASSERT_EQ(::chmod(disk.c_str(), folderMode), 0);
        const Names before = ScratchFolder::NamesIn(disk);

        const std::string outcome = AsNobody([&] {
            ::setenv("TMPDIR", temporary.c_str(), 1);
            const rlimit lowered{4096, 4096};
            if (!fullDisk) {
                ::setrlimit(RLIMIT_FSIZE, &lowered);
            }
            return OutcomeOf([&] { WriteTextFile(std::string(300'000, 'n'), file); });
        });

        const std::string expected = fullDisk ? std::to_string(ENOSPC) + " Cannot write"
                                              : std::to_string(EFBIG) + " Cannot write";
        EXPECT_EQ(outcome.rfind(expected, 0), 0u) << outcome;
        EXPECT_NE(outcome.find(fullDisk ? "No space left" : "File too large"), std::string::npos);
        EXPECT_EQ(fs::exists(file) ? GetBytes(file) : "none",
                  exists ? std::string(1000, 'o') : "none");
        EXPECT_EQ(ScratchFolder::NamesIn(disk), before);
        EXPECT_TRUE(fs::is_empty(temporary)) << "a backup left behind";
    }
}

#endif

} // namespace
} // namespace velmora
