// Message digests, through OpenSSL's libcrypto.
#ifndef PLATFORM_DIGEST_H
#define PLATFORM_DIGEST_H

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace platform {

using Sha1Digest = std::array<std::uint8_t, 20>;
using Md5Digest = std::array<std::uint8_t, 16>;

[[nodiscard]] Sha1Digest sha1(std::span<const std::uint8_t> bytes);
[[nodiscard]] Sha1Digest sha1(const std::string &text);
[[nodiscard]] Md5Digest md5(std::span<const std::uint8_t> bytes);
// Two lower-case hexadecimal digits a byte.
[[nodiscard]] std::string toLowerHex(std::span<const std::uint8_t> bytes);

} // namespace platform

#endif // PLATFORM_DIGEST_H
