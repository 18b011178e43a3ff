// Blowfish decryption of the game's data files. The process-wide instance
// keeps an all-zero state (no key schedule runs), which is what the data
// files were written for.
#ifndef KWEXNET_BLOWFISH_H
#define KWEXNET_BLOWFISH_H

#include <array>
#include <cstddef>
#include <cstdint>

namespace KwexNet {
namespace Encryption {

class Blowfish {
public:
    enum block_cipher_mode_t_ : int {
        kModeECB = 0, // every block on its own
        kModeCBC = 1, // the first 8 input bytes are the initialisation vector
    };
    enum padding_mode_t_ : int {
        kPaddingZero = 0,  // trailing zero bytes of the final block are dropped
        kPaddingPKCS5 = 1, // the final byte counts the bytes to drop (1 to 8)
    };

    static constexpr std::size_t kBlockSize = 8;
    static constexpr std::size_t kRounds = 16;
    static constexpr std::size_t kMaxKeyLength = 56;

    using PArray = std::array<std::uint32_t, kRounds + 2>;
    using SBoxes = std::array<std::array<std::uint32_t, 256>, 4>;

    // The one process-wide instance, built on first use.
    static Blowfish &GetInstance();

    // An all-zero state, like the process-wide instance.
    Blowfish() = default;
    Blowfish(const Blowfish &) = delete;
    Blowfish &operator=(const Blowfish &) = delete;

    // Big-endian halves: left = bytes 0..3, right = bytes 4..7.
    static void bytesToBlock(const unsigned char *bytes, std::uint32_t &left, std::uint32_t &right);
    static void blockToBytes(std::uint32_t left, std::uint32_t right, unsigned char *bytes);

    void decryptBlock(std::uint32_t &left, std::uint32_t &right) const;

    // Decrypts a whole message into `output`, which needs room for
    // `inputLength` bytes and may be the input buffer itself (but must not
    // overlap it otherwise). `outputLength` is set to the plaintext bytes
    // written.
    //
    // Returns false, with `outputLength` 0 and nothing written, for:
    //   - a length that is not a multiple of 8 (also reported on stderr);
    //   - a mode or padding other than the enumerators above, null buffers;
    //   - no final block: an empty input, or a CBC input of only the vector;
    //   - PKCS#5 padding whose final byte is 0 or greater than 8.
    [[nodiscard]] bool decryptBytes(const unsigned char *input, unsigned long inputLength,
                                    unsigned char *output, unsigned long &outputLength,
                                    block_cipher_mode_t_ mode, padding_mode_t_ padding) const;

    // For tests only: installs the state that the standard key schedule
    // derives from `key` (1 to 56 bytes) and the given initial P-array and
    // S-boxes, so that published test vectors can be checked. False, with the
    // state unchanged, for a bad key length.
    bool setKeyForTesting(const PArray &initialP, const SBoxes &initialS, const unsigned char *key,
                          std::size_t keyLength);

private:
    [[nodiscard]] std::uint32_t F(std::uint32_t x) const;
    void encryptBlock(std::uint32_t &left, std::uint32_t &right) const;
    // One 8-byte block; `previous` (the preceding ciphertext block in CBC
    // mode, else null) is combined into the result.
    void decryptBlockBytes(const unsigned char *block, const unsigned char *previous,
                           unsigned char *plain) const;

    // 256 P slots of which the first 18 are used, then the four S-boxes.
    std::array<std::uint32_t, 256> mP{};
    SBoxes mS{};
};

} // namespace Encryption
} // namespace KwexNet

#endif // KWEXNET_BLOWFISH_H
