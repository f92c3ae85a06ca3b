// SPDX-License-Identifier: MIT
#include "file_failures.h"
#include "native_file.h"
#include "velmora/failure.h"
#include "velmora/text_file.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>

namespace velmora {
namespace {

namespace fs = std::filesystem;
using native::Kind;
using native::NativeFile;

// Names of one fixed length, whatever the output is called, so that any name
// the file system accepts for the output leaves room for them.
constexpr std::string_view kTemporarySuffix = ".tmp";
constexpr std::string_view kBackupSuffix = ".bak";

fs::path FolderOf(const fs::path& path) {
    return path.has_parent_path() ? path.parent_path() : fs::path(".");
}

// ".velmora-" and 16 random hex digits: one that no other writer will pick.
fs::path UniqueName(std::string_view suffix) {
    std::random_device entropy;
    const std::uint64_t token = (std::uint64_t{entropy()} << 32) ^ entropy();
    std::string name = ".velmora-";
    for (int shift = 60; shift >= 0; shift -= 4) {
        name += "0123456789abcdef"[(token >> shift) & 0xF];
    }
    name += suffix;
    return name;
}

// Removes the file it holds unless told to keep it.
class RemovalGuard {
  public:
    RemovalGuard() = default;
    RemovalGuard(const RemovalGuard&) = delete;
    RemovalGuard& operator=(const RemovalGuard&) = delete;
    ~RemovalGuard() { RemoveNow(); }

