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
}

// Reading and the length check come first: when either fails (a missing input as a file
// failure, 2; a long one as an overflow, 1), the output is neither changed nor created.
// Of any input, at most one character past the limit is read.
TEST(ConvertFile, FailsBeforeTheOutputIsTouched) {
    for (const std::string output : {"keep me", "(none)"}) {
        const ScratchFolder folder;
        const fs::path in = folder / "in.txt", ok = folder / "ok.txt";
        if (output != "(none)") {
            PutBytes(ok, output);
        }
        EXPECT_FILE_OUTCOME(ConvertFile(in, ok), kNotFound, "^Cannot open .*in.txt\" for reading");
        // 32,768 characters; then a hole, of which only the start is read
        for (const std::uintmax_t inputSize : {32'768, 1 << 28}) {
            PutBytes(in, "");
            fs::resize_file(in, inputSize);
            EXPECT_THROW(ConvertFile(in, ok), OverflowFailure) << inputSize;
        }
        EXPECT_EQ(Bytes(ok), output);
    }
#ifndef _WIN32
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    EXPECT_LT(usage.ru_maxrss, 64 << 10) << "KiB at the most: the whole input was read";
#endif
}

} // namespace velmora::testing_support
