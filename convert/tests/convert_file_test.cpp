// SPDX-License-Identifier: MIT
#include "scratch_folder.h"
#include "velmora/convert_file.h"

#ifndef _WIN32
#include <sys/resource.h>
#endif

namespace velmora::testing_support {

TEST(ConvertFile, TrimsOnlySpacesFromThePathsThenDecodes) {
    const ScratchFolder folder;
    const std::string in = (folder / "in put.txt").string(), out = (folder / "ok put.txt").string();
    PutBytes(in, "4142");
    ConvertFile("  " + in + "  ", "   " + out + " ");
    EXPECT_EQ(Bytes(out), "AB");
    for (const auto& [input, output] :
         {std::pair{"\t" + in, out}, {in + "\t", out}, {" "s, out}, {in, " "s}}) {
        EXPECT_THROW(ConvertFile(input, output), FileFailure) << input << " -> " << output;
    }
    ConvertFile(in, in); // one file as both: read whole, then replaced
    EXPECT_EQ(Bytes(in), "AB");
    EXPECT_EQ(CountIn(folder.path), 2);
}

// Reading and the length check come first: when either fails (a missing input as a file
// failure, 2; a long one as an overflow, 1), the output is neither changed nor created.
// Of any input, at most one character past the limit is read.
TEST(ConvertFile, FailsBeforeTheOutputIsTouched) {
    // 0: no input; past 32,768 characters, a hole
    for (const std::uintmax_t inputSize : {0, 32'768, 1 << 28}) {
        for (const std::string output : {"keep me", "(none)"}) {
            SCOPED_TRACE(std::to_string(inputSize) + " characters over " + output);
            const ScratchFolder folder;
            const fs::path in = folder / "in.txt", ok = folder / "ok.txt";
            PutBytes(in, "");
            fs::resize_file(in, inputSize);
            if (output != "(none)")
                PutBytes(ok, output);
            if (inputSize == 0) {
                EXPECT_FILE_OUTCOME(ConvertFile(folder / "missing.txt", ok), kNotFound,
                                    "^Cannot open .*missing.txt\" for reading");
            } else {
                try {
                    ConvertFile(in, ok);
                    ADD_FAILURE() << "converted";
                } catch (const OverflowFailure& overflow) { // and not as a file failure
                    EXPECT_EQ(static_cast<int>(overflow.number()), 1);
                }
            }
            EXPECT_EQ(Bytes(ok), output);
        }
    }
#ifndef _WIN32
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    EXPECT_LT(usage.ru_maxrss, 64 << 10) << "KiB at the most: the whole input was read";
#endif
}

} // namespace velmora::testing_support
