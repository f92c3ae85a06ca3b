// SPDX-License-Identifier: MIT
// File calls on Linux, which has what a safe save needs: O_PATH, O_TMPFILE,
// /proc/self/fd, linkat and renameat2.

#include "native_file.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <linux/fs.h>       // FS_IOC_GETFLAGS
#include <linux/msdos_fs.h> // FAT_IOCTL_GET_ATTRIBUTES
#include <optional>
#include <stdio.h> // renameat2
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace velmora::native {

namespace {

[[noreturn]] void ThrowLastError() {
    throw std::system_error(errno, std::system_category());
}

// Runs a system call again when a signal interrupted it.
template <typename Call> auto Retrying(Call call) {
    for (;;) {
        const auto result = call();
        if (result >= 0 || errno != EINTR) {
            return result;
        }
    }
}

template <typename Result> Result Checked(Result result) {
    if (result < 0) {
        ThrowLastError();
    }
    return result;
}

struct stat StatOf(int fd) {
    struct stat info {};
    Checked(::fstat(fd, &info));
    return info;
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether `path` leads, as the kernel follows it now, to the file `found`.
bool LeadsTo(const std::filesystem::path& path, const struct stat& found) {
    struct stat now {};
    if (::stat(path.c_str(), &now) != 0) {
        if (errno == ENOENT) {
            return false;
        }
        ThrowLastError();
    }
    return SameFile(now, found);
}

Kind KindOfMode(mode_t mode) {
    if (S_ISREG(mode)) {
        return Kind::Regular;
    }
    return S_ISDIR(mode) ? Kind::Folder : Kind::Other;
}

// The kernel's own name for an open file, through /proc: it holds for the
// file the descriptor refers to, whatever links led there.
std::string ProcPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

// Where the file open as `fd` is, as the kernel resolved it; `typed` where
// /proc cannot say (the caller checks that the place names the same file).
std::filesystem::path FinalPathOf(int fd, const std::filesystem::path& typed) {
    std::string target(4096, '\0');
    const ssize_t length = ::readlink(ProcPath(fd).c_str(), target.data(), target.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
        return typed;
    }
    target.resize(static_cast<std::size_t>(length));
    return target;
}

// What a call that fills a buffer (flistxattr, fgetxattr) gives: tried with
// room enough for most, then with the size it asks for, again if another
// program made it grow meanwhile.
template <typename Call> std::string Filled(Call call) {
    std::string buffer(256, '\0');
    for (;;) {
        const ssize_t got = call(buffer.data(), buffer.size());
        if (got >= 0) {
            buffer.resize(static_cast<std::size_t>(got));
            return buffer;
        }
        if (errno != ERANGE) {
            ThrowLastError();
        }
        buffer.resize(static_cast<std::size_t>(Checked(call(nullptr, 0))));
    }
}

using Attributes = std::vector<std::pair<std::string, std::string>>;

// Windows access rights that ntfs-3g keeps out of the list of attributes.
constexpr const char* kNtfsAccessRights = "system.ntfs_acl";

// What a call that reads a file's property gives, or nullopt where the file
// system keeps no such property (ENOTTY: the ioctl is not its own).
template <typename Call> auto WhereKept(Call call) -> std::optional<decltype(call())> {
    try {
        return call();
    } catch (const std::system_error& error) {
        const int code = error.code().value();
        if (code == ENOTTY || code == ENOTSUP || code == EINVAL || code == ENOSYS ||
            code == ENODATA) {
            return std::nullopt;
        }
        throw;
    }
}

// The extended attributes of an open file (the ACL among them, as
// system.posix_acl_access), by name; none where the file system keeps none.
Attributes AttributesOf(int fd) {
    Attributes attributes;
    const std::optional<std::string> names = WhereKept([&] {
        return Filled(
            [&](char* buffer, std::size_t size) { return ::flistxattr(fd, buffer, size); });
    });
    for (std::size_t at = 0; names && at < names->size(); at = names->find('\0', at) + 1) {
        const char* name = names->c_str() + at;
        attributes.emplace_back(name, Filled([&](char* buffer, std::size_t size) {
                                    return ::fgetxattr(fd, name, buffer, size);
                                }));
    }
    const std::optional<std::string> rights = WhereKept([&] {
        return Filled([&](char* buffer, std::size_t size) {
            return ::fgetxattr(fd, kNtfsAccessRights, buffer, size);
        });
    });
    if (rights) {
        attributes.emplace_back(kNtfsAccessRights, *rights);
    }
    std::sort(attributes.begin(), attributes.end());
    return attributes;
}

// Gives a file the extended attributes `wanted`, where they differ.
void GiveAttributes(int fd, const Attributes& wanted) {
    const Attributes current = AttributesOf(fd);
    for (const auto& attribute : current) { // such as an inherited ACL
        const std::string& name = attribute.first;
        if (std::none_of(wanted.begin(), wanted.end(),
                         [&](const auto& kept) { return kept.first == name; })) {
            Checked(::fremovexattr(fd, name.c_str()));
        }
    }
    for (const auto& attribute : wanted) {
        if (!std::binary_search(current.begin(), current.end(), attribute)) {
            const auto& [name, value] = attribute;
            Checked(::fsetxattr(fd, name.c_str(), value.data(), value.size(), 0));
        }
    }
}

// The file flags (chattr) that a replacement is given: every one a file's
// owner may set on a regular file, and `j`, which only root may change (so
// that another user's file with it is rewritten in place). Not immutable and
// append-only: a file that has them cannot be opened for writing anyway.
// Nor those that tell how the file system stores it (extents, inline data)
// or that its folder gives it (encryption).
constexpr int kGivenFlags = FS_SECRM_FL | FS_UNRM_FL | FS_COMPR_FL | FS_SYNC_FL | FS_NODUMP_FL |
                            FS_NOATIME_FL | FS_JOURNAL_DATA_FL | FS_NOTAIL_FL | FS_NOCOMP_FL |
                            FS_NOCOW_FL | FS_DAX_FL;

std::optional<int> FlagsOf(int fd) {
    return WhereKept([&] {
        int flags = 0;
        Checked(::ioctl(fd, FS_IOC_GETFLAGS, &flags));
        return flags;
    });
}

// The project of a file (quotas on ext4 and xfs) where its file system keeps one.
std::optional<std::uint32_t> ProjectOf(int fd) {
    return WhereKept([&] {
        struct fsxattr attributes {};
        Checked(::ioctl(fd, FS_IOC_FSGETXATTR, &attributes));
        return attributes.fsx_projid;
    });
}

// The attributes of a file on FAT (the kernel's vfat) or on NTFS through
// ntfs-3g, as the file system keeps them: read-only, hidden, system, ...
// Archive is left out: writing a file sets it, as it does in place.
constexpr std::uint32_t kFatGiven = ATTR_RO | ATTR_HIDDEN | ATTR_SYS;
constexpr std::uint32_t kNtfsGiven = 0x1 | 0x2 | 0x4 | 0x100 | 0x1000 | 0x2000; // R H S T O I
constexpr const char* kNtfsAttributes = "system.ntfs_attrib_be";                // big-endian

std::optional<std::uint32_t> FatAttributesOf(int fd) {
    return WhereKept([&] {
        std::uint32_t attributes = 0;
        Checked(::ioctl(fd, FAT_IOCTL_GET_ATTRIBUTES, &attributes));
        return attributes;
    });
}

std::optional<std::uint32_t> NtfsAttributesOf(int fd) {
    return WhereKept([&] {
        std::array<unsigned char, 4> bytes{};
        if (Checked(::fgetxattr(fd, kNtfsAttributes, bytes.data(), bytes.size())) != 4) {
            throw std::system_error(EINVAL, std::system_category());
        }
        return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
               std::uint32_t{bytes[2]} << 8 | bytes[3];
    });
}

void SetNtfsAttributes(int fd, std::uint32_t attributes) {
    const std::array<unsigned char, 4> bytes{
        static_cast<unsigned char>(attributes >> 24), static_cast<unsigned char>(attributes >> 16),
        static_cast<unsigned char>(attributes >> 8), static_cast<unsigned char>(attributes)};
    Checked(::fsetxattr(fd, kNtfsAttributes, bytes.data(), bytes.size(), 0));
}

// Gives a file the bits `given` of `wanted` where they differ, through the
// calls that read and set them; errors of setting are left to the read back.
template <typename Value, typename Set>
void GiveBits(int fd, const std::optional<Value>& wanted, const std::optional<Value>& current,
              Value given, Set set) {
    if (wanted && current && (*wanted & given) != (*current & given)) {
        set(fd, static_cast<Value>((*current & ~given) | (*wanted & given)));
    }
}

// Whether two files hold the same bits `given`, where the first keeps any.
template <typename Value>
bool SameBits(const std::optional<Value>& wanted, const std::optional<Value>& got, Value given) {
    return !wanted || (got && (*wanted & given) == (*got & given));
}

// Links a file that has no name yet (O_TMPFILE) as `name`, never replacing.
// Through /proc, as an unprivileged process may; with AT_EMPTY_PATH where
// /proc is missing and the kernel allows it.
void LinkUnnamed(int fd, int folder, const std::filesystem::path& name) {
    if (::linkat(AT_FDCWD, ProcPath(fd).c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        return;
    }
    if (errno != ENOENT) {
        ThrowLastError();
    }
    Checked(::linkat(fd, "", folder, name.c_str(), AT_EMPTY_PATH));
}

// Whether the file or folder open as `fd` is on an SMB share (cifs, or smb3).
bool OnSmbShare(int fd) {
    constexpr auto kSmbMagic = 0xFF534D42, kSmb2Magic = 0xFE534D42; // as the kernel's statfs says
    struct statfs where {};
    Checked(::fstatfs(fd, &where));
    return where.f_type == kSmbMagic || where.f_type == kSmb2Magic;
}

// File capabilities (setcap) are not carried over: the kernel removes them
// from a file that is written, and so does this replacement.
constexpr std::string_view kCapabilities = "security.capability";

} // namespace

bool IsAlreadyExistsError(const std::error_code& error) noexcept {
    return error.value() == EEXIST;
}

bool IsNoRoomError(const std::error_code& error) noexcept {
    return error.value() == ENOSPC || error.value() == EDQUOT;
}

bool IsNameTooLongError(const std::error_code& error) noexcept {
    return error.value() == ENAMETOOLONG;
}

void NativeFile::CloseQuietly(Handle handle) noexcept {
    ::close(handle);
}

NativeFile NativeFile::OpenForReading(const std::filesystem::path& path) {
    NativeFile file(Checked(Retrying(
        [&] { return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); })));
    // O_NONBLOCK only kept the open of a pipe from waiting for its other end.
    const int status = Checked(::fcntl(file.handle_, F_GETFL));
    Checked(::fcntl(file.handle_, F_SETFL, status & ~O_NONBLOCK));
    return file;
}

Kind NativeFile::kind() const {
    return KindOfMode(StatOf(handle_).st_mode);
}

std::uint64_t NativeFile::Size() const {
    return static_cast<std::uint64_t>(StatOf(handle_).st_size);
}

std::size_t NativeFile::ReadSome(char* buffer, std::size_t size) {
    const ssize_t count = Retrying([&] { return ::read(handle_, buffer, size); });
    if (count < 0) {
        ThrowLastError();
    }
    return static_cast<std::size_t>(count);
}

std::size_t NativeFile::ReadSomeAt(std::uint64_t offset, char* buffer, std::size_t size) {
    const ssize_t count =
        Retrying([&] { return ::pread(handle_, buffer, size, static_cast<off_t>(offset)); });
    if (count < 0) {
        ThrowLastError();
    }
    return static_cast<std::size_t>(count);
}

void NativeFile::WriteAllAt(std::uint64_t offset, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t count = Retrying([&] {
            return ::pwrite(handle_, bytes.data(), bytes.size(), static_cast<off_t>(offset));
        });
        if (count < 0) {
            ThrowLastError();
        }
        bytes.remove_prefix(static_cast<std::size_t>(count));
        offset += static_cast<std::uint64_t>(count);
    }
}

void NativeFile::Truncate(std::uint64_t size) {
    Checked(Retrying([&] { return ::ftruncate(handle_, static_cast<off_t>(size)); }));
}

void NativeFile::FlushToDisk() {
    Checked(::fsync(handle_));
}

void NativeFile::Close() {
    // close() may report a delayed write error (NFS, quotas); it counts. The
    // descriptor is released whatever it reports, so it is never retried.
    if (::close(std::exchange(handle_, kNoHandle)) != 0 && errno != EINTR) {
        ThrowLastError();
    }
}

std::uint32_t NativeFile::Mode() const {
    return StatOf(handle_).st_mode & 07777;
}

void NativeFile::RestoreMode(std::uint32_t mode) noexcept {
    // The kernel clears setuid and setgid when a file is written. Only the
    // owner (or root) may set them again; for anyone else the kernel's
    // clearing stands, as it does for a plain save.
    struct stat info {};
    if (::fstat(handle_, &info) == 0 && (info.st_mode & 07777) != mode) {
        ::fchmod(handle_, static_cast<mode_t>(mode));
    }
}

fileio::OutputFacts::Identity NativeFile::TakeIdentityOf(const NativeFile& original) noexcept {
    using Identity = fileio::OutputFacts::Identity;
    try {
        const int from = original.handle_;
        const struct stat want = StatOf(from);
        // Only what differs is given: a file system may refuse a call (FUSE,
        // chown) even where nothing would change. Owner first: a change of
        // owner clears setuid and setgid, which the mode, given next, puts
        // back.
        const struct stat had = StatOf(handle_);
        if ((had.st_uid != want.st_uid || had.st_gid != want.st_gid) &&
            ::fchown(handle_, want.st_uid, want.st_gid) != 0) {
            return Identity::OwnerNotGiven;
        }
        auto wanted = AttributesOf(from);
        std::erase_if(wanted,
                      [](const auto& attribute) { return attribute.first == kCapabilities; });
        GiveAttributes(handle_, wanted);
        if ((StatOf(handle_).st_mode & 07777) != (want.st_mode & 07777)) {
            Checked(::fchmod(handle_, want.st_mode & 07777));
        }
        const auto flags = FlagsOf(from);
        GiveBits(handle_, flags, FlagsOf(handle_), kGivenFlags,
                 [](int fd, int value) { ::ioctl(fd, FS_IOC_SETFLAGS, &value); });
        const auto project = ProjectOf(from);
        if (project && ProjectOf(handle_) != project) {
            struct fsxattr attributes {};
            Checked(::ioctl(handle_, FS_IOC_FSGETXATTR, &attributes));
            attributes.fsx_projid = *project;
            ::ioctl(handle_, FS_IOC_FSSETXATTR, &attributes);
        }
        const auto fat = FatAttributesOf(from);
        GiveBits(
            handle_, fat, FatAttributesOf(handle_), kFatGiven,
            [](int fd, std::uint32_t value) { ::ioctl(fd, FAT_IOCTL_SET_ATTRIBUTES, &value); });
        const auto ntfs = NtfsAttributesOf(from);
        GiveBits(handle_, ntfs, NtfsAttributesOf(handle_), kNtfsGiven, SetNtfsAttributes);
        // Read back: the kernel may quietly drop what the user may not set
        // (setgid outside the file's group, a label the policy refuses), and
        // a file system what it does not keep (a chown on ntfs-3g).
        const struct stat got = StatOf(handle_);
        if (got.st_uid != want.st_uid || got.st_gid != want.st_gid) {
            return Identity::OwnerNotGiven;
        }
        const bool given = (got.st_mode & 07777) == (want.st_mode & 07777) &&
                           AttributesOf(handle_) == wanted &&
                           SameBits(flags, FlagsOf(handle_), kGivenFlags) &&
                           (!project || ProjectOf(handle_) == project) &&
                           SameBits(fat, FatAttributesOf(handle_), kFatGiven) &&
                           SameBits(ntfs, NtfsAttributesOf(handle_), kNtfsGiven);
        return given ? Identity::Given : Identity::AttributeNotGiven;
    } catch (const std::exception&) {
        return Identity::AttributeNotGiven;
    }
}

void NewFile::Discard() noexcept {
    // An unnamed file goes with its descriptor; a temporary name is removed.
    if (folder_ != nullptr && !temporaryName_.empty()) {
        ::unlinkat(folder_->handle(), temporaryName_.c_str(), 0);
    }
    temporaryName_.clear();
}

void NewFile::NameAsNew(const std::filesystem::path& name) {
    const int folder = folder_->handle();
    if (temporaryName_.empty()) {
        LinkUnnamed(file_.handle(), folder, name);
    } else if (::linkat(folder, temporaryName_.c_str(), folder, name.c_str(), 0) == 0) {
        Discard();
    } else {
        // File systems without hard links (FAT, some network shares) can
        // still rename without replacing; FUSE without rename flags cannot.
        if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS && errno != EMLINK) {
            ThrowLastError();
        }
        if (::renameat2(folder, temporaryName_.c_str(), folder, name.c_str(), RENAME_NOREPLACE) !=
            0) {
            if (errno == EINVAL || errno == ENOSYS) {
                throw std::system_error(EOPNOTSUPP, std::system_category());
            }
            ThrowLastError();
        }
        temporaryName_.clear();
    }
    name_ = name;
}

