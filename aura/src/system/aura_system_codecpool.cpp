// The system's pools of decoding units for compressed samples.
#include "system/aura_systemi.h"

#include "base/aura_memory.h"
#include "codec/aura_codec_raw.h"
#include "codec/aura_codec_sbk.h"
#include "codec/wav/aura_codec_wav.h"
#include "sound/aura_sample.h"
#include "voice/aura_dsp_codec.h"

#include <algorithm>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_dsp_codecpool";
constexpr int DEFAULT_ADPCM_CODECS = 32;
constexpr int ADPCM_BLOCK_FRAMES = 64;
} // namespace

AURA_RESULT SystemI::initDSPCodecPool(AURA_SOUND_FORMAT format)
{
    if (format != AURA_SOUND_FORMAT_IMAADPCM) {
        return AURA_ERR_PLUGIN_MISSING;
    }
    std::lock_guard<std::mutex> lock(mDSPCodecPoolLock);
    if (mDSPCodecPoolADPCM) {
        return AURA_OK;
    }
    const int count = mAdvancedSettings.maxADPCMcodecs > 0 ? mAdvancedSettings.maxADPCMcodecs : DEFAULT_ADPCM_CODECS;
    DSPCodecPool *pool = AURA_New(DSPCodecPool);
    if (!pool) {
        return AURA_ERR_MEMORY;
    }
    const AURA_RESULT result = pool->init(this, AURA_DSP_CATEGORY_DSPCODECADPCM, ADPCM_BLOCK_FRAMES, count);
    if (result != AURA_OK) {
        AURA_Delete(pool);
        return result;
    }
    mDSPCodecPoolADPCM = pool;
    return AURA_OK;
}

AURA_RESULT SystemI::allocateDSPCodec(AURA_SOUND_FORMAT format, DSPCodec **codec)
{
    if (!codec) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (format != AURA_SOUND_FORMAT_IMAADPCM) {
        return AURA_ERR_PLUGIN_MISSING;
    }
    DSPCodecPool *pool = nullptr;
    {
        std::lock_guard<std::mutex> lock(mDSPCodecPoolLock);
        pool = mDSPCodecPoolADPCM;
    }
    if (!pool) {
        return AURA_ERR_INTERNAL;
    }
    return pool->alloc(codec);
}

void SystemI::closeDSPCodecPools()
{
    std::lock_guard<std::mutex> lock(mDSPCodecPoolLock);
    if (mDSPCodecPoolADPCM) {
        AURA_Delete(mDSPCodecPoolADPCM);
        mDSPCodecPoolADPCM = nullptr;
    }
}

AURA_RESULT SystemI::describeCompressedBlocks(Codec *codec, const AURA_CODEC_WAVEFORMAT &waveformat, Sample *sample)
{
    if (waveformat.format != AURA_SOUND_FORMAT_IMAADPCM) {
        return AURA_ERR_PLUGIN_MISSING;
    }
    if (waveformat.channels > 2) {
        return AURA_ERR_TOOMANYCHANNELS;
    }
    unsigned int perBlock = 0;
    if (codec->mType == AURA_SOUND_TYPE_WAV) {
        perBlock = static_cast<CodecWav *>(codec)->mSamplesPerADPCMBlock;
    } else if (codec->mType == AURA_SOUND_TYPE_RAW) {
        perBlock = static_cast<CodecRaw *>(codec)->mSamplesPerADPCMBlock;
    } else if (codec->mType == AURA_SOUND_TYPE_SBK) {
        auto *bank = static_cast<CodecSBK *>(codec);
        perBlock = CodecSBK::IMA_BLOCK_SAMPLES;
        sample->mCompressedUnitInterleave = !bank->imaStereoLayout(bank->mCurrentSubsound);
    }
    if (perBlock == 0 || waveformat.blockalign <= 0) {
        return AURA_ERR_FORMAT;
    }
    const auto blockAlign = static_cast<unsigned int>(waveformat.blockalign);
    // Only whole blocks are heard.
    const uint64_t blocks = sample->mLengthBytes / blockAlign;
    sample->mCompressedBlockAlign = blockAlign;
    sample->mCompressedSamplesPerBlock = perBlock;
    sample->mLength = static_cast<unsigned int>(
        std::min<uint64_t>(std::min<uint64_t>(blocks * perBlock, waveformat.lengthpcm), 0xFFFFFFFFu));
    return initDSPCodecPool(AURA_SOUND_FORMAT_IMAADPCM);
}

} // namespace AURA
