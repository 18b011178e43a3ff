// The Blowfish decryptor: the all-zero state the game runs with, checked
// against OpenSSL's libcrypto as a black box, and a keyed state (standard
// key schedule over initial tables made here from the digits of pi) checked
// against published vectors.
#include "kwexnet/blowfish.h"

#include <gtest/gtest.h>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <openssl/blowfish.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

using KwexNet::Encryption::Blowfish;
using Bytes = std::vector<unsigned char>;

constexpr auto kECB = Blowfish::kModeECB;
constexpr auto kCBC = Blowfish::kModeCBC;
constexpr auto kZero = Blowfish::kPaddingZero;
constexpr auto kPKCS5 = Blowfish::kPaddingPKCS5;

Bytes fromHex(const std::string &hex)
{
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

Bytes randomBytes(std::mt19937 &rng, std::size_t n)
{
    Bytes out(n);
    for (auto &b : out) {
        b = static_cast<unsigned char>(rng());
    }
    return out;
}

struct Result {
    bool ok;
    Bytes plain;
};

Result decrypt(const Blowfish &bf, const Bytes &in, Blowfish::block_cipher_mode_t_ mode,
               Blowfish::padding_mode_t_ padding)
{
    // Exactly sized heap copies, so AddressSanitizer sees any stray access.
    auto input = std::make_unique<unsigned char[]>(in.size() + 1);
    std::memcpy(input.get(), in.data(), in.size());
    auto output = std::make_unique<unsigned char[]>(in.size() + 1);
    unsigned long length = 12345;
    const bool ok = bf.decryptBytes(input.get(), in.size(), output.get(), length, mode, padding);
    EXPECT_LE(length, in.size());
    return {ok, Bytes(output.get(), output.get() + length)};
}

// The fractional hexadecimal digits of pi, 32 bits at a time, from Machin's
// formula pi = 16 atan(1/5) - 4 atan(1/239) in fixed point (word 0 is the
// integer part, the rest big-endian fraction words).
std::vector<std::uint32_t> piFractionWords(std::size_t count)
{
    const std::size_t words = count + 4; // guard words absorb truncation
    using Fixed = std::vector<std::uint32_t>;
    auto divide = [](Fixed &x, std::uint32_t d) {
        std::uint64_t rem = 0;
        for (auto &w : x) {
            const std::uint64_t cur = (rem << 32) | w;
            w = static_cast<std::uint32_t>(cur / d);
            rem = cur % d;
        }
    };
    auto addTo = [](Fixed &x, const Fixed &y, bool subtract) {
        std::int64_t carry = 0;
        for (std::size_t i = x.size(); i-- > 0;) {
            std::int64_t v = std::int64_t{x[i]} + (subtract ? -std::int64_t{y[i]} : std::int64_t{y[i]}) + carry;
            carry = 0;
            if (v < 0) {
                v += std::int64_t{1} << 32;
                carry = -1;
            } else if (v >= (std::int64_t{1} << 32)) {
                v -= std::int64_t{1} << 32;
                carry = 1;
            }
            x[i] = static_cast<std::uint32_t>(v);
        }
    };
    auto isZero = [](const Fixed &x) {
        for (auto w : x) {
            if (w) {
                return false;
            }
        }
        return true;
    };
    auto atanInverse = [&](std::uint32_t n) {
        Fixed sum(words + 1, 0);
        Fixed power(words + 1, 0);
        power[0] = 1;
        divide(power, n);
        sum = power;
        for (std::uint32_t k = 1;; ++k) {
            divide(power, n * n);
            Fixed term = power;
            divide(term, 2 * k + 1);
            if (isZero(term)) {
                break;
            }
            addTo(sum, term, k % 2 == 1);
        }
        return sum;
    };
    auto multiply = [](Fixed x, std::uint32_t m) {
        std::uint64_t carry = 0;
        for (std::size_t i = x.size(); i-- > 0;) {
            const std::uint64_t v = std::uint64_t{x[i]} * m + carry;
            x[i] = static_cast<std::uint32_t>(v);
            carry = v >> 32;
        }
        return x;
    };
    Fixed pi = multiply(atanInverse(5), 16);
    addTo(pi, multiply(atanInverse(239), 4), true);
    EXPECT_EQ(pi[0], 3u);
    return Fixed(pi.begin() + 1, pi.begin() + 1 + static_cast<std::ptrdiff_t>(count));
}

void keyFromPi(Blowfish &bf, const Bytes &key)
{
    static const auto digits = piFractionWords(18 + 4 * 256);
    Blowfish::PArray p{};
    Blowfish::SBoxes s{};
    std::copy(digits.begin(), digits.begin() + 18, p.begin());
    for (std::size_t box = 0; box < 4; ++box) {
        std::copy(digits.begin() + 18 + static_cast<std::ptrdiff_t>(box * 256),
                  digits.begin() + 18 + static_cast<std::ptrdiff_t>((box + 1) * 256), s[box].begin());
    }
    // The widely quoted first and last table entries.
    ASSERT_EQ(p[0], 0x243F6A88u);
    ASSERT_EQ(p[17], 0x8979FB1Bu);
    ASSERT_EQ(s[0][0], 0xD1310BA6u);
    ASSERT_EQ(s[3][255], 0x3AC372E6u);
    ASSERT_TRUE(bf.setKeyForTesting(p, s, key.data(), key.size()));
}

TEST(BlowfishZeroState, ABlockDecryptsToItsHalvesExchanged)
{
    const Blowfish &bf = Blowfish::GetInstance();
    EXPECT_EQ(&bf, &Blowfish::GetInstance());
    std::uint32_t l = 0;
    std::uint32_t r = 0;
    const Bytes block = fromHex("0102030405060708");
    Blowfish::bytesToBlock(block.data(), l, r);
    EXPECT_EQ(l, 0x01020304u);
    EXPECT_EQ(r, 0x05060708u);
    bf.decryptBlock(l, r);
    unsigned char out[8];
    Blowfish::blockToBytes(l, r, out);
    EXPECT_EQ(Bytes(out, out + 8), fromHex("0506070801020304"));

    const auto whole = decrypt(bf, block, kECB, kZero);
    EXPECT_TRUE(whole.ok);
    EXPECT_EQ(whole.plain, fromHex("0506070801020304"));
}

TEST(BlowfishZeroState, PaddingIsDroppedFromTheFinalBlock)
{
    const Blowfish &bf = Blowfish::GetInstance();
    // Plaintext last byte = ciphertext byte 3 under the zero state.
    const auto allPadding = decrypt(bf, fromHex("0000000800000000"), kECB, kPKCS5);
    EXPECT_TRUE(allPadding.ok);
    EXPECT_TRUE(allPadding.plain.empty());

    const auto three = decrypt(bf, fromHex("AA000003BBCCDDEE" "44000003CCCCCCCC"), kECB, kPKCS5);
    EXPECT_TRUE(three.ok);
    EXPECT_EQ(three.plain, fromHex("BBCCDDEEAA000003" "CCCCCCCC44"));

    const auto zeros = decrypt(bf, fromHex("0000000077000000"), kECB, kZero);
    EXPECT_TRUE(zeros.ok);
    EXPECT_EQ(zeros.plain, fromHex("77"));
    const auto allZero = decrypt(bf, Bytes(8, 0), kECB, kZero);
    EXPECT_TRUE(allZero.ok);
    EXPECT_TRUE(allZero.plain.empty());
}

TEST(BlowfishZeroState, CbcSkipsTheVectorAndChainsBlocks)
{
    const Blowfish &bf = Blowfish::GetInstance();
    // Vector, C1, C2. P1 = swap(C1) ^ vector; P2 = swap(C2) ^ C1, whose last
    // byte 0x0B ^ 0x08 = 3 is the padding count.
    const Bytes in = fromHex("1111111122222222" "0102030405060708" "A0A0A00BB0B0B0B0");
    const auto out = decrypt(bf, in, kCBC, kPKCS5);
    EXPECT_TRUE(out.ok);
    EXPECT_EQ(out.plain, fromHex("1417161923202126" "B1B2B3B4A5"));

    const auto unpadded = decrypt(bf, in, kCBC, kZero);
    EXPECT_TRUE(unpadded.ok);
    EXPECT_EQ(unpadded.plain, fromHex("1417161923202126" "B1B2B3B4A5A6A703"));
}

TEST(BlowfishZeroState, DecryptingInPlaceEqualsSeparateBuffers)
{
    const Blowfish &bf = Blowfish::GetInstance();
    std::mt19937 rng(7);
    for (auto mode : {kECB, kCBC}) {
        for (auto padding : {kZero, kPKCS5}) {
            for (int trial = 0; trial < 50; ++trial) {
                Bytes in = randomBytes(rng, 8 * (2 + rng() % 8));
                // A valid count in the final plaintext byte: under the zero
                // state it is ciphertext byte 3 of the block, ^ the previous
                // block's byte 7 in CBC mode.
                const std::size_t last = in.size() - 8;
                in[last + 3] = static_cast<unsigned char>((1 + rng() % 8) ^ (mode == kCBC ? in[last - 1] : 0));
                const auto separate = decrypt(bf, in, mode, padding);
                ASSERT_TRUE(separate.ok);
                Bytes buffer = in;
                unsigned long length = 0;
                ASSERT_TRUE(bf.decryptBytes(buffer.data(), buffer.size(), buffer.data(), length, mode, padding));
                EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(length)),
                          separate.plain);
            }
        }
    }
}

