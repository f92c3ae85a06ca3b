#pragma once

#include <filesystem>
#include <string>
#include <string_view>

// Whole files as byte strings, one char per byte. Nothing is translated:
// no newline conversion, no end-of-file byte, no byte-order mark.
// Every failure is raised as a velmora::FileFailure naming the path and the
// operating system's reason.
namespace velmora {

// The whole content of an existing regular file. A missing file is never
// created; a folder, pipe or device is refused without reading from it.
[[nodiscard]] std::string ReadTextFile(const std::filesystem::path& path);

// Makes the file at `path` hold exactly `content`, creating it if needed.
// An existing file is replaced atomically (a new file beside it, flushed to
// disk, then renamed over it), so a failure at any step leaves it as it was.
// A symbolic link is kept and the file it points to is replaced.
void WriteTextFile(std::string_view content, const std::filesystem::path& path);

} // namespace velmora
