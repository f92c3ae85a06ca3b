// SPDX-License-Identifier: MIT
// Runs a fuzz target once on every file of the corpus folder given, so that
// the corpus is an ordinary test in the builds without libFuzzer: release,
// sanitizers, and Windows under wine. A finding aborts, as under the fuzzer.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char* argv[]) {
    int inputs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(argc == 2 ? argv[1] : "")) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(in), {}};
        std::cout << entry.path().filename().string() << std::endl; // named before a finding
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        ++inputs;
    }
    std::cout << inputs << " inputs, no finding\n";
    return inputs > 0 ? 0 : 1; // an empty corpus tests nothing
}
