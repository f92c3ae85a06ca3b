// File calls on POSIX systems.

#include "file_failures.h"
#include "native_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace velmora::native {

SystemError LastSystemError() {
    const int code = errno;
    return {code, std::strerror(code)};
}

bool IsPermissionError(int code) noexcept {
    return code == EACCES || code == EPERM;
}

namespace {

int OpenOrFail(const std::filesystem::path& path, int flags, const std::filesystem::path& shownPath,
               std::string_view detail, mode_t mode = 0) {
    int fd = -1;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        RaiseFileFailure("Cannot open", shownPath, detail, LastSystemError());
    }
    return fd;
}

} // namespace

void NativeFile::CloseQuietly(Handle handle) noexcept {
    ::close(handle);
}

NativeFile NativeFile::OpenForReading(const std::filesystem::path& path) {
    // O_NONBLOCK keeps the open of a pipe from waiting for a writer; the
    // file type is checked before a single byte is read.
    NativeFile file(OpenOrFail(path, O_RDONLY | O_NONBLOCK, path, " for reading"), path);
    struct stat info {};
    if (::fstat(file.handle_, &info) != 0) {
        RaiseFileFailure("Cannot read", path, "", LastSystemError());
    }
    if (S_ISDIR(info.st_mode)) {
        RaiseFileFailure("Cannot open", path, " for reading", IsAFolder());
    }
    if (!S_ISREG(info.st_mode)) {
        RaiseFileFailure("Cannot open", path, " for reading", IsNotARegularFile());
    }
    const int flags = ::fcntl(file.handle_, F_GETFL);
    if (flags < 0 || ::fcntl(file.handle_, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        RaiseFileFailure("Cannot read", path, "", LastSystemError());
    }
    return file;
}

NativeFile NativeFile::CreateNew(const std::filesystem::path& path,
                                 const std::filesystem::path& shownPath) {
    // 0666 less the umask: the permissions any new file of the user gets.
    return {OpenOrFail(path, O_WRONLY | O_CREAT | O_EXCL, shownPath, " for writing", 0666),
            shownPath};
}

NativeFile NativeFile::OpenForOverwrite(const std::filesystem::path& path,
                                        const std::filesystem::path& shownPath) {
    return {OpenOrFail(path, O_WRONLY | O_TRUNC, shownPath, " for writing"), shownPath};
}

std::string NativeFile::ReadAll() {
    std::string content;
    struct stat info {};
    if (::fstat(handle_, &info) == 0 && info.st_size > 0) {
        // One more than the size, so that the final read of 0 needs no growth.
        content.reserve(static_cast<std::size_t>(info.st_size) + 1);
    }
    char buffer[65536];
    for (;;) {
        const ssize_t count = ::read(handle_, buffer, sizeof buffer);
        if (count == 0) {
            return content;
        }
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            RaiseFileFailure("Cannot read", shownPath_, "", LastSystemError());
        }
        content.append(buffer, static_cast<std::size_t>(count));
    }
}

void NativeFile::WriteAll(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t count = ::write(handle_, bytes.data(), bytes.size());
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            RaiseFileFailure("Cannot write", shownPath_, "", LastSystemError());
        }
        bytes.remove_prefix(static_cast<std::size_t>(count));
    }
}

void NativeFile::KeepPermissionsOf(const std::filesystem::path& model) {
    struct stat info {};
    if (::stat(model.c_str(), &info) != 0) {
        RaiseFileFailure("Cannot read the permissions of", shownPath_, "", LastSystemError());
    }
    if (::fchmod(handle_, info.st_mode & 07777) != 0) {
        RaiseFileFailure("Cannot keep the permissions of", shownPath_, "", LastSystemError());
    }
    // Keeping the owner only works with privileges (an administrator editing
    // someone else's file); without them the file becomes the user's own,
    // which is what a plain save would do too, so a refusal is not an error.
    [[maybe_unused]] const int ignored = ::fchown(handle_, info.st_uid, info.st_gid);
}

void NativeFile::FlushToDisk() {
    if (::fsync(handle_) != 0) {
        RaiseFileFailure("Cannot save", shownPath_, " to disk", LastSystemError());
    }
}

void NativeFile::Close() {
    // close() may report a delayed write error (NFS, quotas); it counts. The
    // descriptor is released whatever it reports, so it is never retried.
    const int result = ::close(std::exchange(handle_, kNoHandle));
    if (result != 0 && errno != EINTR) {
        RaiseFileFailure("Cannot write", shownPath_, "", LastSystemError());
    }
}

void RenameOver(const std::filesystem::path& source, const std::filesystem::path& target,
                const std::filesystem::path& shownPath) {
    if (::rename(source.c_str(), target.c_str()) != 0) {
        RaiseFileFailure("Cannot replace", shownPath, "", LastSystemError());
    }
    // Make the rename itself durable. The new content is already on disk, so
    // a folder that cannot be synced (some file systems refuse) is no failure.
    const std::filesystem::path folder =
        target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

void RemoveQuietly(const std::filesystem::path& path) noexcept {
    ::unlink(path.c_str());
}

} // namespace velmora::native
