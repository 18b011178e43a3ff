// Decodes of files from lame, twolame and ffmpeg against mpg123's, run as a
// black box on the same files.
#include "mpeg_fixtures.h"

#include <gtest/gtest.h>

namespace {

using mpegtest::Fixtures;
using mpegtest::Opened;

struct Case {
    const char *name;
    const char *kind; // source signal
    int rate;
    int channels;
    const char *command; // {in}, {out}
};

// Checks one encode against mpg123: same length, RMS difference below
// 2^-11/sqrt(12) of full scale, 99.9 % of unclipped samples within 2 steps.
void checkAgainstReference(const Case &c)
{
    Fixtures &fx = Fixtures::get();
    const auto input = fx.source(c.kind, c.rate, c.channels);
    const auto file = fx.encode(c.name, input, c.command);
    const mpegtest::Reference ref = mpegtest::mpg123(file);
    Opened opened;
    opened.openDisk(file);
    ASSERT_EQ(opened.opened, AURA_OK) << c.name;
    EXPECT_EQ(opened.format().channels, ref.channels) << c.name;
    EXPECT_EQ(opened.format().frequency, ref.rate) << c.name;
    const std::vector<int16_t> ours = opened.decodeAll();
    EXPECT_EQ(ours.size(), ref.samples.size()) << c.name;
    const mpegtest::Accuracy a = mpegtest::compare(ours, ref.samples);
    const double bound = 32768.0 / 2048.0 / std::sqrt(12.0);
    EXPECT_LT(a.rms, bound) << c.name;
    EXPECT_GE(a.within2, 0.999) << c.name << " rms " << a.rms;
    if (std::string(c.kind) == "chord") {
        EXPECT_GE(a.snr, 80.0) << c.name;
    }
}

TEST(MpegAccuracy, LameLayer3)
{
    static const Case cases[] = {
        {"cbr32.mp3", "chord", 44100, 2, "lame --quiet -t -b 32 {in} {out}"},
        {"cbr128.mp3", "noise", 44100, 2, "lame --quiet -t -b 128 {in} {out}"},
        {"cbr320.mp3", "chord", 44100, 2, "lame --quiet -t -b 320 {in} {out}"},
        {"v0.mp3", "noise", 44100, 2, "lame --quiet -t -V 0 {in} {out}"},
        {"v2.mp3", "chord", 44100, 2, "lame --quiet -t -V 2 {in} {out}"},
        {"v6.mp3", "noise", 44100, 2, "lame --quiet -t -V 6 {in} {out}"},
        {"mj.mp3", "noise", 44100, 2, "lame --quiet -t -m j -b 96 {in} {out}"},
        {"ms.mp3", "chord", 44100, 2, "lame --quiet -t -m s {in} {out}"},
        {"mf.mp3", "noise", 44100, 2, "lame --quiet -t -m f -b 112 {in} {out}"},
        {"md.mp3", "chord", 44100, 2, "lame --quiet -t -m d {in} {out}"},
        {"mm.mp3", "noise", 44100, 2, "lame --quiet -t -m m {in} {out}"},
        {"mono.mp3", "chord", 44100, 1, "lame --quiet -t {in} {out}"},
        {"crc.mp3", "noise", 44100, 2, "lame --quiet -t -p {in} {out}"},
        {"nores.mp3", "noise", 44100, 2, "lame --quiet -t --nores {in} {out}"},
        {"shine.mp3", "noise", 44100, 2, "ffmpeg -v quiet -y -i {in} -c:a libshine -write_xing 0 {out}"},
    };
    for (const Case &c : cases) {
        checkAgainstReference(c);
    }
}

TEST(MpegAccuracy, LameResampled)
{
    static const Case cases[] = {
        {"r8.mp3", "noise", 44100, 2, "lame --quiet -t --resample 8 {in} {out}"},
        {"r8m.mp3", "noise", 44100, 1, "lame --quiet -t -m m --resample 8 {in} {out}"},
        {"r11.mp3", "chord", 44100, 2, "lame --quiet -t --resample 11.025 {in} {out}"},
        {"r12.mp3", "noise", 44100, 2, "lame --quiet -t --resample 12 {in} {out}"},
        {"r16.mp3", "chord", 44100, 2, "lame --quiet -t --resample 16 {in} {out}"},
        {"r22.mp3", "noise", 44100, 2, "lame --quiet -t --resample 22.05 {in} {out}"},
        {"r24.mp3", "chord", 44100, 2, "lame --quiet -t --resample 24 {in} {out}"},
        {"r32.mp3", "noise", 44100, 2, "lame --quiet -t --resample 32 {in} {out}"},
        {"r48.mp3", "chord", 44100, 2, "lame --quiet -t --resample 48 {in} {out}"},
    };
    for (const Case &c : cases) {
        checkAgainstReference(c);
    }
}

TEST(MpegAccuracy, Layer2)
{
    static const Case cases[] = {
        {"tl48_192.mp2", "chord", 48000, 2, "twolame --quiet -b 192 {in} {out}"},
        {"tl44_384s.mp2", "noise", 44100, 2, "twolame --quiet -b 384 -m s {in} {out}"},
        {"tl32_64j.mp2", "noise", 32000, 2, "twolame --quiet -b 64 -m j {in} {out}"},
        {"tl44_96j.mp2", "chord", 44100, 2, "twolame --quiet -b 96 -m j {in} {out}"},
        {"tl44_32m.mp2", "noise", 44100, 1, "twolame --quiet -b 32 -m m {in} {out}"},
        {"tl48_64d.mp2", "chord", 48000, 2, "twolame --quiet -b 64 -m d {in} {out}"},
        {"tl24_32s.mp2", "noise", 24000, 2, "twolame --quiet -b 32 -m s {in} {out}"},
        {"tl16_80j.mp2", "chord", 16000, 2, "twolame --quiet -b 80 -m j {in} {out}"},
        {"tl22_160p.mp2", "noise", 22050, 2, "twolame --quiet -b 160 -p {in} {out}"},
        {"tl44_224pad.mp2", "chord", 44100, 2, "twolame --quiet -b 224 -d {in} {out}"},
        {"ff_mp2.mp2", "noise", 44100, 2, "ffmpeg -v quiet -y -i {in} -c:a mp2 {out}"},
    };
    for (const Case &c : cases) {
        checkAgainstReference(c);
    }
}

// The game's own music: MPEG-2 layer III, 22050 Hz, 80 kbit/s.
TEST(MpegAccuracy, AscMusic)
{
    const char *names[] = {"frontiers.mp3", "machine_wars.mp3", "time_to_strike.mp3"};
    const mpegtest::fs::path dir = "/usr/share/games/asc/music";
    if (!mpegtest::fs::exists(dir / names[0])) {
        GTEST_SKIP() << "asc-music is not installed";
    }
    for (const char *name : names) {
        const mpegtest::fs::path copy = Fixtures::get().path(name);
        mpegtest::fs::copy_file(dir / name, copy, mpegtest::fs::copy_options::overwrite_existing);
        const mpegtest::Reference ref = mpegtest::mpg123(copy);
        Opened opened;
        opened.openDisk(copy);
        ASSERT_EQ(opened.opened, AURA_OK) << name;
        EXPECT_EQ(opened.format().frequency, 22050);
        const std::vector<int16_t> ours = opened.decodeAll();
        EXPECT_EQ(ours.size(), ref.samples.size()) << name;
        const mpegtest::Accuracy a = mpegtest::compare(ours, ref.samples);
        EXPECT_LT(a.rms, 32768.0 / 2048.0 / std::sqrt(12.0)) << name;
        EXPECT_GE(a.within2, 0.999) << name;
    }
}

} // namespace
