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

TEST(ConvertFile, WritesTheDecodedBytes) {
    const struct {
        const char* name;
        std::string input;
        std::string output;
    } kCases[] = {
        {"hello", "48656C6C6F", "Hello"},
        {"line end counts as zero", "2F41\r\n", "/A\0"s},
        {"lower case counts as zero", "68656c6c6f", "\x68\x65\x60\x60\x60"},
        {"empty input gives empty output", "", ""},
        {"longest input", std::string(32'767, 'F'), std::string(16'383, '\xFF') + "\xF0"},
    };
    for (const auto& [name, input, output] : kCases) {
        SCOPED_TRACE(name);
        const ScratchFolder folder;
        PutBytes(folder / "in.txt", input);
        PutBytes(folder / "ok.txt", std::string(40'000, '#')); // longer than any result

        ConvertFile(folder / "in.txt", folder / "ok.txt");

        EXPECT_EQ(GetBytes(folder / "ok.txt"), output);
        EXPECT_EQ(GetBytes(folder / "in.txt"), input);
    }
}

TEST(ConvertFile, FailsAtOnceAndLeavesTheOutputUntouched) {
    enum class Input { Missing, Folder, Text, Hole };
    const struct {
        const char* name;
        Input kind;
        std::uintmax_t size;
        FailureNumber expected;
    } kCases[] = {
        {"missing input", Input::Missing, 0, FailureNumber::File},
        {"folder as input", Input::Folder, 0, FailureNumber::File},
        {"one character too many", Input::Text, 32'768, FailureNumber::Overflow},
        {"4 GiB hole, not read", Input::Hole, std::uintmax_t{1} << 32, FailureNumber::Overflow},
    };
    for (const auto& [name, kind, size, expected] : kCases) {
        for (const bool outputExists : {true, false}) {
            SCOPED_TRACE(std::string(name) + (outputExists ? ", existing output" : ", no output"));
            const ScratchFolder folder;
            if (kind == Input::Folder) {
                fs::create_directory(folder / "in.txt");
            } else if (kind != Input::Missing) {
                PutBytes(folder / "in.txt", std::string(kind == Input::Text ? size : 0, '4'));
                fs::resize_file(folder / "in.txt", size);
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
