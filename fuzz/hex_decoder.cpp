// Differential fuzzing of the decoder against a reference written plainly
// from the digit rules: the sixteen digits compared as whole one-character
// texts, pair by pair, and the 32,767-character limit. It shares no code or
// table with the decoder. Any difference in the bytes, or in whether the
// input overflows, is a finding.
//
// An input that starts with '*' and two bytes N is stretched to N bytes by
// repeating its rest, so that short inputs reach the length limit.

#include "velmora/hex_decoder.h"

#include "velmora/failure.h"

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace {

const std::string kReferenceDigits[16] = {"0", "1", "2", "3", "4", "5", "6", "7",
                                          "8", "9", "A", "B", "C", "D", "E", "F"};

int ReferenceDigitValue(std::string_view digit) {
    for (int value = 0; value < 16; ++value) {
        if (kReferenceDigits[value] == digit) {
            return value;
        }
    }
    return 0;
}

char ReferencePair(std::string_view pair) {
    const int high = ReferenceDigitValue(pair.substr(0, 1));
    const int low = ReferenceDigitValue(pair.size() >= 2 ? pair.substr(1, 1) : "");
    return static_cast<char>(high * 16 + low);
}

// nullopt: an overflow.
std::optional<std::string> ReferenceDecode(std::string_view hex) {
    if (hex.size() >= 32768) {
        return std::nullopt;
    }
    std::string result;
    result.reserve(hex.size() / 2 + 1);
    for (std::size_t position = 0; position < hex.size(); position += 2) {
        result += ReferencePair(hex.substr(position, 2));
    }
    return result;
}

std::string Stretch(std::string_view data) {
    if (data.size() < 4 || data[0] != '*') {
        return std::string(data);
    }
    const std::size_t length =
        static_cast<unsigned char>(data[1]) << 8 | static_cast<unsigned char>(data[2]);
    const std::string_view unit = data.substr(3);
    std::string stretched;
    while (stretched.size() < length) {
        stretched.append(unit.substr(0, length - stretched.size()));
    }
    return stretched;
}

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string hex = Stretch({reinterpret_cast<const char*>(data), size});

    const std::string_view prefix = std::string_view(hex).substr(0, 3);
    Check(velmora::HexDigitValue(prefix) == ReferenceDigitValue(prefix));
    Check(velmora::HexPairToChar(prefix) == std::string(1, ReferencePair(prefix)));

    const std::optional<std::string> expected = ReferenceDecode(hex);
    try {
        const std::string decoded = velmora::HexToText(hex);
        Check(expected.has_value() && decoded == *expected);
    } catch (const velmora::OverflowFailure&) {
        Check(!expected.has_value());
    }
    return 0;
}
