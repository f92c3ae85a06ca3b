// SPDX-License-Identifier: MIT
#include "file_failures.h"
#include "native_file.h"
#include "velmora/text_file.h"

#include <algorithm>
#include <array>
#include <limits>

namespace velmora {
namespace {

using native::Kind;
using native::NativeFile;

NativeFile OpenForReading(const std::filesystem::path& path) {
    fileio::RefuseUnusablePath(fileio::kOpenForReading, path);
    NativeFile file;
    try {
        file = NativeFile::OpenForReading(path);
    } catch (const std::system_error& error) {
        // Windows refuses to open a folder with a bare "Access is denied".
        std::error_code ignored;
        if (std::filesystem::is_directory(path, ignored)) {
            fileio::RaiseFileFailure(fileio::kOpenForReading, path, fileio::kIsAFolder);
        }
        fileio::RaiseFileFailure(fileio::kOpenForReading, path, error.code());
    }
    switch (fileio::Attempt(fileio::kRead, path, [&] { return file.kind(); })) {
    case Kind::Regular:
        return file;
    case Kind::Folder:
        fileio::RaiseFileFailure(fileio::kOpenForReading, path, fileio::kIsAFolder);
    default:
        // A pipe or a device may never end; nothing is read from it.
        fileio::RaiseFileFailure(fileio::kOpenForReading, path, fileio::kIsNotARegularFile);
    }
}

// Reads until the end of the file or until more than `maxBytes` bytes have
// come in, whichever is first. The size the file reports only serves to
// refuse early and to size the buffer: files in /proc report 0, and a file
// that is being appended to grows past it.
std::optional<std::string> ReadUpTo(const std::filesystem::path& path, std::size_t maxBytes) {
    NativeFile file = OpenForReading(path);
    const std::uint64_t reported =
        fileio::Attempt(fileio::kRead, path, [&] { return file.Size(); });
    if (reported > maxBytes) {
        return std::nullopt;
    }
    std::string content;
    content.reserve(static_cast<std::size_t>(reported) + 1); // the final read of 0 needs no growth
    std::array<char, 65536> buffer{};
    for (;;) {
        // One byte past the limit at the most, without wrapping when there is none.
        const std::size_t wanted = std::min(buffer.size() - 1, maxBytes - content.size()) + 1;
        const std::size_t count = fileio::Attempt(
            fileio::kRead, path, [&] { return file.ReadSome(buffer.data(), wanted); });
        if (count == 0) {
            break;
        }
        content.append(buffer.data(), count);
        if (content.size() > maxBytes) {
            return std::nullopt;
        }
    }
    fileio::Attempt(fileio::kRead, path, [&] { file.Close(); });
    return content;
}

} // namespace

std::string ReadTextFile(const std::filesystem::path& path) {
    // One below the largest size, so that "more than the limit" stays countable.
    std::optional<std::string> content = ReadUpTo(path, std::string().max_size() - 1);
    if (!content) {
        throw std::length_error("file too large for memory");
    }
    return std::move(*content);
}

std::optional<std::string> ReadTextFileUpTo(const std::filesystem::path& path,
                                            std::size_t maxBytes) {
    return ReadUpTo(path, maxBytes);
}

} // namespace velmora
