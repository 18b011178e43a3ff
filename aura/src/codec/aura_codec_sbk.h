// SBK4 sample banks: one file of many sounds, each with its own header and
// its data packed behind the headers; every sound is a subsound. PCM (8,
// 16-bit, float) is handed out as stored (sign and byte order repaired),
// IMA ADPCM decoded block by block or, for compressed samples, kept as it
// is. Banks with a hash share their raw header block through a process-wide
// cache.
#ifndef AURA_CODEC_SBK_H
#define AURA_CODEC_SBK_H

#include "codec/aura_codec.h"

#include <cstdint>

namespace AURA {

class CodecMPEG;

// The registry record of CodecSBK: empty until getDescriptionEx fills it.
extern AURA_CODEC_DESCRIPTION_EX sbkcodec;

class CodecSBK : public Codec {
public:
    static constexpr int MAIN_HEADER_SIZE = 48;
    static constexpr int SAMPLE_HEADER_SIZE = 80;
    static constexpr int BASIC_HEADER_SIZE = 8;
    static constexpr int SYNC_NAME_SIZE = 256;
    static constexpr int MAX_CHANNELS = 16;
    static constexpr unsigned int IMA_BLOCK_BYTES = 36; // per channel
    static constexpr unsigned int IMA_BLOCK_SAMPLES = 64;

    // Bank flags.
    static constexpr uint32_t BANK_REFUSED = 0x1;
    static constexpr uint32_t BANK_BASICHEADERS = 0x2;
    static constexpr uint32_t BANK_BIGENDIAN = 0x8;
    static constexpr uint32_t BANK_OUTPUTFORMAT = 0x10;
    static constexpr uint32_t BANK_MPEGPAD2 = 0x20; // layer III frames padded to 2 bytes
    static constexpr uint32_t BANK_MPEGPAD4 = 0x40; // ... to 4 bytes (without 0x20)
    // Sample flags.
    static constexpr uint32_t SAMPLE_LOOP_NORMAL = 0x2;
    static constexpr uint32_t SAMPLE_LOOP_BIDI = 0x4;
    static constexpr uint32_t SAMPLE_8BITS = 0x8;
    static constexpr uint32_t SAMPLE_16BITS = 0x10;
    static constexpr uint32_t SAMPLE_MPEG = 0x200;
    static constexpr uint32_t SAMPLE_SYNCNONAMES = 0x4000;
    static constexpr uint32_t SAMPLE_FLOAT = 0x200000;
    static constexpr uint32_t SAMPLE_IMAADPCM = 0x400000;
    static constexpr uint32_t SAMPLE_REFUSED = 0x800000 | 0x1000000 | 0x2000000 | 0x8000000;
    static constexpr uint32_t SAMPLE_IMASTEREO = 0x20000000;
    static constexpr uint32_t SAMPLE_SYNCBLOCK = 0x80000000u;

    // One sample's header as this codec uses it: the stored values with the
    // variation and distance rules applied (a copy of its own; the cached
    // raw block is never written).
    struct Sample {
        char name[31];
        uint32_t lengthpcm;
        uint32_t lengthbytes;
        uint32_t loopstart;
        uint32_t loopend;
        uint32_t flags;
        int32_t frequency;
        uint16_t volume;
        int16_t pan;
        uint16_t priority;
        uint16_t channels;
        float mindistance;
        float maxdistance;
        int32_t frequencyvariation;
        uint16_t volumevariation; // x 4, saturated
        int16_t panvariation; // x 4, saturated
        uint32_t dataoffset; // in the file
        const uint8_t *sync; // its "SYNC" block in the header block, or null
        uint32_t syncbytes; // what the header holds after its 80 bytes
        bool cut; // the file holds less of its data than the header declares
    };

    static AURA_CODEC_DESCRIPTION_EX *getDescriptionEx();

    AURA_RESULT openInternal(unsigned int mode, AURA_CREATESOUNDEXINFO *exinfo);
    AURA_RESULT closeInternal();
    AURA_RESULT readInternal(void *buffer, unsigned int sizebytes, unsigned int *bytesread);
    AURA_RESULT setPositionInternal(int subsound, unsigned int position, unsigned int postype);
    AURA_RESULT soundCreateInternal(int subsound, AURA_SOUND *sound);
    AURA_RESULT canPointInternal();
    [[nodiscard]] bool dataCut(int subsound) const override;

    [[nodiscard]] AURA_RESULT getNumSyncPoints(int subsound, int *count) const;
    // The name (null for banks whose entries carry none) and offset of a
    // sync point; names are cut to 255 bytes and terminated.
    [[nodiscard]] AURA_RESULT getSyncPointData(int subsound, int index, char *name, unsigned int *offset) const;
    [[nodiscard]] const Sample *sample(int subsound) const;
    // Whether IMA ADPCM blocks of this subsound hold two channels in the
    // WAV layout (else in 2-byte units, channel after channel).
    [[nodiscard]] bool imaStereoLayout(int subsound) const;
    // Live cache entries (for tests of the cache's lifetime).
    [[nodiscard]] static int cacheEntries();

    uint8_t mHeader[MAIN_HEADER_SIZE] = {};
    uint32_t mBankFlags = 0;
    int mNumSubSounds = 0;
    Sample *mSamples = nullptr;
    const uint8_t *mHeaderBlock = nullptr; // the raw sample headers
    uint8_t *mOwnHeaderBlock = nullptr; // when no cache entry holds them
    void *mCacheEntry = nullptr;
    int mCurrentSubsound = 0;
    int mMaxChannels = 0;
    unsigned int mOpenMode = 0;
    bool mADPCMCompressed = false; // compressed data (IMA ADPCM, MPEG) stays as stored
    CodecMPEG *mMPEG = nullptr; // decodes MPEG subsounds unless they stay compressed
    int mMPEGSubsound = -1; // the subsound mMPEG is set to
    unsigned int mMPEGFlags = 0; // how the bank's MPEG frames are laid out (codec flags of a decoder)

private:
    [[nodiscard]] AURA_RESULT readHeaderBlock(uint32_t size, uint32_t filesize);
    [[nodiscard]] AURA_RESULT walkHeaders(int numsamples, const AURA_CREATESOUNDEXINFO *exinfo);
    [[nodiscard]] AURA_RESULT describe(int index, AURA_CODEC_WAVEFORMAT *wf) const;
    [[nodiscard]] AURA_RESULT decodeIMABlock(const Sample &s, uint8_t *in, short *out) const;
    [[nodiscard]] int outputChannels(const Sample &s) const;
    [[nodiscard]] AURA_RESULT readMPEG(const Sample &s, void *buffer, unsigned int sizebytes, unsigned int *bytesread);
    // Widens `got` bytes of `channels` in place to `outChannels`; the bytes it then holds.
    static unsigned int widen(void *buffer, unsigned int got, unsigned int width, unsigned int channels,
                              unsigned int outChannels);
};

} // namespace AURA

#endif // AURA_CODEC_SBK_H
