#include "base/aura_sampleformat.h"

#include <cstdint>

namespace AURA {

namespace {
constexpr unsigned int clamp32(uint64_t value)
{
    return value > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<unsigned int>(value);
}
} // namespace

int getBitsFromFormat(AURA_SOUND_FORMAT format)
{
    switch (format) {
    case AURA_SOUND_FORMAT_PCM8: return 8;
    case AURA_SOUND_FORMAT_PCM16: return 16;
    case AURA_SOUND_FORMAT_PCM24: return 24;
    case AURA_SOUND_FORMAT_PCM32:
    case AURA_SOUND_FORMAT_PCMFLOAT: return 32;
    default: return 0;
    }
}

AURA_RESULT getBytesFromSamples(unsigned int samples, unsigned int *bytes, int channels, AURA_SOUND_FORMAT format)
{
    const uint64_t n = samples;
    const uint64_t ch = channels > 0 ? static_cast<uint64_t>(channels) : 0;
    uint64_t perChannel = 0;
    switch (static_cast<int>(format)) {
    case 0: perChannel = 0; break;
    case 1: case 2: case 3: case 4: case 5:
        perChannel = n * static_cast<uint64_t>(getBitsFromFormat(format)) / 8;
        break;
    case 6: perChannel = (n + 13) / 14 * 8; break;
    case 7: perChannel = (n + 63) / 64 * 36; break;
    case 8: perChannel = (n + 27) / 28 * 16; break;
    case 9: case 10: case 11:
        *bytes = samples;
        return AURA_OK;
    default:
        return AURA_ERR_FORMAT;
    }
    *bytes = clamp32(perChannel * ch);
    return AURA_OK;
}

AURA_RESULT getSamplesFromBytes(unsigned int bytes, unsigned int *samples, int channels, AURA_SOUND_FORMAT format)
{
    if (channels <= 0) {
        *samples = bytes;
        return AURA_OK;
    }
    const uint64_t b = bytes;
    const auto ch = static_cast<uint64_t>(channels);
    uint64_t result = 0;
    switch (static_cast<int>(format)) {
    case 0: result = 0; break;
    case 1: case 2: case 3: case 4: case 5:
        result = b * 8 / static_cast<uint64_t>(getBitsFromFormat(format)) / ch;
        break;
    case 6: result = b * 14 / 8 / ch; break;
    case 7: result = b * 64 / 36 / ch; break;
    case 8: result = b * 28 / 16 / ch; break;
    case 9: case 10: case 11: result = b; break;
    default:
        return AURA_ERR_FORMAT;
    }
    *samples = clamp32(result);
    return AURA_OK;
}

} // namespace AURA
