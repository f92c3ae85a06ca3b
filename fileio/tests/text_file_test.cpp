// SPDX-License-Identifier: MIT
#include "scratch_folder.h"
#include "velmora/text_file.h"

#include <array>
#include <cstring>
#include <numeric>
#include <set>

#ifdef _WIN32
#include <windows.h>
#endif

#ifndef _WIN32
#include <csignal>
#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
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
                       old = folder / fs::path(u8"Résumé ü"),
                       linked =
                           folder / std::string(255, 'l'); // no room for the backup to say whose
        PutBytes(old, std::string(40'000, '#'));
        PutBytes(linked, "#");
        const bool twoNames = HardLinked(linked, folder / "second"); // then written in place
        WriteTextFile(bytes, linked);
        EXPECT_EQ(Bytes(folder / "second"), twoNames ? bytes : "(none)");
        EXPECT_EQ(ReadTextFileUpTo(old, 39'999), std::nullopt); // one byte past the limit
        WriteTextFile(bytes, created);
        // Replaced whole: a reader that had it open still reads the old content.
#ifdef _WIN32
        const HANDLE reader =
            ::CreateFileW(old.c_str(), GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0, 0);
        char first = 0;
        DWORD got = 0;
        WriteTextFile(bytes, old);
        EXPECT_TRUE(::ReadFile(reader, &first, 1, &got, nullptr) && ::CloseHandle(reader));
#else
        std::ifstream reader(old, std::ios::binary);
        WriteTextFile(bytes, old);
        const char first = static_cast<char>(reader.get());
#endif
        EXPECT_EQ(first, '#');
        EXPECT_EQ(Bytes(created), bytes);
        EXPECT_EQ(ReadTextFileUpTo(old, bytes.size()), bytes); // a limit it just fits
        EXPECT_EQ(CountIn(folder.path), 3 + twoNames);
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
    EXPECT_FILE_OUTCOME(WriteTextFile("x", special), ERROR_ACCESS_DENIED,
                        "^Cannot open .* for writing");
    // Another program writing it: refused, as none may while Velmora does. \\?\C:\... works.
    const HANDLE other = ::CreateFileW((folder / "victim").c_str(), GENERIC_WRITE, 7, nullptr,
                                       OPEN_EXISTING, 0, nullptr);
    EXPECT_FILE_OUTCOME(WriteTextFile("x", folder / "victim"), ERROR_SHARING_VIOLATION, "^Cannot");
    ::CloseHandle(other);
    WriteTextFile("x", L"\\\\?\\" + fs::absolute(folder / "verbatim").native());
    EXPECT_EQ(ReadTextFile(folder / "verbatim"), "x");
    constexpr int kNoFolder = ERROR_PATH_NOT_FOUND; // also for an empty path
#else
    ASSERT_EQ(::mkfifo(special.c_str(), 0600), 0); // an open that waits would hang
    constexpr int kNoFolder = ENOENT;
#endif
    EXPECT_FILE_OUTCOME(ReadTextFile(folder / "in"), kNotFound,
                        "^Cannot open \".*in\" for reading: .+");
    const std::tuple<fs::path, int, std::string> kCases[] = {
        {folder / "sub", 0, ": it is a folder"},
        {folder / "no" / "x", kNoFolder, "^Cannot open .*: .+$"},
        {"", kNoFolder, "^Cannot open \"\" for \\w+: .+$"},
        {cutShort, 0, ": the path holds a NUL"},
#ifdef _WIN32
        {folder / "out.txt.", 0, "cannot end in a dot"},
        {folder / "out.txt:stream", 0, "cannot hold"},
        {folder / "con.txt", 0, "belongs to a device"},
        {folder / "COM0", 0, "belongs to a device"},
        {"\\\\.\\pipe\\velmora", 0, "names a device, not a file"},
        {"//./C:/x", 0, "names a device, not a file"},
        {"\\\\?\\GLOBALROOT\\Device\\Null", 0, "names a device, not a file"},
        {"\\\\localhost\\pipe\\velmora", 0, "names a device, not a file"},
#else
        {special, 0, ": it is not a regular file"},
#endif
    };
    for (const auto& [path, error, pattern] : kCases) {
        EXPECT_FILE_OUTCOME(ReadTextFile(path), error, pattern);
        EXPECT_FILE_OUTCOME(WriteTextFile("x", path), error, pattern);
    }
    fs::permissions(special, fs::perms::all);
#ifdef _WIN32
    fs::remove(folder / "verbatim");
#endif
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

// The file's flags (chattr) where its file system keeps them, after adding `add`.
int Flags(const fs::path& path, int add = 0) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    int flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && add != 0) {
        ::ioctl(fd, FS_IOC_SETFLAGS, &(flags |= add));
    }
    ::close(fd);
    return flags;
}

// What makes a file the one it is (mode, owner, group, links, flags, extended attributes,
// the ACL among them, but file capabilities, which any write removes), and its inode.
std::pair<std::set<std::string>, ino_t> Identity(const fs::path& path) {
    struct stat info {};
    ::stat(path.c_str(), &info);
    std::set<std::string> identity{std::to_string(info.st_mode) + ' ' +
                                   std::to_string(info.st_uid) + ' ' + std::to_string(info.st_gid) +
                                   ' ' + std::to_string(info.st_nlink) + ' ' +
                                   std::to_string(Flags(path))};
    std::array<char, 4096> names{}, value{};
    const auto end = names.data() + std::max(::listxattr(path.c_str(), names.data(), 4096), 0L);
    for (const char* name = names.data(); name < end; name += std::strlen(name) + 1) {
        const auto size = std::max(::getxattr(path.c_str(), name, value.data(), 4096), 0L);
        if (std::string_view(name) != "security.capability") {
            identity.insert(
                std::string(name).append("=").append(value.data(), static_cast<std::size_t>(size)));
        }
    }
    return {identity, info.st_ino};
}

// Set up by root, written by nobody, who gets what a plain save would get: their own
// single-link file replaced whole, others in place, in a sticky folder another user's
// link or file refused (fs.protected_*). A failure changes nothing, leaves nothing.
TEST(WriteTextFile, DoesWhatAPlainSaveMayAndNothingOnFailure) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only root can act as another user (CI runs as root)";
    }
    const std::string kProtected = "/proc/sys/fs/protected_";
    const std::string saved[] = {Bytes(kProtected + "symlinks"), Bytes(kProtected + "regular")};
    PutBytes(kProtected + "symlinks", "1");
    PutBytes(kProtected + "regular", "1");
    ASSERT_EQ(::setgroups(0, nullptr), 0); // none of root's groups for nobody
    constexpr uid_t kNobody = 65534, kRoot = 0, kOther = 1234, kNoLink = 1, kHardLink = 2;
    constexpr int kOk = kSucceeds;
    const char* kNoCopy =
        "^Cannot keep a copy .*: No space .* in .*tmp\" \\(beside it: Permission denied";
    // Folder mode, output mode (0: none yet), its owner, owner of a symbolic link to it (or
    // kHardLink, kNoLink), a full file system ("shared" or "tmp"), the outcome (ENOSPC: with a
    // content too long for the room left), rewritten in place rather than replaced whole.
    using Row = std::tuple<const char*, mode_t, mode_t, uid_t, uid_t, std::string_view, int,
                           const char*, bool>;
    const Row kCases[] = {
        {"own file: replaced whole", 0777, 0640, kNobody, kNoLink, "", kOk, "", false},
        {"own setuid file", 0777, 06755, kNobody, kNoLink, "", kOk, "", false},
        {"own file, own link", 01777, 0644, kNobody, kNobody, "", kOk, "", false},
        {"own setuid file, hard-linked", 0777, 06755, kNobody, kHardLink, "", kOk, "", true},
        {"own read-only file", 0777, 0444, kNobody, kNoLink, "", EACCES, "^Cannot open", true},
        {"another's file, sticky", 01777, 0666, kOther, kNoLink, "", EACCES, "^Cannot open", true},
        {"another's file, root's link", 01777, 0666, kOther, kRoot, "", kOk, "", true},
        {"another's link, sticky", 01777, 0666, kOther, kOther, "", EACCES, "^Cannot open", true},
        {"folder takes no new file", 0555, 0644, kNobody, kNoLink, "", kOk, "", true},
        {"nor does the full tmp", 0555, 0644, kNobody, kNoLink, "tmp", ENOSPC, kNoCopy, true},
        {"full disk, new output", 0777, 0, kRoot, kNoLink, "shared", ENOSPC, "^Cannot write", true},
        {"full disk", 0777, 0644, kNobody, kNoLink, "shared", ENOSPC, "^Cannot write", true},
        {"full disk, shorter content", 0777, 0644, kNobody, kNoLink, "shared", kOk, "", true},
    };
    for (const auto& [name, folderMode, fileMode, owner, link, fullOne, error, pattern, inPlace] :
         kCases) {
        SCOPED_TRACE(name);
        const ScratchFolder folder;
        const fs::path shared = folder / "shared", out = shared / "out.txt", tmp = folder / "tmp";
        const bool symbolic = link != kNoLink && link != kHardLink;
        const fs::path file = symbolic ? folder / "file" : out;
        fs::create_directory(shared);
        fs::create_directory(tmp);
        fs::permissions(folder.path, fs::perms::all);
        fs::permissions(tmp, fs::perms::all);
        const fs::path full = fullOne.empty() ? "" : folder / fullOne;
        EXPECT_EQ(full.empty() ? 0 : ::mount("tmpfs", full.c_str(), "tmpfs", 0, "size=1m"), 0);
        if (fileMode != 0) {
            const mode_t m = fileMode;
            PutBytes(file, std::string(1000, 'o'));
            EXPECT_EQ(::chown(file.c_str(), owner, owner) | ::chmod(file.c_str(), m), 0);
            // Where the file system keeps them: a flag, an attribute, an ACL that
            // gives user 1234 the group's rights, and a file capability.
            Flags(file, FS_NODUMP_FL);
            const std::uint32_t acl[] = {2,    1 | (m >> 6 & 7) << 16, ~0u, 2 | (m >> 3 & 7) << 16,
                                         1234, 4 | (m >> 3 & 7) << 16, ~0u, 16 | (m >> 3 & 7) << 16,
                                         ~0u,  32 | (m & 7) << 16,     ~0u};
            const std::uint32_t capabilities[] = {0x02000000, 1 << 10, 0, 0, 0};
            ::setxattr(file.c_str(), "user.note", "kept", 4, 0);
            ::setxattr(file.c_str(), "system.posix_acl_access", acl, sizeof acl, 0);
            ::setxattr(file.c_str(), "security.capability", capabilities, sizeof capabilities, 0);
        }
        if (symbolic) {
            fs::create_symlink("../file", out);
            EXPECT_EQ(::lchown(out.c_str(), link, 0), 0);
        } else if (link == kHardLink) {
            fs::create_hard_link(out, shared / "second");
        }
        if (!full.empty()) {
            PutBytes(full / "filler", std::string(1 << 20, 'f'));
        }
        fs::permissions(shared, static_cast<fs::perms>(folderMode));
        const auto [identity, inode] = Identity(file);

        ::setenv("TMPDIR", tmp.c_str(), 1);
        EXPECT_EQ(::setegid(kNobody) | ::seteuid(kNobody), 0);
        const std::string content(error == ENOSPC ? 300'000 : 5, 'n');
        EXPECT_FILE_OUTCOME(WriteTextFile(content, out), error, pattern);
        EXPECT_EQ(::seteuid(kRoot) | ::setegid(kRoot), 0);
        ::unsetenv("TMPDIR");

        const bool ok = error == kOk;
        const std::string old = fileMode == 0 ? "(none)" : std::string(1000, 'o');
        EXPECT_EQ(Bytes(file), ok ? content : old);
        EXPECT_EQ(Identity(file).first, identity);
        EXPECT_EQ(Identity(file).second == inode, inPlace) << "replaced whole, or in place";
        EXPECT_FALSE(ok && ::getxattr(file.c_str(), "security.capability", nullptr, 0) > 0)
            << "file capabilities kept by a write";
        EXPECT_EQ(fs::is_symlink(out), symbolic);
        if (link == kHardLink) {
            EXPECT_EQ(Bytes(shared / "second"), Bytes(out));
        }
        // The output (or its link), a second link, a filler: nothing left behind.
        EXPECT_EQ(CountIn(shared),
                  (fileMode != 0 || symbolic) + (link == kHardLink) + (full == shared));
        EXPECT_EQ(CountIn(tmp), full == tmp);
        EXPECT_EQ(CountIn(folder.path), 2 + symbolic);
        ::umount2(full.c_str(), MNT_DETACH);
    }
    PutBytes(kProtected + "symlinks", saved[0]);
    PutBytes(kProtected + "regular", saved[1]);
}

bool gTruncateFails = false; // as a failing disk would: EIO

// Hard-linked, so rewritten in place; the write and the restore fail: the backup stays, named.
TEST(WriteTextFile, NamesTheBackupThatHoldsWhatCouldNotBePutBack) {
    const ScratchFolder folder;
    const fs::path out = folder / "out.txt";
    PutBytes(out, "old content");
    if (!HardLinked(out, folder / "second")) {
        GTEST_SKIP() << "the file system has no hard links";
    }
    gTruncateFails = true;
    EXPECT_FILE_OUTCOME(WriteTextFile("new", out), EIO,
                        "^Cannot write .*: .+; its old content is kept in \"" +
                            fs::canonical(folder.path).string() +
                            "/\\.out\\.txt\\.velmora-[0-9a-f]{16}\\.bak\"$");
    gTruncateFails = false;
    EXPECT_EQ(CountIn(folder.path), 3);
    for (const auto& entry : fs::directory_iterator(folder.path)) {
        EXPECT_EQ(Bytes(entry.path()),
                  entry.path().extension() == ".bak" ? "old content" : "new content");
    }
}

int gLeased = -1; // a descriptor holding a read lease, as Samba or an NFS server would

// Opening the output for writing asks the holder to let go, and waits, as a plain save does.
TEST(WriteTextFile, WaitsForAnotherProgramsLeaseToBeGivenUp) {
    const ScratchFolder folder;
    const fs::path out = folder / "out.txt";
    PutBytes(out, "old");
    gLeased = ::open(out.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::fcntl(gLeased, F_SETLEASE, F_RDLCK), 0);
    struct sigaction letGo {};
    letGo.sa_handler = [](int) { ::fcntl(gLeased, F_SETLEASE, F_UNLCK); };
    ::sigaction(SIGIO, &letGo, nullptr); // the signal that asks the holder
    EXPECT_FILE_OUTCOME(WriteTextFile("new", out), kSucceeds, "");
    EXPECT_EQ(Bytes(out), "new");
    ::close(gLeased);
    ::signal(SIGIO, SIG_DFL);
}

#endif

} // namespace velmora::testing_support

#ifndef _WIN32
// Stands in for the system's ftruncate in this program, so that a test can make it fail.
extern "C" int ftruncate(int fd, off_t length) noexcept {
    static const auto real = reinterpret_cast<int (*)(int, off_t)>(::dlsym(RTLD_NEXT, "ftruncate"));
    return velmora::testing_support::gTruncateFails ? (errno = EIO, -1) : real(fd, length);
}
#endif
