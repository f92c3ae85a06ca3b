// SPDX-License-Identifier: MIT
// File calls on POSIX systems.

#include "native_file.h"

#include <cerrno>
#include <fcntl.h>
#include <stdio.h> // renameat2
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

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

struct stat StatOf(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        ThrowLastError();
    }
    return info;
}

Kind KindOfMode(mode_t mode) {
    if (S_ISREG(mode)) {
        return Kind::Regular;
    }
    return S_ISDIR(mode) ? Kind::Folder : Kind::Other;
}

} // namespace

Kind KindOf(const std::filesystem::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        if (errno == ENOENT) {
            return Kind::Missing;
        }
        ThrowLastError();
    }
    return KindOfMode(info.st_mode);
}

bool IsPermissionError(const std::error_code& error) noexcept {
    return error.value() == EACCES || error.value() == EPERM || error.value() == EROFS;
}

bool IsAlreadyExistsError(const std::error_code& error) noexcept {
    return error.value() == EEXIST;
}

void NativeFile::CloseQuietly(Handle handle) noexcept {
    ::close(handle);
}

NativeFile NativeFile::OpenExisting(const std::filesystem::path& path, Access access) {
    int flags = O_RDONLY;
    if (access != Access::Read) {
        // O_CREAT without O_EXCL creates nothing that exists, but makes the
        // kernel apply the checks of a plain save (fs.protected_regular).
        flags = (access == Access::Write ? O_WRONLY : O_RDWR) | O_CREAT;
    }
    const int fd = Retrying(
        [&] { return ::open(path.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666); });
    if (fd < 0) {
        ThrowLastError();
    }
    NativeFile file(fd);
    // O_NONBLOCK only kept the open of a pipe from waiting for its other end.
    const int status = ::fcntl(fd, F_GETFL);
    if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
        ThrowLastError();
    }
    return file;
}

NativeFile NativeFile::CreateNew(const std::filesystem::path& path, Visibility visibility) {
    const mode_t mode = visibility == Visibility::Private ? 0600 : 0666; // less the umask
    const int fd = Retrying([&] {
        return ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, mode);
    });
    if (fd < 0) {
        ThrowLastError();
    }
    return NativeFile(fd);
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
    if (Retrying([&] { return ::ftruncate(handle_, static_cast<off_t>(size)); }) != 0) {
        ThrowLastError();
    }
}

void NativeFile::FlushToDisk() {
    if (::fsync(handle_) != 0) {
        ThrowLastError();
    }
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

void LinkAsNew(const std::filesystem::path& existing, const std::filesystem::path& name) {
    if (::link(existing.c_str(), name.c_str()) == 0) {
        return;
    }
    // File systems without hard links (FAT, some network shares) can still
    // rename without replacing.
    if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS && errno != EMLINK) {
        ThrowLastError();
    }
    if (::renameat2(AT_FDCWD, existing.c_str(), AT_FDCWD, name.c_str(), RENAME_NOREPLACE) != 0) {
        ThrowLastError();
    }
}

void FlushFolderQuietly(const std::filesystem::path& folder) noexcept {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

void RemoveQuietly(const std::filesystem::path& path) noexcept {
    ::unlink(path.c_str());
}

std::filesystem::path TemporaryFolder() {
    return std::filesystem::temp_directory_path();
}

} // namespace velmora::native
