// SPDX-License-Identifier: MIT
#include "velmora/convert_file.h"

#include "velmora/hex_decoder.h"
#include "velmora/text_file.h"

#include <optional>
#include <string>

namespace velmora {
namespace {

// Removes the space character, and only it, from both ends; the path keeps
// its native character type, so nothing else of what was typed is changed.
std::filesystem::path TrimSpaces(const std::filesystem::path& text) {
    using Native = std::filesystem::path::string_type;
    const Native& native = text.native();
    const auto space = static_cast<Native::value_type>(' ');
    const auto first = native.find_first_not_of(space);
    if (first == Native::npos) {
        return {};
    }
    const auto last = native.find_last_not_of(space);
    return native.substr(first, last - first + 1);
}

} // namespace

void ConvertFile(const std::filesystem::path& inputText, const std::filesystem::path& outputText) {
    const std::filesystem::path outputPath = TrimSpaces(outputText);
    const std::filesystem::path inputPath = TrimSpaces(inputText);
    // The decoder takes at most kMaxHexTextLength characters, so no more than
    // one past that is ever read: a huge or growing input fails at once.
    const std::optional<std::string> content = ReadTextFileUpTo(inputPath, kMaxHexTextLength);
    if (!content) {
        throw TooLongToDecode();
    }
    const std::string decoded = HexToText(*content);
    WriteTextFile(decoded, outputPath);
}

} // namespace velmora
