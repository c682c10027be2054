#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace platform {

// Incremental SHA-256 over OpenSSL's EVP interface.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(const void* data, std::size_t size);
    void update(std::string_view bytes) { update(bytes.data(), bytes.size()); }
    // 64 lower-case hexadecimal digits; the object cannot be updated afterwards.
    std::string finalHex();

private:
    struct Ctx;
    std::unique_ptr<Ctx> ctx_;
};

// Files are read through a buffer of this size, so memory stays flat whatever the file's size.
inline constexpr std::size_t kSha256FileBufferSize = 64 * 1024;

std::string sha256Hex(std::string_view bytes);

// Throws std::filesystem::filesystem_error naming the path when the file cannot be opened or
// read (a directory fails on the first read).
std::string sha256HexOfFile(const std::string& path);

} // namespace platform
