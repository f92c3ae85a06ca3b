// SPDX-License-Identifier: MIT
#pragma once

// The thin layer over the operating system's file calls that ReadTextFile
// and WriteTextFile are built on; one implementation per platform. Every
// failing call throws std::system_error carrying the system's own error
// code. Nothing here names a path or words a message: the callers do, once.

#include "write_way.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <utility>

namespace velmora::native {

// Changed: the file at the path was replaced while it was being opened.
enum class Kind { Missing, Regular, Folder, Other, Changed };

[[nodiscard]] bool IsAlreadyExistsError(const std::error_code& error) noexcept;
// A full disk or an exhausted quota.
[[nodiscard]] bool IsNoRoomError(const std::error_code& error) noexcept;
[[nodiscard]] bool IsNameTooLongError(const std::error_code& error) noexcept;

// ".velmora-" and 16 random hex digits, then `suffix`: a name no other writer
// will pick, of one fixed length whatever the output is called.
[[nodiscard]] std::filesystem::path UniqueName(std::string_view suffix);

// What `attempt(name)` gives for the first UniqueName(suffix) that is not
// taken yet. Another try only follows "already exists", which a name of 64
// random bits meets only if someone plants it: after a few, that is failure.
template <typename Attempt> auto WithUniqueName(std::string_view suffix, Attempt&& attempt) {
    constexpr int kAttempts = 8;
    for (int tries = 1;; ++tries) {
        try {
            return attempt(UniqueName(suffix));
        } catch (const std::system_error& error) {
            if (tries == kAttempts || !IsAlreadyExistsError(error.code())) {
                throw;
            }
        }
    }
}

// What the system gives for an open file or folder.
#ifdef _WIN32
using Handle = void*; // a HANDLE
inline constexpr Handle kNoHandle = nullptr;
#else
using Handle = int; // a file descriptor
inline constexpr Handle kNoHandle = -1;
#endif

class Folder;

class NativeFile {
  public:
    // Private files are readable by their owner only; others get the
    // permissions any new file of the user gets there.
    enum class Visibility { Usual, Private };

    NativeFile() noexcept = default;
    // Takes charge of a handle just opened.
    explicit NativeFile(Handle handle) noexcept : handle_(handle) {}
    NativeFile(NativeFile&& other) noexcept;
    NativeFile& operator=(NativeFile&& other) noexcept;
    NativeFile(const NativeFile&) = delete;
    NativeFile& operator=(const NativeFile&) = delete;
    // Closes without reporting: what is left open here was only read, or is
    // given up on the way out of a failure. A written file is closed with
    // Close(), which reports.
    ~NativeFile();

    // An existing file to read, opened through `path` as given, so that the
    // system applies its own rules on who may read it. Opening never waits
    // (a pipe without a writer) and never makes a terminal ours.
    static NativeFile OpenForReading(const std::filesystem::path& path);

    [[nodiscard]] Handle handle() const noexcept { return handle_; }
    [[nodiscard]] bool IsOpen() const noexcept { return handle_ != kNoHandle; }
    [[nodiscard]] Kind kind() const;
    [[nodiscard]] std::uint64_t Size() const;
    // Reads at the current position; 0 at the end of the file.
    [[nodiscard]] std::size_t ReadSome(char* buffer, std::size_t size);
    [[nodiscard]] std::size_t ReadSomeAt(std::uint64_t offset, char* buffer, std::size_t size);
    void WriteAllAt(std::uint64_t offset, std::string_view bytes);
    void Truncate(std::uint64_t size);
    void FlushToDisk();
    // Lets go of the file, reporting what the system reports then (a write
    // that failed late, on a network share); the handle is gone either way.
    void Close();

    // The permission bits a write may clear (setuid, setgid), to be put back
    // afterwards where the user may; no-ops where the platform has none.
    [[nodiscard]] std::uint32_t Mode() const;
    void RestoreMode(std::uint32_t mode) noexcept;

    // Gives this new file every property that makes `original` the file it
    // is, apart from its content: owner, group, permissions, ACL, extended
    // attributes, file flags and project, FAT and NTFS attributes (hidden,
    // system, ...), each only where it differs, and each read back. Given
    // while the file is empty, as some flags take only then (no copy on
    // write); the write that follows clears setuid and setgid, which
    // RestoreMode puts back. Says which kind of property could not be given,
    // if any: a file that replaced `original` would then not be the same file.
    [[nodiscard]] fileio::OutputFacts::Identity TakeIdentityOf(const NativeFile& original) noexcept;

  private:
    static void CloseQuietly(Handle handle) noexcept;

    Handle handle_ = kNoHandle;
};

// A file being made in a folder. Where the system allows (Linux, O_TMPFILE)
// it has no name until it is given one, so a program stopped while writing
// it leaves nothing behind; elsewhere it has a unique temporary name,
// ".velmora-" and 16 hex digits and ".tmp", removed unless the file is
// named. The folder it is made in must outlive it.
class NewFile {
  public:
    NewFile() noexcept = default;
    // `temporaryName` is empty for a file that has no name yet, or that was
    // made under its final name, `name`.
    NewFile(NativeFile file, const Folder& folder, std::filesystem::path temporaryName,
            std::filesystem::path name = {}) noexcept
        : file_(std::move(file)), folder_(&folder), temporaryName_(std::move(temporaryName)),
          name_(std::move(name)) {}
    NewFile(NewFile&& other) noexcept;
    NewFile& operator=(NewFile&& other) noexcept;
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;
    ~NewFile();

