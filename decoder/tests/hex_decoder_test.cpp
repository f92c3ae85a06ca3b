#include "velmora/failure.h"
#include "velmora/hex_decoder.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>

using namespace std::string_literals;

namespace velmora {
namespace {

struct DecodeCase {
    const char* name;
    std::string hex;
    std::string expected;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const DecodeCase& testCase, std::ostream* out) {
    *out << testCase.name;
}

class HexToTextDecodes : public testing::TestWithParam<DecodeCase> {};

TEST_P(HexToTextDecodes, ByteForByte) {
    EXPECT_EQ(HexToText(GetParam().hex), GetParam().expected);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(DigitRules, HexToTextDecodes, testing::Values(
    DecodeCase{"Empty",                  "",            ""},
    DecodeCase{"Hello",                  "48656C6C6F",  "Hello"},
    DecodeCase{"SlashA",                 "2F41",        "/A"},
    DecodeCase{"CodeFF",                 "FF",          "\xFF"},
    DecodeCase{"CodeZeroIsKept",         "00410042",    "\0A\0B"s},
    // Lower-case letters are not digits: "2f" is 0x20.
    DecodeCase{"LowerCaseCountsAsZero",  "2f41",        " A"},
    DecodeCase{"LowerCaseWord",          "68656c6c6f",  "\x68\x65\x60\x60\x60"},
    DecodeCase{"OutOfRangeLetter",       "G7",          "\x07"},
    // A final odd digit is a high nibble.
    DecodeCase{"OddFinalDigit",          "414",         "A\x40"},
    DecodeCase{"SingleDigit",            "F",           "\xF0"},
    // Non-digits keep their place: nothing is skipped or shifted.
    DecodeCase{"PrefixIsNotSkipped",     "0x41",        "\0A"s},
    DecodeCase{"SpaceKeepsItsSlot",      "4 14",        "\x40\x14"},
    DecodeCase{"CrLfAtEnd",              "41\r\n",      "A\0"s},
    DecodeCase{"LfAtEnd",                "41\n",        "A\0"s},
    DecodeCase{"CrLfBetweenLines",       "41\r\n42",    "A\0\x42"s},
    DecodeCase{"NulInInputCountsAsZero", "4\0" "41"s,   "\x40\x41"},
    DecodeCase{"HighBytesCountAsZero",   "\xFF\x80" "1"s, "\0\x10"s}),
    [](const testing::TestParamInfo<DecodeCase>& info) { return std::string(info.param.name); });
// clang-format on

TEST(HexToText, DecodesEveryByteValue) {
    for (int code = 0; code < 256; ++code) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02X", code);
        const std::string decoded = HexToText(hex);
        ASSERT_EQ(decoded.size(), 1u) << hex;
        EXPECT_EQ(static_cast<unsigned char>(decoded[0]), code) << hex;
    }
}

TEST(HexToText, LongestTextDecodesWithItsFinalSingleDigit) {
    const std::string hex = std::string(kMaxHexTextLength - 1, '7') + "A";
    const std::string decoded = HexToText(hex);
    ASSERT_EQ(decoded.size(), 16384u);
    EXPECT_EQ(decoded.front(), '\x77');
    EXPECT_EQ(decoded.back(), '\xA0');
}

TEST(HexToText, OverflowsPastTheLimitWithoutDecoding) {
    for (const std::size_t length : {kMaxHexTextLength + 1, std::size_t{1'000'000}}) {
        try {
            (void)HexToText(std::string(length, 'A'));
            ADD_FAILURE() << "no overflow for " << length << " characters";
        } catch (const OverflowFailure& failure) {
            EXPECT_EQ(failure.number(), FailureNumber::Overflow);
            EXPECT_NE(failure.description().find("Overflow"), std::string::npos);
            EXPECT_NE(failure.description().find(std::to_string(length)), std::string::npos);
        }
    }
}

struct DigitCase {
    std::string digit;
    int expected;
};

TEST(HexDigitValue, WholeTextIsComparedExactly) {
    const DigitCase cases[] = {
        {"0", 0}, {"9", 9},  {"A", 10}, {"F", 15}, {"a", 0},  {"f", 0},   {"G", 0},
        {"", 0},  {"AB", 0}, {" A", 0}, {"A ", 0}, {"FF", 0}, {"\0"s, 0}, {"x", 0},
    };
    for (const auto& [digit, expected] : cases) {
        EXPECT_EQ(HexDigitValue(digit), expected) << '"' << digit << '"';
    }
}

TEST(HexDigitValue, EveryByteMatchesTheSixteenDigitList) {
    constexpr std::string_view kDigits = "0123456789ABCDEF";
    for (int byte = 0; byte < 256; ++byte) {
        const auto place = kDigits.find(static_cast<char>(byte));
        const int expected = place == std::string_view::npos ? 0 : static_cast<int>(place);
        EXPECT_EQ(HexDigitValue(std::string(1, static_cast<char>(byte))), expected) << byte;
    }
}

TEST(HexPairToChar, DecodesOneCharacterFromTheFirstTwo) {
    const DigitCase cases[] = {
        {"41", 0x41}, {"FF", 0xFF}, {"4", 0x40},    {"", 0x00},
        {"ff", 0x00}, {"G7", 0x07}, {"41FF", 0x41}, {"4\n", 0x40},
    };
    for (const auto& [pair, expected] : cases) {
        const std::string decoded = HexPairToChar(pair);
        ASSERT_EQ(decoded.size(), 1u) << '"' << pair << '"';
        EXPECT_EQ(static_cast<unsigned char>(decoded[0]), expected) << '"' << pair << '"';
    }
}

} // namespace
} // namespace velmora
