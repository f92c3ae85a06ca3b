#include "native_file.h"
#include "velmora/text_file.h"

namespace velmora {

std::string ReadTextFile(const std::filesystem::path& path) {
    native::NativeFile file = native::NativeFile::OpenForReading(path);
    std::string content = file.ReadAll();
    file.Close();
    return content;
}

} // namespace velmora
