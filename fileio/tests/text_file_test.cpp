// SPDX-License-Identifier: MIT
#include "scratch_folder.h"
#include "velmora/text_file.h"
#include "write_way.h"

#include <array>
#include <cstring>
#include <numeric>
#include <optional>
#include <set>
#include <tuple>

#ifdef _WIN32
#include <atomic>
#include <thread>
#include <windows.h>
#endif

#ifndef _WIN32
#include <arpa/inet.h>
#include <csignal>
#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <linux/msdos_fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#endif

namespace velmora::testing_support {

using fileio::WriteOutput;
using fileio::WriteWay;

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
        EXPECT_EQ(WriteOutput(bytes, linked),
                  twoNames ? WriteWay::InPlaceOtherLinks : WriteWay::ReplacedWhole);
        EXPECT_EQ(Bytes(folder / "second"), twoNames ? bytes : "(none)");
        WriteTextFile(bytes, created); // named once complete, or on exFAT through FUSE as made
        EXPECT_EQ(WriteOutput(bytes, old), WriteWay::ReplacedWhole);
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
    // Another program writing it: refused, as none may while Velmora does.
    const HANDLE other = ::CreateFileW((folder / "victim").c_str(), GENERIC_WRITE, 7, nullptr,
                                       OPEN_EXISTING, 0, nullptr);
    EXPECT_FILE_OUTCOME(WriteTextFile("x", folder / "victim"), ERROR_SHARING_VIOLATION, "^Cannot");
    ::CloseHandle(other);
    const fs::path verbatim = L"\\\\?\\" + fs::absolute(folder / "victim").native(); // \\?\C:\...
    WriteTextFile("keep", verbatim);
    EXPECT_EQ(ReadTextFile(verbatim), "keep");
    constexpr int kNoFolder = ERROR_PATH_NOT_FOUND;
#else
    ASSERT_EQ(::mkfifo(special.c_str(), 0600), 0); // an open that waits would hang
    constexpr int kNoFolder = ENOENT;
#endif
    const std::tuple<fs::path, int, std::string> kCases[] = {
        {folder / "sub", 0, ": it is a folder"},
        {folder / "no" / "x", kNoFolder, "^Cannot open .*: .+$"},
        {cutShort, 0, ": the path holds a NUL"},
#ifdef _WIN32
        {folder / "out.txt.", 0, "cannot end in a dot"},
        {folder / "out.txt:stream", 0, "cannot hold"},
        {folder / "con.txt", 0, "belongs to a device"},
        {folder / "COM0", 0, "belongs to a device"},
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
    EXPECT_EQ(CountIn(folder.path), 3);
    EXPECT_EQ(Bytes(folder / "victim"), "keep");
}

#ifdef _WIN32

// Which file a path names.
std::uint64_t FileIndex(const fs::path& path) {
    const HANDLE file =
        ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, 7, nullptr, OPEN_EXISTING, 0, nullptr);
    BY_HANDLE_FILE_INFORMATION information{};
    ::GetFileInformationByHandle(file, &information);
    ::CloseHandle(file);
    return (std::uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow;
}

// Another program that reads the output for a moment whenever it can, as a virus scanner or an
// indexer does, is waited out: the output is still replaced whole, and keeps the attributes given
// to it. One that holds it past the wait without letting it be removed has it rewritten in place;
// one that does not let it be written either is the failure, and the output is as it was.
TEST(WriteTextFile, WaitsOutAMomentsHoldAndKeepsTheAttributes) {
    const ScratchFolder folder;
    const fs::path out = folder / "out.txt";
    PutBytes(out, "old");
    ::SetFileAttributesW(out.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                          FILE_ATTRIBUTE_ARCHIVE |
                                          FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    const DWORD attributes = ::GetFileAttributesW(out.c_str()); // those the file system keeps
    std::atomic<bool> scanning = true;
    std::thread scanner([&] {
        while (scanning) {
            const HANDLE scan = ::CreateFileW(out.c_str(), GENERIC_READ, 3, nullptr, OPEN_EXISTING,
                                              0, nullptr); // sharing reading and writing
            if (scan == INVALID_HANDLE_VALUE) {
                ::Sleep(1);
                continue;
            }
            ::Sleep(30);
            ::CloseHandle(scan);
            ::Sleep(30);
        }
    });
    for (int i = 0; i < 20; ++i) {
        const std::uint64_t before = FileIndex(out);
        EXPECT_EQ(WriteOutput(std::to_string(i), out), WriteWay::ReplacedWhole) << i;
        EXPECT_NE(FileIndex(out), before) << i;
    }
    scanning = false;
    scanner.join();
    EXPECT_EQ(Bytes(out), "19");
    EXPECT_EQ(::GetFileAttributesW(out.c_str()), attributes);

    const std::uint64_t index = FileIndex(out);
    const HANDLE viewer =
        ::CreateFileW(out.c_str(), GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(WriteOutput("held", out), WriteWay::InPlaceHeld);
    ::CloseHandle(viewer);
    const HANDLE reader =
        ::CreateFileW(out.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, 0);
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_FILE_OUTCOME(WriteTextFile("x", out), ERROR_SHARING_VIOLATION,
                        "^Cannot open \".*out.txt\" for writing: .+$");
    EXPECT_LT(::GetTickCount64() - start, 10'000u);
    ::CloseHandle(reader);
    EXPECT_EQ(Bytes(out), "held");
    EXPECT_EQ(FileIndex(out), index);
    EXPECT_EQ(CountIn(folder.path), 1);
}

#else

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
        flags |= add;
        ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    ::close(fd);
    return flags;
}

constexpr const char* kNtfsAttributes = "system.ntfs_attrib_be"; // through ntfs-3g

// A file's project (quotas), FAT attributes and NTFS attributes but archive, which any
// write sets; 0 where its file system keeps none.
std::string FileSystemAttributes(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    fsxattr project{};
    std::uint32_t fat = 0, ntfs = 0;
    ::ioctl(fd, FS_IOC_FSGETXATTR, &project);
    ::ioctl(fd, FAT_IOCTL_GET_ATTRIBUTES, &fat);
    ::fgetxattr(fd, kNtfsAttributes, &ntfs, sizeof ntfs);
    ::close(fd);
    return std::to_string(project.fsx_projid) + ' ' + std::to_string(fat & ~ATTR_ARCH) + ' ' +
           std::to_string(ntfs & ~htonl(0x20));
}

// What makes a file the one it is (mode, owner, group, links, flags and attributes, extended
// attributes, the ACL among them, but file capabilities, which any write removes), and its inode.
std::pair<std::set<std::string>, ino_t> Identity(const fs::path& path) {
    struct stat info {};
    ::stat(path.c_str(), &info);
    std::set<std::string> identity{std::to_string(info.st_mode) + ' ' +
                                   std::to_string(info.st_uid) + ' ' + std::to_string(info.st_gid) +
                                   ' ' + std::to_string(info.st_nlink) + ' ' +
                                   std::to_string(Flags(path)) + ' ' + FileSystemAttributes(path)};
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

constexpr uid_t kRoot = 0, kNobody = 65534, kOther = 1234;

struct Case {
    const char* name;
    mode_t folderMode = 0777;
    mode_t fileMode = 0644; // 0: no output yet
    uid_t owner = kNobody;
    bool hardLinked = false;             // a second name
    std::optional<uid_t> symlinkOwner{}; // reached through a symbolic link owned so
    const char* full = "";         // a full file system in "shared" (the output's folder) or "tmp"
    const char* temporary = "tmp"; // where TMPDIR leads
    bool labelled = false;         // a security attribute that only root may give
    bool mountedOver = false;
    int error = kSucceeds; // ENOSPC: with a content too long for the room left
    const char* pattern = "";
    WriteWay way = WriteWay::ReplacedWhole;
};

// Set up by root, written by nobody, who gets what a plain save would get: their own
// single-link file replaced whole, others in place for the reason given, in a sticky
// folder another user's link or file refused (fs.protected_*). A failure changes
// nothing, leaves nothing.
TEST(WriteTextFile, DoesWhatAPlainSaveMayAndNothingOnFailure) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only root can act as another user (CI runs as root)";
    }
    const std::string kTemporary = fs::temp_directory_path();
    const std::string kProtected = "/proc/sys/fs/protected_";
    const std::string saved[] = {Bytes(kProtected + "symlinks"), Bytes(kProtected + "regular")};
    PutBytes(kProtected + "symlinks", "1");
    PutBytes(kProtected + "regular", "1");
    ASSERT_EQ(::setgroups(0, nullptr), 0); // none of root's groups for nobody
    const char* kNoCopy =
        "^Cannot keep a copy .*: No space .* in .*tmp\" \\(beside it: Permission denied";
    using enum WriteWay;
    // clang-format off
    const Case kCases[] = {
        {.name = "own file"},
        {.name = "own setuid file", .fileMode = 06755},
        {.name = "own file, own link", .folderMode = 01777, .symlinkOwner = kNobody},
        {.name = "own setuid file, hard-linked", .fileMode = 06755, .hardLinked = true,
         .way = InPlaceOtherLinks},
        {.name = "own write-only file, hard-linked", .fileMode = 0200, .hardLinked = true,
         .error = EACCES, .pattern = "^Cannot keep a copy .*: Permission denied$"},
        {.name = "own read-only file", .fileMode = 0444, .error = EACCES, .pattern = "^Cannot open"},
        {.name = "another's file", .fileMode = 0666, .owner = kOther, .way = InPlaceAnotherOwner},
        {.name = "another's file, sticky", .folderMode = 01777, .fileMode = 0666, .owner = kOther,
         .error = EACCES, .pattern = "^Cannot open"},
        {.name = "another's file, root's link", .folderMode = 01777, .fileMode = 0666,
         .owner = kOther, .symlinkOwner = kRoot, .way = InPlaceAnotherOwner},
        {.name = "another's link, sticky", .folderMode = 01777, .fileMode = 0666, .owner = kOther,
         .symlinkOwner = kOther, .error = EACCES, .pattern = "^Cannot open"},
        {.name = "own file with root's label", .labelled = true, .way = InPlaceAttributeNotGiven},
        {.name = "own file mounted over another", .mountedOver = true, .way = InPlaceNotRenamable},
        {.name = "folder takes no new file", .folderMode = 0555, .way = InPlaceFolderRefusesNewFile},
        {.name = "nor does the full tmp", .folderMode = 0555, .full = "tmp", .error = ENOSPC,
         .pattern = kNoCopy},
        {.name = "nor is there a temporary folder", .folderMode = 0555, .temporary = "gone",
         .error = ENOENT,
         .pattern = "the temporary folder \".*gone\" cannot be found \\(beside it: Perm"},
        {.name = "full disk, new output", .fileMode = 0, .owner = kRoot, .full = "shared",
         .error = ENOSPC, .pattern = "^Cannot write"},
        {.name = "full disk", .full = "shared", .error = ENOSPC, .pattern = "^Cannot write"},
        {.name = "full disk, shorter content", .full = "shared", .way = InPlaceNoRoom},
    };
    // clang-format on
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        const ScratchFolder folder;
        const fs::path shared = folder / "shared", out = shared / "out.txt", tmp = folder / "tmp";
        const bool symbolic = c.symlinkOwner.has_value();
        const fs::path file = symbolic ? folder / "file" : out;
        fs::create_directory(shared);
        fs::create_directory(tmp);
        fs::permissions(folder.path, fs::perms::all);
        fs::permissions(tmp, fs::perms::all);
        const fs::path full = *c.full == '\0' ? "" : folder / c.full;
        if (!full.empty()) {
            EXPECT_EQ(::mount("tmpfs", full.c_str(), "tmpfs", 0, "size=1m"), 0);
        }
        if (c.fileMode != 0) {
            const mode_t m = c.fileMode;
            PutBytes(file, std::string(1000, 'o'));
            EXPECT_EQ(::chown(file.c_str(), c.owner, c.owner), 0);
            EXPECT_EQ(::chmod(file.c_str(), m), 0);
            // An ACL that gives user 1234 the group's rights, and a file capability,
            // which only root may give.
            const std::uint32_t acl[] = {2,    1 | (m >> 6 & 7) << 16, ~0u, 2 | (m >> 3 & 7) << 16,
                                         1234, 4 | (m >> 3 & 7) << 16, ~0u, 16 | (m >> 3 & 7) << 16,
                                         ~0u,  32 | (m & 7) << 16,     ~0u};
            const std::uint32_t capabilities[] = {0x02000000, 1 << 10, 0, 0, 0};
            ::setxattr(file.c_str(), "system.posix_acl_access", acl, sizeof acl, 0);
            ::setxattr(file.c_str(), "security.capability", capabilities, sizeof capabilities, 0);
        }
        if (c.labelled) {
            EXPECT_EQ(::setxattr(file.c_str(), "security.velmora", "root's", 6, 0), 0);
        }
        if (symbolic) {
            fs::create_symlink("../file", out);
            EXPECT_EQ(::lchown(out.c_str(), *c.symlinkOwner, 0), 0);
        } else if (c.hardLinked) {
            fs::create_hard_link(out, shared / "second");
        }
        if (c.mountedOver) { // the output's own file stays hidden beneath
            PutBytes(folder / "cover", std::string(1000, 'o'));
            EXPECT_EQ(::chown((folder / "cover").c_str(), kNobody, kNobody), 0);
            EXPECT_EQ(::mount((folder / "cover").c_str(), out.c_str(), nullptr, MS_BIND, nullptr),
                      0);
        }
        if (!full.empty()) {
            PutBytes(full / "filler", std::string(1 << 20, 'f'));
        }
        fs::permissions(shared, static_cast<fs::perms>(c.folderMode));
        const auto [identity, inode] = Identity(file);

        ::setenv("TMPDIR", (folder / c.temporary).c_str(), 1);
        EXPECT_EQ(::setegid(kNobody), 0);
        EXPECT_EQ(::seteuid(kNobody), 0);
        const std::string content(c.error == ENOSPC ? 300'000 : 5, 'n');
        WriteWay way = WriteWay::Created;
        EXPECT_FILE_OUTCOME(way = WriteOutput(content, out), c.error, c.pattern);
        EXPECT_EQ(::seteuid(kRoot), 0);
        EXPECT_EQ(::setegid(kRoot), 0);
        ::setenv("TMPDIR", kTemporary.c_str(), 1); // where the other tests make their folders

        const bool ok = c.error == kSucceeds;
        if (ok) {
            EXPECT_EQ(way, c.way);
        }
        const std::string old = c.fileMode == 0 ? "(none)" : std::string(1000, 'o');
        EXPECT_EQ(Bytes(file), ok ? content : old);
        EXPECT_EQ(Identity(file).first, identity);
        EXPECT_EQ(Identity(file).second == inode, !ok || way != WriteWay::ReplacedWhole)
            << "replaced whole, or in place";
        EXPECT_EQ(fs::is_symlink(out), symbolic);
        if (c.hardLinked) {
            EXPECT_EQ(Bytes(shared / "second"), Bytes(out));
        }
        if (c.mountedOver) {
            EXPECT_EQ(::umount2(out.c_str(), MNT_DETACH), 0);
        }
        // The output (or its link), a second link, a filler: nothing left behind.
        EXPECT_EQ(CountIn(shared), (c.fileMode != 0 || symbolic) + c.hardLinked + (full == shared));
        EXPECT_EQ(CountIn(tmp), full == tmp);
        EXPECT_EQ(CountIn(folder.path), 2 + symbolic + c.mountedOver);
        ::umount2(full.c_str(), MNT_DETACH);
    }
    PutBytes(kProtected + "symlinks", saved[0]);
    PutBytes(kProtected + "regular", saved[1]);
}

// Sets on an empty `file` every property a user may set, as far as its file system keeps
// it (some only for root): flags, no copy on write first, as compression cannot go with
// it; a project; FAT and NTFS hidden and system; an extended attribute; a mode.
void SetEverything(const fs::path& file) {
    for (const int flag :
         {FS_NOCOW_FL, FS_NOATIME_FL, FS_NODUMP_FL, FS_SYNC_FL, FS_SECRM_FL, FS_UNRM_FL,
          FS_NOTAIL_FL, FS_JOURNAL_DATA_FL, FS_COMPR_FL, FS_NOCOMP_FL}) {
        Flags(file, flag);
    }
    const int fd = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
    fsxattr project{}; // with the flags it also sets
    ::ioctl(fd, FS_IOC_FSGETXATTR, &project);
    project.fsx_projid = 42;
    std::uint32_t fat = ATTR_HIDDEN | ATTR_SYS;
    const std::uint32_t ntfs = htonl(0x2026); // not indexed, archive, system, hidden
    ::ioctl(fd, FS_IOC_FSSETXATTR, &project);
    ::ioctl(fd, FAT_IOCTL_SET_ATTRIBUTES, &fat);
    ::fsetxattr(fd, kNtfsAttributes, &ntfs, sizeof ntfs, 0);
    ::fsetxattr(fd, "user.velmora", "kept", 4, 0);
    ::fchmod(fd, 0640);
    ::close(fd);
}

// The system call that a test makes fail as a failing disk or file system would, and how.
struct Fault {
    std::string_view call;
    int error = 0;
} gFault;

// Every property a user may set that the output's file system keeps (CI: tmpfs), set
// while it is empty, as no copy on write takes only then, is kept, and none of them
// keeps the output from being replaced whole; nor does a file system that takes no
// change of owner (some FUSE ones), as the owner already matches.
TEST(WriteTextFile, KeepsEveryPropertyItsFileSystemKeeps) {
    const ScratchFolder folder;
    const fs::path out = folder / "out.txt";
    PutBytes(out, "");
    SetEverything(out);
    PutBytes(out, "old");
    const auto kept = Identity(out).first;
    gFault = {"fchown", ENOSYS};
    const WriteWay way = WriteOutput("new", out);
    gFault = {};
    EXPECT_NE(way, WriteWay::InPlaceAttributeNotGiven);
    EXPECT_NE(way, WriteWay::InPlaceAnotherOwner);
    EXPECT_EQ(Identity(out).first, kept);
}

// Each outcome is true and loses nothing where a file system fails a call: a write past
// the file-size limit (ulimit -f, a real one), a close that reports a late write error
// (for written files, as a share does), a cut to size that then loses the next ones
// without a word, a read, or a look at a name.
TEST(WriteTextFile, TellsTheTruthWhereTheFileSystemFails) {
    const std::string kBackup = ".+; its old content is kept in \".+/\\.linked\\.velmora-"
                                "[0-9a-f]{16}\\.bak\"$";
    const std::tuple<Fault, std::string, std::string> kCases[] = {
        {{"ulimit -f", EFBIG}, "new", "^Cannot write .*new\": File too large$"},
        {{"ulimit -f", EFBIG}, "linked", "^Cannot write .*linked\": File too large$"},
        {{"close", EIO}, "new", "^Cannot save .*new\" to disk: .+$"},
        {{"close", EIO}, "own", "^Cannot save .*own\" to disk: .+$"},
        {{"close", EIO}, "linked", "^Cannot save .*linked\" to disk: " + kBackup},
        {{"ftruncate", EIO}, "linked", "^Cannot write .*linked\": " + kBackup},
        {{"pread", EIO}, "linked", "^Cannot read \".*linked\": Input/output error$"},
        {{"fstatat", EIO}, "own", "^Cannot open \".*own\" for writing: Input/output error$"},
    };
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    ::signal(SIGXFSZ, SIG_IGN); // as the program does, so that the write fails instead
    for (const auto& [fault, name, pattern] : kCases) {
        SCOPED_TRACE(std::string(fault.call) + ", " + name);
        const ScratchFolder folder;
        const fs::path out = folder / name;
        if (name != "new") {
            PutBytes(out, "old");
        }
        if (name == "linked" && !HardLinked(out, folder / "second")) {
            continue;
        }
        const bool backedUp = pattern.ends_with(".bak\"$");
        const bool limited = fault.call == "ulimit -f";
        const rlimit limit{4096, saved.rlim_max};
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, limited ? &limit : &saved), 0);
        gFault = fault;
        EXPECT_FILE_OUTCOME(WriteTextFile(std::string(8192, 'n'), out), fault.error, pattern);
        gFault = {};
        ::setrlimit(RLIMIT_FSIZE, &saved);
        if (!backedUp) {
            EXPECT_EQ(Bytes(out), name == "new" ? "(none)" : "old");
        }
        for (const auto& entry : fs::directory_iterator(folder.path)) {
            if (entry.path().extension() == ".bak") {
                EXPECT_EQ(Bytes(entry.path()), "old");
            }
        }
        EXPECT_EQ(CountIn(folder.path), (name != "new") + (name == "linked") + backedUp);
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
    WriteTextFile("new", out);
    EXPECT_EQ(Bytes(out), "new");
    ::close(gLeased);
    ::signal(SIGIO, SIG_DFL);
}

#endif

} // namespace velmora::testing_support

