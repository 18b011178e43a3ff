#include "platform/digest.h"

#include <openssl/evp.h>

namespace platform {

Sha1Digest sha1(std::span<const std::uint8_t> bytes)
{
    Sha1Digest out{};
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), out.data(), &length, EVP_sha1(), nullptr);
    return out;
}

Sha1Digest sha1(const std::string &text)
{
    return sha1(std::span(reinterpret_cast<const std::uint8_t *>(text.data()), text.size()));
}

Md5Digest md5(std::span<const std::uint8_t> bytes)
{
    Md5Digest out{};
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), out.data(), &length, EVP_md5(), nullptr);
    return out;
}

std::string toLowerHex(std::span<const std::uint8_t> bytes)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const std::uint8_t b : bytes) {
        out.push_back(hex[b >> 4]);
        out.push_back(hex[b & 15]);
    }
    return out;
}

} // namespace platform
