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
// What is at `path` is decided from the handle that is then written: a
// device or pipe is never opened, and no file is created through a symbolic
// link. A new file is written whole, made durable and only then given its
// name, never replacing one that appeared meanwhile (where the file system
// cannot name a complete file so, as exFAT through FUSE, it is made under
// its name, which never replaces one either, and written there). An existing
// file is opened as a plain save would open it, so the system decides
// whether it may be written, and it stays the file it is: where its owner,
// group, permissions, ACL, extended attributes, flags, project and FAT or
// NTFS attributes can all be given to a new file (an own file with one
// link, not on an SMB share), the content is written to a new file in its
// folder that takes them on and is renamed over it (over the final target
// of a symbolic link); otherwise the old content is first copied,
// whole and durable, to a backup beside it (or in the temporary folder),
// and the new content written in place. If that write fails the old content
// is put back and read back; the backup is removed either way unless putting
// it back failed too, in which case the failure names it. Success is only
// reported while the output's name holds the new content. File capabilities
// go, as on any write.
void WriteTextFile(std::string_view content, const std::filesystem::path& path);

} // namespace velmora
