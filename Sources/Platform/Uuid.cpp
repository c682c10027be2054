#include "Platform/Uuid.hpp"

#include <openssl/rand.h>

#include <array>
#include <stdexcept>

namespace platform {

std::string uuidV4() {
    std::array<unsigned char, 16> b{};
    if (RAND_bytes(b.data(), static_cast<int>(b.size())) != 1) throw std::runtime_error("random bytes unavailable");
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    out.reserve(36);
    for (size_t i = 0; i < b.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
        out.push_back(hex[b[i] >> 4]);
        out.push_back(hex[b[i] & 15]);
    }
    return out;
}

}  // namespace platform
