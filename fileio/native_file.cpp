// SPDX-License-Identifier: MIT
#include "native_file.h"

#include <utility>

namespace velmora::native {

NativeFile::NativeFile(NativeFile&& other) noexcept
    : handle_(std::exchange(other.handle_, kNoHandle)) {}

NativeFile& NativeFile::operator=(NativeFile&& other) noexcept {
    if (this != &other) {
        if (handle_ != kNoHandle) {
            CloseQuietly(handle_);
        }
        handle_ = std::exchange(other.handle_, kNoHandle);
    }
    return *this;
}

NativeFile::~NativeFile() {
    if (handle_ != kNoHandle) {
        CloseQuietly(handle_);
    }
}

} // namespace velmora::native