TEST(BlowfishRejects, BadLengthIsReportedOnStandardError)
{
    const Blowfish &bf = Blowfish::GetInstance();
    for (std::size_t n : {1u, 7u, 12u, 17u}) {
        Bytes in(n, 0x41);
        Bytes out(n, 0x5A);
        unsigned long length = 99;
        testing::internal::CaptureStderr();
        EXPECT_FALSE(bf.decryptBytes(in.data(), n, out.data(), length, kCBC, kPKCS5));
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "Unable to decode.  Ciphertext length must be a multiple of 8-bytes!\n");
        EXPECT_EQ(length, 0u);
        EXPECT_EQ(out, Bytes(n, 0x5A));
    }
}

TEST(BlowfishRejects, BadPaddingModesAndMissingBlocksLeaveTheOutputAlone)
{
    const Blowfish &bf = Blowfish::GetInstance();
    struct Case {
        const char *what;
        Bytes in;
        int mode;
        int padding;
    };
    const Case cases[] = {
        {"padding count 0", fromHex("1111110000000000"), kECB, kPKCS5},
        {"padding count 9", fromHex("1111111900000000" "1111110900000000"), kECB, kPKCS5},
        {"padding count 255", fromHex("000000FF00000000"), kECB, kPKCS5},
        {"CBC count 9", fromHex("0000000000000000" "1111110900000000"), kCBC, kPKCS5},
        {"padding mode 2", fromHex("0000000100000000"), kECB, 2},
        {"padding mode -1", fromHex("0000000100000000"), kECB, -1},
        {"block mode 2", fromHex("0000000100000000"), 2, kPKCS5},
        {"CBC vector only", fromHex("0000000100000000"), kCBC, kZero},
        {"empty ECB", Bytes{}, kECB, kZero},
        {"empty CBC", Bytes{}, kCBC, kPKCS5},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        // In place, so a write before the refusal would show in the buffer.
        Bytes buffer = c.in;
        buffer.push_back(0);
        unsigned long length = 99;
        testing::internal::CaptureStderr();
        EXPECT_FALSE(bf.decryptBytes(buffer.data(), c.in.size(), buffer.data(), length,
                                     static_cast<Blowfish::block_cipher_mode_t_>(c.mode),
                                     static_cast<Blowfish::padding_mode_t_>(c.padding)));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(length, 0u);
        EXPECT_EQ(Bytes(buffer.begin(), buffer.end() - 1), c.in);
    }
    unsigned long length = 99;
    unsigned char out[8];
    EXPECT_FALSE(bf.decryptBytes(nullptr, 8, out, length, kECB, kZero));
    EXPECT_EQ(length, 0u);
    const unsigned char in[8] = {};
    EXPECT_FALSE(bf.decryptBytes(in, 8, nullptr, length, kECB, kZero));
}

