// MPEG audio frames made at test time by lame and twolame from a sox chord,
// for banks and compressed samples: the bytes of the encode, the frames
// split by their headers and padded as a bank may store them, and an SBK
// sample that holds them. Header-only; needs the engine's MPEG decoder for
// the frame headers.
#ifndef AURA_TESTS_SUPPORT_MPEG_FRAMES_H
#define AURA_TESTS_SUPPORT_MPEG_FRAMES_H

#include "mpeg/aura_mpeg_decoder.h"
#include "files.h"
#include "sbk_writer.h"
#include "tools.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace auratest {

struct MpegEncode {
    std::string name;
    Bytes bytes; // the encoder's file
    int channels = 2;
    int rate = 44100;
};

// A chord of `seconds` at `rate` and `channels`, encoded by `encoder`, a
// command line where {in} and {out} stand for the files.
inline MpegEncode encodeMpeg(const TempDir &dir, const std::string &name, int rate, int channels, double seconds,
                             const std::string &encoder)
{
    const std::string wav = dir.file(name + ".wav");
    const std::string out = dir.file(name + ".mp");
    EXPECT_TRUE(run("sox -D -n -r " + std::to_string(rate) + " -b 16 -c " + std::to_string(channels) + " " +
                    quote(wav) + " synth " + std::to_string(seconds) + " sine 330 sine 554 sine 659 gain -6"));
    std::string line = encoder;
    line.replace(line.find("{in}"), 4, quote(wav));
    line.replace(line.find("{out}"), 5, quote(out));
    EXPECT_TRUE(run(line)) << line;
    return {name, readAll(out), channels, rate};
}

// The frames of one encode, each with its header's size.
inline std::vector<Bytes> splitFrames(const Bytes &bytes)
{
    std::vector<Bytes> frames;
    size_t at = 0;
    while (at + 4 <= bytes.size()) {
        uint32_t raw = 0;
        for (size_t i = 0; i < 4; ++i) {
            raw = raw << 8 | bytes[at + i];
        }
        AURA::MpegHeader header;
        if (AURA::decodeHeader(raw, 0, &header) != AURA_OK) {
            ADD_FAILURE() << "no frame at " << at;
            break;
        }
        const size_t size = std::min<size_t>(4 + static_cast<size_t>(header.bodySize), bytes.size() - at);
        frames.emplace_back(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at + size));
        at += size;
    }
    return frames;
}

// Stereo encodes of as many frames as a bank stores a sound of more than 2
// channels: their frames alternate, each padded to 16 bytes past the larger
// of its own and the frame before it.
inline Bytes interleaveStreams(const std::vector<Bytes> &encodes)
{
    std::vector<std::vector<Bytes>> streams;
    for (const Bytes &e : encodes) {
        streams.push_back(splitFrames(e));
    }
    Bytes out;
    size_t previous = 0;
    for (size_t f = 0; f < streams[0].size(); ++f) {
        for (const std::vector<Bytes> &frames : streams) {
            const Bytes &frame = frames[std::min(f, frames.size() - 1)];
            const size_t span = (std::max(frame.size(), previous) + 15) / 16 * 16;
            out.insert(out.end(), frame.begin(), frame.end());
            out.resize(out.size() + span - frame.size(), 0);
            previous = frame.size();
        }
    }
    return out;
}

// The frames of an encode, each padded with zeros to a multiple of `pad`
// bytes when it is a layer III frame (as banks store them).
inline Bytes padFrames(const Bytes &bytes, unsigned int pad)
{
    Bytes out;
    for (const Bytes &frame : splitFrames(bytes)) {
        out.insert(out.end(), frame.begin(), frame.end());
        if (((frame[1] >> 1) & 3) == 1) { // layer III
            out.resize((out.size() + pad - 1) / pad * pad, 0);
        }
    }
    return out;
}

// A bank sample of MPEG frames (flag 0x200) that decode to `frames` frames.
inline SbkSample mpegSample(const std::string &name, const Bytes &data, const MpegEncode &encode, uint32_t frames)
{
    SbkSample s;
    s.name = name;
    s.flags = 0x200;
    s.channels = static_cast<uint16_t>(encode.channels);
    s.frequency = encode.rate;
    s.data = data;
    s.lengthpcm = frames;
    return s;
}

} // namespace auratest

#endif // AURA_TESTS_SUPPORT_MPEG_FRAMES_H
