// SPDX-License-Identifier: MIT
#pragma once

// The thin layer over the operating system's file calls that ReadTextFile
// and WriteTextFile are built on; one implementation per platform. Every
// failing call throws std::system_error carrying the system's own error
// code. Nothing here names a path or words a message: the callers do, once.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string_view>
#include <system_error>

namespace velmora::native {

enum class Kind { Missing, Regular, Folder, Other };

// What `path` names, following symbolic links. Missing only when nothing is
// there; any other failure to look (say, a refused link) throws.
[[nodiscard]] Kind KindOf(const std::filesystem::path& path);

// Whether the system refused on grounds of permission (rather than, say, a
// full disk or a missing folder).
[[nodiscard]] bool IsPermissionError(const std::error_code& error) noexcept;
[[nodiscard]] bool IsAlreadyExistsError(const std::error_code& error) noexcept;

class NativeFile {
  public:
    enum class Access { Read, Write, ReadWrite };

    NativeFile() noexcept = default;
    NativeFile(NativeFile&& other) noexcept;
    NativeFile& operator=(NativeFile&& other) noexcept;
    NativeFile(const NativeFile&) = delete;
    NativeFile& operator=(const NativeFile&) = delete;
    ~NativeFile(); // closes without reporting: only reached on the way out of a failure

    // An existing file, opened through `path` as given, so that the system
    // applies its own rules on who may read or write it. Opening never waits
    // (a pipe without a writer) and never makes a terminal ours.
    static NativeFile OpenExisting(const std::filesystem::path& path, Access access);

    // A file that must not exist yet. `private` files are readable by their
    // owner only; others get the permissions any new file of the user gets.
    enum class Visibility { Usual, Private };
    static NativeFile CreateNew(const std::filesystem::path& path, Visibility visibility);

    [[nodiscard]] Kind kind() const;
    [[nodiscard]] std::uint64_t Size() const;
    // Reads at the current position; 0 at the end of the file.
    [[nodiscard]] std::size_t ReadSome(char* buffer, std::size_t size);
    [[nodiscard]] std::size_t ReadSomeAt(std::uint64_t offset, char* buffer, std::size_t size);
    void WriteAllAt(std::uint64_t offset, std::string_view bytes);
    void Truncate(std::uint64_t size);
    void FlushToDisk();
    void Close();

    // The permission bits a write may clear (setuid, setgid), to be put back
    // afterwards where the user may; no-ops where the platform has none.
    [[nodiscard]] std::uint32_t Mode() const;
    void RestoreMode(std::uint32_t mode) noexcept;

  private:
#ifdef _WIN32
    using Handle = void*;
    static constexpr Handle kNoHandle = nullptr;
#else
    using Handle = int;
    static constexpr Handle kNoHandle = -1;
#endif

    explicit NativeFile(Handle handle) noexcept : handle_(handle) {}
    static void CloseQuietly(Handle handle) noexcept;

    Handle handle_ = kNoHandle;
};

// Gives the file at `existing` the further name `name`, failing if `name`
// exists: a new file appears whole, and nothing is ever replaced. `existing`
// keeps its name (or loses it, where the file system has no hard links).
void LinkAsNew(const std::filesystem::path& existing, const std::filesystem::path& name);

// Makes the names in a folder durable; file systems that refuse are ignored,
// since the files themselves are already on disk.
void FlushFolderQuietly(const std::filesystem::path& folder) noexcept;

// Removes a file left behind by a failure; a failure to do so is ignored,
// since the failure that caused it is the one the user must see.
void RemoveQuietly(const std::filesystem::path& path) noexcept;

// The system's folder for temporary files.
[[nodiscard]] std::filesystem::path TemporaryFolder();

} // namespace velmora::native
