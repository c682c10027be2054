// The overrides loader: any file gives a store, a decoding error or a PelError.

#include "FuzzSupport.hpp"
#include "PelKit/Config.hpp"
#include "Platform/Json.hpp"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace {

// One file per process in the temporary folder, removed at exit.
struct InputFile {
    std::filesystem::path path = std::filesystem::temp_directory_path() /
                                 ("pel-fuzz-overrides-" + std::to_string(::getpid()) + ".json");
    ~InputFile() {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const InputFile file;
    const std::string path = file.path.string();
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    try {
        pelkit::Overrides::load(pelkit::Url::fromFilePath(path));
    } catch (const platform::JsonDecodeError&) {
    } catch (const pelkit::PelError&) {
    }
    return 0;
}
