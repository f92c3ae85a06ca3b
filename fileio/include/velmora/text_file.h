// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// Whole files as byte strings, one char per byte. Nothing is translated:
// no newline conversion, no end-of-file byte, no byte-order mark.
// Every failure is raised as a velmora::FileFailure naming the path and the
// operating system's reason. A path the system would not take as typed (one
// holding a NUL, say) is refused before any file is opened.
namespace velmora {

// The whole content of an existing regular file. A missing file is never
// created; a folder, pipe or device is refused without reading from it.
[[nodiscard]] std::string ReadTextFile(const std::filesystem::path& path);

// As ReadTextFile, for a file that may hold at most `maxBytes` bytes:
// nullopt when it holds more. Never reads more than `maxBytes` + 1 bytes,
// so a huge file, or one that grows while it is read, costs no more time or
// memory than one just over the limit.
[[nodiscard]] std::optional<std::string> ReadTextFileUpTo(const std::filesystem::path& path,
                                                          std::size_t maxBytes);

// Makes the file at `path` hold exactly `content`, creating it if needed,
// and changes nothing if it fails.
//
// A new file is written under a temporary name, flushed to disk and only
// then given its name. An existing file is opened through `path` as given,
// so the system decides whether it may be written, and it stays the same
// file: its old content is first copied to a backup file (beside it, or in
// the system's temporary folder when its folder takes no new file), then the
// new content is written in place; owner, permissions, ACLs, extended
// attributes, hard links and a symbolic link in `path` are all kept. If the
// write fails the old content is put back; the backup is removed either way
// unless putting it back failed too, in which case the failure names it.
void WriteTextFile(std::string_view content, const std::filesystem::path& path);

} // namespace velmora
