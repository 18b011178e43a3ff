// RIFF/WAVE files for tests: a writer for crafted files, and a strict reader
// for the files that the engine, the tool and sox write.
#ifndef AURA_TESTS_SUPPORT_WAV_H
#define AURA_TESTS_SUPPORT_WAV_H

#include "files.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace auratest {

// Little-endian fields.
void put16(Bytes &b, uint32_t v);
void put32(Bytes &b, uint32_t v);
void putId(Bytes &b, const char *id);
uint16_t le16(const Bytes &b, size_t at);
uint32_t le32(const Bytes &b, size_t at);

// A chunk with its real size, padded when odd.
Bytes chunk(const char *id, const Bytes &body);
// A chunk that declares `declared` bytes whatever it holds; never padded.
Bytes chunkSized(const char *id, uint32_t declared, const Bytes &body);
Bytes list(const char *type, const std::vector<Bytes> &children);
// A RIFF/WAVE file of the chunks; its size field says `declared` when >= 0.
Bytes riff(const std::vector<Bytes> &chunks, int64_t declared = -1);

// A "fmt " body; `extra`, after its size, only when there is some.
Bytes fmtBody(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t blockalign, uint16_t bits,
              const Bytes &extra = {});
// Cue points (id, sample offset) in the data chunk; the count can lie.
Bytes cueBody(const std::vector<std::pair<uint32_t, uint32_t>> &points, int64_t declaredCount = -1);
// A label with its terminating zero.
Bytes lablBody(uint32_t id, const std::string &text);
// A sampler chunk that counts `loops` loops and holds one, forward from start to end.
Bytes smplBody(uint32_t loops, uint32_t start, uint32_t end);

// A WAV file read chunk by chunk up to its data chunk. Sizes are those the
// header states; `data` is cut where the file ends.
struct Wav {
    bool valid = false; // a RIFF/WAVE file with a whole "fmt " and a "data" chunk
    std::string error;
    size_t fileSize = 0;
    uint32_t riffSize = 0;
    unsigned format = 0, channels = 0, rate = 0, byteRate = 0, blockAlign = 0, bits = 0, fmtSize = 0;
    std::optional<unsigned> cbSize;
    std::optional<uint32_t> factFrames;
    size_t dataOffset = 0;
    uint32_t dataSize = 0;
    Bytes data;
    std::vector<int16_t> pcm16;  // 16-bit PCM data as it stands
    std::vector<float> samples;  // 16-bit PCM or 32-bit float data, in [-1, 1) for PCM

    [[nodiscard]] size_t frames() const;
    [[nodiscard]] float at(size_t frame, unsigned channel) const { return samples[frame * channels + channel]; }
};

Wav parseWav(const Bytes &bytes);
Wav readWav(const fs::path &path);

} // namespace auratest

#endif // AURA_TESTS_SUPPORT_WAV_H
