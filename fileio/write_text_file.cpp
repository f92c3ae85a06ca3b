#include "file_failures.h"
#include "native_file.h"
#include "velmora/failure.h"
#include "velmora/text_file.h"

#include <cstdint>
#include <random>
#include <system_error>

namespace velmora {
namespace {

namespace fs = std::filesystem;
using native::NativeFile;

[[noreturn]] void FailToOpen(const fs::path& shownPath, const native::SystemError& why) {
    native::RaiseFileFailure("Cannot open", shownPath, " for writing", why);
}

// The file that a write to `path` must replace: a symbolic link is followed
// to the file it names, so that the link itself survives the replace.
fs::path FinalTarget(const fs::path& path) {
    constexpr int kMaxLinks = 40; // as the kernel allows
    fs::path target = path;
    for (int links = 0; links < kMaxLinks; ++links) {
        std::error_code error;
        if (!fs::is_symlink(fs::symlink_status(target, error))) {
            return target; // also when it does not exist: it is then created
        }
        const fs::path link = fs::read_symlink(target, error);
        if (error) {
            FailToOpen(path, native::ToSystemError(error));
        }
        target = link.is_absolute() ? link : target.parent_path() / link;
    }
    FailToOpen(path, native::ToSystemError(
                         std::make_error_code(std::errc::too_many_symbolic_link_levels)));
}

// Whether `target` exists; refuses folders and anything but a regular file,
// which a rename would otherwise silently replace.
bool TargetExists(const fs::path& target, const fs::path& shownPath) {
    std::error_code error;
    const fs::file_status status = fs::status(target, error);
    if (!fs::exists(status)) {
        return false; // a missing folder or a refusal is reported by the create
    }
    if (fs::is_directory(status)) {
        FailToOpen(shownPath, native::IsAFolder());
    }
    if (!fs::is_regular_file(status)) {
        FailToOpen(shownPath, native::IsNotARegularFile());
    }
    return true;
}

// A name in the target's own folder, so that the final rename stays on one
// file system, and one that no other writer will pick.
fs::path TemporaryPathBeside(const fs::path& target) {
    std::random_device entropy;
    const std::uint64_t token = (std::uint64_t{entropy()} << 32) ^ entropy();
    constexpr char kHex[] = "0123456789abcdef";
    std::string suffix;
    for (int shift = 60; shift >= 0; shift -= 4) {
        suffix += kHex[(token >> shift) & 0xF];
    }
    fs::path name = target.filename();
    name += "." + suffix + ".velmora-tmp";
    return target.parent_path() / fs::path(".").concat(name.native());
}

void WriteDurably(NativeFile& file, std::string_view content) {
    file.WriteAll(content);
    file.FlushToDisk();
    file.Close();
}

// Removes the temporary file it holds unless the write was committed.
class TemporaryFile {
  public:
    TemporaryFile() = default;
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        if (!path_.empty()) {
            native::RemoveQuietly(path_);
        }
    }
    void Hold(fs::path path) { path_ = std::move(path); }
    void Commit() noexcept { path_.clear(); }

  private:
    fs::path path_;
};

} // namespace

void WriteTextFile(std::string_view content, const fs::path& path) {
    const fs::path target = FinalTarget(path);
    const bool targetExists = TargetExists(target, path);
    if (!target.has_filename()) { // an empty path, or one that ends in a separator
        FailToOpen(path, native::ToSystemError(
                             std::make_error_code(std::errc::no_such_file_or_directory)));
    }
    const fs::path temporaryPath = TemporaryPathBeside(target);

    // Declared before `file`, so that on a failure the file is closed before
    // it is removed (Windows cannot remove an open file).
    TemporaryFile temporary;
    NativeFile file;
    try {
        file = NativeFile::CreateNew(temporaryPath, path);
    } catch (const FileFailure& failure) {
        if (!targetExists || !native::IsPermissionError(failure.systemError())) {
            throw;
        }
        // The folder refuses new files, but the file itself may still be
        // writable: write it in place, as a plain save would. Only for a
        // refusal: on a full disk this would destroy the old content.
        NativeFile inPlace = NativeFile::OpenForOverwrite(target, path);
        WriteDurably(inPlace, content);
        return;
    }
    temporary.Hold(temporaryPath);
    if (targetExists) {
        file.KeepPermissionsOf(target);
    }
    WriteDurably(file, content);
    native::RenameOver(temporaryPath, target, path);
    temporary.Commit();
}

} // namespace velmora
