// The archive listings read before extraction: any bytes, read as each kind of archive, give a
// size that is not negative, none, or the refusal of a listing that cannot be read.

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
        try {
            const auto expanded = pelkit::Installer::expandedSize(url, format);
            pelfuzz::require(!expanded || *expanded >= 0);
        } catch (const pelkit::PelError& e) {
            pelfuzz::require(format != Format::dmg && e.code() == pelkit::ErrorCode::UNS_ARCHIVE_FORMAT &&
                             e.message().starts_with("cannot read the archive's listing: "));
        }
    }
    return 0;
}
