// SPDX-License-Identifier: MIT
#include "file_failures.h"
#include "native_file.h"
#include "velmora/failure.h"
#include "velmora/text_file.h"
#include "write_way.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace velmora {
namespace {

namespace fs = std::filesystem;
using fileio::WriteWay;
using native::Kind;
using native::NativeFile;
using native::NewFile;

constexpr std::string_view kBackupSuffix = ".bak";

// Copies the first `size` bytes of `from` (at `fromPath`), as far as it holds
// them; a failure to read it is a file failure about that file, which a
// failure to write the copy is not.
void CopyContent(NativeFile& from, const fs::path& fromPath, NativeFile& to, std::uint64_t size) {
    std::array<char, 65536> buffer{};
    for (std::uint64_t offset = 0; offset < size;) {
        const auto wanted =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size - offset));
        const std::size_t count = fileio::Attempt(fileio::kRead, fromPath, [&] {
            return from.ReadSomeAt(offset, buffer.data(), wanted);
        });
        if (count == 0) {
            return; // the file was shortened meanwhile; what is left is all it holds
        }
        to.WriteAllAt(offset, {buffer.data(), count});
        offset += count;
    }
}

// Fails where the output's name no longer holds `file`: another program put a
// file or a folder there, or removed it, while it was being written.
void RequireName(const native::Output& output, const NativeFile& file, const fs::path& path) {
    if (!fileio::Attempt(fileio::kSave, path,
                         [&] { return output.folder().Names(output.name(), file); })) {
        fileio::RaiseFileFailure(fileio::kWrite, path, fileio::kTakenWhileWritten);
    }
}

void WriteAndFlush(NewFile& file, std::string_view content, const fs::path& path) {
    fileio::Attempt(fileio::kWrite, path, [&] { file.file().WriteAllAt(0, content); });
    fileio::Attempt(fileio::kSave, path, [&] { file.file().FlushToDisk(); });
}

// A new output appears whole under its name, or not at all; it never
// replaces a file that appeared meanwhile, nor follows a link put there.
// Where its file system cannot name a complete file so, it is made under
// its name instead, never replacing one either, and written there.
WriteWay WriteNewFile(std::string_view content, const fs::path& path,
                      const native::Output& output) {
    fileio::OutputFacts facts{.missing = true};
    NewFile file = fileio::Attempt(fileio::kOpenForWriting, path, [&] {
        return output.folder().MakeFile(NativeFile::Visibility::Usual);
    });
    WriteAndFlush(file, content, path);
    try {
        file.NameAsNew(output.name());
    } catch (const std::system_error& error) {
        if (error.code() != std::errc::operation_not_supported) {
            fileio::RaiseFileFailure(fileio::kCreate, path, error.code());
        }
        facts.namingRefused = true;
    }
    const WriteWay way = fileio::Decide(facts);
    if (way == WriteWay::CreatedUnderItsName) {
        file = fileio::Attempt(fileio::kCreate, path,
                               [&] { return output.folder().MakeFileNamed(output.name()); });
        try {
            WriteAndFlush(file, content, path);
            RequireName(output, file.file(), path);
        } catch (...) {
            file.RemoveQuietly();
            throw;
        }
    }
    fileio::Attempt(fileio::kSave, path, [&] { file.CloseNamed(); });
    output.folder().FlushQuietly();
    return way;
}

// Prepares the new content in a new file beside the output that takes on the
// output's identity, learning on the way the facts that may yet rule it out;
// none where they do.
NewFile PrepareReplacement(std::string_view content, const fs::path& path, native::Output& output,
                           fileio::OutputFacts& facts) {
    using NewFileFacts = fileio::OutputFacts::NewFile;
    // Rewritten in place, the output needs no more room than it has.
    const auto refused = [&](const std::system_error& error) {
        facts.newFile =
            native::IsNoRoomError(error.code()) ? NewFileFacts::NoRoom : NewFileFacts::Refused;
        return NewFile();
    };
    NewFile replacement;
    try {
        replacement = output.folder().MakeFile(NativeFile::Visibility::Private);
    } catch (const std::system_error& error) {
        return refused(error);
    }
    facts.newFile = NewFileFacts::Made;
    // While it is empty, as some flags take only then (no copy on write).
    facts.identity = replacement.file().TakeIdentityOf(output.file());
    if (fileio::Decide(facts) != WriteWay::ReplacedWhole) {
        return {};
    }
    try {
        replacement.file().WriteAllAt(0, content);
    } catch (const std::system_error& error) {
        if (!native::IsNoRoomError(error.code())) {
            fileio::RaiseFileFailure(fileio::kWrite, path, error.code());
        }
        return refused(error);
    }
    // The write cleared setuid and setgid, which the owner may set again.
    const std::uint32_t mode =
        fileio::Attempt(fileio::kOpenForWriting, path, [&] { return output.file().Mode(); });
    replacement.file().RestoreMode(mode);
    if (fileio::Attempt(fileio::kSave, path, [&] { return replacement.file().Mode(); }) != mode) {
        facts.identity = fileio::OutputFacts::Identity::AttributeNotGiven;
        return {};
    }
    fileio::Attempt(fileio::kSave, path, [&] {
        replacement.file().FlushToDisk();
        replacement.Complete();
    });
    return replacement;
}

