// SPDX-License-Identifier: MIT
// File calls on Windows. Paths go to the wide-character API, so every
// character a user can type in a path survives; long ones are given in the
// "\\?\" form, so that paths past MAX_PATH work without a manifest. The
// output is held open sharing reading and removal only: no other program can
// write it while it is rewritten, and ReplaceFileW can replace it while it is
// still held. A backup is held sharing reading only.

#include "native_file.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>
#include <windows.h>
// After windows.h, which it needs:
#include <aclapi.h>

namespace velmora::native {

namespace {

std::string Utf8(std::wstring_view wide) {
    if (wide.empty()) {
        return {};
    }
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(std::max(size, 0)), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), size,
                          nullptr, nullptr);
    return utf8;
}

// GetLastError() codes, worded by the system itself, e.g. "Access is denied.".
class WindowsErrorCategory final : public std::error_category {
  public:
    const char* name() const noexcept override { return "windows"; }
    std::string message(int code) const override {
        wchar_t* buffer = nullptr;
        const DWORD length = ::FormatMessageW(
            FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                FORMAT_MESSAGE_IGNORE_INSERTS,
            nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
        std::string text = length > 0 ? Utf8({buffer, length}) : "";
        ::LocalFree(buffer);
        while (!text.empty() &&
               (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
            text.pop_back();
        }
        return text.empty() ? "Windows error " + std::to_string(code) : text;
    }
};

const std::error_category& WindowsErrors() {
    static const WindowsErrorCategory category;
    return category;
}

[[noreturn]] void ThrowLastError() {
    throw std::system_error(static_cast<int>(::GetLastError()), WindowsErrors());
}

// The path as the wide API takes it. Past MAX_PATH the \\?\ form is needed,
// which the system takes literally: so it is made absolute and normal first.
std::wstring Win32Path(const std::filesystem::path& path) {
    const std::wstring& given = path.native();
    if (given.starts_with(L"\\\\?\\")) {
        return given;
    }
    // A short relative path may still name a long one: the full path decides.
    const DWORD size = ::GetFullPathNameW(given.c_str(), 0, nullptr, nullptr);
    std::wstring full(size, L'\0');
    const DWORD length = ::GetFullPathNameW(given.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size || length < MAX_PATH - 12) {
        return given;
    }
    full.resize(length);
    if (full.starts_with(L"\\\\")) { // \\server\share\... becomes \\?\UNC\server\share\...
        return L"\\\\?\\UNC\\" + full.substr(2);
    }
    return L"\\\\?\\" + full;
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Another program's hold on a file. Virus scanners, the search indexer and
// sync tools open a file for a moment when it has been written or closed; a
// step that meets such a hold is tried again, as careful Windows programs do
// with renames and replacements, for up to two seconds in all, after pauses of
// 1, 2, 4 ... and at most 50 ms. A plain "access denied" means "you may not",
// and is never waited on.
constexpr ULONGLONG kHoldWaitMs = 2000;
constexpr DWORD kLongestPauseMs = 50;

bool IsMomentaryHold(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
           error == ERROR_UNABLE_TO_REMOVE_REPLACED || error == ERROR_DELETE_PENDING;
}

// When a wait that starts now is over: steps that share it wait two seconds
// in all.
ULONGLONG HoldWaitEnd() {
    return ::GetTickCount64() + kHoldWaitMs;
}

// What `attempt()` gives (ERROR_SUCCESS, or the error it met) once it meets
// no hold, or once the wait is over.
template <typename Attempt>
DWORD WaitingOutHolds(Attempt&& attempt, ULONGLONG until = HoldWaitEnd()) {
    for (DWORD pause = 1;; pause = std::min(pause * 2, kLongestPauseMs)) {
        const DWORD error = attempt();
        if (!IsMomentaryHold(error) || ::GetTickCount64() >= until) {
            return error;
        }
        ::Sleep(pause);
    }
}

// The status beneath the last error, where a file call set it.
using LastStatus = LONG(WINAPI*)();
const LastStatus kLastNtStatus = reinterpret_cast<LastStatus>(reinterpret_cast<void (*)()>(
    ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "RtlGetLastNtStatus")));

// CreateFileW's error. A file removed while another program still holds it
// open is refused as "access denied", as if the user might not open it; the
// status beneath tells that it is only waiting to go.
DWORD OpenError() {
    const DWORD error = ::GetLastError();
    constexpr LONG kDeletePending = static_cast<LONG>(0xC0000056);
    if (error == ERROR_ACCESS_DENIED && kLastNtStatus != nullptr &&
        kLastNtStatus() == kDeletePending) {
        return ERROR_DELETE_PENDING;
    }
    return error;
}

// CreateFileW, with its error taken at once: freeing the path's memory
// afterwards may change what GetLastError() says.
struct Opened {
    HANDLE handle;
    DWORD error;
};
Opened TryOpen(const std::filesystem::path& path, DWORD access, DWORD share, DWORD disposition,
               DWORD flags = FILE_ATTRIBUTE_NORMAL, SECURITY_ATTRIBUTES* security = nullptr) {
    const std::wstring native = Win32Path(path);
    const HANDLE handle =
        ::CreateFileW(native.c_str(), access, share, security, disposition, flags, nullptr);
    return {handle, handle == INVALID_HANDLE_VALUE ? OpenError() : DWORD{ERROR_SUCCESS}};
}

// TryOpen, another program's hold waited out until `until`.
Opened OpenWaiting(const std::filesystem::path& path, DWORD access, DWORD share, DWORD flags,
                   ULONGLONG until) {
    Opened opened{};
    WaitingOutHolds(
        [&] {
            opened = TryOpen(path, access, share, OPEN_EXISTING, flags);
            return opened.error;
        },
        until);
    return opened;
}

[[noreturn]] void Throw(DWORD error) {
    throw std::system_error(static_cast<int>(error), WindowsErrors());
}

HANDLE OpenHandle(const std::filesystem::path& path, DWORD access, DWORD share, DWORD disposition,
                  DWORD flags = FILE_ATTRIBUTE_NORMAL, SECURITY_ATTRIBUTES* security = nullptr) {
    const Opened opened = TryOpen(path, access, share, disposition, flags, security);
    if (opened.handle == INVALID_HANDLE_VALUE) {
        Throw(opened.error);
    }
    return opened.handle;
}

BY_HANDLE_FILE_INFORMATION InformationOf(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(handle, &information)) {
        ThrowLastError();
    }
    return information;
}

// Which file a handle is open on: its volume and its file ID, of 128 bits
// where the file system has them (ReFS), or else the 64 of its file index.
// None where the file system gives no usable one: all bits 0 (it has none,
// as some shares) or all 1 (it has none for this file).
std::optional<FILE_ID_INFO> IdentityOf(HANDLE handle) {
    FILE_ID_INFO identity{};
    if (::GetFileInformationByHandleEx(handle, FileIdInfo, &identity, sizeof identity)) {
        FILE_ID_128 none{}, invalid{};
        std::memset(invalid.Identifier, 0xFF, sizeof invalid.Identifier);
        const bool usable = std::memcmp(&identity.FileId, &none, sizeof none) != 0 &&
                            std::memcmp(&identity.FileId, &invalid, sizeof invalid) != 0;
        return usable ? std::optional(identity) : std::nullopt;
    }
    const BY_HANDLE_FILE_INFORMATION information = InformationOf(handle);
    const ULONGLONG index =
        (ULONGLONG{information.nFileIndexHigh} << 32) | information.nFileIndexLow;
    if (index == 0 || index == ~ULONGLONG{0}) {
        return std::nullopt;
    }
    identity.VolumeSerialNumber = information.dwVolumeSerialNumber;
    std::memcpy(identity.FileId.Identifier, &index, sizeof index);
    return identity;
}

bool SameFile(const FILE_ID_INFO& a, const FILE_ID_INFO& b) {
    return a.VolumeSerialNumber == b.VolumeSerialNumber &&
           std::memcmp(&a.FileId, &b.FileId, sizeof a.FileId) == 0;
}

// Whether the open file or folder is a link to another name (a symbolic
// link, a junction), unlike a reparse point that is the file itself, such as
// a cloud placeholder.
bool IsNameSurrogate(HANDLE handle) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    return ::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) &&
           (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
           IsReparseTagNameSurrogate(tag.ReparseTag);
}

