// PCM in memory that a voice plays in place: the sound behind a wavetable
// unit. The sound layer fills it; the DSP layer only reads it.
#ifndef AURA_SAMPLESOURCE_H
#define AURA_SAMPLESOURCE_H

#include "aura.h"

#include <cstdint>

namespace AURA {

class SampleSource {
public:
    SampleSource() = default;
    virtual ~SampleSource() = default;
    SampleSource(const SampleSource &) = delete;
    SampleSource &operator=(const SampleSource &) = delete;

    // The first frame of the PCM; null when the sound keeps none in memory.
    [[nodiscard]] virtual const uint8_t *getSampleData() const { return nullptr; }

    // A sound played as a list of its subsounds, one after another (a
    // sentence): the number of entries (0 for a sound played as itself),
    // and entry i's sound and frames (null and 0 when the entry names a
    // subsound that is not loaded).
    [[nodiscard]] virtual int sentenceEntries() const { return 0; }
    [[nodiscard]] virtual const SampleSource *sentenceEntry(int index, unsigned int *length) const
    {
        (void)index;
        *length = 0;
        return nullptr;
    }
    // The entry of a sentence that holds frame `position`, found from the
    // entry `*entry` (with `*offset`, its first frame) forwards or
    // backwards; past the end the last entry. Entries of no frames are
    // passed over going forwards.
    void locateSentenceEntry(uint64_t position, int *entry, uint64_t *offset) const
    {
        const int count = sentenceEntries();
        int at = count > 0 ? *entry : 0;
        uint64_t start = *offset;
        if (at < 0 || at >= count) {
            at = 0;
            start = 0;
        }
        unsigned int length = 0;
        while (at > 0 && position < start) {
            --at;
            (void)sentenceEntry(at, &length);
            start -= length;
        }
        for (;;) {
            (void)sentenceEntry(at, &length);
            if (at + 1 >= count || position < start + length) {
                break;
            }
            start += length;
            ++at;
        }
        *entry = at;
        *offset = start;
    }

    unsigned int mLength = 0;            // PCM samples
    AURA_SOUND_FORMAT mFormat = AURA_SOUND_FORMAT_PCM16;
    int mChannels = 1;
};

} // namespace AURA

#endif // AURA_SAMPLESOURCE_H
