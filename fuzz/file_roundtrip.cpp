// Arbitrary bytes written with WriteTextFile and read back with ReadTextFile
// must come back unchanged, replacing the previous content each time and
// leaving no other file behind.

#include "velmora/text_file.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

const fs::path& Folder() {
    static const fs::path folder = [] {
        fs::path path = fs::temp_directory_path() / ("velmora-fuzz-" + std::to_string(::getpid()));
        fs::create_directories(path);
        std::atexit([] { fs::remove_all(Folder()); });
        return path;
    }();
    return folder;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const fs::path file = Folder() / "file.bin";

    velmora::WriteTextFile(bytes, file);
    if (velmora::ReadTextFile(file) != bytes || fs::file_size(file) != size) {
        std::abort();
    }
    if (std::distance(fs::directory_iterator(Folder()), fs::directory_iterator()) != 1) {
        std::abort(); // a temporary file was left behind
    }
    return 0;
}
