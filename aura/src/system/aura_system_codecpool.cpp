// The system's pools of decoding units for compressed samples.
#include "system/aura_systemi.h"

#include "base/aura_memory.h"
#include "codec/aura_codec_raw.h"
#include "codec/aura_codec_sbk.h"
#include "codec/wav/aura_codec_wav.h"
#include "file/aura_file_memory.h"
#include "mpeg/aura_codec_mpeg.h"
#include "sound/aura_sample.h"
#include "voice/aura_dsp_codec.h"

#include <algorithm>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_dsp_codecpool";
constexpr int DEFAULT_ADPCM_CODECS = 32;
constexpr int ADPCM_BLOCK_FRAMES = 64;
constexpr int DEFAULT_MPEG_CODECS = 16;
constexpr int MPEG_BLOCK_FRAMES = 1152;
constexpr int DEFAULT_RAW_CODECS = 32;

bool isRawPCM(AURA_SOUND_FORMAT format)
{
    return format == AURA_SOUND_FORMAT_PCM8 || format == AURA_SOUND_FORMAT_PCM16;
}
} // namespace

AURA_RESULT SystemI::initDSPCodecPool(AURA_SOUND_FORMAT format)
{
    const bool mpeg = format == AURA_SOUND_FORMAT_MPEG;
    const bool raw = isRawPCM(format);
    if (format != AURA_SOUND_FORMAT_IMAADPCM && !mpeg && !raw) {
        return AURA_ERR_PLUGIN_MISSING;
    }
    std::lock_guard<std::mutex> lock(mDSPCodecPoolLock);
    DSPCodecPool *&slot = mpeg ? mDSPCodecPoolMPEG : raw ? mDSPCodecPoolRaw : mDSPCodecPoolADPCM;
    if (slot) {
        return AURA_OK;
    }
    const int configured = mpeg ? mAdvancedSettings.maxMPEGcodecs : raw ? 0 : mAdvancedSettings.maxADPCMcodecs;
    const int count = configured > 0 ? configured
                      : mpeg         ? DEFAULT_MPEG_CODECS
                      : raw          ? DEFAULT_RAW_CODECS
                                     : DEFAULT_ADPCM_CODECS;
    DSPCodecPool *pool = AURA_New(DSPCodecPool);
    if (!pool) {
        return AURA_ERR_MEMORY;
    }
    const AURA_RESULT result =
        mpeg  ? pool->init(this, AURA_DSP_CATEGORY_DSPCODECMPEG, MPEG_BLOCK_FRAMES, count)
        : raw ? pool->init(this, AURA_DSP_CATEGORY_DSPCODECRAW, static_cast<int>(DSPCodecRaw::BLOCK_FRAMES), count)
              : pool->init(this, AURA_DSP_CATEGORY_DSPCODECADPCM, ADPCM_BLOCK_FRAMES, count);
    if (result != AURA_OK) {
        AURA_Delete(pool);
        return result;
    }
    slot = pool;
    return AURA_OK;
}

