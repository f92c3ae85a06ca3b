// SPDX-License-Identifier: MIT
#include "scratch_folder.h"
#include "velmora/text_file.h"

#include <numeric>

#ifndef _WIN32
#include <array>
#include <grp.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#endif

namespace velmora::testing_support {

TEST(TextFile, KeepsEveryByteInNewAndLongerFilesAndLeavesNothingElse) {
    std::string allBytes(256, '\0');
    std::iota(allBytes.begin(), allBytes.end(), '\0'); // every byte value: nothing is translated
    // The last is longer than the read buffer.
    for (const std::string& bytes : {""s, "\r\n" + allBytes, std::string(200'000, 'Z')}) {
        const ScratchFolder folder; // a new file with as long a name as may be, and an old one
        const fs::path created = folder / std::string(255, 'n'),
                       old = folder / fs::path(u8"Résumé ü");
        PutBytes(old, std::string(40'000, '#'));
        EXPECT_EQ(ReadTextFileUpTo(old, 39'999), std::nullopt); // one byte past the limit
        WriteTextFile(bytes, created);
        WriteTextFile(bytes, old);
        EXPECT_EQ(Bytes(created), bytes);
        EXPECT_EQ(ReadTextFileUpTo(old, bytes.size()), bytes); // a limit it just fits
        EXPECT_EQ(CountIn(folder.path), 2);
    }
}

TEST(TextFile, RefusesWhatNamesNoRegularFileAndTouchesNothing) {
    const ScratchFolder folder;
    fs::create_directory(folder / "sub");
    PutBytes(folder / "victim", "keep");
    // The system would take it as "victim", the name before the NUL.
    const auto cutShort = (folder / "victim").native() + fs::path::string_type(1, 0);
    const fs::path special = folder / "special"; // a pipe, or on Windows a read-only file
#ifdef _WIN32
    PutBytes(special, "keep");
    fs::permissions(special, fs::perms::owner_read);
    EXPECT_FILE_OUTCOME(WriteTextFile("x", special), "^5 Cannot open .* for writing: .+");
#else
    ASSERT_EQ(::mkfifo(special.c_str(), 0600), 0); // an open that waits would hang
#endif
    EXPECT_FILE_OUTCOME(ReadTextFile(folder / "in"), "^2 Cannot open \".*in\" for reading: .+");
    const std::pair<fs::path, std::string> kCases[] = {
        {folder / "sub", "^0 .*: it is a folder"},
        {folder / "no" / "x", "^[23] Cannot open .*: .+$"},
        {"", "^[23] Cannot open \"\" for \\w+: .+$"},
        {cutShort, "^0 .*: the path holds a NUL"},
#ifdef _WIN32
        {folder / "out.txt.", "^0 .*cannot end in a dot"},
        {folder / "out.txt:stream", "^0 .*cannot hold"},
        {folder / "con.txt", "^0 .*belongs to a device"},
#else
        {special, "^0 .*: it is not a regular file"},
#endif
    };
    for (const auto& [path, pattern] : kCases) {
        EXPECT_FILE_OUTCOME(ReadTextFile(path), pattern);
        EXPECT_FILE_OUTCOME(WriteTextFile("x", path), pattern);
    }
    fs::permissions(special, fs::perms::all);
    EXPECT_EQ(CountIn(folder.path), 3);
    EXPECT_TRUE(fs::is_empty(folder / "sub"));
    EXPECT_EQ(Bytes(folder / "victim"), "keep");
}

#ifndef _WIN32

// Files in /proc report a size of 0: only what is read counts.
TEST(ReadTextFileUpTo, CountsWhatIsReadNotTheSizeReported) {
    EXPECT_EQ(ReadTextFileUpTo("/proc/sys/kernel/ostype", 5), std::nullopt); // "Linux\n"
    EXPECT_EQ(ReadTextFileUpTo("/proc/sys/kernel/ostype", 6), "Linux\n");
}

// What a rewrite in place keeps: the inode (so ACL and xattrs), mode, owner, links.
std::array<std::uint64_t, 5> Identity(const fs::path& path) {
    struct stat info {};
    ::stat(path.c_str(), &info);
    return {info.st_ino, info.st_mode, info.st_uid, info.st_gid, info.st_nlink};
}

// Set up by root, written by nobody, who gets what a plain save would get; a
// failure changes nothing and leaves nothing behind. In a sticky folder, another
// user's link or file is refused (fs.protected_symlinks and fs.protected_regular).
TEST(WriteTextFile, DoesWhatAPlainSaveMayAndNothingOnFailure) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only root can act as another user (CI runs as root)";
    }
    const std::string kProtected = "/proc/sys/fs/protected_";
    const std::string saved[] = {Bytes(kProtected + "symlinks"), Bytes(kProtected + "regular")};
    PutBytes(kProtected + "symlinks", "1");
    PutBytes(kProtected + "regular", "1");
    ASSERT_EQ(::setgroups(0, nullptr), 0); // none of root's groups for nobody
    constexpr uid_t kNobody = 65534, kRoot = 0, kOther = 1234, kNoLink = 1;
    // Folder mode, output mode (0: none yet), its owner, owner of a link to it, outcome.
    const std::tuple<const char*, mode_t, mode_t, uid_t, uid_t, std::string> kCases[] = {
        {"own read-only file", 0777, 0444, kNobody, kNoLink, "^13 Cannot open"},
        {"another's file, sticky folder", 01777, 0666, kOther, kNoLink, "^13 Cannot open"},
        {"another's file, root's link", 01777, 0666, kOther, kRoot, "^ok$"},
        {"another's link, sticky folder", 01777, 0666, kOther, kOther, "^13 Cannot open"},
        {"own setuid file", 0777, 06755, kNobody, kNoLink, "^ok$"},
        {"folder takes no new file", 0555, 0644, kNobody, kNoLink, "^ok$"},
        {"full disk, new output", 0777, 0, kRoot, kNoLink, "^28 Cannot write"},
        {"full disk", 0777, 0644, kNobody, kNoLink, "^28 Cannot write"},
    };
    for (const auto& [name, folderMode, fileMode, fileOwner, linkOwner, pattern] : kCases) {
        SCOPED_TRACE(name);
        const ScratchFolder folder; // also where a backup goes when not beside the output
        const fs::path shared = folder / "shared", out = shared / "out.txt";
        const fs::path file = linkOwner == kNoLink ? out : folder / "file";
        fs::create_directory(shared);
        fs::permissions(folder.path, fs::perms::all);
        const bool fullDisk = pattern.starts_with("^28");
        EXPECT_EQ(fullDisk ? ::mount("tmpfs", shared.c_str(), "tmpfs", 0, "size=1m") : 0, 0);
        if (fileMode != 0) {
            PutBytes(file, std::string(1000, 'o'));
            EXPECT_EQ(::chown(file.c_str(), fileOwner, fileOwner) | ::chmod(file.c_str(), fileMode),
                      0);
        }
        if (linkOwner != kNoLink) {
            fs::create_symlink("../file", out);
            EXPECT_EQ(::lchown(out.c_str(), linkOwner, 0), 0);
        }
        PutBytes(shared / "filler", std::string(fullDisk ? 1 << 20 : 0, 'f'));
        fs::permissions(shared, static_cast<fs::perms>(folderMode));
        const auto identity = Identity(file);

        ::setenv("TMPDIR", folder.path.c_str(), 1);
        EXPECT_EQ(::setegid(kNobody) | ::seteuid(kNobody), 0);
        EXPECT_FILE_OUTCOME(WriteTextFile(std::string(300'000, 'n'), out), pattern);
        EXPECT_EQ(::seteuid(kRoot) | ::setegid(kRoot), 0);
        ::unsetenv("TMPDIR");

        const std::string old = fileMode == 0 ? "(none)" : std::string(1000, 'o');
        EXPECT_EQ(Bytes(file), pattern == "^ok$" ? std::string(300'000, 'n') : old);
        EXPECT_EQ(Identity(file), identity);
        EXPECT_EQ(CountIn(shared), fileMode == 0 ? 1 : 2); // the filler and the output
        EXPECT_EQ(CountIn(folder.path), linkOwner == kNoLink ? 1 : 2) << "a backup left behind";
        ::umount2(shared.c_str(), MNT_DETACH);
    }
    PutBytes(kProtected + "symlinks", saved[0]);
    PutBytes(kProtected + "regular", saved[1]);
}

#endif

} // namespace velmora::testing_support
