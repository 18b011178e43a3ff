#include "kwexnet/blowfish.h"

#include <cstdio>
#include <cstring>
#include <utility>

namespace KwexNet {
namespace Encryption {

Blowfish &Blowfish::GetInstance()
{
    static Blowfish instance;
    return instance;
}

void Blowfish::bytesToBlock(const unsigned char *bytes, std::uint32_t &left, std::uint32_t &right)
{
    left = (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
           (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
    right = (std::uint32_t{bytes[4]} << 24) | (std::uint32_t{bytes[5]} << 16) |
            (std::uint32_t{bytes[6]} << 8) | std::uint32_t{bytes[7]};
}

void Blowfish::blockToBytes(std::uint32_t left, std::uint32_t right, unsigned char *bytes)
{
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<unsigned char>(left >> (24 - 8 * i));
        bytes[4 + i] = static_cast<unsigned char>(right >> (24 - 8 * i));
    }
}

std::uint32_t Blowfish::F(std::uint32_t x) const
{
    return ((mS[0][x >> 24] + mS[1][(x >> 16) & 0xff]) ^ mS[2][(x >> 8) & 0xff]) + mS[3][x & 0xff];
}

void Blowfish::decryptBlock(std::uint32_t &left, std::uint32_t &right) const
{
    std::uint32_t l = left;
    std::uint32_t r = right;
    for (std::size_t i = kRounds + 1; i >= 2; --i) {
        l ^= mP[i];
        r ^= F(l);
        std::swap(l, r);
    }
    std::swap(l, r);
    r ^= mP[1];
    l ^= mP[0];
    left = l;
    right = r;
}

void Blowfish::encryptBlock(std::uint32_t &left, std::uint32_t &right) const
{
    std::uint32_t l = left;
    std::uint32_t r = right;
    for (std::size_t i = 0; i < kRounds; ++i) {
        l ^= mP[i];
        r ^= F(l);
        std::swap(l, r);
    }
    std::swap(l, r);
    r ^= mP[kRounds];
    l ^= mP[kRounds + 1];
    left = l;
    right = r;
}

void Blowfish::decryptBlockBytes(const unsigned char *block, const unsigned char *previous,
                                 unsigned char *plain) const
{
    std::uint32_t l = 0;
    std::uint32_t r = 0;
    bytesToBlock(block, l, r);
    decryptBlock(l, r);
    blockToBytes(l, r, plain);
    if (previous) {
        for (std::size_t i = 0; i < kBlockSize; ++i) {
            plain[i] ^= previous[i];
        }
    }
}

bool Blowfish::decryptBytes(const unsigned char *input, unsigned long inputLength,
                            unsigned char *output, unsigned long &outputLength,
                            block_cipher_mode_t_ mode, padding_mode_t_ padding) const
{
    outputLength = 0;
    if (inputLength % kBlockSize != 0) {
        std::fputs("Unable to decode.  Ciphertext length must be a multiple of 8-bytes!\n", stderr);
        return false;
    }
    if ((mode != kModeECB && mode != kModeCBC) ||
        (padding != kPaddingZero && padding != kPaddingPKCS5) || !input || !output) {
        return false;
    }
    const unsigned long start = mode == kModeCBC ? kBlockSize : 0;
    if (inputLength < start + kBlockSize) {
        return false;
    }
    const unsigned long blocks = (inputLength - start) / kBlockSize;

    // The final block first, so that bad padding is refused before the
    // output (possibly the input itself) is touched.
    const unsigned char *last = input + inputLength - kBlockSize;
    unsigned char finalPlain[kBlockSize];
    decryptBlockBytes(last, mode == kModeCBC ? last - kBlockSize : nullptr, finalPlain);
    unsigned long keep = kBlockSize;
    if (padding == kPaddingPKCS5) {
        const unsigned pad = finalPlain[kBlockSize - 1];
        if (pad == 0 || pad > kBlockSize) {
            return false;
        }
        keep = kBlockSize - pad;
    } else {
        while (keep > 0 && finalPlain[keep - 1] == 0) {
            --keep;
        }
    }

    // In place, output block b overwrites input block b - 1 (CBC) or b
    // (ECB), which has been read and kept by then.
    unsigned char previous[kBlockSize];
    if (mode == kModeCBC) {
        std::memcpy(previous, input, kBlockSize);
    }
    for (unsigned long b = 0; b + 1 < blocks; ++b) {
        unsigned char cipher[kBlockSize];
        unsigned char plain[kBlockSize];
        std::memcpy(cipher, input + start + b * kBlockSize, kBlockSize);
        decryptBlockBytes(cipher, mode == kModeCBC ? previous : nullptr, plain);
        if (mode == kModeCBC) {
            std::memcpy(previous, cipher, kBlockSize);
        }
        std::memcpy(output + b * kBlockSize, plain, kBlockSize);
    }
    std::memcpy(output + (blocks - 1) * kBlockSize, finalPlain, keep);
    outputLength = (blocks - 1) * kBlockSize + keep;
    return true;
}

bool Blowfish::setKeyForTesting(const PArray &initialP, const SBoxes &initialS,
                                const unsigned char *key, std::size_t keyLength)
{
    if (!key || keyLength == 0 || keyLength > kMaxKeyLength) {
        return false;
    }
    mP.fill(0);
    std::size_t k = 0;
    for (std::size_t i = 0; i < initialP.size(); ++i) {
        std::uint32_t word = 0;
        for (int j = 0; j < 4; ++j) {
            word = (word << 8) | key[k];
            k = (k + 1) % keyLength;
        }
        mP[i] = initialP[i] ^ word;
    }
    mS = initialS;
    std::uint32_t l = 0;
    std::uint32_t r = 0;
    for (std::size_t i = 0; i < initialP.size(); i += 2) {
        encryptBlock(l, r);
        mP[i] = l;
        mP[i + 1] = r;
    }
    for (auto &box : mS) {
        for (std::size_t i = 0; i < box.size(); i += 2) {
            encryptBlock(l, r);
            box[i] = l;
            box[i + 1] = r;
        }
    }
    return true;
}

} // namespace Encryption
} // namespace KwexNet