// The path the system gives an open file or folder, without "\\?\" where it
// is short enough to be shown, and used, without it; `typed` where it gives
// none (wine, for names past MAX_PATH): the caller checks that it names the
// file found.
std::filesystem::path FinalPathOf(HANDLE handle, const std::filesystem::path& typed) {
    constexpr DWORD kFlags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
    std::wstring path(MAX_PATH, L'\0');
    for (;;) { // sized again while it does not fit (the size asked for may leave out the NUL)
        const DWORD length = ::GetFinalPathNameByHandleW(handle, path.data(),
                                                         static_cast<DWORD>(path.size()), kFlags);
        if (length == 0) {
            return typed;
        }
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(length + 1);
    }
    const std::size_t length = path.size();
    if (path.starts_with(L"\\\\?\\UNC\\") && length - 6 < MAX_PATH) {
        return L"\\" + path.substr(7);
    }
    if (path.starts_with(L"\\\\?\\") && length - 4 < MAX_PATH) {
        return path.substr(4);
    }
    return path;
}

// Whether the file goes when its last handle closes: so a file being made
// leaves nothing behind if the program stops.
void MarkForDeletion(HANDLE handle, bool deleted) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = deleted;
    if (!::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                      sizeof disposition)) {
        ThrowLastError();
    }
}

