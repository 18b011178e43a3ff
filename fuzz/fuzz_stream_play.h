// The player's side of the stream fuzz targets: one system on the
// non-real-time WAV writer (to /dev/null) for many inputs, and a stream,
// once opened, played through it with a loop count, a seek to a share of
// its length and a bounded number of blocks.
//
// Traps when an open succeeds with a format the engine cannot play, when a
// call answers something no caller can expect, or when an update fails.
#ifndef FUZZ_STREAM_PLAY_H
#define FUZZ_STREAM_PLAY_H

#include "aura.hpp"

#include <cstddef>
#include <cstdint>

namespace fuzzplay {

inline void require(bool ok)
{
    if (!ok) {
        __builtin_trap();
    }
}

// Bounds the work of one input: a few seconds of output at 8 kHz.
constexpr int MAX_BLOCKS = 160;
constexpr int BLOCKS_BEFORE_SEEK = 6;

// One system for many inputs, as a game keeps one; every input's sound is
// released before the next. A WAV file ends at 4 GB, even /dev/null's: the
// system starts again long before its writer gets there.
inline AURA::System *gSystem = nullptr;
inline uint64_t gBlocksWritten = 0;
constexpr uint64_t BLOCKS_PER_SYSTEM = 1u << 20; // 1 GB of 256-frame stereo blocks

inline AURA::System *system()
{
    if (!gSystem) {
        require(AURA::System_Create(&gSystem) == AURA_OK);
        require(gSystem->setOutput(AURA_OUTPUTTYPE_WAVWRITER_NRT) == AURA_OK);
        require(gSystem->setSoftwareFormat(8000, AURA_SOUND_FORMAT_PCM16, 2, 16, AURA_DSP_RESAMPLER_LINEAR) ==
                AURA_OK);
        require(gSystem->setDSPBufferSize(256, 4) == AURA_OK);
        require(gSystem->init(8, AURA_INIT_NORMAL, const_cast<char *>("/dev/null")) == AURA_OK);
    }
    return gSystem;
}

// An input of the road targets: [loops, seek hi, seek lo, one byte of the
// target's own] then the file, opened from memory.
struct Input {
    int loops = 0;                   // extra plays
    unsigned int seek = 0;           // where the seek lands, in 65536ths of the length
    uint8_t own = 0;                 // the target's byte
    const char *file = nullptr;
    AURA_CREATESOUNDEXINFO exinfo{}; // the file's length
};

// False for an input too short, or with a file longer than `most` bytes.
inline bool readInput(const uint8_t *data, size_t size, size_t most, Input *in)
{
    constexpr size_t header = 4;
    if (size <= header || size - header > most) {
        return false;
    }
    in->loops = data[0] % 3;
    in->seek = static_cast<unsigned int>(data[1]) << 8 | data[2];
    in->own = data[3];
    in->file = reinterpret_cast<const char *>(data + header);
    in->exinfo.cbsize = sizeof(in->exinfo);
    in->exinfo.length = static_cast<unsigned int>(size - header);
    return true;
}

// What a channel call may answer once the stream has failed or ended.
inline bool channelAnswer(AURA_RESULT result)
{
    return result == AURA_OK || result == AURA_ERR_INVALID_HANDLE || result == AURA_ERR_INVALID_POSITION ||
           result == AURA_ERR_NOTREADY || result == AURA_ERR_FILE_COULDNOTSEEK || result == AURA_ERR_FORMAT ||
           result == AURA_ERR_FILE_BAD || result == AURA_ERR_FILE_EOF || result == AURA_ERR_MEMORY;
}

// Plays an opened stream (loops extra plays; the seek lands at seek / 65536
// of its length) and releases it, or `owner` (the parent of a subsound)
// when given.
inline void play(AURA::Sound *stream, int loops, unsigned int seek, AURA::Sound *owner = nullptr)
{
    AURA::Sound *release = owner ? owner : stream;
    AURA_SOUND_TYPE type = AURA_SOUND_TYPE_UNKNOWN;
    AURA_SOUND_FORMAT format = AURA_SOUND_FORMAT_NONE;
    int channels = 0;
    float rate = 0.0f;
    unsigned int length = 0;
    require(stream->getFormat(&type, &format, &channels, nullptr) == AURA_OK);
    require(type != AURA_SOUND_TYPE_UNKNOWN);
    if (type == AURA_SOUND_TYPE_PLAYLIST) {
        // A list of names (some codec reads any text as one): no audio.
        require(release->release() == AURA_OK);
        return;
    }
    require(channels > 0 && channels <= 16);
    require(stream->getDefaults(&rate, nullptr, nullptr, nullptr) == AURA_OK && rate > 0.0f);
    require(stream->getLength(&length, AURA_TIMEUNIT_PCM) == AURA_OK);

    AURA::System *sys = system();
    AURA::Channel *channel = nullptr;
    const AURA_RESULT played = sys->playSound(AURA_CHANNEL_FREE, stream, true, &channel);
    // Wider than the mixer takes, or a sample format it does not read.
    require(played == AURA_OK || played == AURA_ERR_TOOMANYCHANNELS || played == AURA_ERR_FORMAT);
    if (played == AURA_OK) {
        require(channelAnswer(channel->setLoopCount(loops)));
        require(channelAnswer(channel->setPaused(false)));
        bool playing = true;
        for (int block = 0; block < MAX_BLOCKS && playing; ++block) {
            if (block == BLOCKS_BEFORE_SEEK && length > 0 && length != 0xFFFFFFFFu) {
                const auto target = static_cast<unsigned int>(static_cast<uint64_t>(length) * seek / 65536);
                require(channelAnswer(channel->setPosition(target, AURA_TIMEUNIT_PCM)));
            }
            require(sys->update() == AURA_OK);
            ++gBlocksWritten;
            const AURA_RESULT asked = channel->isPlaying(&playing);
            require(channelAnswer(asked));
            playing = asked == AURA_OK && playing;
            unsigned int position = 0;
            require(channelAnswer(channel->getPosition(&position, AURA_TIMEUNIT_PCM)));
        }
        AURA_OPENSTATE state = AURA_OPENSTATE_READY;
        AURA_RESULT failure = AURA_OK;
        require(stream->getOpenState(&state, &failure) == AURA_OK);
        require(state != AURA_OPENSTATE_ERROR || failure != AURA_OK);
    }
    require(release->release() == AURA_OK);
    if (gBlocksWritten >= BLOCKS_PER_SYSTEM) {
        require(gSystem->release() == AURA_OK);
        gSystem = nullptr;
        gBlocksWritten = 0;
    }
}

} // namespace fuzzplay

#endif // FUZZ_STREAM_PLAY_H
