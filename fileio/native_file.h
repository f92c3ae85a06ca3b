#pragma once

// The thin layer over the operating system's file calls that ReadTextFile
// and WriteTextFile are built on; one implementation per platform.
// Every failing call throws FileFailure at once. Messages name `shownPath`,
// the path the user gave, and never the temporary file behind it.

#include <filesystem>
#include <string>
#include <string_view>

namespace velmora::native {

class NativeFile {
  public:
    NativeFile() noexcept = default;
    NativeFile(NativeFile&& other) noexcept;
    NativeFile& operator=(NativeFile&& other) noexcept;
    NativeFile(const NativeFile&) = delete;
    NativeFile& operator=(const NativeFile&) = delete;
    ~NativeFile(); // closes without reporting: only reached on the way out of a failure

    // An existing regular file, for reading. Refuses folders, pipes and
    // devices before anything is read from them.
    static NativeFile OpenForReading(const std::filesystem::path& path);

    // A file that must not exist yet, created for writing.
    static NativeFile CreateNew(const std::filesystem::path& path,
                                const std::filesystem::path& shownPath);

    // An existing file, emptied and opened for writing.
    static NativeFile OpenForOverwrite(const std::filesystem::path& path,
                                       const std::filesystem::path& shownPath);

    [[nodiscard]] std::string ReadAll();
    void WriteAll(std::string_view bytes);
    // Gives this file the permissions of `model` (where the platform has them).
    void KeepPermissionsOf(const std::filesystem::path& model);
    void FlushToDisk();
    void Close();

  private:
#ifdef _WIN32
    using Handle = void*;
    static constexpr Handle kNoHandle = nullptr;
#else
    using Handle = int;
    static constexpr Handle kNoHandle = -1;
#endif

    NativeFile(Handle handle, std::filesystem::path shownPath) noexcept;
    // Closes without reporting: for the destructor and move assignment.
    static void CloseQuietly(Handle handle) noexcept;

    Handle handle_ = kNoHandle;
    std::filesystem::path shownPath_;
};

// Renames `source` over `target`, replacing it in one step.
void RenameOver(const std::filesystem::path& source, const std::filesystem::path& target,
                const std::filesystem::path& shownPath);

// Removes a file left behind by a failure; a failure to do so is ignored,
// since the failure that caused it is the one the user must see.
void RemoveQuietly(const std::filesystem::path& path) noexcept;

} // namespace velmora::native