// Renames the file held as `handle` to `name` in `folder`, through the handle
// itself and relative to the folder's, never replacing: a file held without
// sharing its deletion can be renamed no other way. The native call, as
// SetFileInformationByHandle wants a full path and wine lacks it.
void RenameHeld(HANDLE handle, HANDLE folder, const std::wstring& name) {
    // Past the 255 characters a name may have, refused as Windows refuses it;
    // an emulation may call such a name missing instead.
    if (name.size() > 255) {
        Throw(ERROR_FILENAME_EXCED_RANGE);
    }
    using SetInformation = LONG(WINAPI*)(HANDLE, void*, void*, ULONG, int);
    using StatusToError = ULONG(WINAPI*)(LONG);
    static const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    static const auto setInformation = reinterpret_cast<SetInformation>(
        reinterpret_cast<void (*)()>(::GetProcAddress(ntdll, "NtSetInformationFile")));
    static const auto statusToError = reinterpret_cast<StatusToError>(
        reinterpret_cast<void (*)()>(::GetProcAddress(ntdll, "RtlNtStatusToDosError")));
    const ULONG nameBytes = static_cast<ULONG>(name.size() * sizeof(wchar_t));
    std::vector<std::byte> buffer(offsetof(FILE_RENAME_INFO, FileName) + nameBytes);
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = folder;
    rename->FileNameLength = nameBytes;
    std::memcpy(rename->FileName, name.data(), nameBytes);
    struct {
        void* status;
        ULONG_PTR information;
    } io{};
    constexpr int kFileRenameInformation = 10;
    const LONG status = setInformation(handle, &io, rename, static_cast<ULONG>(buffer.size()),
                                       kFileRenameInformation);
    if (status < 0) {
        throw std::system_error(static_cast<int>(statusToError(status)), WindowsErrors());
    }
}

// Security that lets the user alone at a file: an explicit DACL, in place of
// the rights the folder passes on.
class OwnerOnly {
  public:
    OwnerOnly() {
        HANDLE token = nullptr;
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
            ThrowLastError();
        }
        DWORD size = 0;
        ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        user_.resize(size);
        const BOOL got = ::GetTokenInformation(token, TokenUser, user_.data(), size, &size);
        const DWORD error = ::GetLastError();
        ::CloseHandle(token);
        if (!got) {
            Throw(error);
        }
        const PSID sid = reinterpret_cast<TOKEN_USER*>(user_.data())->User.Sid;
        acl_.resize(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + ::GetLengthSid(sid));
        auto* acl = reinterpret_cast<ACL*>(acl_.data());
        if (!::InitializeAcl(acl, static_cast<DWORD>(acl_.size()), ACL_REVISION) ||
            !::AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sid) ||
            !::InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
            !::SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) ||
            !::SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
            ThrowLastError();
        }
        attributes_ = {sizeof attributes_, &descriptor_, FALSE};
    }
    OwnerOnly(const OwnerOnly&) = delete;
    OwnerOnly& operator=(const OwnerOnly&) = delete;
    SECURITY_ATTRIBUTES* get() { return &attributes_; }

  private:
    std::vector<std::byte> user_, acl_;
    SECURITY_DESCRIPTOR descriptor_{};
    SECURITY_ATTRIBUTES attributes_{};
};

