#include "Platform/Sha256.hpp"

#include "Platform/Files.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <vector>

namespace platform {

struct Sha256::Ctx {
    EVP_MD_CTX* md = nullptr;
    ~Ctx() { EVP_MD_CTX_free(md); }
};

Sha256::Sha256() : ctx_(std::make_unique<Ctx>()) {
    ctx_->md = EVP_MD_CTX_new();
    if (ctx_->md == nullptr || EVP_DigestInit_ex(ctx_->md, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 unavailable");
}

Sha256::~Sha256() = default;

void Sha256::update(const void* data, std::size_t size) {
    if (size == 0) return;
    if (EVP_DigestUpdate(ctx_->md, data, size) != 1) throw std::runtime_error("SHA-256 update failed");
}

std::string Sha256::finalHex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx_->md, digest, &length) != 1) throw std::runtime_error("SHA-256 final failed");
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        out.push_back(hex[digest[i] >> 4]);
        out.push_back(hex[digest[i] & 15]);
    }
    return out;
}

std::string sha256Hex(std::string_view bytes) {
    Sha256 h;
    h.update(bytes);
    return h.finalHex();
}

namespace {

struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

} // namespace

std::string sha256HexOfFile(const std::string& path) {
    Fd file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) throw fileError("open", path, errno);
    std::vector<unsigned char> buffer(kSha256FileBufferSize);
    Sha256 h;
    for (;;) {
        ssize_t n = ::read(file.fd, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            throw fileError("read", path, errno);
        }
        if (n == 0) break;
        h.update(buffer.data(), static_cast<std::size_t>(n));
    }
    return h.finalHex();
}

} // namespace platform
