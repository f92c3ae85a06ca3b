// SPDX-License-Identifier: MIT
// How long one conversion of the largest input takes, and how close the whole
// command comes to the file work that no conversion can avoid.

#include "velmora/convert_file.h"
#include "velmora/hex_decoder.h"
#include "velmora/text_file.h"

#include <benchmark/benchmark.h>
#include <filesystem>
#include <random>
#include <string>

namespace {

namespace fs = std::filesystem;

// The largest input that decodes: 32,767 hex characters.
std::string LargestInput() {
    std::mt19937 random(20261206);
    constexpr char kDigits[] = "0123456789ABCDEF";
    std::string hex(velmora::kMaxHexTextLength, '0');
    for (char& digit : hex) {
        digit = kDigits[random() % 16];
    }
    return hex;
}

// One temporary folder for every benchmark's files, removed at exit.
class BenchFolder {
  public:
    BenchFolder()
        : path_(fs::temp_directory_path() /
                ("velmora-bench-" + std::to_string(std::random_device{}()))) {
        fs::create_directories(path_);
        velmora::WriteTextFile(LargestInput(), input());
    }
    BenchFolder(const BenchFolder&) = delete;
    BenchFolder& operator=(const BenchFolder&) = delete;
    ~BenchFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    [[nodiscard]] fs::path input() const { return path_ / "in.txt"; }
    [[nodiscard]] fs::path output() const { return path_ / "ok.txt"; }

  private:
    fs::path path_;
};

const BenchFolder& Folder() {
    static const BenchFolder folder;
    return folder;
}

void BM_HexToText(benchmark::State& state) {
    const std::string hex = LargestInput();
    for (auto _ : state) {
        benchmark::DoNotOptimize(velmora::HexToText(hex));
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(hex.size()));
}
BENCHMARK(BM_HexToText);

void BM_ConvertFile(benchmark::State& state) {
    for (auto _ : state) {
        velmora::ConvertFile(Folder().input(), Folder().output());
    }
}
BENCHMARK(BM_ConvertFile)->UseRealTime();

void BM_Baseline(benchmark::State& state) {
    const std::string decodedSize(16384, 'x');
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            velmora::ReadTextFileUpTo(Folder().input(), velmora::kMaxHexTextLength));
        velmora::WriteTextFile(decodedSize, Folder().output());
    }
}
BENCHMARK(BM_Baseline)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
