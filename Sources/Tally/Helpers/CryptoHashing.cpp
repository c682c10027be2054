#include "Tally/Helpers/CryptoHashing.hpp"

#include "Platform/Sha256.hpp"

namespace tally {

std::string CryptoHashing::sha256(std::string_view string, std::string_view salt) {
    std::string bytes;
    bytes.reserve(string.size() + salt.size());
    bytes.append(string).append(salt);
    return platform::sha256Hex(bytes);
}

std::string CryptoHashing::commonCryptoSha256(std::string_view strData) { return platform::sha256Hex(strData); }

} // namespace tally
