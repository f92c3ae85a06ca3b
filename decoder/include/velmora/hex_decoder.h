// SPDX-License-Identifier: MIT
#pragma once

#include "velmora/failure.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Decoding of hexadecimal digit pairs, with Velmora's exact digit rules:
//
//  - only "0"-"9" and upper-case "A"-"F" are digits;
//  - every other character (lower-case "a"-"f", spaces, line breaks, NUL...)
//    counts as 0 and still takes its place, so later pairs are not shifted;
//  - a final unpaired digit is a high nibble ("4" decodes to 0x40);
//  - a text longer than 32,767 characters is an overflow.
//
// Stored files and the programs that read our output depend on these rules
// giving the same bytes forever: they are not to be "improved".
namespace velmora {

// The longest text HexToText accepts: the largest signed 16-bit length.
inline constexpr std::size_t kMaxHexTextLength = 32767;

// The value 0-15 of a one-character digit text; 0 for anything else,
// including the empty text and texts of two or more characters.
[[nodiscard]] std::int16_t HexDigitValue(std::string_view digit) noexcept;

// The one-character text that the first two characters of `pair` encode.
// A missing character counts as 0; characters after the second are ignored.
[[nodiscard]] std::string HexPairToChar(std::string_view pair);

// Decodes a whole text, pair by pair; the result has ceil(n/2) characters.
// Throws TooLongToDecode(), before decoding anything, when `hex` is longer
// than kMaxHexTextLength.
[[nodiscard]] std::string HexToText(std::string_view hex);

// The failure of a text longer than kMaxHexTextLength, as the user reads it;
// also raised by whoever refuses such a text before it is read whole.
[[nodiscard]] OverflowFailure TooLongToDecode();

} // namespace velmora
