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
