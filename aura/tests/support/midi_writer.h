// Standard MIDI files and DLS banks of sines written by the tests.
#ifndef AURA_TESTS_MIDI_WRITER_H
#define AURA_TESTS_MIDI_WRITER_H

#include "wav.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace auratest {

// One track of events at absolute ticks, written with delta times.
struct MidiTrack {
    struct Event {
        uint64_t tick;
        std::vector<uint8_t> bytes;
    };
    std::vector<Event> events;

    MidiTrack &add(uint64_t tick, std::vector<uint8_t> bytes)
    {
        events.push_back({tick, std::move(bytes)});
        return *this;
    }
    MidiTrack &note(uint64_t tick, uint64_t length, int channel, int key, int velocity = 100)
    {
        add(tick, {static_cast<uint8_t>(0x90 | channel), static_cast<uint8_t>(key), static_cast<uint8_t>(velocity)});
        return add(tick + length, {static_cast<uint8_t>(0x80 | channel), static_cast<uint8_t>(key), 0});
    }
    MidiTrack &tempo(uint64_t tick, uint32_t microseconds)
    {
        return add(tick, {0xFF, 0x51, 3, static_cast<uint8_t>(microseconds >> 16),
                          static_cast<uint8_t>(microseconds >> 8), static_cast<uint8_t>(microseconds)});
    }
    MidiTrack &controller(uint64_t tick, int channel, int number, int value)
    {
        return add(tick,
                   {static_cast<uint8_t>(0xB0 | channel), static_cast<uint8_t>(number), static_cast<uint8_t>(value)});
    }
};

inline void putVarLen(std::vector<uint8_t> &out, uint64_t value)
{
    uint8_t groups[10];
    int n = 0;
    do {
        groups[n++] = static_cast<uint8_t>(value & 0x7F);
        value >>= 7;
    } while (value && n < 10);
    while (n-- > 0) {
        out.push_back(static_cast<uint8_t>(groups[n] | (n ? 0x80 : 0)));
    }
}

