// The input as an SBK4 bank through the codec road. Leading bytes choose
// how it is opened: byte 0 has a key (0x1), stores the bank in the
// XOR-first order (0x2), brings an inclusion list (0x4), and the open mode
// bits 2D (0x8), software (0x40), stream (0x80) and compressed (0x200)
// from its bits 3 to 6, a list that does not narrow the bank (0x80); then the key's length and bytes, then the list's
// length and entries (signed bytes), then the bank.
#include "codec/aura_codec_sbk.h"
#include "fuzz_codec_road.h"

#include <aura.h>

#include <cstring>
#include <string>

namespace {

constexpr const char AURA_ALLOC_TAG[] = "fuzz/fuzz_codec_sbk";

uint8_t reverseBits(uint8_t b)
{
    b = static_cast<uint8_t>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
    b = static_cast<uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
    return static_cast<uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3 || size > (1u << 20)) {
        return 0;
    }
    size_t at = 0;
    const uint8_t control = data[at++];
    std::string key;
    if (control & 0x1) {
        const size_t length = data[at++] % 40;
        for (size_t i = 0; i < length && at < size; ++i) {
            key.push_back(static_cast<char>(data[at++] ? data[at - 1] : 'k'));
        }
    }
    int list[8] = {};
    int listed = 0;
    if ((control & 0x4) && at < size) {
        listed = data[at++] % 9;
        for (int i = 0; i < listed && at < size; ++i) {
            list[i] = static_cast<int8_t>(data[at++]);
        }
    }
    unsigned int mode = 0;
    const unsigned int modeBits[4] = {AURA_2D, AURA_SOFTWARE, AURA_CREATESTREAM, AURA_CREATECOMPRESSEDSAMPLE};
    for (int i = 0; i < 4; ++i) {
        if (control & (0x8 << i)) {
            mode |= modeBits[i];
        }
    }
    std::vector<uint8_t> bank(data + std::min(at, size), data + size);
    if (!key.empty() && (control & 0x2)) {
        // Stored so that only the XOR-first reading gives the bank back.
        const size_t length = std::min<size_t>(key.size(), AURA::File::KEY_LENGTH);
        for (size_t i = 0; i < bank.size(); ++i) {
            bank[i] = static_cast<uint8_t>(reverseBits(bank[i]) ^ static_cast<uint8_t>(key[i % length]));
        }
    }

    const int64_t before = AURA::gGlobal->mMemPool->getStats().currentBytes[0];
    {
        AURA::Codec *codec = nullptr;
        if (AURA::Codec::create(*AURA::CodecSBK::getDescriptionEx(), nullptr, &codec) != AURA_OK) {
            return 0;
        }
        auto *file = AURA_New(AURA::MemoryFile);
        fuzzroad::require(file != nullptr);
        codec->mFile = file;
        static const uint8_t empty = 0;
        const uint8_t *block = bank.empty() ? &empty : bank.data();
        AURA_CREATESOUNDEXINFO exinfo{};
        exinfo.cbsize = sizeof(exinfo);
        exinfo.encryptionkey = key.empty() ? nullptr : key.c_str();
        exinfo.inclusionlist = listed ? list : nullptr;
        exinfo.inclusionlistnum = listed;
        exinfo.numsubsounds = (control & 0x80) ? 0 : listed; // 0x80: the list does not narrow the bank
        if (file->init(nullptr, 0, 0) == AURA_OK &&
            file->open(reinterpret_cast<const char *>(block), static_cast<unsigned int>(bank.size()), false,
                       exinfo.encryptionkey) == AURA_OK &&
            codec->open(mode, &exinfo) == AURA_OK) {
            const uint8_t *input = bank.empty() ? &empty : bank.data();
            fuzzroad::drain(*codec, input, bank.size(), 0);
            const int subsounds = codec->state()->numsubsounds;
            for (int i = 0; i < subsounds && i < 64; ++i) {
                const unsigned int length = codec->state()->waveformat[i].lengthpcm;
                const uint32_t word = fuzzroad::wordAt(input, bank.size(), 7 * static_cast<size_t>(i) + 3);
                const unsigned int position = length ? word % (length + 2) : word % 1000;
                (void)codec->setPosition(i, position, AURA_TIMEUNIT_PCM);
                fuzzroad::drain(*codec, input, bank.size(), 11 * static_cast<size_t>(i) + 1);
                int syncs = 0;
                auto *sbk = static_cast<AURA::CodecSBK *>(codec);
                if (sbk->getNumSyncPoints(i, &syncs) == AURA_OK) {
                    for (int s = 0; s < syncs && s < 16; ++s) {
                        char name[AURA::CodecSBK::SYNC_NAME_SIZE];
                        unsigned int offset = 0;
                        fuzzroad::require(sbk->getSyncPointData(i, s, name, &offset) == AURA_OK);
                        fuzzroad::require(std::memchr(name, 0, sizeof(name)) != nullptr);
                    }
                }
            }
        }
        (void)codec->release();
    }
    fuzzroad::require(AURA::gGlobal->mMemPool->getStats().currentBytes[0] == before);
    return 0;
}
