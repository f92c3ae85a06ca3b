#include "scratch_folder.h"
#include "velmora/convert_file.h"
#include "velmora/failure.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <string>

using namespace std::string_literals;
namespace fs = std::filesystem;

namespace velmora {
namespace {

using testing_support::GetBytes;
using testing_support::PutBytes;
using testing_support::ScratchFolder;

struct ConversionCase {
    const char* name;
    std::string input;
    std::string output;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const ConversionCase& testCase, std::ostream* out) {
    *out << testCase.name;
}

class ConvertFileWrites : public testing::TestWithParam<ConversionCase> {};

TEST_P(ConvertFileWrites, TheDecodedBytes) {
    const ScratchFolder folder;
    PutBytes(folder / "in.txt", GetParam().input);
    PutBytes(folder / "ok.txt", std::string(40'000, '#')); // longer than any result

    ConvertFile(folder / "in.txt", folder / "ok.txt");

    EXPECT_EQ(GetBytes(folder / "ok.txt"), GetParam().output);
    EXPECT_EQ(GetBytes(folder / "in.txt"), GetParam().input);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Files, ConvertFileWrites, testing::Values(
    ConversionCase{"Hello",                      "48656C6C6F",             "Hello"},
    ConversionCase{"LineEndCountsAsZero",        "2F41\r\n",               "/A\0"s},
    ConversionCase{"LowerCaseCountsAsZero",      "68656c6c6f",             "\x68\x65\x60\x60\x60"},
    ConversionCase{"EmptyInputGivesEmptyOutput", "",                       ""},
    ConversionCase{"LongestInput",               std::string(32'767, 'F'), std::string(16'383, '\xFF') + "\xF0"}),
    [](const testing::TestParamInfo<ConversionCase>& info) { return std::string(info.param.name); });
// clang-format on

struct FailureCase {
    const char* name;
    std::optional<std::string> input; // nullopt: no input file; "/" : a folder
    FailureNumber expected;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const FailureCase& testCase, std::ostream* out) {
    *out << testCase.name;
}

class ConvertFileFails : public testing::TestWithParam<FailureCase> {};

TEST_P(ConvertFileFails, AndLeavesTheOutputUntouched) {
    for (const bool outputExists : {true, false}) {
        SCOPED_TRACE(outputExists ? "existing output" : "no output");
        const ScratchFolder folder;
        const auto& input = GetParam().input;
        if (input == "/") {
            fs::create_directory(folder / "in.txt");
        } else if (input) {
            PutBytes(folder / "in.txt", *input);
        }
        if (outputExists) {
            PutBytes(folder / "ok.txt", "keep me");
        }

        try {
            ConvertFile(folder / "in.txt", folder / "ok.txt");
            ADD_FAILURE() << "converted without a failure";
        } catch (const Failure& failure) {
            EXPECT_EQ(failure.number(), GetParam().expected) << failure.description();
        }

        if (outputExists) {
            EXPECT_EQ(GetBytes(folder / "ok.txt"), "keep me");
        } else {
            EXPECT_FALSE(fs::exists(folder / "ok.txt"));
        }
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Inputs, ConvertFileFails, testing::Values(
    FailureCase{"MissingInput",  std::nullopt,             FailureNumber::File},
    FailureCase{"FolderAsInput", "/",                      FailureNumber::File},
    FailureCase{"OverlongInput", std::string(32'768, '4'), FailureNumber::Overflow}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });
// clang-format on

TEST(ConvertFile, SamePathIsReadWholeThenReplaced) {
    const ScratchFolder folder;
    PutBytes(folder / "both.txt", "48656C6C6F");

    ConvertFile(folder / "both.txt", folder / "both.txt");

    EXPECT_EQ(GetBytes(folder / "both.txt"), "Hello");
}

TEST(ConvertFile, TrimsOnlySpacesFromBothEnds) {
    const ScratchFolder folder;
    PutBytes(folder / "in put.txt", "4142");

    ConvertFile("  " + (folder / "in put.txt").string() + "  ",
                "   " + (folder / "ok put.txt").string() + " ");

    EXPECT_EQ(GetBytes(folder / "ok put.txt"), "AB");
    EXPECT_THROW(ConvertFile("\t" + (folder / "in put.txt").string(), folder / "x.txt"),
                 FileFailure);
    EXPECT_FALSE(fs::exists(folder / "x.txt"));
}

TEST(ConvertFile, SpacesOnlyIsAnEmptyPath) {
    const ScratchFolder folder;
    PutBytes(folder / "in.txt", "41");
    EXPECT_THROW(ConvertFile("   ", folder / "ok.txt"), FileFailure);
    EXPECT_THROW(ConvertFile(folder / "in.txt", "  "), FileFailure);
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"in.txt"});
}

} // namespace
} // namespace velmora