AURA_RESULT SystemI::allocateDSPCodec(AURA_SOUND_FORMAT format, DSPCodec **codec)
{
    if (!codec) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (format != AURA_SOUND_FORMAT_IMAADPCM && format != AURA_SOUND_FORMAT_MPEG && !isRawPCM(format)) {
        return AURA_ERR_PLUGIN_MISSING;
    }
    DSPCodecPool *pool = nullptr;
    {
        std::lock_guard<std::mutex> lock(mDSPCodecPoolLock);
        pool = format == AURA_SOUND_FORMAT_MPEG ? mDSPCodecPoolMPEG
               : isRawPCM(format)               ? mDSPCodecPoolRaw
                                                : mDSPCodecPoolADPCM;
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
    if (mDSPCodecPoolMPEG) {
        AURA_Delete(mDSPCodecPoolMPEG);
        mDSPCodecPoolMPEG = nullptr;
    }
    if (mDSPCodecPoolRaw) {
        AURA_Delete(mDSPCodecPoolRaw);
        mDSPCodecPoolRaw = nullptr;
    }
}

AURA_RESULT SystemI::describeCompressedFrames(Codec *codec, const AURA_CODEC_WAVEFORMAT &waveformat, Sample *sample)
{
    if (waveformat.channels > 2) {
        return AURA_ERR_TOOMANYCHANNELS;
    }
    // How a bank lays its frames out; plain files hold them as they are.
    const unsigned int flags = codec->mType == AURA_SOUND_TYPE_SBK ? static_cast<CodecSBK *>(codec)->mMPEGFlags : 0;
    // Where each frame begins, for the units' exact seeks, and what they
    // decode to: found once here by a walk over the frames.
    MemoryFile file;
    AURA_RESULT result = file.init(this, 0, 0);
    if (result == AURA_OK) {
        result = file.open(reinterpret_cast<const char *>(sample->getData()), sample->mLengthBytes, false, nullptr);
    }
    if (result != AURA_OK) {
        return result;
    }
    CodecMPEG *walker = nullptr;
    result = CodecMPEG::createDecoder(this, 1, &walker);
    unsigned int pcmBytes = 0;
    if (result == AURA_OK) {
        walker->mFlags |= flags;
        walker->setSource(&file, 0, sample->mLengthBytes, waveformat.channels, waveformat.frequency);
        result = walker->getPCMLength(&pcmBytes);
    }
    bool cut = false;
    if (result == AURA_OK) {
        AURA_Memory_Free(sample->mCompressedFrameOffsets);
        sample->mCompressedFrameOffsets = walker->mFrameOffsets;
        sample->mCompressedNumFrames = walker->mNumFrameOffsets;
        walker->mFrameOffsets = nullptr;
        walker->mNumFrameOffsets = 0;
        const auto channels = static_cast<unsigned int>(waveformat.channels);
        sample->mCompressedSamplesPerBlock = walker->mPCMFrameBytes / (2 * channels);
        sample->mCompressedBlockAlign = walker->mPCMFrameBytes;
        sample->mCompressedFrameFlags = flags;
        // The frames found are what a load as PCM decodes: a declared
        // length bounds them, a guessed one does not, and frames short of a
        // declared length, or data ending inside a frame, are a cut.
        const unsigned int found = pcmBytes / (2 * channels);
        const bool declared = boundsRead(*codec, waveformat.lengthpcm);
        sample->mLength = declared ? std::min(waveformat.lengthpcm, found) : found;
        cut = walker->dataCut(0) || (declared && found < waveformat.lengthpcm);
    }
    if (walker) {
        walker->releaseDecoder();
    }
    (void)file.close();
    if (result != AURA_OK) {
        return result;
    }
    if (cut) {
        sample->mFailure.store(AURA_ERR_FILE_EOF, std::memory_order_release);
    }
    if (sample->mCompressedNumFrames == 0) {
        // Not one whole frame: an empty sample, as the file loaded as PCM
        // is, with nothing for a unit to decode.
        AURA_Memory_Free(sample->mCompressedFrameOffsets);
        sample->mCompressedFrameOffsets = nullptr;
        sample->mCompressedBlockAlign = 0;
        sample->mCompressedSamplesPerBlock = 0;
        sample->mFormat = AURA_SOUND_FORMAT_PCM16;
        sample->mLength = 0;
        sample->mLengthBytes = 0;
        return AURA_OK;
    }
    return initDSPCodecPool(AURA_SOUND_FORMAT_MPEG);
}

bool SystemI::keepsRawPCM(const AURA_CODEC_WAVEFORMAT &waveformat)
{
    if (!isRawPCM(waveformat.format) || waveformat.channels <= 0 || waveformat.channels > 2) {
        return false;
    }
    std::lock_guard<std::mutex> lock(mDSPCodecPoolLock);
    return mDSPCodecPoolRaw != nullptr;
}

void SystemI::describeRawBlocks(Sample *sample)
{
    sample->mCompressedSamplesPerBlock = DSPCodecRaw::BLOCK_FRAMES;
    sample->mCompressedBlockAlign = DSPCodecRaw::BLOCK_FRAMES * sample->frameBytes();
}

AURA_RESULT SystemI::describeCompressedBlocks(Codec *codec, const AURA_CODEC_WAVEFORMAT &waveformat, Sample *sample)
{
    if (waveformat.format == AURA_SOUND_FORMAT_MPEG) {
        return describeCompressedFrames(codec, waveformat, sample);
    }
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
    const auto channels = static_cast<unsigned int>(waveformat.channels);
    // Whole blocks are heard, and the short last block of a WAV file as far
    // as its codes go (as the file loaded as PCM and sox hear it); raw data
    // and banks play whole blocks.
    uint64_t frames = static_cast<uint64_t>(sample->mLengthBytes / blockAlign) * perBlock;
    if (codec->mType == AURA_SOUND_TYPE_WAV) {
        frames += IMAAdpcm_SamplesInShortBlock(sample->mLengthBytes % blockAlign, channels, perBlock);
    }
    sample->mCompressedBlockAlign = blockAlign;
    sample->mCompressedSamplesPerBlock = perBlock;
    sample->mLength =
        static_cast<unsigned int>(std::min<uint64_t>(std::min<uint64_t>(frames, waveformat.lengthpcm), 0xFFFFFFFFu));
    // A block the sound reaches whose header the decoder refuses makes the
    // sample fail now, as it fails when loaded as PCM, rather than play
    // silence from there.
    const uint64_t reached = (static_cast<uint64_t>(sample->mLength) + perBlock - 1) / perBlock * blockAlign;
    const AURA_RESULT result =
        IMAAdpcm_CheckBlockHeaders(sample->getData(), std::min<uint64_t>(reached, sample->mLengthBytes), blockAlign,
                                   channels, sample->mCompressedUnitInterleave);
    if (result != AURA_OK) {
        return result;
    }
    return initDSPCodecPool(AURA_SOUND_FORMAT_IMAADPCM);
}

} // namespace AURA
