#include "scratch_folder.h"
#include "velmora/convert_file.h"
#include "velmora/failure.h"

#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>

using namespace std::string_literals;
namespace fs = std::filesystem;

namespace velmora {
namespace {

using testing_support::GetBytes;
using testing_support::PutBytes;
using testing_support::ScratchFolder;

TEST(ConvertFile, WritesTheDecodedBytesOverLongerContent) {
    const struct {
        std::string input, output;
    } kCases[] = {
        {"48656C6C6F", "Hello"},
        {"2F41\r\n", "/A\0"s},                  // a line end counts as zeros
        {"68656c6c6f", "\x68\x65\x60\x60\x60"}, // lower case counts as zero
        {"", ""},
        {std::string(32'767, 'F'), std::string(16'383, '\xFF') + "\xF0"}, // the longest input
    };
    for (const auto& [input, output] : kCases) {
        SCOPED_TRACE(input.substr(0, 12));
        const ScratchFolder folder;
        PutBytes(folder / "in.txt", input);
        PutBytes(folder / "ok.txt", std::string(40'000, '#'));

        ConvertFile(folder / "in.txt", folder / "ok.txt");

        EXPECT_EQ(GetBytes(folder / "ok.txt"), output);
        EXPECT_EQ(GetBytes(folder / "in.txt"), input);
    }
}

TEST(ConvertFile, FailsAtOnceAndLeavesTheOutputUntouched) {
    const struct {
        const char* name;
        std::uintmax_t inputSize; // 0: no input file; characters past the first 32,768 are a hole
        FailureNumber expected;
    } kCases[] = {
        {"missing input", 0, FailureNumber::File},
        {"one character too many", 32'768, FailureNumber::Overflow},
        {"4 GiB, never read", std::uintmax_t{1} << 32, FailureNumber::Overflow},
    };
    for (const auto& [name, inputSize, expected] : kCases) {
        for (const bool outputExists : {true, false}) {
            SCOPED_TRACE(std::string(name) + (outputExists ? ", existing output" : ", no output"));
            const ScratchFolder folder;
            if (inputSize > 0) {
                PutBytes(folder / "in.txt", std::string(32'768, '4'));
                fs::resize_file(folder / "in.txt", inputSize);
            }
            if (outputExists) {
                PutBytes(folder / "ok.txt", "keep me");
            }

            const auto start = std::chrono::steady_clock::now();
            try {
                ConvertFile(folder / "in.txt", folder / "ok.txt");
                ADD_FAILURE() << "converted without a failure";
            } catch (const Failure& failure) {
                EXPECT_EQ(failure.number(), expected) << failure.description();
            }
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
            EXPECT_EQ(fs::exists(folder / "ok.txt") ? GetBytes(folder / "ok.txt") : "none",
                      outputExists ? "keep me" : "none");
        }
    }
}

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
    EXPECT_THROW(ConvertFile("   ", folder / "x.txt"), FileFailure);
    EXPECT_THROW(ConvertFile(folder / "in put.txt", "  "), FileFailure);
    EXPECT_EQ(folder.Names(), (std::vector<std::string>{"in put.txt", "ok put.txt"}));
}

} // namespace
} // namespace velmora