void NewFile::Complete() {
    // rename() takes names only: an unnamed file gets a temporary one first,
    // the one moment at which an interruption leaves a complete new file
    // beside the untouched old one.
    if (temporaryName_.empty()) {
        temporaryName_ = WithUniqueName(".tmp", [&](std::filesystem::path temporary) {
            LinkUnnamed(file_.handle(), folder_->handle(), temporary);
            return temporary;
        });
    }
    file_.Close();
}

void NewFile::Replace(const std::filesystem::path& name) {
    Checked(::renameat(folder_->handle(), temporaryName_.c_str(), folder_->handle(), name.c_str()));
    temporaryName_.clear();
    name_ = name;
}

void NewFile::CloseNamed() {
    const struct stat named = StatOf(file_.handle());
    try {
        file_.Close();
    } catch (const std::system_error&) {
        struct stat now {};
        if (::fstatat(folder_->handle(), name_.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
            SameFile(now, named)) {
            ::unlinkat(folder_->handle(), name_.c_str(), 0);
        }
        name_.clear();
        throw;
    }
}

void NewFile::RemoveQuietly() noexcept {
    // By its name, while that still holds it: not another program's file
    // that took the name meanwhile.
    try {
        if (folder_ != nullptr && !name_.empty() && folder_->Names(name_, file_)) {
            ::unlinkat(folder_->handle(), name_.c_str(), 0);
        }
    } catch (const std::system_error&) {
    }
    name_.clear();
    Discard();
}

Folder Folder::Open(const std::filesystem::path& path) {
    // Opened for reading, so that its names can be made durable through it;
    // a folder the user may only pass through is held with O_PATH, which
    // needs no permission to read its list of names.
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 && errno == EACCES) {
        fd = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
    return Folder(NativeFile(Checked(fd)), path);
}

NewFile Folder::MakeFile(NativeFile::Visibility visibility) const {
    const mode_t mode = visibility == NativeFile::Visibility::Private ? 0600 : 0666; // less umask
    const int fd = ::openat(handle(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
    if (fd >= 0) {
        return NewFile(NativeFile(fd), *this, {});
    }
    // EISDIR: a kernel older than O_TMPFILE reads it as O_DIRECTORY.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        ThrowLastError();
    }
    return WithUniqueName(".tmp", [&](const std::filesystem::path& name) {
        NativeFile file(Checked(Retrying([&] {
            return ::openat(handle(), name.c_str(),
                            O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, mode);
        })));
        return NewFile(std::move(file), *this, name);
    });
}

NewFile Folder::MakeFileNamed(const std::filesystem::path& name) const {
    NativeFile file(Checked(Retrying([&] {
        return ::openat(handle(), name.c_str(),
                        O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666);
    })));
    return NewFile(std::move(file), *this, {}, name);
}

bool Folder::Names(const std::filesystem::path& name, const NativeFile& file) const {
    struct stat named {};
    if (::fstatat(handle(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) {
            return false;
        }
        ThrowLastError();
    }
    // No link left: removed, though an SMB share shows it until it is closed.
    if (!file.IsOpen() || named.st_nlink == 0 || !SameFile(named, StatOf(file.handle()))) {
        return false;
    }
    // There even its links are shown as they were; only an open tells (and
    // an SMB share has no device that an open could act on).
    if (OnSmbShare(handle())) {
        const int opened = ::openat(handle(), name.c_str(),
                                    O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (opened < 0) {
            return errno != ENOENT;
        }
        ::close(opened);
    }
    return true;
}

void Folder::FlushQuietly() const noexcept {
    ::fsync(handle()); // EBADF where it is held with O_PATH: it cannot be read, so it stays
}

Output Output::Find(const std::filesystem::path& path) {
    Output output;
    // O_PATH lets the kernel follow the links of the path by its own rules
    // (fs.protected_symlinks) and gives the file it reaches without opening
    // it: a device or pipe is looked at, never opened.
    const int located = ::open(path.c_str(), O_PATH | O_CLOEXEC);
    if (located < 0) {
        if (errno != ENOENT) {
            ThrowLastError();
        }
        if (!path.has_filename()) { // an empty path, or one that ends in a separator
            throw std::system_error(ENOENT, std::system_category());
        }
        output.folder_ = Folder::Open(path.has_parent_path() ? path.parent_path() : ".");
        output.name_ = path.filename();
        return output;
    }
    const NativeFile locator(located);
    const struct stat found = StatOf(located);
    output.kind_ = KindOfMode(found.st_mode);
    if (output.kind_ != Kind::Regular) {
        return output;
    }
    // Every later step works in the folder of the final target, by name, and
    // checks that the name still holds the file found. The path typed must
    // still lead there too: a file renamed away since the look (NFS moves one
    // that another file replaced to a name of its own) is not the output.
    const std::filesystem::path target = FinalPathOf(located, path);
    output.folder_ = Folder::Open(target.has_parent_path() ? target.parent_path() : ".");
    output.name_ = target.filename();
    if (!output.folder_.Names(output.name_, locator) || !LeadsTo(path, found)) {
        output.kind_ = Kind::Changed;
        return output;
    }
    // Opened as a plain save opens it, so the kernel decides who may write:
    // O_CREAT makes it apply fs.protected_regular in a shared folder. No
    // O_NONBLOCK, so a lease another program holds is waited for, as a
    // plain save waits. O_NOFOLLOW: a link put there since is refused, not
    // followed; mode 0 marks a file this open made because the name went
    // away meanwhile.
    const auto openAs = [&](int access) {
        return Retrying([&] {
            return ::openat(output.folder_.handle(), output.name_.c_str(),
                            access | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0);
        });
    };
    int fd = openAs(O_RDWR);
    if (fd < 0 && (errno == EACCES || errno == EPERM)) {
        // Writable but unreadable is enough to replace it whole, not to keep
        // a copy of it. Without blocking: the name may have become a pipe.
        output.readRefusal_ = std::error_code(errno, std::system_category());
        fd = openAs(O_WRONLY | O_NONBLOCK);
    }
    if (fd < 0) {
        if (errno == ELOOP) {
            output.kind_ = Kind::Changed;
            return output;
        }
        ThrowLastError();
    }
    output.file_ = NativeFile(fd);
    const struct stat opened = StatOf(fd);
    output.facts_.links = static_cast<std::uint32_t>(opened.st_nlink);
    // The kernel's SMB client, refused a rename over a file that is open
    // (as this one is, or by any program on any machine), removes that file
    // and tries again, which fails the same way: the output would be lost.
    output.facts_.renameRisksIt = OnSmbShare(fd);
    // No link left: another file took its name as it was opened, or it is
    // being removed.
    if (opened.st_nlink == 0) {
        output.file_ = NativeFile();
        output.kind_ = Kind::Changed;
        return output;
    }
    if (!SameFile(opened, found)) {
        // The name went away between the look and the open, which then made
        // this empty file: it goes again.
        if (S_ISREG(opened.st_mode) && (opened.st_mode & 07777) == 0 && opened.st_size == 0 &&
            opened.st_uid == ::geteuid() && output.folder_.Names(output.name_, output.file_)) {
            ::unlinkat(output.folder_.handle(), output.name_.c_str(), 0);
        }
        output.file_ = NativeFile();
        output.kind_ = Kind::Changed;
        return output;
    }
    if (output.readRefusal_) { // opened without blocking, which writing must not be
        const int status = Checked(::fcntl(fd, F_GETFL));
        Checked(::fcntl(fd, F_SETFL, status & ~O_NONBLOCK));
    }
    return output;
}

void Output::ReplaceWith(NewFile& replacement) {
    replacement.Replace(name_);
}

std::filesystem::path TemporaryFolder() {
    // Named even where it is missing, so that a message can say which it is.
    const char* named = ::secure_getenv("TMPDIR");
    return named != nullptr && *named != '\0' ? named : "/tmp";
}

} // namespace velmora::native
