// SPDX-License-Identifier: MIT
#pragma once

// How an output is written, decided in one place from what each platform
// finds out about it: replaced whole by a new file that takes on its
// identity, or rewritten in place behind a backup, and why.

#include <cstdint>
#include <filesystem>
#include <string_view>

namespace velmora::fileio {

enum class WriteWay {
    Created, // there was none: a new file was named once complete
    // There was none, and its file system can give a complete file no name
    // without risking replacing another (neither hard links nor rename
    // flags: exFAT through FUSE): made under its name, never replacing one,
    // and written there.
    CreatedUnderItsName,
    ReplacedWhole, // a new file took on its identity, then its place, in one step
    // Rewritten in place, because:
    InPlaceOtherLinks,           // it has other names (hard links), which must keep its content
    InPlaceRemovalRefused,       // the user may write it but not remove it, as a rename must
    InPlaceIdentityUnknown,      // its file system gives no file ID, so no later step could tell
                                 // it from a file put in its place since (some shares)
    InPlaceHeld,                 // another program holds it open, longer than a moment, and will
                                 // not let it be removed
    InPlaceRenameRisksIt,        // a rename over it that fails would remove it (SMB shares)
    InPlaceAnotherOwner,         // its owner or group cannot be given to a new file
    InPlaceAttributeNotGiven,    // another of its properties cannot be given to a new file
    InPlaceFolderRefusesNewFile, // its folder takes no new file from this user
    InPlaceNoRoom,               // there is no room for a second copy beside it
    InPlaceStreamsNotCarried,    // it has named streams, which only ReplaceFileW carries over,
                                 // and its file system has no ReplaceFileW
    InPlaceNotRenamable,         // the system will not put a new file in its place (a file
                                 // mounted there, a new file held by another program)
};

// What is known of an output. Of an existing one, the first five are found
// with the output itself; the rest are learnt in turn by preparing its
// replacement and putting it in place, each only while the facts before it
// still allow one. Of a missing one, only whether its complete new file
// could be named.
struct OutputFacts {
    enum class NewFile { NotTried, Made, Refused, NoRoom };
    enum class Identity { NotTried, Given, OwnerNotGiven, AttributeNotGiven };

    bool missing = false;
    bool namingRefused = false;
    std::uint32_t links = 1;
    bool removalRefused = false;
    bool identityUnknown = false;
    bool heldByAnother = false;
    bool renameRisksIt = false;
    NewFile newFile = NewFile::NotTried;
    Identity identity = Identity::NotTried;
    bool replaceUnsupported = false; // the file system has no ReplaceFileW
    bool namedStreams = false;       // looked for only where that is so
    bool renameRefused = false;
};

// Replaced whole, unless a fact stands against it: the first that does is
// the reason the output is rewritten in place instead. A missing output is
// created.
[[nodiscard]] WriteWay Decide(const OutputFacts& facts) noexcept;

// WriteTextFile, telling how it wrote the output.
WriteWay WriteOutput(std::string_view content, const std::filesystem::path& path);

} // namespace velmora::fileio
