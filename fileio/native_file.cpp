#include "native_file.h"

#include <utility>

namespace velmora::native {

NativeFile::NativeFile(Handle handle, std::filesystem::path shownPath) noexcept
    : handle_(handle), shownPath_(std::move(shownPath)) {}

NativeFile::NativeFile(NativeFile&& other) noexcept
    : handle_(std::exchange(other.handle_, kNoHandle)), shownPath_(std::move(other.shownPath_)) {}

NativeFile& NativeFile::operator=(NativeFile&& other) noexcept {
    if (this != &other) {
        if (handle_ != kNoHandle) {
            CloseQuietly(handle_);
        }
        handle_ = std::exchange(other.handle_, kNoHandle);
        shownPath_ = std::move(other.shownPath_);
    }
    return *this;
}

NativeFile::~NativeFile() {
    if (handle_ != kNoHandle) {
        CloseQuietly(handle_);
    }
}

} // namespace velmora::native
