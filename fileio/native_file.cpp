// SPDX-License-Identifier: MIT
#include "native_file.h"

#include <random>
#include <string>
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

NewFile::NewFile(NewFile&& other) noexcept
    : file_(std::move(other.file_)), folder_(std::exchange(other.folder_, nullptr)),
      temporaryName_(std::exchange(other.temporaryName_, {})),
      name_(std::exchange(other.name_, {})) {}

NewFile& NewFile::operator=(NewFile&& other) noexcept {
    if (this != &other) {
        Discard();
        file_ = std::move(other.file_);
        folder_ = std::exchange(other.folder_, nullptr);
        temporaryName_ = std::exchange(other.temporaryName_, {});
        name_ = std::exchange(other.name_, {});
    }
    return *this;
}

NewFile::~NewFile() {
    Discard();
}

std::filesystem::path NewFile::path() const {
    return folder_->path() / (name_.empty() ? temporaryName_ : name_);
}

std::filesystem::path UniqueName(std::string_view suffix) {
    std::random_device entropy;
    const std::uint64_t token = (std::uint64_t{entropy()} << 32) ^ entropy();
    std::string name = ".velmora-";
    for (int shift = 60; shift >= 0; shift -= 4) {
        name += "0123456789abcdef"[(token >> shift) & 0xF];
    }
    name += suffix;
    return name;
}

} // namespace velmora::native