// OpenSSL's decryption followed by the padding rules: nullopt when the
// final block's count is refused.
std::optional<Bytes> referenceDecrypt(const BF_KEY &key, const Bytes &in, Blowfish::block_cipher_mode_t_ mode,
                                      Blowfish::padding_mode_t_ padding)
{
    Bytes raw;
    if (mode == kECB) {
        raw.resize(in.size());
        for (std::size_t i = 0; i < in.size(); i += 8) {
            BF_ecb_encrypt(in.data() + i, raw.data() + i, &key, BF_DECRYPT);
        }
    } else {
        raw.resize(in.size() - 8);
        unsigned char iv[8];
        std::memcpy(iv, in.data(), 8);
        BF_cbc_encrypt(in.data() + 8, raw.data(), static_cast<long>(raw.size()), &key, iv, BF_DECRYPT);
    }
    if (padding == kPKCS5) {
        const unsigned count = raw.back();
        if (count == 0 || count > 8) {
            return std::nullopt;
        }
        raw.resize(raw.size() - count);
    } else {
        const std::size_t floor = raw.size() - 8;
        while (raw.size() > floor && raw.back() == 0) {
            raw.pop_back();
        }
    }
    return raw;
}

// Random plaintext of any length, PKCS#5-padded and encrypted by OpenSSL.
Bytes referenceEncrypt(const BF_KEY &key, std::mt19937 &rng, Blowfish::block_cipher_mode_t_ mode, Bytes &plain)
{
    plain = randomBytes(rng, rng() % 70);
    Bytes padded = plain;
    const std::size_t count = 8 - plain.size() % 8;
    padded.insert(padded.end(), count, static_cast<unsigned char>(count));
    Bytes out;
    if (mode == kECB) {
        out.resize(padded.size());
        for (std::size_t i = 0; i < padded.size(); i += 8) {
            BF_ecb_encrypt(padded.data() + i, out.data() + i, &key, BF_ENCRYPT);
        }
    } else {
        out = randomBytes(rng, 8);
        unsigned char iv[8];
        std::memcpy(iv, out.data(), 8);
        out.resize(8 + padded.size());
        BF_cbc_encrypt(padded.data(), out.data() + 8, static_cast<long>(padded.size()), &key, iv, BF_ENCRYPT);
    }
    return out;
}