    [[nodiscard]] NativeFile& file() noexcept { return file_; }

    // Gives the complete file the name `name`, failing if that name exists:
    // a new file appears whole, and nothing is ever replaced. Fails with
    // "operation not supported" where the file system has no way to do so
    // (neither hard links nor rename flags: exFAT through FUSE).
    void NameAsNew(const std::filesystem::path& name);
    // Lets go of the complete file, which keeps its temporary name until it
    // replaces the output (ReplaceWith): a late write error is reported here,
    // while the output is still as it was.
    void Complete();
    // Closes the named file, reporting as NativeFile::Close does; if that
    // fails, its name is removed again (while it still names this file), so
    // that a failure leaves nothing.
    void CloseNamed();
    // Removes it, named or not (by its name only while that still holds it);
    // a failure to do so is ignored, as the failure that caused it, if any,
    // is the one the user must see.
    void RemoveQuietly() noexcept;
    // Where it is, for a message that names it.
    [[nodiscard]] std::filesystem::path path() const;

  private:
    // Only the output it replaces knows when that file can be let go of.
    friend class Output;
    // Puts the completed file in the place of `name` in its folder, in one step.
    void Replace(const std::filesystem::path& name);
    void Discard() noexcept;

    NativeFile file_;
    const Folder* folder_ = nullptr;
    std::filesystem::path temporaryName_; // empty while it has no name at all
    std::filesystem::path name_;          // once named
};

// A folder held open, so that every file made, named or removed in it is
// made in this very folder, whatever happens to its path meanwhile.
class Folder {
  public:
    Folder() noexcept = default;

    // Follows symbolic links in `path` as the system does for any open.
    static Folder Open(const std::filesystem::path& path);

    [[nodiscard]] Handle handle() const noexcept { return folder_.handle(); }
    // Where the folder is, as the system names it: what a message about a
    // file kept in it shows.
    [[nodiscard]] const std::filesystem::path& path() const noexcept { return path_; }

    [[nodiscard]] NewFile MakeFile(NativeFile::Visibility visibility) const;
    // A new file made under `name` itself, failing if that name exists, for
    // a file system where NameAsNew cannot name a complete file. Until it
    // is complete, it can be seen incomplete there.
    [[nodiscard]] NewFile MakeFileNamed(const std::filesystem::path& name) const;
    // Whether `name` here still holds `file`: not where another program has
    // put another file or a folder there since, or removed it.
    [[nodiscard]] bool Names(const std::filesystem::path& name, const NativeFile& file) const;
    // Makes the names in the folder durable; file systems that refuse are
    // ignored, since the files themselves are already on disk.
    void FlushQuietly() const noexcept;

  private:
    Folder(NativeFile folder, std::filesystem::path path) noexcept
        : folder_(std::move(folder)), path_(std::move(path)) {}

    NativeFile folder_;
    std::filesystem::path path_;
};

// The file at a path that is to be written, as found through handles. What
// it is, and where it lives when the path holds a symbolic link, is decided
// once, from the handle that is then written, never from a second look at
// the path: a device or pipe is never opened, and no file is ever created
// through a symbolic link.
class Output {
  public:
    // Opens an existing regular file for writing (and for reading where the
    // system allows) with every check of a plain save; a folder, device or
    // pipe, or a missing file, is only looked at.
    static Output Find(const std::filesystem::path& path);

    [[nodiscard]] Kind kind() const noexcept { return kind_; }
    // The file itself: the final target of any symbolic link (for a
    // missing one, the folder the path names).
    [[nodiscard]] const Folder& folder() const noexcept { return folder_; }
    [[nodiscard]] const std::filesystem::path& name() const noexcept { return name_; }
    // Regular files only: open for writing, and for reading unless refused.
    [[nodiscard]] NativeFile& file() noexcept { return file_; }
    [[nodiscard]] const std::error_code& readRefusal() const noexcept { return readRefusal_; }
    // What is known of an existing file: found out in opening it, and added
    // to as its replacement is prepared (by the caller) and put in place.
    [[nodiscard]] fileio::OutputFacts& facts() noexcept { return facts_; }

    // Puts the completed `replacement` in its place in one step: anyone
    // opening it finds the old file or the new, never a mix. Where this
    // fails, file() is still open if the old file is still in its place, to
    // be rewritten there; if not, oldContentKeptIn() says where it is.
    void ReplaceWith(NewFile& replacement);
    [[nodiscard]] const std::filesystem::path& oldContentKeptIn() const noexcept { return keptIn_; }

  private:
    Kind kind_ = Kind::Missing;
    Folder folder_;
    std::filesystem::path name_;
    NativeFile file_;
    std::error_code readRefusal_;
    fileio::OutputFacts facts_;
    std::filesystem::path keptIn_;
};

// The system's folder for temporary files.
[[nodiscard]] std::filesystem::path TemporaryFolder();

} // namespace velmora::native
