// SPDX-License-Identifier: MIT
// How long one conversion of the largest input takes, and how close the whole
// command comes to a bare save written with the system calls themselves.

#include "velmora/convert_file.h"
#include "velmora/hex_decoder.h"
#include "velmora/text_file.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <filesystem>
#include <iomanip>
#include <map>
#include <random>
#include <string>
#include <unistd.h>

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

// A bare save of the same result, as a careful program writes it with the
// system calls alone: read the input, write a temporary file beside the
// output, make it durable, rename it over the output, make the name durable.
// No checks, no attributes kept: the least that a safe conversion costs.
void BM_Baseline(benchmark::State& state) {
    const std::string decodedSize(16384, 'x');
    const fs::path temporary = Folder().output().string() + ".tmp";
    std::string input(velmora::kMaxHexTextLength + 1, '\0');
    for (auto _ : state) {
        const int in = ::open(Folder().input().c_str(), O_RDONLY | O_CLOEXEC);
        benchmark::DoNotOptimize(::read(in, input.data(), input.size()));
        ::close(in);
        const int out = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        benchmark::DoNotOptimize(::write(out, decodedSize.data(), decodedSize.size()));
        ::fsync(out);
        ::close(out);
        ::rename(temporary.c_str(), Folder().output().c_str());
        const int folder = ::open(Folder().output().parent_path().c_str(), O_RDONLY | O_DIRECTORY);
        ::fsync(folder);
        ::close(folder);
    }
}
BENCHMARK(BM_Baseline)->UseRealTime();

// The console's report, then the conversion's time over the baseline's
// (medians where the runs are repeated).
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration || run.aggregate_name == "median") {
                times_[run.run_name.function_name] = run.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        if (times_.contains("BM_ConvertFile") && times_.contains("BM_Baseline")) {
            GetOutputStream() << "BM_ConvertFile / BM_Baseline: " << std::fixed
                              << std::setprecision(2)
                              << times_["BM_ConvertFile"] / times_["BM_Baseline"] << '\n';
        }
    }

  private:
    std::map<std::string, double> times_;
};

} // namespace

int main(int argc, char* argv[]) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
}
