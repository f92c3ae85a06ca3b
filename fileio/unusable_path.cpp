// SPDX-License-Identifier: MIT
#include "file_failures.h"

#include <algorithm>
#include <optional>
#include <utility>

namespace velmora::fileio {
namespace {

using Char = std::filesystem::path::value_type;

#ifdef _WIN32

bool EqualsIgnoringCase(std::wstring_view text, std::wstring_view upper) {
    return text.size() == upper.size() &&
           std::equal(text.begin(), text.end(), upper.begin(), [](wchar_t a, wchar_t b) {
               return (a >= L'a' && a <= L'z' ? a - 32 : a) == b;
           });
}

// CON, PRN, AUX, NUL, COM0-9, LPT0-9 (also with superscript digits), with or
// without an extension: Windows opens the device instead of a file.
bool IsDeviceName(std::wstring_view name) {
    std::wstring_view stem = name.substr(0, name.find(L'.'));
    while (!stem.empty() && stem.back() == L' ') {
        stem.remove_suffix(1);
    }
    for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"}) {
        if (EqualsIgnoringCase(stem, device)) {
            return true;
        }
    }
    if (stem.size() != 4 || !(EqualsIgnoringCase(stem.substr(0, 3), L"COM") ||
                              EqualsIgnoringCase(stem.substr(0, 3), L"LPT"))) {
        return false;
    }
    const wchar_t digit = stem[3];
    return (digit >= L'0' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' ||
           digit == L'\u00B3';
}

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// "server\share\..." where the share is a server's "pipe" or "mailslot",
// whose names are pipes.
bool IsPipeShare(std::wstring_view serverAndShare) {
    const auto server = std::find_if(serverAndShare.begin(), serverAndShare.end(), IsSeparator);
    if (server == serverAndShare.end()) {
        return false;
    }
    const std::wstring_view share(server + 1,
                                  std::find_if(server + 1, serverAndShare.end(), IsSeparator));
    return EqualsIgnoringCase(share, L"PIPE") || EqualsIgnoringCase(share, L"MAILSLOT");
}

// A path into the system's device namespace, which opens devices, pipes and
// volumes rather than files: "\\.\..." (or "//./..."), "\??\...", and
// "\\?\..." unless a drive ("C:") or "UNC\" follows; or a pipe share.
bool NamesADevice(std::wstring_view path) {
    const auto startsWith = [&](std::wstring_view prefix) {
        return path.size() >= prefix.size() &&
               std::equal(prefix.begin(), prefix.end(), path.begin(), [](wchar_t p, wchar_t c) {
                   return p == L'\\' ? IsSeparator(c) : p == c;
               });
    };
    if (startsWith(L"\\\\.\\") || startsWith(L"\\??\\")) {
        return true;
    }
    if (startsWith(L"\\\\?\\")) {
        const std::wstring_view rest = path.substr(4);
        if (EqualsIgnoringCase(rest.substr(0, 4), L"UNC\\")) {
            return IsPipeShare(rest.substr(4));
        }
        return rest.size() < 2 || rest[1] != L':';
    }
    return startsWith(L"\\\\") && IsPipeShare(path.substr(2));
}

std::optional<std::string_view> WhyWindowsRefuses(const std::filesystem::path& path) {
    if (NamesADevice(path.native())) {
        return "on Windows that path names a device, not a file";
    }
    // After a "\\?\" or "\\?\UNC\" prefix, which the system takes as it is,
    // the names are those of any path.
    std::wstring_view names = path.native();
    if (names.starts_with(L"\\\\?\\")) {
        names.remove_prefix(EqualsIgnoringCase(names.substr(4, 4), L"UNC\\") ? 8 : 4);
    }
    bool first = true;
    for (const std::filesystem::path& part : std::filesystem::path(names).relative_path()) {
        const std::wstring_view name = part.native();
        // A drive such as "C:" comes first; anywhere else a colon would name
        // a stream.
        const bool isDrive = std::exchange(first, false) && name.size() == 2 && name[1] == L':';
        if (name.empty() || name == L"." || name == L".." || isDrive) {
            continue;
        }
        if (name.back() == L'.' || name.back() == L' ') {
            return "on Windows a name cannot end in a dot or a space";
        }
        if (name.find_first_of(L"<>:\"|?*") != std::wstring_view::npos ||
            std::any_of(name.begin(), name.end(), [](wchar_t c) { return c < 32; })) {
            return "on Windows a name cannot hold < > : \" | ? * or control characters";
        }
        if (IsDeviceName(name)) {
            return "on Windows that name belongs to a device";
        }
    }
    return std::nullopt;
}

#endif

} // namespace

void RefuseUnusablePath(Step step, const std::filesystem::path& path) {
    const auto& native = path.native();
    if (native.find(Char{0}) != native.npos) {
        // The system would take the path only up to the NUL and so reach
        // another file than the one named.
        RaiseFileFailure(step, path, "the path holds a NUL character, which no file name can hold");
    }
#ifdef _WIN32
    if (const auto why = WhyWindowsRefuses(path)) {
        RaiseFileFailure(step, path, *why);
    }
#endif
}

} // namespace velmora::fileio