#ifndef _WIN32
namespace {

// Whether the test makes this call of `call` fail; errno is then set.
bool Fails(std::string_view call) {
    using velmora::testing_support::gFault;
    if (gFault.call != call) {
        return false;
    }
    errno = gFault.error;
    return true;
}

// The system's own function `name` called with `args`, or -1 where the test makes it fail.
template <typename Function, typename... Args> auto Call(const char* name, Args... args) {
    const auto real = reinterpret_cast<Function*>(::dlsym(RTLD_NEXT, name));
    return Fails(name) ? decltype(real(args...)){-1} : real(args...);
}

} // namespace

// Stand in for the system's calls in this program, so that a test can make them fail.
extern "C" int close(int fd) {
    const int status = ::fcntl(fd, F_GETFL);
    const bool written = status >= 0 && (status & O_ACCMODE) != O_RDONLY;
    const int closed = reinterpret_cast<int (*)(int)>(::dlsym(RTLD_NEXT, "close"))(fd);
    return closed == 0 && written && Fails("close") ? -1 : closed; // released either way
}

// It fails once; then it does nothing and reports success, as if it had worked.
extern "C" int ftruncate(int fd, off_t size) noexcept {
    using velmora::testing_support::gFault;
    if (Fails("ftruncate")) {
        gFault.call = "ftruncate, lost";
        return -1;
    }
    return gFault.call == "ftruncate, lost" ? 0 : Call<int(int, off_t)>("ftruncate", fd, size);
}

extern "C" ssize_t pread(int fd, void* buffer, size_t size, off_t offset) {
    return Call<ssize_t(int, void*, size_t, off_t)>("pread", fd, buffer, size, offset);
}

extern "C" int fstatat(int folder, const char* name, struct stat* info, int flags) noexcept {
    return Call<int(int, const char*, struct stat*, int)>("fstatat", folder, name, info, flags);
}

extern "C" int fchown(int fd, uid_t owner, gid_t group) noexcept {
    return Call<int(int, uid_t, gid_t)>("fchown", fd, owner, group);
}

#endif