// The owner of an open file, as the bytes of its SID; none where the file
// system keeps no owner.
std::vector<std::byte> OwnerOf(HANDLE handle) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error = ::GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                          &owner, nullptr, nullptr, nullptr, &descriptor);
    if (error != ERROR_SUCCESS) {
        Throw(error);
    }
    std::vector<std::byte> sid;
    if (owner != nullptr && ::IsValidSid(owner)) {
        const auto* bytes = static_cast<const std::byte*>(owner);
        sid.assign(bytes, bytes + ::GetLengthSid(owner));
    }
    ::LocalFree(descriptor);
    return sid;
}

// Gives the file held as `to` the owner of `from`, where the system lets this
// user give it, read back: their own SID, a group of theirs that may own
// files (Administrators, in a program run as administrator), or any SID with
// SeRestorePrivilege enabled.
bool GiveOwnerOf(HANDLE from, HANDLE to) {
    std::vector<std::byte> owner = OwnerOf(from);
    if (owner == OwnerOf(to)) {
        return true;
    }
    return !owner.empty() &&
           ::SetSecurityInfo(to, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, owner.data(), nullptr,
                             nullptr, nullptr) == ERROR_SUCCESS &&
           OwnerOf(to) == owner;
}

OVERLAPPED At(std::uint64_t offset) {
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(offset);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return position;
}

constexpr DWORD kChunk = 1 << 20; // ReadFile and WriteFile take 32-bit counts

} // namespace

bool IsAlreadyExistsError(const std::error_code& error) noexcept {
    return error.value() == ERROR_FILE_EXISTS || error.value() == ERROR_ALREADY_EXISTS;
}

bool IsNoRoomError(const std::error_code& error) noexcept {
    return error.value() == ERROR_DISK_FULL || error.value() == ERROR_HANDLE_DISK_FULL;
}

bool IsNameTooLongError(const std::error_code& error) noexcept {
    return error.value() == ERROR_FILENAME_EXCED_RANGE || error.value() == ERROR_INVALID_NAME;
}

void NativeFile::CloseQuietly(Handle handle) noexcept {
    ::CloseHandle(handle);
}

NativeFile NativeFile::OpenForReading(const std::filesystem::path& path) {
    // Sharing everything keeps the open from failing on a file that another
    // program (an editor, a virus scanner) holds open too.
    return NativeFile(OpenHandle(path, GENERIC_READ, kShareAll, OPEN_EXISTING));
}

Kind NativeFile::kind() const {
    // Devices such as CON or NUL, and pipes, are not files.
    if (::GetFileType(handle_) != FILE_TYPE_DISK) {
        return Kind::Other;
    }
    return (InformationOf(handle_).dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0
               ? Kind::Folder
               : Kind::Regular;
}

std::uint64_t NativeFile::Size() const {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(handle_, &size)) {
        ThrowLastError();
    }
    return static_cast<std::uint64_t>(size.QuadPart);
}

std::size_t NativeFile::ReadSome(char* buffer, std::size_t size) {
    DWORD count = 0;
    if (!::ReadFile(handle_, buffer, static_cast<DWORD>(std::min<std::size_t>(size, kChunk)),
                    &count, nullptr)) {
        ThrowLastError();
    }
    return count;
}

// Reading and writing at an offset meet a range another program has locked
// (LockFileEx) as a hold, waited out for a moment.
std::size_t NativeFile::ReadSomeAt(std::uint64_t offset, char* buffer, std::size_t size) {
    DWORD count = 0;
    const DWORD error = WaitingOutHolds([&] {
        OVERLAPPED position = At(offset);
        return ::ReadFile(handle_, buffer, static_cast<DWORD>(std::min<std::size_t>(size, kChunk)),
                          &count, &position)
                   ? DWORD{ERROR_SUCCESS}
                   : ::GetLastError();
    });
    if (error == ERROR_HANDLE_EOF) {
        return 0;
    }
    if (error != ERROR_SUCCESS) {
        Throw(error);
    }
    return count;
}

void NativeFile::WriteAllAt(std::uint64_t offset, std::string_view bytes) {
    while (!bytes.empty()) {
        DWORD count = 0;
        const DWORD error = WaitingOutHolds([&] {
            OVERLAPPED position = At(offset);
            return ::WriteFile(handle_, bytes.data(),
                               static_cast<DWORD>(std::min<std::size_t>(bytes.size(), kChunk)),
                               &count, &position)
                       ? DWORD{ERROR_SUCCESS}
                       : ::GetLastError();
        });
        if (error != ERROR_SUCCESS) {
            Throw(error);
        }
        bytes.remove_prefix(count);
        offset += count;
    }
}

