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

// CON, PRN, AUX, NUL, COM1-9, LPT1-9 (also with superscript digits), with or
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
    return (digit >= L'1' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' ||
           digit == L'\u00B3';
}

std::optional<std::string_view> WhyWindowsRefuses(const std::filesystem::path& path) {
    bool first = true;
    for (const std::filesystem::path& part : path.relative_path()) {
        const std::wstring_view name = part.native();
        // A drive such as "C:" comes first, after a \\?\ prefix; anywhere else
        // a colon would name a stream.
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