inline void putBE(std::vector<uint8_t> &out, uint32_t value, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

inline std::vector<uint8_t> trackChunk(const MidiTrack &track, bool endOfTrack = true, uint64_t endTick = 0)
{
    std::vector<MidiTrack::Event> events = track.events;
    std::stable_sort(events.begin(), events.end(), [](const auto &a, const auto &b) { return a.tick < b.tick; });
    std::vector<uint8_t> body;
    uint64_t at = 0;
    for (const auto &e : events) {
        putVarLen(body, e.tick - at);
        at = e.tick;
        body.insert(body.end(), e.bytes.begin(), e.bytes.end());
    }
    if (endOfTrack) {
        putVarLen(body, endTick > at ? endTick - at : 0);
        body.insert(body.end(), {0xFF, 0x2F, 0});
    }
    std::vector<uint8_t> out = {'M', 'T', 'r', 'k'};
    putBE(out, static_cast<uint32_t>(body.size()), 4);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

inline std::vector<uint8_t> midiFile(const std::vector<MidiTrack> &tracks, int division = 96, int format = 1)
{
    std::vector<uint8_t> out = {'M', 'T', 'h', 'd', 0, 0, 0, 6};
    putBE(out, static_cast<uint32_t>(format), 2);
    putBE(out, static_cast<uint32_t>(tracks.size()), 2);
    putBE(out, static_cast<uint32_t>(division), 2);
    for (const MidiTrack &t : tracks) {
        const std::vector<uint8_t> chunk = trackChunk(t);
        out.insert(out.end(), chunk.begin(), chunk.end());
    }
    return out;
}

// A DLS bank of sines: every wave a looped sine of `period` samples at
// 44100 Hz, so it sounds at 44100 / period Hz at its unity note.
struct DlsConnection {
    uint16_t source, control, destination, transform;
    int32_t scale;
};
struct DlsRegion {
    uint16_t low = 0, high = 127, keyGroup = 0;
    uint32_t wave = 0;
    bool ownSample = false;
    uint16_t unity = 60;
    int16_t fineTune = 0;
    std::vector<DlsConnection> connections;
};
struct DlsInstrument {
    uint32_t bank = 0, program = 0;
    std::vector<DlsRegion> regions;
};
struct DlsSine {
    int period = 100;
    uint16_t unity = 69;
    int16_t fineTune = 0;
    int cycles = 20;
};

inline Bytes dlsLE(std::initializer_list<uint32_t> words, int width = 4)
{
    Bytes b;
    for (uint32_t w : words) {
        width == 2 ? put16(b, w) : put32(b, w);
    }
    return b;
}

inline Bytes dlsWsmp(uint16_t unity, int16_t fine, uint32_t loopLength)
{
    Bytes b = dlsLE({20});
    put16(b, unity);
    put16(b, static_cast<uint16_t>(fine));
    put32(b, 0);
    put32(b, 0);
    put32(b, loopLength ? 1 : 0);
    if (loopLength) {
        put32(b, 16);
        put32(b, 0);
        put32(b, 0);
        put32(b, loopLength);
    }
    return b;
}

inline Bytes dlsArt1(const std::vector<DlsConnection> &connections)
{
    Bytes b = dlsLE({8, static_cast<uint32_t>(connections.size())});
    for (const DlsConnection &c : connections) {
        put16(b, c.source);
        put16(b, c.control);
        put16(b, c.destination);
        put16(b, c.transform);
        put32(b, static_cast<uint32_t>(c.scale));
    }
    return b;
}

inline Bytes sineBank(const std::vector<DlsSine> &waves, const std::vector<DlsInstrument> &instruments)
{
    std::vector<Bytes> pool;
    for (const DlsSine &w : waves) {
        Bytes data;
        const int frames = w.period * w.cycles;
        for (int i = 0; i < frames; ++i) {
            const auto v = static_cast<int16_t>(std::lround(16000.0 * std::sin(2.0 * M_PI * i / w.period)));
            put16(data, static_cast<uint16_t>(v));
        }
        pool.push_back(list("wave", {chunk("fmt ", fmtBody(1, 1, 44100, 2, 16)),
                                     chunk("wsmp", dlsWsmp(w.unity, w.fineTune, static_cast<uint32_t>(frames))),
                                     chunk("data", data)}));
    }
    std::vector<Bytes> ins;
    for (const DlsInstrument &instrument : instruments) {
        std::vector<Bytes> regions;
        for (const DlsRegion &r : instrument.regions) {
            std::vector<Bytes> parts = {chunk("rgnh", dlsLE({r.low, r.high, 0, 127, 0, r.keyGroup}, 2))};
            if (r.ownSample) {
                parts.push_back(chunk("wsmp", dlsWsmp(r.unity, r.fineTune, 0)));
            }
            Bytes link = dlsLE({0, 0}, 2);
            put32(link, 1);
            put32(link, r.wave);
            parts.push_back(chunk("wlnk", link));
            if (!r.connections.empty()) {
                parts.push_back(list("lart", {chunk("art1", dlsArt1(r.connections))}));
            }
            regions.push_back(list("rgn ", parts));
        }
        ins.push_back(list("ins ", {chunk("insh", dlsLE({static_cast<uint32_t>(instrument.regions.size()),
                                                         instrument.bank, instrument.program})),
                                    list("lrgn", regions)}));
    }
    Bytes body;
    putId(body, "DLS ");
    auto append = [](Bytes &to, const Bytes &from) { to.insert(to.end(), from.begin(), from.end()); };
    append(body, chunk("colh", dlsLE({static_cast<uint32_t>(instruments.size())})));
    append(body, list("lins", ins));
    Bytes table = dlsLE({8, static_cast<uint32_t>(waves.size())});
    // Offsets of the waves in the pool are not used by the reader.
    for (size_t i = 0; i < waves.size(); ++i) {
        put32(table, 0);
    }
    append(body, chunk("ptbl", table));
    append(body, list("wvpl", pool));
    return chunk("RIFF", body);
}

} // namespace auratest

#endif // AURA_TESTS_MIDI_WRITER_H