// Puts the prepared replacement in the output's place in one step, so that no
// interruption can leave a mix of old and new.
void PutInPlace(NewFile& replacement, const fs::path& path, native::Output& output,
                fileio::OutputFacts& facts) {
    try {
        output.ReplaceWith(replacement);
    } catch (const std::system_error& error) {
        // Where the output is still open (say, a file mounted over another,
        // which no rename can replace), it can be rewritten in place instead;
        // but only while it still has its name, or the new content would go
        // to a file no name leads to. Where it is not (Windows: moved aside
        // and not put back), the failure says where its old content is.
        if (!output.file().IsOpen()) {
            try {
                fileio::RaiseFileFailure(fileio::kReplace, path, error.code());
            } catch (const FileFailure& failure) {
                throw fileio::WithCopyKeptIn(failure, output.oldContentKeptIn());
            }
        }
        RequireName(output, output.file(), path);
        facts.renameRefused = true;
        return;
    }
    output.folder().FlushQuietly();
}

// Gives a complete copy its backup name: the output's name, then ".velmora-",
// 16 hex digits and ".bak", so that it tells whose old content it holds; the
// name without the output's where the file system takes no name that long.
void NameBackup(NewFile& copy, const fs::path& outputName) {
    try {
        native::WithUniqueName(kBackupSuffix, [&](const fs::path& unique) {
            copy.NameAsNew(fs::path(".").concat(outputName.native()).concat(unique.native()));
        });
    } catch (const std::system_error& error) {
        if (!native::IsNameTooLongError(error.code())) {
            throw;
        }
        native::WithUniqueName(kBackupSuffix,
                               [&](const fs::path& unique) { copy.NameAsNew(unique); });
    }
}

// A complete, durable copy of the output's old content, beside it or, when
// its folder takes no new file or has no room, in the temporary folder
// (`temporaryFolder`, which must outlive the copy). It is written whole and
// made durable before it gets its backup name, so no partial or empty file
// ever carries one, and the name is made durable too, so that the copy can
// be found after a crash in the middle of the rewrite.
NewFile KeepCopy(NativeFile& old, std::uint64_t size, const fs::path& path,
                 const native::Output& output, native::Folder& temporaryFolder) {
    const auto copyInto = [&](const native::Folder& folder) {
        NewFile copy = folder.MakeFile(NativeFile::Visibility::Private);
        CopyContent(old, path, copy.file(), size);
        copy.file().FlushToDisk();
        NameBackup(copy, output.name());
        folder.FlushQuietly();
        return copy;
    };
    std::error_code beside;
    try {
        return copyInto(output.folder());
    } catch (const std::system_error& error) {
        beside = error.code();
    }
    fs::path there;
    try {
        there = native::TemporaryFolder();
        temporaryFolder = native::Folder::Open(there);
        return copyInto(temporaryFolder);
    } catch (const fs::filesystem_error& error) { // no folder where $TMPDIR says
        fileio::RaiseNoCopyFailure(path, error.path1(), error.code(), beside);
    } catch (const std::system_error& error) {
        fileio::RaiseNoCopyFailure(path, there, error.code(), beside);
    }
}

// Whether `a` and `b` both hold the same `size` bytes.
bool SameContent(NativeFile& a, NativeFile& b, std::uint64_t size) {
    if (a.Size() != size || b.Size() != size) {
        return false;
    }
    std::array<char, 65536> fromA{}, fromB{};
    for (std::uint64_t offset = 0; offset < size;) {
        const auto wanted =
            static_cast<std::size_t>(std::min<std::uint64_t>(fromA.size(), size - offset));
        const std::size_t count = a.ReadSomeAt(offset, fromA.data(), wanted);
        if (count == 0 || b.ReadSomeAt(offset, fromB.data(), count) != count) {
            return false;
        }
        if (!std::equal(fromA.begin(), fromA.begin() + count, fromB.begin())) {
            return false;
        }
        offset += count;
    }
    return true;
}

