// A music host that mixes nothing and records every voice command with the
// song time it came at, and the tracker codecs opened over it from memory.
// Header-only: it compiles in the groups that link the engine's internals.
#ifndef AURA_TESTS_SUPPORT_MUSIC_TRACE_H
#define AURA_TESTS_SUPPORT_MUSIC_TRACE_H

#include "engine.h"
#include "music/aura_music.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <ostream>
#include <vector>

namespace auratest {

enum class VoiceCommand { Start, Volume, Pan, Frequency, Stop, Cutoff, Resonance };

struct VoiceEvent {
    int order = 0;
    int row = 0;
    int tick = 0;
    int slot = 0;
    VoiceCommand command = VoiceCommand::Start;
    float value = 0.0f; // the start offset for a start

    bool operator==(const VoiceEvent &) const = default;
};

inline std::ostream &operator<<(std::ostream &out, const VoiceEvent &e)
{
    static const char *names[] = {"start", "volume", "pan", "frequency", "stop", "cutoff", "resonance"};
    return out << "(" << e.order << "," << e.row << "," << e.tick << " slot " << e.slot << " "
               << names[static_cast<int>(e.command)] << " " << e.value << ")";
}

class TraceHost final : public AURA::MusicHost {
public:
    class Voice final : public AURA::MusicVoice {
    public:
        AURA_RESULT start(AURA::MusicSample *, unsigned int offset) override
        {
            playing = true;
            return note(VoiceCommand::Start, static_cast<float>(offset));
        }
        AURA_RESULT setVolume(float v) override { return note(VoiceCommand::Volume, v); }
        AURA_RESULT setPan(float v) override { return note(VoiceCommand::Pan, v); }
        AURA_RESULT setFrequency(float v) override { return note(VoiceCommand::Frequency, v); }
        AURA_RESULT stop() override
        {
            playing = false;
            return note(VoiceCommand::Stop, 0.0f);
        }
        AURA_RESULT setPaused(bool) override { return AURA_OK; }
        bool isPlaying() override { return playing; }
        AURA_RESULT setFilter(float cutoff, float resonance) override
        {
            (void)note(VoiceCommand::Cutoff, cutoff);
            return note(VoiceCommand::Resonance, resonance);
        }

        AURA_RESULT note(VoiceCommand command, float value)
        {
            const AURA::MusicSong *song = host->song;
            host->events.push_back(
                {song ? song->order() : 0, song ? song->row() : 0, song ? song->tick() : 0, slot, command, value});
            return AURA_OK;
        }

        TraceHost *host = nullptr;
        int slot = 0;
        bool playing = false;
    };

    explicit TraceHost(int rate = 44100)
        : mRate(rate)
    {
    }

    AURA_RESULT createVoices(int count) override
    {
        voices.resize(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) {
            voices[static_cast<size_t>(i)].host = this;
            voices[static_cast<size_t>(i)].slot = i;
        }
        return AURA_OK;
    }
    AURA::MusicVoice *voice(int slot) override { return &voices[static_cast<size_t>(slot)]; }
    AURA_RESULT createSampleSound(AURA::MusicSample *sample) override
    {
        sample->mSound = sample; // any non-null handle
        return AURA_OK;
    }
    void releaseSampleSound(AURA::MusicSample *sample) override { sample->mSound = nullptr; }
    AURA_RESULT mix(float *out, unsigned int frames) override
    {
        std::fill(out, out + frames * 2, 0.0f);
        return AURA_OK;
    }
    int outputRate() const override { return mRate; }
    void release() override { delete this; }

    // The events of one command, in order.
    [[nodiscard]] std::vector<VoiceEvent> only(VoiceCommand command) const
    {
        std::vector<VoiceEvent> out;
        std::copy_if(events.begin(), events.end(), std::back_inserter(out),
                     [&](const VoiceEvent &e) { return e.command == command; });
        return out;
    }

    AURA::MusicSong *song = nullptr;
    std::vector<Voice> voices;
    std::vector<VoiceEvent> events;

private:
    int mRate;
};

// A codec of `Codec` type opened over `bytes` (which must outlive it) with a
// trace host; closed and freed with the pointer.
template <class Codec>
struct TracedSong {
    struct Release {
        void operator()(Codec *codec) const
        {
            if (codec) {
                (void)codec->release();
            }
        }
    };
    std::unique_ptr<Codec, Release> codec;
    TraceHost *host = nullptr;
    AURA_RESULT result = AURA_OK;
};

template <class Codec>
TracedSong<Codec> openTraced(const std::vector<uint8_t> &bytes, AURA_MODE mode = 0, int rate = 44100)
{
    TracedSong<Codec> out;
    AURA::Codec *made = nullptr;
    out.result = AURA::Codec::create(*Codec::getDescriptionEx(), nullptr, &made);
    if (out.result != AURA_OK) {
        return out;
    }
    auto *codec = static_cast<Codec *>(made);
    out.codec.reset(codec);
    auto *file = AURA::newObject<AURA::MemoryFile>("aura/tests/music_trace", __LINE__);
    out.result = file ? openMemoryFile(*file, bytes) : AURA_ERR_MEMORY;
    codec->mFile = file;
    if (out.result != AURA_OK) {
        return out;
    }
    out.host = new TraceHost(rate);
    out.host->song = codec;
    codec->setHost(out.host);
    out.result = codec->open(mode, nullptr);
    if (out.result != AURA_OK) {
        out.host = nullptr; // the failed open released it
    } else {
        out.host->events.clear();
    }
    return out;
}

} // namespace auratest

#endif // AURA_TESTS_SUPPORT_MUSIC_TRACE_H