void NativeFile::Truncate(std::uint64_t size) {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    if (!::SetFileInformationByHandle(handle_, FileEndOfFileInfo, &end, sizeof end)) {
        ThrowLastError();
    }
}

void NativeFile::FlushToDisk() {
    if (!::FlushFileBuffers(handle_)) {
        ThrowLastError();
    }
}

void NativeFile::Close() {
    if (!::CloseHandle(std::exchange(handle_, kNoHandle))) {
        ThrowLastError();
    }
}

std::uint32_t NativeFile::Mode() const {
    return 0; // writing in place keeps attributes, access rights and streams
}

void NativeFile::RestoreMode(std::uint32_t) noexcept {}

namespace {

// Gives the file held as `to` the access rights (DACL) of `from`, inherited
// from its folder or not as they are there.
bool CopyAccessRights(HANDLE from, HANDLE to) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (::GetSecurityInfo(from, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                          nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    const bool copied =
        ::GetSecurityDescriptorControl(descriptor, &control, &revision) &&
        ::SetSecurityInfo(to, SE_FILE_OBJECT,
                          DACL_SECURITY_INFORMATION | ((control & SE_DACL_PROTECTED) != 0
                                                           ? PROTECTED_DACL_SECURITY_INFORMATION
                                                           : UNPROTECTED_DACL_SECURITY_INFORMATION),
                          nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
    ::LocalFree(descriptor);
    return copied;
}

} // namespace

// The attributes a replacement is given, so that it is as hidden, as much a
// system file and as much left out of indexing as the file it replaces. The
// archive mark, which tells backup programs that a file has changed since
// they last saw it, is set, as any write sets it. Nothing else is compared: a
// read-only output is refused before; ReplaceFileW keeps encryption and
// compression itself; and no new file can be given what file systems and
// their filters set (a reparse point, the states of a cloud file, sparse,
// offline, integrity).
constexpr DWORD kGivenAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                   FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED |
                                   FILE_ATTRIBUTE_TEMPORARY;

fileio::OutputFacts::Identity NativeFile::TakeIdentityOf(const NativeFile& original) noexcept {
    using Identity = fileio::OutputFacts::Identity;
    // The new file carries the old one's owner, access rights and attributes
    // from the start: ReplaceFileW keeps the rights too, but a rename, where
    // the file system has no ReplaceFileW, keeps nothing.
    try {
        if (!GiveOwnerOf(original.handle_, handle_)) {
            return Identity::OwnerNotGiven;
        }
        FILE_BASIC_INFO basic{};
        if (!CopyAccessRights(original.handle_, handle_) ||
            !::GetFileInformationByHandleEx(original.handle_, FileBasicInfo, &basic,
                                            sizeof basic)) {
            return Identity::AttributeNotGiven;
        }
        const DWORD attributes = (basic.FileAttributes & kGivenAttributes) | FILE_ATTRIBUTE_ARCHIVE;
        basic = {}; // times of 0: left as they are
        basic.FileAttributes = attributes;
        const bool given =
            ::SetFileInformationByHandle(handle_, FileBasicInfo, &basic, sizeof basic) &&
            (InformationOf(handle_).dwFileAttributes & kGivenAttributes) == attributes;
        return given ? Identity::Given : Identity::AttributeNotGiven;
    } catch (const std::exception&) {
        return Identity::AttributeNotGiven;
    }
}

void NewFile::Discard() noexcept {
    // While it is held, the file is marked to go when closed; once let go of
    // (to be replaced), it is removed by name.
    if (file_.IsOpen() && !temporaryName_.empty()) {
        file_ = NativeFile();
    } else if (folder_ != nullptr && !temporaryName_.empty()) {
        ::DeleteFileW(Win32Path(folder_->path() / temporaryName_).c_str());
    }
    temporaryName_.clear();
}

void NewFile::NameAsNew(const std::filesystem::path& name) {
    RenameHeld(file_.handle(), folder_->handle(), name.native());
    name_ = name;
    temporaryName_.clear();
    MarkForDeletion(file_.handle(), false);
}

void NewFile::CloseNamed() {
    try {
        file_.Close();
    } catch (const std::system_error&) {
        // The handle is gone; the name, held unshared until now, is ours.
        ::DeleteFileW(Win32Path(folder_->path() / name_).c_str());
        name_.clear();
        throw;
    }
}

void NewFile::Complete() {
    // ReplaceFileW opens both files itself, without sharing: the new one is
    // let go of first, and now keeps its temporary name when closed.
    MarkForDeletion(file_.handle(), false);
    file_.Close();
}

void NewFile::Replace(const std::filesystem::path& name) {
    // Only once the old file has been moved aside (Output::ReplaceWith): the
    // name is free, and a move takes it in one step.
    const std::wstring target = Win32Path(folder_->path() / name);
    const std::wstring source = Win32Path(folder_->path() / temporaryName_);
    const DWORD error = WaitingOutHolds([&] {
        return ::MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH)
                   ? DWORD{ERROR_SUCCESS}
                   : ::GetLastError();
    });
    if (error != ERROR_SUCCESS) {
        Throw(error);
    }
    temporaryName_.clear();
    name_ = name;
}

void NewFile::RemoveQuietly() noexcept {
    if (file_.IsOpen()) {
        try {
            MarkForDeletion(file_.handle(), true);
        } catch (const std::exception&) {
        }
        file_ = NativeFile();
    } else if (folder_ != nullptr && !name_.empty()) {
        ::DeleteFileW(Win32Path(folder_->path() / name_).c_str());
    }
    name_.clear();
    Discard();
}

Folder Folder::Open(const std::filesystem::path& path) {
    // Held without sharing deletion, the folder cannot be renamed or removed
    // while files are made in it, so its path stays true.
    NativeFile folder(OpenHandle(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS));
    std::filesystem::path named = FinalPathOf(folder.handle(), path);
    return Folder(std::move(folder), std::move(named));
}

NewFile Folder::MakeFile(NativeFile::Visibility visibility) const {
    // A private file gets an explicit DACL for the user alone; a usual one
    // the rights the folder passes on, as any file the user creates there.
    std::optional<OwnerOnly> ownerOnly;
    if (visibility == NativeFile::Visibility::Private) {
        ownerOnly.emplace();
    }
    return WithUniqueName(".tmp", [&](const std::filesystem::path& name) {
        // WRITE_DAC, WRITE_OWNER: to be given the output's access rights and
        // owner, if it is to replace it; a file's creator gets them all.
        constexpr DWORD kAccess = GENERIC_READ | GENERIC_WRITE | DELETE | WRITE_DAC | WRITE_OWNER;
        NativeFile file(OpenHandle(path_ / name, kAccess, FILE_SHARE_READ, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, ownerOnly ? ownerOnly->get() : nullptr));
        MarkForDeletion(file.handle(), true);
        return NewFile(std::move(file), *this, name);
    });
}

// Windows names a new file without replacing on every file system it
// mounts, so a file made under its name is a new file named at once.
NewFile Folder::MakeFileNamed(const std::filesystem::path& name) const {
    NewFile file = MakeFile(NativeFile::Visibility::Usual);
    file.NameAsNew(name);
    return file;
}

bool Folder::Names(const std::filesystem::path& name, const NativeFile& file) const {
    // The output is held sharing its removal, so that ReplaceFileW can move
    // it while it is held: another program may have renamed or removed it
    // since. The name is looked at through a handle of its own, not followed.
    const Opened named = TryOpen(path_ / name, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING,
                                 FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS);
    if (named.handle == INVALID_HANDLE_VALUE) {
        if (named.error == ERROR_FILE_NOT_FOUND || named.error == ERROR_DELETE_PENDING) {
            return false;
        }
        Throw(named.error);
    }
    const NativeFile there(named.handle);
    const std::optional<FILE_ID_INFO> thereIdentity = IdentityOf(there.handle());
    const std::optional<FILE_ID_INFO> heldIdentity = IdentityOf(file.handle());
    // Where the file system tells no identity (some shares), none can tell
    // the two apart: the name is taken to hold the file, as when it was found.
    return !thereIdentity || !heldIdentity || SameFile(*thereIdentity, *heldIdentity);
}

void Folder::FlushQuietly() const noexcept {
    // NTFS journals its names; FlushFileBuffers on the folder asks for them
    // to be written now, where the user may open it for writing.
    const HANDLE handle =
        TryOpen(path_, GENERIC_WRITE, kShareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS).handle;
    if (handle != INVALID_HANDLE_VALUE) {
        ::FlushFileBuffers(handle);
        ::CloseHandle(handle);
    }
}

namespace {

// The file a path names, opened for its attributes alone, enough to see what
// it is and where without acting on it: a link is followed, as any open
// follows it, but any other reparse point is opened as the file it is, so
// that the filter behind it takes no part. A cloud placeholder is then not
// fetched, nor its provider needed.
Opened Locate(const std::filesystem::path& path, ULONGLONG until) {
    constexpr DWORD kFlags = FILE_FLAG_BACKUP_SEMANTICS;
    Opened located = OpenWaiting(path, FILE_READ_ATTRIBUTES, kShareAll,
                                 kFlags | FILE_FLAG_OPEN_REPARSE_POINT, until);
    if (located.handle != INVALID_HANDLE_VALUE && IsNameSurrogate(located.handle)) {
        ::CloseHandle(located.handle);
        located = OpenWaiting(path, FILE_READ_ATTRIBUTES, kShareAll, kFlags, until);
    }
    return located;
}

// Whether the file has named streams (such as the Zone.Identifier of a
// download), which only ReplaceFileW carries over to a replacement; taken as
// so where the system cannot tell.
bool HasNamedStreams(HANDLE file) {
    DWORD flags = 0;
    if (::GetVolumeInformationByHandleW(file, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
        (flags & FILE_NAMED_STREAMS) == 0) {
        return false;
    }
    std::vector<std::byte> streams(1 << 16);
    if (!::GetFileInformationByHandleEx(file, FileStreamInfo, streams.data(),
                                        static_cast<DWORD>(streams.size()))) {
        return ::GetLastError() != ERROR_HANDLE_EOF; // EOF: it has no stream at all
    }
    for (std::size_t at = 0;;) {
        const auto* stream = reinterpret_cast<const FILE_STREAM_INFO*>(streams.data() + at);
        if (std::wstring_view(stream->StreamName, stream->StreamNameLength / sizeof(wchar_t)) !=
            L"::$DATA") {
            return true;
        }
        if (stream->NextEntryOffset == 0) {
            return false;
        }
        at += stream->NextEntryOffset;
    }
}

// A name of ours for the old file beside `name` while it is replaced: as a
// copy kept during a rewrite in place is named, ".", the name, ".velmora-",
// 16 hex digits and ".bak", or without the name where that would pass the 255
// characters a name may have.
std::filesystem::path AsideName(const std::filesystem::path& name) {
    const std::filesystem::path unique = UniqueName(".bak");
    std::wstring whose = L"." + name.native() + unique.native();
    return whose.size() <= 255 ? std::filesystem::path(whose) : unique;
}

// The errors of a file system that has no ReplaceFileW (the WebDAV
// redirector, some shared folders of virtual machines).
bool IsNotSupported(DWORD error) {
    return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
           error == ERROR_INVALID_PARAMETER;
}

} // namespace

Output Output::Find(const std::filesystem::path& path) {
    Output output;
    // Device names and paths are refused before this (RefuseUnusablePath).
    const ULONGLONG until = HoldWaitEnd();
    const auto [located, error] = Locate(path, until);
    if (located == INVALID_HANDLE_VALUE) {
        if (error != ERROR_FILE_NOT_FOUND || !path.has_filename()) {
            Throw(error);
        }
        output.folder_ = Folder::Open(path.has_parent_path() ? path.parent_path() : ".");
        output.name_ = path.filename();
        return output;
    }
    const NativeFile locator(located);
    if (::GetFileType(located) != FILE_TYPE_DISK) {
        output.kind_ = Kind::Other;
        return output;
    }
    const BY_HANDLE_FILE_INFORMATION found = InformationOf(located);
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        output.kind_ = Kind::Folder;
        return output;
    }
    output.kind_ = Kind::Regular;
    const std::optional<FILE_ID_INFO> foundIdentity = IdentityOf(located);
    const std::filesystem::path target = FinalPathOf(located, std::filesystem::absolute(path));
    output.folder_ = Folder::Open(target.parent_path());
    output.name_ = target.filename();
    // Opened again by the name the system gave, a link put there since opened
    // as the link itself, and refused below; but a reparse point of its own,
    // such as a cloud placeholder, through its filter, which must take part
    // in what is written to it. DELETE is asked for where the user may remove
    // it, as a replacement must, and its removal is shared, so that
    // ReplaceFileW can replace it while it is held. Another program that
    // holds it a moment without sharing its removal (a scanner) is waited out.
    const DWORD flags = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0
                            ? 0
                            : FILE_FLAG_OPEN_REPARSE_POINT;
    const auto openAs = [&](DWORD access) {
        return OpenWaiting(output.folder_.path() / output.name_, access,
                           FILE_SHARE_READ | FILE_SHARE_DELETE, flags, until);
    };
    Opened opened = openAs(GENERIC_READ | GENERIC_WRITE | DELETE);
    // Refused where the user may not remove it, or another program holds it
    // longer without letting it be removed (a viewer): then it is written in
    // place. One that does not let it be written either is the failure.
    if (opened.error == ERROR_ACCESS_DENIED || opened.error == ERROR_SHARING_VIOLATION) {
        output.facts_.removalRefused = opened.error == ERROR_ACCESS_DENIED;
        output.facts_.heldByAnother = opened.error == ERROR_SHARING_VIOLATION;
        opened = openAs(GENERIC_READ | GENERIC_WRITE);
    }
    if (opened.error == ERROR_ACCESS_DENIED) {
        output.readRefusal_ = std::error_code(ERROR_ACCESS_DENIED, WindowsErrors());
        opened = openAs(GENERIC_WRITE);
    }
    if (opened.handle == INVALID_HANDLE_VALUE) {
        Throw(opened.error);
    }
    const HANDLE handle = opened.handle;
    output.file_ = NativeFile(handle);
    const BY_HANDLE_FILE_INFORMATION information = InformationOf(handle);
    output.facts_.links = information.nNumberOfLinks;
    const std::optional<FILE_ID_INFO> identity = IdentityOf(handle);
    // Where the file system tells no identity (some shares), nothing shows
    // whether the file opened is the one found: it is written as opened.
    output.facts_.identityUnknown = !foundIdentity || !identity;
    if ((!output.facts_.identityUnknown && !SameFile(*identity, *foundIdentity)) ||
        IsNameSurrogate(handle)) {
        output.file_ = NativeFile();
        output.kind_ = Kind::Changed;
        return output;
    }
    // Windows itself refuses to write a read-only file; an emulation running
    // with administrator rights (wine as root) may not. The mark is the
    // user's word either way.
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        throw std::system_error(ERROR_ACCESS_DENIED, WindowsErrors());
    }
    return output;
}

