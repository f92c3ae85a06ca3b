// File calls on Windows. Paths go to the wide-character API, so every
// character a user can type in a path survives.

#include "file_failures.h"
#include "native_file.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <algorithm>
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

// The system's own wording of an error, e.g. "Access is denied.".
std::string DescribeError(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text = length > 0 ? Utf8({buffer, length}) : "";
    ::LocalFree(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    return text.empty() ? "Windows error " + std::to_string(code) : text;
}

HANDLE OpenOrFail(const std::filesystem::path& path, DWORD access, DWORD disposition,
                  const std::filesystem::path& shownPath, std::string_view detail) {
    // Sharing read and write keeps the open from failing on a file that
    // another program (an editor, a virus scanner) holds open too.
    const HANDLE handle =
        ::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        RaiseFileFailure("Cannot open", shownPath, detail, LastSystemError());
    }
    return handle;
}

} // namespace

SystemError LastSystemError() {
    const DWORD code = ::GetLastError();
    return {static_cast<int>(code), DescribeError(code)};
}

bool IsPermissionError(int code) noexcept {
    return code == ERROR_ACCESS_DENIED;
}

void NativeFile::CloseQuietly(Handle handle) noexcept {
    ::CloseHandle(handle);
}

NativeFile NativeFile::OpenForReading(const std::filesystem::path& path) {
    // Opening a folder fails with a bare "Access is denied", so say what it is.
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        RaiseFileFailure("Cannot open", path, " for reading", IsAFolder());
    }
    NativeFile file(OpenOrFail(path, GENERIC_READ, OPEN_EXISTING, path, " for reading"), path);
    // Devices such as CON or NUL, and pipes, are not files to read whole.
    if (::GetFileType(file.handle_) != FILE_TYPE_DISK) {
        RaiseFileFailure("Cannot open", path, " for reading", IsNotARegularFile());
    }
    return file;
}

NativeFile NativeFile::CreateNew(const std::filesystem::path& path,
                                 const std::filesystem::path& shownPath) {
    return {OpenOrFail(path, GENERIC_WRITE, CREATE_NEW, shownPath, " for writing"), shownPath};
}

NativeFile NativeFile::OpenForOverwrite(const std::filesystem::path& path,
                                        const std::filesystem::path& shownPath) {
    return {OpenOrFail(path, GENERIC_WRITE, TRUNCATE_EXISTING, shownPath, " for writing"),
            shownPath};
}

std::string NativeFile::ReadAll() {
    std::string content;
    LARGE_INTEGER size{};
    if (::GetFileSizeEx(handle_, &size) && size.QuadPart > 0) {
        content.reserve(static_cast<std::size_t>(size.QuadPart) + 1);
    }
    char buffer[65536];
    for (;;) {
        DWORD count = 0;
        if (!::ReadFile(handle_, buffer, sizeof buffer, &count, nullptr)) {
            RaiseFileFailure("Cannot read", shownPath_, "", LastSystemError());
        }
        if (count == 0) {
            return content;
        }
        content.append(buffer, count);
    }
}

void NativeFile::WriteAll(std::string_view bytes) {
    constexpr std::size_t kChunk = 1 << 20; // WriteFile takes a 32-bit count
    while (!bytes.empty()) {
        const auto chunk = static_cast<DWORD>(std::min(bytes.size(), kChunk));
        DWORD count = 0;
        if (!::WriteFile(handle_, bytes.data(), chunk, &count, nullptr)) {
            RaiseFileFailure("Cannot write", shownPath_, "", LastSystemError());
        }
        bytes.remove_prefix(count);
    }
}

void NativeFile::KeepPermissionsOf(const std::filesystem::path&) {
    // Windows gives the new file the folder's inherited access rights, and a
    // read-only target refuses the replace itself, so there is nothing to copy.
}

void NativeFile::FlushToDisk() {
    if (!::FlushFileBuffers(handle_)) {
        RaiseFileFailure("Cannot save", shownPath_, " to disk", LastSystemError());
    }
}

void NativeFile::Close() {
    if (!::CloseHandle(std::exchange(handle_, kNoHandle))) {
        RaiseFileFailure("Cannot write", shownPath_, "", LastSystemError());
    }
}

void RenameOver(const std::filesystem::path& source, const std::filesystem::path& target,
                const std::filesystem::path& shownPath) {
    // Both files must be closed by now: Windows refuses to rename open files.
    if (!::MoveFileExW(source.c_str(), target.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        RaiseFileFailure("Cannot replace", shownPath, "", LastSystemError());
    }
}

void RemoveQuietly(const std::filesystem::path& path) noexcept {
    ::DeleteFileW(path.c_str());
}

} // namespace velmora::native