    void Hold(fs::path path) { path_ = std::move(path); }
    void RemoveNow() noexcept {
        if (!path_.empty()) {
            native::RemoveQuietly(path_);
            path_.clear();
        }
    }
    void Keep() noexcept { path_.clear(); }
    [[nodiscard]] const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

// A new file in `folder`, held by `guard` (which must outlive the file, as
// Windows cannot remove a file that is still open).
NativeFile CreateUniqueIn(const fs::path& folder, std::string_view suffix,
                          NativeFile::Visibility visibility, RemovalGuard& guard) {
    constexpr int kAttempts = 8;
    for (int attempt = 1;; ++attempt) {
        const fs::path path = folder / UniqueName(suffix);
        try {
            NativeFile file = NativeFile::CreateNew(path, visibility);
            guard.Hold(path);
            return file;
        } catch (const std::system_error& error) {
            if (attempt == kAttempts || !native::IsAlreadyExistsError(error.code())) {
                throw;
            }
        }
    }
}

void CopyContent(NativeFile& from, NativeFile& to, std::uint64_t size) {
    std::array<char, 65536> buffer{};
    for (std::uint64_t offset = 0; offset < size;) {
        const auto wanted =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size - offset));
        const std::size_t count = from.ReadSomeAt(offset, buffer.data(), wanted);
        if (count == 0) {
            return; // the file was shortened meanwhile; what is left is all it holds
        }
        to.WriteAllAt(offset, {buffer.data(), count});
        offset += count;
    }
}

void WriteNewFile(std::string_view content, const fs::path& path) {
    const fs::path folder = FolderOf(path);
    RemovalGuard temporary;
    NativeFile file = fileio::Attempt(fileio::kOpenForWriting, path, [&] {
        return CreateUniqueIn(folder, kTemporarySuffix, NativeFile::Visibility::Usual, temporary);
    });
    fileio::Attempt(fileio::kWrite, path, [&] { file.WriteAllAt(0, content); });
    fileio::Attempt(fileio::kSave, path, [&] { file.FlushToDisk(); });
    fileio::Attempt(fileio::kWrite, path, [&] { file.Close(); });
    // Only a complete file gets the name, and it never replaces one that
    // appeared meanwhile.
    fileio::Attempt(fileio::kCreate, path, [&] { native::LinkAsNew(temporary.path(), path); });
    temporary.RemoveNow();
    native::FlushFolderQuietly(folder);
}

// The existing output, opened through `path` as given: what the system
// refuses to a plain save (a read-only file, a link another user planted in
// a shared folder) is refused here too. Reading is needed to keep a copy.
NativeFile OpenForRewriting(const fs::path& path) {
    try {
        return NativeFile::OpenExisting(path, NativeFile::Access::ReadWrite);
    } catch (const std::system_error& readWrite) {
        if (!native::IsPermissionError(readWrite.code())) {
            fileio::RaiseFileFailure(fileio::kOpenForWriting, path, readWrite.code());
        }
        // A refusal to write is the one to report. Writable but unreadable:
        // its content could not be put back, so it is refused all the same.
        fileio::Attempt(fileio::kOpenForWriting, path,
                        [&] { (void)NativeFile::OpenExisting(path, NativeFile::Access::Write); });
        fileio::RaiseFileFailure(fileio::kKeepCopy, path, readWrite.code());
    }
}

// A durable copy of the output's first `size` bytes, beside it or, when its
// folder takes no new file (or has no room), in the temporary folder.
NativeFile KeepCopy(NativeFile& output, std::uint64_t size, const fs::path& path,
                    RemovalGuard& guard) {
    std::error_code firstError;
    for (const bool beside : {true, false}) {
        try {
            const fs::path folder = beside ? FolderOf(path) : native::TemporaryFolder();
            NativeFile copy =
                CreateUniqueIn(folder, kBackupSuffix, NativeFile::Visibility::Private, guard);
            CopyContent(output, copy, size);
            copy.FlushToDisk();
            // The backup must be findable after a crash in the middle of the
            // write, so its name is made durable too.
            native::FlushFolderQuietly(folder);
            return copy;
        } catch (const std::system_error& error) {
            guard.RemoveNow();
            if (!firstError) {
                firstError = error.code();
            }
        }
    }
    fileio::RaiseFileFailure(fileio::kKeepCopy, path, firstError);
}

// Puts the old content back after a failed write; false if that fails too.
// Cut first: on a file system that copies on write, rewriting the old bytes
// needs room that the longer new content may have taken.
bool PutBack(NativeFile& copy, NativeFile& output, std::uint64_t oldSize,
             std::uint32_t mode) noexcept {
    try {
        output.Truncate(oldSize);
        CopyContent(copy, output, oldSize);
        output.FlushToDisk();
        output.RestoreMode(mode);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

void RewriteInPlace(std::string_view content, const fs::path& path) {
    RemovalGuard backup;
    NativeFile output = OpenForRewriting(path);
    if (fileio::Attempt(fileio::kOpenForWriting, path, [&] { return output.kind(); }) !=
        Kind::Regular) {
        fileio::RaiseFileFailure(fileio::kOpenForWriting, path, fileio::kIsNotARegularFile);
    }
    const std::uint32_t mode =
        fileio::Attempt(fileio::kOpenForWriting, path, [&] { return output.Mode(); });
    const std::uint64_t oldSize =
        fileio::Attempt(fileio::kOpenForWriting, path, [&] { return output.Size(); });
    NativeFile copy = KeepCopy(output, oldSize, path, backup);

    try {
        // Written over the old bytes first and cut to size last: putting the
        // old content back then needs no more room than it had.
        fileio::Attempt(fileio::kWrite, path, [&] {
            output.WriteAllAt(0, content);
            output.Truncate(content.size());
        });
        fileio::Attempt(fileio::kSave, path, [&] { output.FlushToDisk(); });
        output.RestoreMode(mode);
    } catch (...) {
        // Whatever stopped the write (a file failure, or running out of
        // memory), the old content goes back before the backup is removed.
        if (!PutBack(copy, output, oldSize, mode)) {
            backup.Keep();
            const std::u8string kept = backup.path().u8string();
            try {
                throw;
            } catch (const FileFailure& failure) {
                throw FileFailure(failure.description() + "; its old content is kept in \"" +
                                      std::string(kept.begin(), kept.end()) + '"',
                                  failure.systemError());
            }
        }
        throw;
    }
    // The new content is on disk already, so closing has nothing left to
    // report that could be undone; the backup copy goes.
    copy = NativeFile();
    output = NativeFile();
}

} // namespace

void WriteTextFile(std::string_view content, const fs::path& path) {
    fileio::RefuseUnusablePath(fileio::kOpenForWriting, path);
    switch (fileio::Attempt(fileio::kOpenForWriting, path, [&] { return native::KindOf(path); })) {
    case Kind::Missing:
        if (!path.has_filename()) { // an empty path, or one that ends in a separator
            fileio::RaiseFileFailure(fileio::kOpenForWriting, path,
                                     std::make_error_code(std::errc::no_such_file_or_directory));
        }
        return WriteNewFile(content, path);
    case Kind::Regular:
        return RewriteInPlace(content, path);
    case Kind::Folder:
        fileio::RaiseFileFailure(fileio::kOpenForWriting, path, fileio::kIsAFolder);
    case Kind::Other:
        break;
    }
    // A device or pipe is refused without opening it: opening alone can act.
    fileio::RaiseFileFailure(fileio::kOpenForWriting, path, fileio::kIsNotARegularFile);
}

} // namespace velmora