TEST(BlowfishZeroState, MatchesOpenSslWithAZeroedKey)
{
    BF_KEY key;
    std::memset(&key, 0, sizeof key);
    const Blowfish &bf = Blowfish::GetInstance();
    std::mt19937 rng(2024);
    int accepted = 0;
    int refused = 0;
    for (auto mode : {kECB, kCBC}) {
        for (auto padding : {kZero, kPKCS5}) {
            for (int trial = 0; trial < 200; ++trial) {
                const Bytes in = randomBytes(rng, 8 * ((mode == kCBC ? 2 : 1) + rng() % 12));
                const auto expected = referenceDecrypt(key, in, mode, padding);
                const auto got = decrypt(bf, in, mode, padding);
                ASSERT_EQ(got.ok, expected.has_value());
                if (expected) {
                    ASSERT_EQ(got.plain, *expected);
                    ++accepted;
                } else {
                    EXPECT_TRUE(got.plain.empty());
                    ++refused;
                }
            }
            for (int trial = 0; trial < 100; ++trial) {
                Bytes plain;
                const Bytes in = referenceEncrypt(key, rng, mode, plain);
                const auto got = decrypt(bf, in, mode, kPKCS5);
                ASSERT_TRUE(got.ok);
                ASSERT_EQ(got.plain, plain);
            }
        }
    }
    // Random final bytes are mostly no valid count: both roads were taken.
    EXPECT_GT(accepted, 400);
    EXPECT_GT(refused, 100);
}

