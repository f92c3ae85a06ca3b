// SPDX-License-Identifier: MIT
// File calls on Windows. Paths go to the wide-character API, so every
// character a user can type in a path survives; long ones are given in the
// "\\?\" form, so that paths past MAX_PATH work without a manifest.

#include "native_file.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <algorithm>
#include <string>
#include <utility>
#include <windows.h>

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

HANDLE Open(const std::filesystem::path& path, DWORD access, DWORD disposition) {
    // Sharing read and write keeps the open from failing on a file that
    // another program (an editor, a virus scanner) holds open too.
    const HANDLE handle = ::CreateFileW(Win32Path(path).c_str(), access,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        ThrowLastError();
    }
    return handle;
}

OVERLAPPED At(std::uint64_t offset) {
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(offset);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return position;
}

constexpr DWORD kChunk = 1 << 20; // ReadFile and WriteFile take 32-bit counts

} // namespace

Kind KindOf(const std::filesystem::path& path) {
    const DWORD attributes = ::GetFileAttributesW(Win32Path(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            return Kind::Missing;
        }
        ThrowLastError();
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? Kind::Folder : Kind::Regular;
}

bool IsPermissionError(const std::error_code& error) noexcept {
    return error.value() == ERROR_ACCESS_DENIED || error.value() == ERROR_WRITE_PROTECT;
}

bool IsAlreadyExistsError(const std::error_code& error) noexcept {
    return error.value() == ERROR_FILE_EXISTS || error.value() == ERROR_ALREADY_EXISTS;
}

void NativeFile::CloseQuietly(Handle handle) noexcept {
    ::CloseHandle(handle);
}

NativeFile NativeFile::OpenExisting(const std::filesystem::path& path, Access access) {
    DWORD rights = GENERIC_READ;
    if (access == Access::Write) {
        rights = GENERIC_WRITE;
    } else if (access == Access::ReadWrite) {
        rights = GENERIC_READ | GENERIC_WRITE;
    }
    NativeFile file(Open(path, rights, OPEN_EXISTING));
    // Windows itself refuses to write a read-only file; an emulation running
    // with administrator rights (wine as root) may not. The mark is the
    // user's word either way.
    BY_HANDLE_FILE_INFORMATION information{};
    if (access != Access::Read && ::GetFileInformationByHandle(file.handle_, &information) &&
        (information.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        throw std::system_error(ERROR_ACCESS_DENIED, WindowsErrors());
    }
    return file;
}

NativeFile NativeFile::CreateNew(const std::filesystem::path& path, Visibility) {
    // The new file takes the access rights its folder passes on, as any
    // file the user creates there.
    return NativeFile(Open(path, GENERIC_READ | GENERIC_WRITE, CREATE_NEW));
}

Kind NativeFile::kind() const {
    // Devices such as CON or NUL, and pipes, are not files.
    return ::GetFileType(handle_) == FILE_TYPE_DISK ? Kind::Regular : Kind::Other;
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

std::size_t NativeFile::ReadSomeAt(std::uint64_t offset, char* buffer, std::size_t size) {
    OVERLAPPED position = At(offset);
    DWORD count = 0;
    if (!::ReadFile(handle_, buffer, static_cast<DWORD>(std::min<std::size_t>(size, kChunk)),
                    &count, &position)) {
        if (::GetLastError() == ERROR_HANDLE_EOF) {
            return 0;
        }
        ThrowLastError();
    }
    return count;
}

void NativeFile::WriteAllAt(std::uint64_t offset, std::string_view bytes) {
    while (!bytes.empty()) {
        OVERLAPPED position = At(offset);
        DWORD count = 0;
        if (!::WriteFile(handle_, bytes.data(),
                         static_cast<DWORD>(std::min<std::size_t>(bytes.size(), kChunk)), &count,
                         &position)) {
            ThrowLastError();
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

void LinkAsNew(const std::filesystem::path& existing, const std::filesystem::path& name) {
    // Without MOVEFILE_REPLACE_EXISTING the move fails if `name` exists.
    if (!::MoveFileExW(Win32Path(existing).c_str(), Win32Path(name).c_str(),
                       MOVEFILE_WRITE_THROUGH)) {
        ThrowLastError();
    }
}

void FlushFolderQuietly(const std::filesystem::path&) noexcept {
    // MOVEFILE_WRITE_THROUGH has made the new name durable already.
}

void RemoveQuietly(const std::filesystem::path& path) noexcept {
    ::DeleteFileW(Win32Path(path).c_str());
}

std::filesystem::path TemporaryFolder() {
    return std::filesystem::temp_directory_path();
}

} // namespace velmora::native
