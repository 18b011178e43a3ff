// Ogg Vorbis files for tests: an encoder that paginates and stamps granule
// positions the way an odd encoder might, and edits of a file's pages that
// keep it a sequence of pages with valid checksums.
#ifndef AURA_TESTS_SUPPORT_OGG_H
#define AURA_TESTS_SUPPORT_OGG_H

#include "files.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace auratest {

// What encodeOgg makes: `frames` frames of a sine per channel (channel c at
// frequencies[c], or 440 Hz times c + 1), at half scale.
struct OggSpec {
    int rate = 44100;
    int channels = 2;
    int frames = 44100;
    std::vector<double> frequencies{};
    std::vector<std::string> comments{};   // raw "NAME=value" strings
    int64_t granuleShift = 0;              // subtracted from every granule position
    int firstPagePackets = 0;              // > 0: the first audio page ends after this many packets
    int pageBytes = 0;                     // > 0: audio pages end once they hold about this many bytes
    uint32_t serial = 1234;
};

Bytes encodeOgg(const OggSpec &spec);

uint32_t oggCrc(const uint8_t *data, size_t size);

struct OggPage {
    size_t offset = 0;
    size_t size = 0;
    [[nodiscard]] int64_t granule(const Bytes &ogg) const;
    void setGranule(Bytes &ogg, int64_t granule) const;
    // The first byte of the body.
    [[nodiscard]] size_t body(const Bytes &ogg) const { return offset + 27 + ogg[offset + 26]; }
};

// The pages of a file; empty when it is not a clean sequence of pages.
std::vector<OggPage> oggPages(const Bytes &ogg);
// Computes a page's checksum again after an edit.
void fixChecksum(Bytes &ogg, const OggPage &page);

// Edits that keep the checksums right; false when `ogg` is not a clean
// sequence of pages.
bool setLastGranule(Bytes &ogg, uint64_t granule);
bool setSerial(Bytes &ogg, uint32_t serial);
// Flips `count` bytes of the setup header (the last header page) just
// before `fromEnd` bytes from that page's end.
bool damageSetupHeader(Bytes &ogg, size_t fromEnd, size_t count);
// Writes another channel count into the identification header.
bool setHeaderChannels(Bytes &ogg, uint8_t channels);

} // namespace auratest

#endif // AURA_TESTS_SUPPORT_OGG_H
