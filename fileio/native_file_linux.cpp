// SPDX-License-Identifier: MIT
// File calls on Linux, which has what a safe save needs: O_PATH, O_TMPFILE,
// /proc/self/fd, linkat and renameat2.

#include "native_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <linux/fs.h> // FS_IOC_GETFLAGS
#include <stdio.h>    // renameat2
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
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

// The extended attributes of an open file (the ACL among them, as
// system.posix_acl_access), by name; none where the file system keeps none.
std::vector<std::pair<std::string, std::string>> AttributesOf(int fd) {
    std::vector<std::pair<std::string, std::string>> attributes;
    std::string names;
    try {
        names =
            Filled([&](char* buffer, std::size_t size) { return ::flistxattr(fd, buffer, size); });
    } catch (const std::system_error& error) {
        if (error.code().value() == ENOTSUP || error.code().value() == ENOSYS) {
            return attributes;
        }
        throw;
    }
    for (std::size_t at = 0; at < names.size(); at = names.find('\0', at) + 1) {
        const char* name = names.c_str() + at;
        attributes.emplace_back(name, Filled([&](char* buffer, std::size_t size) {
                                    return ::fgetxattr(fd, name, buffer, size);
                                }));
    }
    std::sort(attributes.begin(), attributes.end());
    return attributes;
}

// The file flags a user may set (chattr: no dump, no atime, ...); 0 where
// the file system keeps none.
int FlagsOf(int fd) {
    int flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) {
        if (errno != ENOTTY && errno != ENOTSUP && errno != EINVAL) {
            ThrowLastError();
        }
        return 0;
    }
    return flags & FS_FL_USER_MODIFIABLE;
}

// Gives a new file the flags a user may set, where they differ. Not the
// immutable and append-only flags, which would keep it from being renamed
// or written; a file that has them is not replaced, as the read-back shows.
void SetFlags(int fd, int flags) {
    int current = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &current) == 0 && (current & FS_FL_USER_MODIFIABLE) != flags) {
        const int wanted =
            (current & ~FS_FL_USER_MODIFIABLE) | (flags & ~(FS_IMMUTABLE_FL | FS_APPEND_FL));
        ::ioctl(fd, FS_IOC_SETFLAGS, &wanted);
    }
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
        const struct stat want = StatOf(original.handle_);
        // Owner first: a change of owner clears setuid and setgid, which the
        // mode, set last, puts back.
        if (::fchown(handle_, want.st_uid, want.st_gid) != 0) {
            return Identity::OwnerNotGiven;
        }
        auto wanted = AttributesOf(original.handle_);
        std::erase_if(wanted,
                      [](const auto& attribute) { return attribute.first == kCapabilities; });
        for (const auto& attribute : AttributesOf(handle_)) { // such as an inherited ACL
            if (std::none_of(wanted.begin(), wanted.end(),
                             [&](const auto& kept) { return kept.first == attribute.first; })) {
                Checked(::fremovexattr(handle_, attribute.first.c_str()));
            }
        }
        for (const auto& [name, value] : wanted) {
            Checked(::fsetxattr(handle_, name.c_str(), value.data(), value.size(), 0));
        }
        Checked(::fchmod(handle_, want.st_mode & 07777));
        SetFlags(handle_, FlagsOf(original.handle_));
        // Read back: the kernel may quietly drop what the user may not set
        // (setgid outside the file's group, a label the policy refuses).
        const struct stat got = StatOf(handle_);
        if (got.st_uid != want.st_uid || got.st_gid != want.st_gid) {
            return Identity::OwnerNotGiven;
        }
        const bool given = (got.st_mode & 07777) == (want.st_mode & 07777) &&
                           AttributesOf(handle_) == wanted &&
                           FlagsOf(handle_) == FlagsOf(original.handle_);
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
        // still rename without replacing.
        if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS && errno != EMLINK) {
            ThrowLastError();
        }
        Checked(
            ::renameat2(folder, temporaryName_.c_str(), folder, name.c_str(), RENAME_NOREPLACE));
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

bool Folder::Names(const std::filesystem::path& name, const NativeFile& file) const {
    struct stat named {};
    if (::fstatat(handle(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) {
            return false;
        }
        ThrowLastError();
    }
    return file.IsOpen() && SameFile(named, StatOf(file.handle()));
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
    // No link left: another file took its name as it was opened (unless the
    // file system counts no links at all, and the name still holds it).
    if (opened.st_nlink == 0 && !output.folder_.Names(output.name_, output.file_)) {
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
