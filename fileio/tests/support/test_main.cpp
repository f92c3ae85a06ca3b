#include <csignal>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
#ifdef SIGXFSZ
    // As in the program: a write past the file-size limit fails with EFBIG
    // instead of killing the process.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
