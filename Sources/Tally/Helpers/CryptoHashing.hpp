#pragma once

#include <string>
#include <string_view>

namespace tally {

// Hashes user identifiers and the application identifier into 64 lower-case hexadecimal characters.
struct CryptoHashing {
    // SHA-256 of the UTF-8 bytes of `string` followed directly by `salt`.
    static std::string sha256(std::string_view string, std::string_view salt);
    // The same digest text over raw bytes.
    static std::string commonCryptoSha256(std::string_view strData);
};

} // namespace tally
