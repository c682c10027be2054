// The archive listings read before extraction: any bytes, read as each kind of archive, give a
// size that is not negative, or none.

#include "FuzzSupport.hpp"
#include "PelKit/Installer.hpp"

#include <cstdio>
#include <filesystem>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "pel-fuzz-archive-XXXXXX").string();
        const int fd = ::mkstemp(pattern.data());
        pelfuzz::require(fd >= 0);
        ::close(fd);
        return pattern;
    }();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    pelfuzz::require(file != nullptr);
    pelfuzz::require(std::fwrite(data, 1, size, file) == size);
    pelfuzz::require(std::fclose(file) == 0);

    using Format = pelkit::Installer::Format;
    const auto url = pelkit::Url::fromFilePath(path);
    for (Format format : {Format::zip, Format::targz, Format::tbz, Format::dmg}) {
        const auto declared = pelkit::Installer::declaredExpandedSize(url, format);
        pelfuzz::require(!declared || *declared >= 0);
    }
    return 0;
}