// Puts the old content back after a failed write; false if that fails too,
// or if the output does not read back as the backup: a file system may lose
// a write without a word (seen on FUSE), and the backup is then the only
// whole copy. Cut first: on a file system that copies on write, rewriting
// the old bytes needs room that the longer new content may have taken.
bool PutBack(NewFile& backup, NativeFile& output, std::uint64_t oldSize,
             std::uint32_t mode) noexcept {
    try {
        output.Truncate(oldSize);
        CopyContent(backup.file(), backup.path(), output, oldSize);
        output.FlushToDisk();
        output.RestoreMode(mode);
        return SameContent(backup.file(), output, oldSize);
    } catch (const std::exception&) {
        return false;
    }
}

// The output stays the very same file: its old content is first copied to a
// backup, then the new content is written over it.
void RewriteInPlace(std::string_view content, const fs::path& path, native::Output& output) {
    NativeFile& file = output.file();
    if (output.readRefusal()) {
        // Writable but unreadable: its content could not be put back.
        fileio::RaiseFileFailure(fileio::kKeepCopy, path, output.readRefusal());
    }
    const std::uint32_t mode =
        fileio::Attempt(fileio::kOpenForWriting, path, [&] { return file.Mode(); });
    const std::uint64_t oldSize =
        fileio::Attempt(fileio::kOpenForWriting, path, [&] { return file.Size(); });
    native::Folder temporaryFolder;
    NewFile backup = KeepCopy(file, oldSize, path, output, temporaryFolder);

    try {
        // Written over the old bytes first and cut to size last: putting the
        // old content back then needs no more room than it had.
        fileio::Attempt(fileio::kWrite, path, [&] {
            file.WriteAllAt(0, content);
            file.Truncate(content.size());
        });
        fileio::Attempt(fileio::kSave, path, [&] {
            file.FlushToDisk();
            file.RestoreMode(mode);
        });
        RequireName(output, file, path); // written, but a success only where it has its name
        fileio::Attempt(fileio::kSave, path, [&] { file.Close(); });
    } catch (...) {
        // Whatever stopped the write (a file failure, or running out of
        // memory), the old content goes back before the backup is removed;
        // if it cannot, the backup stays and the failure names it.
        if (!PutBack(backup, file, oldSize, mode)) {
            try {
                throw;
            } catch (const FileFailure& failure) {
                throw fileio::WithCopyKeptIn(failure, backup.path());
            }
        }
        backup.RemoveQuietly();
        throw;
    }
    backup.RemoveQuietly();
}

// Replaced whole where the facts allow, otherwise rewritten in place.
WriteWay WriteExisting(std::string_view content, const fs::path& path, native::Output& output) {
    fileio::OutputFacts& facts = output.facts();
    if (fileio::Decide(facts) == WriteWay::ReplacedWhole) {
        NewFile replacement = PrepareReplacement(content, path, output, facts);
        if (fileio::Decide(facts) == WriteWay::ReplacedWhole) {
            PutInPlace(replacement, path, output, facts);
        }
    }
    const WriteWay way = fileio::Decide(facts);
    if (way != WriteWay::ReplacedWhole) {
        RewriteInPlace(content, path, output);
    }
    return way;
}

} // namespace

namespace fileio {

WriteWay WriteOutput(std::string_view content, const fs::path& path) {
    RefuseUnusablePath(kOpenForWriting, path);
    native::Output output =
        Attempt(kOpenForWriting, path, [&] { return native::Output::Find(path); });
    switch (output.kind()) {
    case Kind::Missing:
        return WriteNewFile(content, path, output);
    case Kind::Regular:
        return WriteExisting(content, path, output);
    case Kind::Folder:
        RaiseFileFailure(kOpenForWriting, path, kIsAFolder);
    case Kind::Changed:
        RaiseFileFailure(kOpenForWriting, path, kReplacedMeanwhile);
    case Kind::Other:
        break;
    }
    // A device or pipe is refused without opening it: opening alone can act.
    RaiseFileFailure(kOpenForWriting, path, kIsNotARegularFile);
}

} // namespace fileio

void WriteTextFile(std::string_view content, const fs::path& path) {
    (void)fileio::WriteOutput(content, path);
}

} // namespace velmora
