// SPDX-License-Identifier: MIT
#include "velmora/hex_decoder.h"

#include <array>

namespace velmora {
namespace {

// The digits in value order: a digit's value is its place in this text.
constexpr std::string_view kDigits = "0123456789ABCDEF";

// The value of every byte taken as a one-character digit text. Built from
// kDigits itself, so that it cannot drift from the digit rules.
constexpr std::array<std::uint8_t, 256> kDigitValues = [] {
    std::array<std::uint8_t, 256> values{};
    for (std::size_t value = 0; value < kDigits.size(); ++value) {
        values[static_cast<unsigned char>(kDigits[value])] = static_cast<std::uint8_t>(value);
    }
    return values;
}();

constexpr unsigned ValueOf(char digit) {
    return kDigitValues[static_cast<unsigned char>(digit)];
}

constexpr char PairCode(unsigned high, unsigned low) {
    return static_cast<char>(high * 16 + low);
}

} // namespace

std::int16_t HexDigitValue(std::string_view digit) noexcept {
    return digit.size() == 1 ? static_cast<std::int16_t>(ValueOf(digit.front())) : std::int16_t{0};
}

std::string HexPairToChar(std::string_view pair) {
    const unsigned high = HexDigitValue(pair.substr(0, 1));
    const unsigned low = pair.size() > 1 ? HexDigitValue(pair.substr(1, 1)) : 0;
    return std::string(1, PairCode(high, low));
}

std::string HexToText(std::string_view hex) {
    if (hex.size() > kMaxHexTextLength) {
        throw TooLongToDecode();
    }

    std::string result((hex.size() + 1) / 2, '\0');
    for (std::size_t in = 0, out = 0; in < hex.size(); in += 2, ++out) {
        const unsigned high = ValueOf(hex[in]);
        const unsigned low = in + 1 < hex.size() ? ValueOf(hex[in + 1]) : 0;
        result[out] = PairCode(high, low);
    }
    return result;
}

OverflowFailure TooLongToDecode() {
    return OverflowFailure("Overflow: the input holds more than the " +
                           std::to_string(kMaxHexTextLength) + " characters that can be decoded");
}

} // namespace velmora
