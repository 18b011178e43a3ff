// The frame decoder writes its samples straight into the caller's
// interleaved buffer, with wide stores where the layout allows. Every
// layout must get the same samples, and the samples of other channels
// (other streams of an interleaved container) must stay as they were.
#include "mpeg/aura_mpeg_decoder.h"
#include "files.h"
#include "mpeg_frames.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int16_t kOther = 0x5A5A; // what the other channels hold

// One decoder fed every frame of an encode, writing channel c of the
// frames at buffer[t * stride + offset + c].
struct Layout {
    int stride;
    int offset;
};

std::vector<int16_t> decodeInto(const std::vector<auratest::Bytes> &frames, const Layout &layout,
                                std::vector<int16_t> *whole)
{
    auto state = std::make_unique<AURA::MpegDecoderState>();
    AURA::resetDecoder(state.get());
    std::vector<int16_t> samples; // channel-interleaved, as the frames hold them
    for (const auratest::Bytes &frame : frames) {
        uint32_t raw = 0;
        for (size_t i = 0; i < 4; ++i) {
            raw = raw << 8 | frame[i];
        }
        AURA::MpegHeader header;
        EXPECT_EQ(AURA::decodeHeader(raw, 0, &header), AURA_OK);
        const int count = header.samplesPerFrame();
        // Exactly the frame's room: a store past it is a heap overflow
        // under the sanitizers.
        std::vector<int16_t> buffer(static_cast<size_t>(count * layout.stride), kOther);
        unsigned int produced = 0;
        (void)AURA::decodeFrame(state.get(), header, frame.data(), static_cast<unsigned int>(frame.size()),
                                buffer.data() + layout.offset, layout.stride, &produced);
        EXPECT_EQ(produced, static_cast<unsigned int>(count * header.channels * 2));
        for (int t = 0; t < count; ++t) {
            for (int c = 0; c < header.channels; ++c) {
                samples.push_back(buffer[static_cast<size_t>(t * layout.stride + layout.offset + c)]);
            }
        }
        whole->insert(whole->end(), buffer.begin(), buffer.end());
    }
    return samples;
}

TEST(MpegLayout, EveryInterleavingGetsTheSameSamplesAndKeepsTheOtherChannels)
{
    const auratest::TempDir dir("aura-mpeg-layout");
    ASSERT_TRUE(dir.ok());
    const std::vector<auratest::MpegEncode> encodes = {
        auratest::encodeMpeg(dir, "l3j", 44100, 2, 0.5, "lame --quiet -t -m j -b 128 {in} {out}"),
        auratest::encodeMpeg(dir, "l3m", 44100, 1, 0.5, "lame --quiet -t -m m -b 64 {in} {out}"),
        auratest::encodeMpeg(dir, "l3lsf", 22050, 2, 0.5, "lame --quiet -t -b 48 {in} {out}"),
        auratest::encodeMpeg(dir, "l2j", 44100, 2, 0.5, "twolame --quiet -m j -b 192 {in} {out}"),
        auratest::encodeMpeg(dir, "l2m", 32000, 1, 0.5, "twolame --quiet -m m -b 96 {in} {out}"),
    };
    for (const auratest::MpegEncode &encode : encodes) {
        SCOPED_TRACE(encode.name);
        const std::vector<auratest::Bytes> frames = auratest::splitFrames(encode.bytes);
        ASSERT_GT(frames.size(), 4u);
        std::vector<int16_t> packedWhole;
        const std::vector<int16_t> packed = decodeInto(frames, {encode.channels, 0}, &packedWhole);
        // The channels differ, so channels written to each other's place
        // would show.
        if (encode.channels == 2) {
            bool differ = false;
            for (size_t i = 0; i + 1 < packed.size() && !differ; i += 2) {
                differ = packed[i] != packed[i + 1];
            }
            EXPECT_TRUE(differ);
        }
        // The packed layout fills every sample of its buffer.
        for (size_t i = 0; i < packedWhole.size(); ++i) {
            ASSERT_NE(packedWhole[i], kOther) << "sample " << i << " left unwritten";
        }
        // One more channel after the frame's, or before it (a second stream
        // of a container): same samples, the other channel untouched.
        const Layout wider[] = {{encode.channels + 1, 0}, {encode.channels + 1, 1}, {encode.channels + 2, 1}};
        for (const Layout &layout : wider) {
            SCOPED_TRACE("stride " + std::to_string(layout.stride) + " offset " + std::to_string(layout.offset));
            std::vector<int16_t> whole;
            EXPECT_EQ(decodeInto(frames, layout, &whole), packed);
            for (size_t i = 0; i < whole.size(); ++i) {
                const int c = static_cast<int>(i % static_cast<size_t>(layout.stride)) - layout.offset;
                if (c < 0 || c >= encode.channels) {
                    ASSERT_EQ(whole[i], kOther) << "sample " << i << " of another channel overwritten";
                }
            }
        }
    }
}

} // namespace
