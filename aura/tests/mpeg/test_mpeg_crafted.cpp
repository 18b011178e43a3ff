// Frames no encoder writes, made by the test's own frame writer, against
// mpg123's decode of the same files: intensity stereo at every position
// (with and without mid/side), mixed and switching blocks, extreme gains,
// and layer II joint stereo at every mode extension.
#include "mpeg_fixtures.h"
#include "mpeg_writer.h"

#include <gtest/gtest.h>

namespace {

using mpegtest::FrameBytes;
using mpegtest::Granule3;

struct Random {
    uint32_t state;
    uint32_t next()
    {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    }
    int below(int n) { return static_cast<int>(next() % static_cast<uint32_t>(n)); }
};

enum class Gain { Normal, Loudest, Quietest };

struct Craft3 {
    const char *name;
    int version; // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    int sampling;
    int bitrate;
    int mode;
    int extension;
    // 'l' long, 's' short, 'm' mixed, 'c' long, start, mixed, stop in turn,
    // 'w' the same with short blocks
    char blocks;
    Gain gain = Gain::Normal;
};

// One granule of one channel; `frame` counts granules. The right channel of
// an intensity frame has lines only in its lowest bands.
Granule3 craftGranule(const AURA::MpegHeader &h, const Craft3 &c, int frame, bool intensityRight, Random &rnd)
{
    Granule3 g;
    if (c.blocks == 'c' || c.blocks == 'w') {
        g.blockType = frame % 4;
        g.mixed = c.blocks == 'c' && frame % 4 == 2;
    } else {
        g.blockType = c.blocks == 'l' ? 0 : 2;
        g.mixed = c.blocks == 'm';
    }
    if (g.blockType) {
        g.tables[1] = g.tables[0];
    }
    g.scalefacCompress = h.lsf ? rnd.below(512) : rnd.below(16);
    if (h.lsf && intensityRight) {
        // Half the frames take 5-bit positions (slen 5 in the second or
        // third partition).
        if (frame % 2) {
            g.scalefacCompress = 2 * (36 * rnd.below(5) + 6 * 5 + rnd.below(6)) + (frame / 2) % 2;
        }
    }
    g.scalefacScale = rnd.below(2);
    g.preflag = h.lsf ? 0 : rnd.below(2);
    for (int &s : g.subblockGain) {
        s = g.blockType == 2 ? rnd.below(3) : 0;
    }
    g.globalGain = 156 + rnd.below(12) + (g.scalefacScale ? 6 : 0);
    const std::vector<int> widths = mpegtest::scaleFactorWidths(h, g, intensityRight);
    for (size_t i = 0; i < widths.size(); ++i) {
        const int top = (1 << widths[i]) - 1;
        int value = rnd.below(top + 1);
        if (intensityRight) {
            // Positions in turn, so every one appears; MPEG-1 knows 0-7.
            value = static_cast<int>(i + static_cast<size_t>(frame) * 5) % (top + 1);
            value = h.lsf ? value : std::min(value, 7);
        }
        g.scaleFactors.push_back(value);
    }
    // Where the lines end: fewer when two full channels share the frame.
    const uint16_t *longBands = mpegtest::tables::kLongBands[h.samplingFrequency];
    const uint16_t *shortBands = mpegtest::tables::kShortBands[h.samplingFrequency];
    int end = h.channels == 2 && !intensityRight ? 200 : 320;
    if (intensityRight) {
        end = g.blockType == 2 && !g.mixed ? 3 * shortBands[2] : longBands[4];
    }
    if (h.lsf && h.channels == 2) {
        end = std::min(end, 260);
    }
    for (int i = 0; i < end; ++i) {
        if (rnd.below(3) == 0) {
            continue;
        }
        int magnitude = 1 + rnd.below(3);
        if (i < 16 && rnd.below(4) == 0) {
            magnitude = 4 + rnd.below(26);
        }
        g.lines[static_cast<size_t>(i)] = rnd.below(2) ? magnitude : -magnitude;
    }
    if (c.gain == Gain::Loudest) {
        g.globalGain = 255;
        g.scaleFactors.assign(widths.size(), 0);
        g.scalefacScale = 0;
    } else if (c.gain == Gain::Quietest) {
        g.globalGain = 0;
        g.scalefacScale = 1;
        g.preflag = h.lsf ? 0 : 1;
        for (int &s : g.subblockGain) {
            s = g.blockType == 2 ? 7 : 0;
        }
        for (size_t i = 0; i < widths.size(); ++i) {
            g.scaleFactors[i] = (1 << widths[i]) - 1;
        }
    }
    return g;
}

FrameBytes craftStream3(const Craft3 &c, int frames)
{
    FrameBytes stream;
    Random rnd{static_cast<uint32_t>(c.bitrate * 7919 + c.sampling * 131 + c.extension)};
    const uint32_t raw = mpegtest::headerWord(c.version, 1, c.bitrate, c.sampling, c.mode, c.extension);
    AURA::MpegHeader h;
    EXPECT_EQ(AURA::decodeHeader(raw, 0, &h), AURA_OK) << c.name;
    const bool intensity = h.mode == 1 && (h.modeExtension & 1);
    for (int frame = 0; frame < frames; ++frame) {
        mpegtest::Frame3 f;
        f.header = raw;
        for (int gr = 0; gr < (h.lsf ? 1 : 2); ++gr) {
            for (int ch = 0; ch < h.channels; ++ch) {
                f.gr[gr][ch] = craftGranule(h, c, frame * (h.lsf ? 1 : 2) + gr, intensity && ch == 1, rnd);
            }
        }
        const FrameBytes bytes = mpegtest::writeLayer3(f);
        if (bytes.empty()) {
            return {};
        }
        stream.insert(stream.end(), bytes.begin(), bytes.end());
    }
    return stream;
}

// The same bounds as for the encoders' files, on bytes written to disk.
void checkCrafted(const std::string &name, const FrameBytes &stream, bool expectSignal = true)
{
    ASSERT_FALSE(stream.empty()) << name;
    const auto path = mpegtest::Fixtures::get().path(name);
    ASSERT_TRUE(auratest::writeAll(path, stream));
    const mpegtest::Reference ref = mpegtest::mpg123(path);
    mpegtest::Opened opened;
    opened.openDisk(path);
    ASSERT_EQ(opened.opened, AURA_OK) << name;
    const std::vector<int16_t> ours = opened.decodeAll();
    EXPECT_EQ(ours.size(), ref.samples.size()) << name;
    const mpegtest::Accuracy a = mpegtest::compare(ours, ref.samples);
    EXPECT_LT(a.rms, 32768.0 / 2048.0 / std::sqrt(12.0)) << name;
    EXPECT_GE(a.within2, 0.999) << name << " rms " << a.rms;
    // A file of silence would pass the bounds without testing anything.
    double peak = 0.0;
    for (const float v : ref.samples) {
        peak = std::max(peak, static_cast<double>(std::fabs(v)));
    }
    if (expectSignal) {
        EXPECT_GT(peak, 1000.0) << name;
    }
}

TEST(MpegCrafted, Layer3StereoToolsAndBlocks)
{
    static const Craft3 cases[] = {
        // MPEG-1 intensity positions 0-7 (7: left as decoded), alone and
        // with mid/side, over long, short, mixed and switching blocks.
        {"is1_long.mp3", 3, 0, 14, 1, 1, 'l'},
        {"is1_ms_long.mp3", 3, 0, 14, 1, 3, 'l'},
        {"is1_short.mp3", 3, 1, 14, 1, 1, 's'},
        {"is1_ms_mixed.mp3", 3, 0, 14, 1, 3, 'm'},
        {"is1_cycle.mp3", 3, 2, 14, 1, 1, 'c'},
        // MPEG-2 and 2.5: positions 0-31 through 5-bit scale factors.
        {"is2_long.mp3", 2, 0, 14, 1, 1, 'l'},
        {"is2_ms_long.mp3", 2, 1, 14, 1, 3, 'l'},
        {"is2_short.mp3", 2, 2, 14, 1, 1, 's'},
        {"is2_ms_short.mp3", 2, 0, 14, 1, 3, 's'},
        {"is2_mixed.mp3", 2, 0, 14, 1, 1, 'm'},
        {"is2_ms_mixed.mp3", 2, 1, 14, 1, 3, 'm'},
        {"is25_cycle.mp3", 0, 2, 14, 1, 1, 'c'},
        {"is25_ms_cycle.mp3", 0, 0, 14, 1, 3, 'w'},
        {"is25_ms_mixed.mp3", 0, 0, 14, 1, 3, 'm'},
        {"is25_ms_mixed8.mp3", 0, 2, 14, 1, 3, 'm'},
        // Mixed and switching blocks without stereo tools.
        {"mixed1_mono.mp3", 3, 0, 14, 3, 0, 'm'},
        {"mixed1_ms.mp3", 3, 1, 14, 1, 2, 'm'},
        {"mixed2_stereo.mp3", 2, 1, 14, 0, 0, 'm'},
        {"mixed2_ms.mp3", 2, 0, 14, 1, 2, 'm'},
        {"mixed25_8k.mp3", 0, 2, 10, 3, 0, 'm'},
        {"cycle1_stereo.mp3", 3, 0, 14, 0, 0, 'c'},
    };
    for (const Craft3 &c : cases) {
        checkCrafted(c.name, craftStream3(c, 24));
    }
}

// The largest gain clips everywhere; the smallest (every scale factor,
// sub-block gain and pre-emphasis at its top, MPEG-2 positions at 31)
// takes the gain index to its lowest.
TEST(MpegCrafted, Layer3ExtremeGains)
{
    static const Craft3 cases[] = {
        {"loud1.mp3", 3, 0, 14, 1, 2, 'c', Gain::Loudest},       {"loud2_is.mp3", 2, 0, 14, 1, 3, 'm', Gain::Loudest},
        {"quiet1.mp3", 3, 0, 14, 1, 2, 'c', Gain::Quietest},     {"quiet2_is.mp3", 2, 0, 14, 1, 1, 's', Gain::Quietest},
        {"quiet25_is.mp3", 0, 2, 14, 1, 3, 'm', Gain::Quietest},
    };
    for (const Craft3 &c : cases) {
        checkCrafted(c.name, craftStream3(c, 12), c.gain == Gain::Loudest);
    }
}

// twolame's frames rewritten to joint stereo with a given mode extension: the
// sub-bands from the new bound up share one allocation and one set of
// samples, below it each channel keeps its own.
FrameBytes rewriteJoint(const FrameBytes &file, int extension)
{
    FrameBytes out;
    size_t at = 0;
    while (at + 4 <= file.size()) {
        const uint32_t raw = static_cast<uint32_t>(file[at]) << 24 | static_cast<uint32_t>(file[at + 1]) << 16 |
                             static_cast<uint32_t>(file[at + 2]) << 8 | file[at + 3];
        AURA::MpegHeader h;
        if (AURA::decodeHeader(raw, 0, &h) != AURA_OK || at + 4 + static_cast<size_t>(h.bodySize) > file.size()) {
            break;
        }
        mpegtest::Frame2 f;
        EXPECT_TRUE(mpegtest::readLayer2(file.data() + at, 4 + static_cast<size_t>(h.bodySize), &f));
        at += 4 + static_cast<size_t>(h.bodySize);
        const int oldBound = std::min(h.bound, h.sblimit);
        const int newBound = std::min(4 * extension + 4, h.sblimit);
        for (int sb = oldBound; sb < newBound; ++sb) {
            for (auto &granule : f.codes) {
                std::copy(std::begin(granule[0][sb]), std::end(granule[0][sb]), granule[1][sb]);
            }
        }
        for (int sb = newBound; sb < oldBound; ++sb) {
            if (!f.allocation[1][sb] && f.allocation[0][sb]) {
                f.scfsi[1][sb] = f.scfsi[0][sb];
                std::copy(std::begin(f.scale[0][sb]), std::end(f.scale[0][sb]), f.scale[1][sb]);
            }
            f.allocation[1][sb] = f.allocation[0][sb];
        }
        f.header = (raw & ~0xF0u) | 1u << 6 | static_cast<uint32_t>(extension) << 4;
        const FrameBytes bytes = mpegtest::writeLayer2(f);
        EXPECT_FALSE(bytes.empty());
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    return out;
}

TEST(MpegCrafted, Layer2ModeExtensions)
{
    struct Source {
        const char *name;
        int rate;
        const char *command;
    };
    // 64 kbit/s at 48 kHz and 96 kbit/s at 32 kHz select the 8- and
    // 12-sub-band tables, where mode extensions 2 and 3 put the bound past
    // the sub-bands that exist.
    static const Source sources[] = {
        {"tj48_192.mp2", 48000, "twolame --quiet -b 192 -m j {in} {out}"},
        {"tj48_64.mp2", 48000, "twolame --quiet -b 64 -m j {in} {out}"},
        {"tj32_96.mp2", 32000, "twolame --quiet -b 96 -m j {in} {out}"},
        {"tj24_80.mp2", 24000, "twolame --quiet -b 80 -m j {in} {out}"},
    };
    mpegtest::Fixtures &fx = mpegtest::Fixtures::get();
    for (const Source &s : sources) {
        const auto file = fx.encode(s.name, fx.source("noise", s.rate, 2, 1.0), s.command);
        const FrameBytes bytes = auratest::readAll(file);
        for (int extension = 1; extension <= 3; ++extension) {
            checkCrafted(std::string(s.name) + ".ext" + std::to_string(extension) + ".mp2",
                         rewriteJoint(bytes, extension));
        }
    }
}

} // namespace