void Output::ReplaceWith(NewFile& replacement) {
    // ReplaceFileW moves the old file, still held here, to a name of ours
    // beside it, and the new one to its name. Held until then, the old file
    // cannot be taken hold of by another program in between; and where it is
    // not replaced, it is still in its place, open to be rewritten there.
    const std::filesystem::path aside = AsideName(name_);
    const std::wstring target = Win32Path(folder_.path() / name_);
    const std::wstring source = Win32Path(folder_.path() / replacement.temporaryName_);
    const std::wstring asidePath = Win32Path(folder_.path() / aside);
    const DWORD error = WaitingOutHolds([&] {
        return ::ReplaceFileW(target.c_str(), source.c_str(), asidePath.c_str(), 0, nullptr,
                              nullptr)
                   ? DWORD{ERROR_SUCCESS}
                   : ::GetLastError();
    });
    if (IsNotSupported(error)) {
        // The same moves by hand, where they lose nothing ReplaceFileW keeps.
        facts_.replaceUnsupported = true;
        facts_.namedStreams = HasNamedStreams(file_.handle());
        if (fileio::Decide(facts_) != fileio::WriteWay::ReplacedWhole) {
            Throw(error);
        }
        RenameHeld(file_.handle(), folder_.handle(), aside.native());
    } else if (error != ERROR_SUCCESS && error != ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
        Throw(error); // ReplaceFileW left both files under their names
    }
    if (error != ERROR_SUCCESS) {
        // The old file is aside, the new one still under its temporary name.
        try {
            replacement.Replace(name_);
        } catch (const std::system_error&) {
            // Put back, to be rewritten in place; or else kept aside, and the
            // failure tells where.
            try {
                RenameHeld(file_.handle(), folder_.handle(), name_.native());
            } catch (const std::system_error&) {
                keptIn_ = folder_.path() / aside;
                file_ = NativeFile();
            }
            throw;
        }
    }
    // Removed by its name, which is ours, while still held: no other program
    // takes hold of it first, and an emulation that removes names rather
    // than files (wine) removes it too. A failure leaves a backup behind.
    ::DeleteFileW(asidePath.c_str());
    file_ = NativeFile();
    replacement.temporaryName_.clear();
    replacement.name_ = name_;
}

std::filesystem::path TemporaryFolder() {
    return std::filesystem::temp_directory_path();
}

} // namespace velmora::native
