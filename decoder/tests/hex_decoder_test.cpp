// SPDX-License-Identifier: MIT
// The digit rules on worked examples with their exact bytes, so that the
// decoder and the fuzz target's reference cannot share a misreading.

#include "velmora/failure.h"
#include "velmora/hex_decoder.h"

#include <gtest/gtest.h>
#include <string>
#include <utility>

using namespace std::string_literals;

namespace velmora {
namespace {

TEST(HexToText, DecodesEachPairWithTheDigitRules) {
    // clang-format off
    const std::pair<std::string, std::string> cases[] = {
        {"48656C6C6F", "Hello"}, {"FF00", "\xFF\0"s},  {"2f41", " A"},      {"G7", "\x07"},
        {"414", "A\x40"},        {"0x41", "\0A"s},     {"41\r\n", "A\0"s}, {"", ""},
        {"4\0\0" "41"s, "\x40\x04\x10"}}; // a NUL is a character like any other
    // clang-format on
    for (const auto& [hex, bytes] : cases) {
        EXPECT_EQ(HexToText(hex), bytes) << '"' << hex << '"';
    }
}

// The one-digit and one-pair operations take only the text they are given.
TEST(HexToText, DigitAndPairOperationsTakeOnlyTheirText) {
    EXPECT_EQ(HexDigitValue("B"), 11);
    EXPECT_EQ(HexDigitValue("B1"), 0); // two characters are no digit
    EXPECT_EQ(HexPairToChar("4F"), "O");
    EXPECT_EQ(HexPairToChar("4"), "@"); // a lone digit is the high nibble
}

TEST(HexToText, Decodes32767CharactersAndRefuses32768) {
    const std::string decoded = HexToText(std::string(32766, '7') + "A");
    EXPECT_EQ(decoded.size(), 16384u);
    EXPECT_EQ(decoded.back(), '\xA0');
    EXPECT_THROW((void)HexToText(std::string(32768, 'A')), OverflowFailure);
    const OverflowFailure overflow = TooLongToDecode(); // what users see
    EXPECT_EQ(static_cast<int>(overflow.number()), 1);
    EXPECT_NE(overflow.description().find("Overflow"), std::string::npos) << overflow.description();
}

} // namespace
} // namespace velmora