TEST(BlowfishKeyed, PublishedVectorsDecrypt)
{
    struct Vector {
        const char *key;
        const char *cipher;
        const char *plain;
    };
    const Vector vectors[] = {
        {"0000000000000000", "4EF997456198DD78", "0000000000000000"},
        {"FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A", "FFFFFFFFFFFFFFFF"},
        {"3000000000000000", "7D856F9A613063F2", "1000000000000001"},
    };
    for (const auto &v : vectors) {
        SCOPED_TRACE(v.key);
        Blowfish bf;
        keyFromPi(bf, fromHex(v.key));
        const auto out = decrypt(bf, fromHex(v.cipher), kECB, kZero);
        ASSERT_TRUE(out.ok);
        Bytes plain = fromHex(v.plain);
        while (!plain.empty() && plain.back() == 0) {
            plain.pop_back(); // zero padding drops trailing zero bytes
        }
        EXPECT_EQ(out.plain, plain);

        std::uint32_t l = 0;
        std::uint32_t r = 0;
        const Bytes cipher = fromHex(v.cipher);
        Blowfish::bytesToBlock(cipher.data(), l, r);
        bf.decryptBlock(l, r);
        unsigned char block[8];
        Blowfish::blockToBytes(l, r, block);
        EXPECT_EQ(Bytes(block, block + 8), fromHex(v.plain));
    }
    // The process-wide instance is not touched by keyed instances.
    std::uint32_t l = 1;
    std::uint32_t r = 2;
    Blowfish::GetInstance().decryptBlock(l, r);
    EXPECT_EQ(l, 2u);
    EXPECT_EQ(r, 1u);
}

TEST(BlowfishKeyed, RoundTripsOpenSslWithRandomKeys)
{
    std::mt19937 rng(99);
    for (int trial = 0; trial < 12; ++trial) {
        const Bytes keyBytes = randomBytes(rng, 1 + rng() % Blowfish::kMaxKeyLength);
        BF_KEY key;
        BF_set_key(&key, static_cast<int>(keyBytes.size()), keyBytes.data());
        Blowfish bf;
        keyFromPi(bf, keyBytes);
        for (auto mode : {kECB, kCBC}) {
            for (int message = 0; message < 10; ++message) {
                Bytes plain;
                const Bytes in = referenceEncrypt(key, rng, mode, plain);
                const auto got = decrypt(bf, in, mode, kPKCS5);
                ASSERT_TRUE(got.ok);
                ASSERT_EQ(got.plain, plain);
                const auto raw = decrypt(bf, in, mode, kZero);
                ASSERT_EQ(raw.plain, *referenceDecrypt(key, in, mode, kZero));
            }
        }
    }
}

TEST(BlowfishKeyed, KeyLengthIsChecked)
{
    Blowfish bf;
    const Blowfish::PArray p{};
    const Blowfish::SBoxes s{};
    const Bytes tooLong(Blowfish::kMaxKeyLength + 1, 1);
    EXPECT_FALSE(bf.setKeyForTesting(p, s, tooLong.data(), tooLong.size()));
    EXPECT_FALSE(bf.setKeyForTesting(p, s, tooLong.data(), 0));
    EXPECT_FALSE(bf.setKeyForTesting(p, s, nullptr, 8));
    // Still the zero state.
    std::uint32_t l = 1;
    std::uint32_t r = 2;
    bf.decryptBlock(l, r);
    EXPECT_EQ(l, 2u);
    EXPECT_EQ(r, 1u);
}

} // namespace
#pragma GCC diagnostic pop
