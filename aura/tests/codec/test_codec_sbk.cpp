// SBK4 sample banks, written by the test writer and read back through the
// sound layer: every subsound's data, its defaults, loops and sync points,
// the faults a bank can carry, and the shared header cache.
#include "aura.h"
#include "aura.hpp"
#include "base/aura_globals.h"
#include "base/aura_memory.h"
#include "codec/aura_codec_sbk.h"
#include "file/aura_file_memory.h"
#include "sound/aura_sample.h"
#include "files.h"
#include "ima_writer.h"
#include "mpeg_frames.h"
#include "sbk_writer.h"
#include "systems.h"
#include "tools.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using auratest::Bytes;
using auratest::SbkBank;
using auratest::SbkSample;

std::string numbered(const char *prefix, long n)
{
    std::string out(prefix);
    out += std::to_string(n);
    return out;
}

Bytes pcm16(const std::vector<int16_t> &samples, bool bigEndian = false)
{
    Bytes out;
    for (int16_t s : samples) {
        const auto u = static_cast<uint16_t>(s);
        out.push_back(static_cast<uint8_t>(bigEndian ? u >> 8 : u));
        out.push_back(static_cast<uint8_t>(bigEndian ? u : u >> 8));
    }
    return out;
}

std::vector<int16_t> ramp(size_t count, int seed)
{
    std::vector<int16_t> out(count);
    std::mt19937 random(static_cast<unsigned>(seed));
    for (auto &s : out) {
        s = static_cast<int16_t>(random());
    }
    return out;
}

SbkSample pcmSample(const std::string &name, uint16_t channels, size_t frames, int seed)
{
    SbkSample s;
    s.name = name;
    s.channels = channels;
    s.data = pcm16(ramp(frames * channels, seed));
    s.lengthpcm = static_cast<uint32_t>(frames);
    return s;
}

struct OpenedBank {
    AURA::Sound *parent = nullptr;
    AURA_RESULT result = AURA_OK;
};

OpenedBank openBank(AURA::System *system, const Bytes &file, AURA_MODE mode = 0,
                    AURA_CREATESOUNDEXINFO *extra = nullptr)
{
    AURA_CREATESOUNDEXINFO exinfo{};
    AURA_CREATESOUNDEXINFO *info = extra ? extra : &exinfo;
    info->cbsize = sizeof(*info);
    info->length = static_cast<unsigned int>(file.size());
    OpenedBank bank;
    bank.result = system->createSound(reinterpret_cast<const char *>(file.data()),
                                      AURA_OPENMEMORY | AURA_SOFTWARE | mode, info, &bank.parent);
    return bank;
}

Bytes soundData(AURA::Sound *sub);

// The data of a subsound as the engine holds it.
Bytes subsoundData(AURA::Sound *parent, int index)
{
    AURA::Sound *sub = nullptr;
    EXPECT_EQ(parent->getSubSound(index, &sub), AURA_OK);
    return sub ? soundData(sub) : Bytes{};
}

Bytes soundData(AURA::Sound *sub)
{
    unsigned int bytes = 0;
    EXPECT_EQ(sub->getLength(&bytes, AURA_TIMEUNIT_PCMBYTES), AURA_OK);
    void *data = nullptr;
    unsigned int got = 0;
    if (bytes == 0) {
        return {};
    }
    EXPECT_EQ(sub->lock(0, bytes, &data, nullptr, &got, nullptr), AURA_OK);
    Bytes out(static_cast<uint8_t *>(data), static_cast<uint8_t *>(data) + got);
    EXPECT_EQ(sub->unlock(data, nullptr, got, 0), AURA_OK);
    return out;
}

// sox's decode of mono 36-byte IMA blocks, without each block's 65th sample.
std::vector<int16_t> soxMonoIMA(const auratest::TempDir &dir, const Bytes &blocks, const std::string &name)
{
    const std::string wav = dir.file(name + ".wav");
    const std::string raw = dir.file(name + ".s16");
    EXPECT_TRUE(auratest::writeAll(wav, auratest::imaWav(blocks, 1, 22050, 36, 65)));
    EXPECT_TRUE(auratest::run("sox -D " + wav + " -t raw -e signed-integer -b 16 " + raw));
    const Bytes bytes = auratest::readAll(raw);
    std::vector<int16_t> out;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        if ((i / 2) % 65 != 64) {
            out.push_back(static_cast<int16_t>(bytes[i] | bytes[i + 1] << 8));
        }
    }
    return out;
}

// IMA blocks for a bank: each channel's 36-byte blocks, the channels
// interleaved in 2-byte units (or, for two channels in the stereo layout,
// the WAV layout's 4-byte groups); with the PCM sox hears in them.
struct IMAData {
    Bytes stored;
    Bytes expected;
};
IMAData imaData(const auratest::TempDir &dir, unsigned channels, size_t frames, bool stereoLayout, int seed)
{
    std::vector<std::vector<int16_t>> heard(channels);
    std::vector<Bytes> mono(channels);
    std::vector<int16_t> all(frames * channels);
    for (unsigned c = 0; c < channels; ++c) {
        std::vector<int16_t> signal(frames);
        for (size_t f = 0; f < frames; ++f) {
            signal[f] = static_cast<int16_t>(8000 * std::sin(0.01 * (c + 1) * static_cast<double>(f) + seed) +
                                             (static_cast<int>(f * 7919 % 997) - 498));
            all[f * channels + c] = signal[f];
        }
        mono[c] = auratest::imaEncode(signal, 1, 36, 64);
        heard[c] = soxMonoIMA(dir, mono[c], numbered("ima", seed) + numbered("c", c));
    }
    IMAData out;
    if (channels == 2 && stereoLayout) {
        out.stored = auratest::imaEncode(all, 2, 72, 64);
        // The same blocks read by sox as one stereo WAV.
        const std::string wav = dir.file(numbered("imas", seed) + ".wav");
        const std::string raw = dir.file(numbered("imas", seed) + ".s16");
        EXPECT_TRUE(auratest::writeAll(wav, auratest::imaWav(out.stored, 2, 22050, 72, 65)));
        EXPECT_TRUE(auratest::run("sox -D " + wav + " -t raw -e signed-integer -b 16 " + raw));
        const Bytes bytes = auratest::readAll(raw);
        for (size_t i = 0; i + 3 < bytes.size(); i += 4) {
            if ((i / 4) % 65 != 64) {
                out.expected.insert(out.expected.end(), bytes.begin() + static_cast<long>(i),
                                    bytes.begin() + static_cast<long>(i) + 4);
            }
        }
        return out;
    }
    const size_t blocks = mono[0].size() / 36;
    for (size_t b = 0; b < blocks; ++b) {
        for (unsigned u = 0; u < 18; ++u) {
            for (unsigned c = 0; c < channels; ++c) {
                out.stored.push_back(mono[c][b * 36 + 2 * u]);
                out.stored.push_back(mono[c][b * 36 + 2 * u + 1]);
            }
        }
    }
    for (size_t f = 0; f < heard[0].size(); ++f) {
        for (unsigned c = 0; c < channels; ++c) {
            const auto u = static_cast<uint16_t>(heard[c][f]);
            out.expected.push_back(static_cast<uint8_t>(u));
            out.expected.push_back(static_cast<uint8_t>(u >> 8));
        }
    }
    return out;
}

struct BankCase {
    std::string name; // what the case is about
    SbkBank bank;
    std::vector<Bytes> expected; // per subsound, as the engine holds it
    std::string key;
    bool xorFirst = false;
};

std::vector<BankCase> bankCases(const auratest::TempDir &dir)
{
    std::vector<BankCase> cases;
    {
        // 33 bytes of 8-bit data move the next sample by 64 bytes.
        BankCase c;
        c.name = "full";
        SbkSample eight;
        eight.name = "eight";
        eight.flags = 0x8;
        for (int i = 0; i < 33; ++i) {
            eight.data.push_back(static_cast<uint8_t>(i * 7));
        }
        eight.lengthpcm = 33;
        Bytes signedEight;
        for (uint8_t b : eight.data) {
            signedEight.push_back(static_cast<uint8_t>(b ^ 0x80));
        }
        c.bank.samples = {eight, pcmSample("b", 1, 100, 2), pcmSample("c", 2, 77, 3)};
        c.expected = {signedEight, c.bank.samples[1].data, c.bank.samples[2].data};
        cases.push_back(c);
    }
    {
        BankCase c;
        c.name = "basic";
        c.bank.flags = 0x2;
        c.bank.samples = {pcmSample("first", 2, 90, 4), pcmSample("", 2, 31, 5), pcmSample("", 2, 64, 6)};
        c.expected = {c.bank.samples[0].data, c.bank.samples[1].data, c.bank.samples[2].data};
        cases.push_back(c);
    }
    {
        BankCase c;
        c.name = "reuse";
        SbkSample again = pcmSample("", 1, 50, 8);
        again.data = Bytes(100, 0);
        c.bank.samples = {pcmSample("one", 1, 50, 7), again, pcmSample("three", 1, 20, 9)};
        c.expected = {c.bank.samples[0].data, c.bank.samples[0].data, c.bank.samples[2].data};
        // The reusing entry stores nothing: its length must match what it reuses.
        c.bank.samples[1].data = c.bank.samples[0].data;
        cases.push_back(c);
    }
    {
        BankCase c;
        c.name = "bigEndian";
        c.bank.flags = 0x8;
        const std::vector<int16_t> words = ramp(64, 10);
        SbkSample word = pcmSample("word", 1, 64, 10);
        word.data = pcm16(words, true);
        SbkSample real;
        real.name = "float";
        real.flags = 0x200000;
        const float values[2] = {0.25f, -0.75f};
        Bytes little(reinterpret_cast<const uint8_t *>(values), reinterpret_cast<const uint8_t *>(values) + 8);
        real.data = little;
        std::reverse(real.data.begin(), real.data.begin() + 4);
        std::reverse(real.data.begin() + 4, real.data.end());
        real.lengthpcm = 2;
        c.bank.samples = {word, real};
        c.expected = {pcm16(words), little};
        cases.push_back(c);
    }
    {
        BankCase c;
        c.name = "channelsAndHash";
        c.bank.hash = {1, 2, 3};
        c.bank.version = 0x00050000;
        for (uint16_t ch = 1; ch <= 6; ++ch) {
            c.bank.samples.push_back(pcmSample(numbered("ch", ch), ch, 40 + ch, 20 + ch));
            c.expected.push_back(c.bank.samples.back().data);
        }
        cases.push_back(c);
    }
    for (bool xorFirst : {false, true}) {
        BankCase c;
        c.name = xorFirst ? "keyXorFirst" : "keyDefault";
        c.key = "a key longer than thirty-two bytes, cut";
        c.xorFirst = xorFirst;
        c.bank.hash = {9};
        c.bank.samples = {pcmSample("k1", 1, 300, 30), pcmSample("k2", 2, 50, 31)};
        c.expected = {c.bank.samples[0].data, c.bank.samples[1].data};
        cases.push_back(c);
    }
    {
        BankCase c;
        c.name = "syncAndHugeHeader";
        SbkSample named = pcmSample("named", 1, 120, 40);
        named.sync = {{10, "first"}, {99, "second"}};
        SbkSample bare = pcmSample("bare", 1, 60, 41);
        bare.flags |= 0x4000;
        bare.sync = {{5, ""}, {6, ""}, {7, ""}};
        SbkSample huge = pcmSample("huge", 1, 30, 42);
        huge.hugeSizeField = true;
        c.bank.samples = {named, bare, huge};
        c.expected = {named.data, bare.data, huge.data};
        cases.push_back(c);
    }
    {
        BankCase c;
        c.name = "ima";
        const IMAData mono = imaData(dir, 1, 64 * 5, false, 50);
        const IMAData units = imaData(dir, 2, 64 * 4, false, 51);
        const IMAData layout = imaData(dir, 2, 64 * 3, true, 52);
        const IMAData three = imaData(dir, 3, 64 * 2, false, 53);
        for (auto [name, data, channels, flags] :
             {std::tuple{"mono", &mono, 1, 0x400000u}, std::tuple{"units", &units, 2, 0x400000u},
              std::tuple{"layout", &layout, 2, 0x20400000u}, std::tuple{"three", &three, 3, 0x400000u}}) {
            SbkSample s;
            s.name = name;
            s.flags = flags;
            s.channels = static_cast<uint16_t>(channels);
            s.data = data->stored;
            s.lengthpcm = static_cast<uint32_t>(data->stored.size() / (36u * channels) * 64);
            c.bank.samples.push_back(s);
            c.expected.push_back(data->expected);
        }
        cases.push_back(c);
    }
    return cases;
}

Bytes fileOf(const BankCase &c)
{
    const Bytes plain = auratest::writeSbk(c.bank);
    return c.key.empty() ? plain : auratest::scramble(plain, c.key, c.xorFirst);
}

class SbkBanks : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        sDir = new auratest::TempDir("aura-sbk");
        sCases = new std::vector<BankCase>(bankCases(*sDir));
    }
    static void TearDownTestSuite()
    {
        delete sCases;
        delete sDir;
    }
    static auratest::TempDir *sDir;
    static std::vector<BankCase> *sCases;
};
auratest::TempDir *SbkBanks::sDir = nullptr;
std::vector<BankCase> *SbkBanks::sCases = nullptr;

TEST_F(SbkBanks, EverySubsoundHoldsWhatWasWritten)
{
    auratest::WavRender render({22050});
    for (const BankCase &c : *sCases) {
        SCOPED_TRACE(c.name);
        AURA_CREATESOUNDEXINFO exinfo{};
        exinfo.encryptionkey = c.key.empty() ? nullptr : c.key.c_str();
        const OpenedBank bank = openBank(render.system(), fileOf(c), 0, &exinfo);
        ASSERT_EQ(bank.result, AURA_OK);
        int count = 0;
        ASSERT_EQ(bank.parent->getNumSubSounds(&count), AURA_OK);
        ASSERT_EQ(count, static_cast<int>(c.expected.size()));
        for (int i = 0; i < count; ++i) {
            EXPECT_EQ(subsoundData(bank.parent, i), c.expected[static_cast<size_t>(i)]) << "subsound " << i;
        }
        ASSERT_EQ(bank.parent->release(), AURA_OK);
    }
}

TEST_F(SbkBanks, DefaultsDistancesPansLoopsAndSyncPoints)
{
    SbkBank bank;
    struct Expect {
        float pan;
        float minDistance, maxDistance;
    };
    const std::vector<std::tuple<int16_t, float, float, Expect>> rows = {
        {0, 5.0f, 5.0f, {-1.0f, 1.0f, 10000.0f}},
        {128, 2.0f, 50.0f, {0.0f, 2.0f, 50.0f}},
        {255, 3.0f, 4.0f, {1.0f, 3.0f, 4.0f}},
        {64, 1.0f, 1.0f, {64.0f / 255.0f * 2.0f - 1.0f, 1.0f, 10000.0f}},
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        SbkSample s = pcmSample(numbered("s", static_cast<long>(i)), 1, 400, static_cast<int>(i));
        s.pan = std::get<0>(rows[i]);
        s.mindistance = std::get<1>(rows[i]);
        s.maxdistance = std::get<2>(rows[i]);
        s.frequency = 32000 + static_cast<int>(i);
        s.volume = 51;
        s.priority = static_cast<uint16_t>(7 + i);
        s.flags |= 0x2;
        s.loopstart = 100;
        s.loopend = 299;
        s.sync = {{50, "mark"}, {350, "late"}};
        bank.samples.push_back(s);
    }
    auratest::WavRender render({32000});
    const OpenedBank opened = openBank(render.system(), auratest::writeSbk(bank));
    ASSERT_EQ(opened.result, AURA_OK);
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        AURA::Sound *sub = nullptr;
        ASSERT_EQ(opened.parent->getSubSound(static_cast<int>(i), &sub), AURA_OK);
        float frequency = 0, volume = 0, pan = 0;
        int priority = 0;
        ASSERT_EQ(sub->getDefaults(&frequency, &volume, &pan, &priority), AURA_OK);
        EXPECT_EQ(frequency, 32000.0f + static_cast<float>(i));
        EXPECT_FLOAT_EQ(volume, 51.0f / 255.0f);
        EXPECT_FLOAT_EQ(pan, std::get<3>(rows[i]).pan);
        EXPECT_EQ(priority, static_cast<int>(7 + i));
        auto *soundi = static_cast<AURA::SoundI *>(sub);
        EXPECT_EQ(soundi->mMinDistance, std::get<3>(rows[i]).minDistance);
        EXPECT_EQ(soundi->mMaxDistance, std::get<3>(rows[i]).maxDistance);
        unsigned int start = 0, end = 0;
        ASSERT_EQ(sub->getLoopPoints(&start, &end), AURA_OK);
        EXPECT_EQ(start, 100u);
        EXPECT_EQ(end, 299u);
        AURA_MODE mode = 0;
        ASSERT_EQ(sub->getMode(&mode), AURA_OK);
        EXPECT_TRUE(mode & AURA_LOOP_NORMAL);
        int syncs = 0;
        ASSERT_EQ(sub->getNumSyncPoints(&syncs), AURA_OK);
        ASSERT_EQ(syncs, 2);
        char name[64] = {};
        unsigned int offset = 0;
        ASSERT_EQ(sub->getSyncPointInfo(1, name, sizeof(name), &offset, AURA_TIMEUNIT_PCM), AURA_OK);
        EXPECT_STREQ(name, "late");
        EXPECT_EQ(offset, 350u);
    }

    // The sync points reach the channel's callback as the sound plays.
    static std::vector<intptr_t> fired;
    fired.clear();
    AURA::Sound *first = nullptr;
    ASSERT_EQ(opened.parent->getSubSound(1, &first), AURA_OK);
    AURA::Channel *channel = render.play(first, true);
    ASSERT_NE(channel, nullptr);
    ASSERT_EQ(channel->setLoopCount(0), AURA_OK);
    ASSERT_EQ(channel->setCallback([](AURA_CHANNEL *, AURA_CHANNEL_CALLBACKTYPE type, void *data1, void *) {
        if (type == AURA_CHANNEL_CALLBACKTYPE_SYNCPOINT) {
            fired.push_back(reinterpret_cast<intptr_t>(data1));
        }
        return AURA_OK;
    }),
              AURA_OK);
    ASSERT_EQ(channel->setPaused(false), AURA_OK);
    render.update(4);
    EXPECT_EQ(fired, (std::vector<intptr_t>{0, 1}));
}

TEST_F(SbkBanks, FaultyBanksAreRefused)
{
    auto plain = [] {
        SbkBank b;
        b.samples = {pcmSample("a", 1, 64, 1), pcmSample("b", 1, 64, 2)};
        return b;
    };
    struct Case {
        std::string name;
        SbkBank bank;
        AURA_RESULT expected;
    };
    std::vector<Case> cases;
    auto add = [&](const std::string &name, AURA_RESULT expected, auto change) {
        SbkBank b = plain();
        change(b);
        cases.push_back({name, b, expected});
    };
    add("SBK3", AURA_ERR_FORMAT, [](SbkBank &b) { std::memcpy(b.magic, "SBK3", 4); });
    add("oldVersion", AURA_ERR_VERSION, [](SbkBank &b) { b.version = 0x00030000; });
    add("olderLayout", AURA_OK, [](SbkBank &b) { b.version = 0x00030001; });
    add("refused", AURA_ERR_FORMAT, [](SbkBank &b) { b.flags = 0x1; });
    add("noSamples", AURA_ERR_FILE_BAD, [](SbkBank &b) { b.numSamplesOverride = 0; });
    add("countPastHeaders", AURA_ERR_FILE_BAD, [](SbkBank &b) { b.numSamplesOverride = 0x7FFFFFFF; });
    add("headersPastFile", AURA_ERR_FILE_BAD, [](SbkBank &b) { b.headerSizeOverride = 0x7FFFFFF0; });
    add("headerSizeZero", AURA_ERR_FILE_BAD, [](SbkBank &b) { b.samples[1].sizeOverride = 0; });
    add("headerPastBlock", AURA_ERR_FILE_BAD, [](SbkBank &b) { b.samples[1].sizeOverride = 400; });
    add("syncPastHeader", AURA_ERR_FILE_BAD, [](SbkBank &b) {
        b.samples[0].sync = {{1, "x"}};
        b.samples[0].syncCountOverride = 1000;
    });
    add("zeroChannels", AURA_ERR_FILE_BAD, [](SbkBank &b) { b.samples[0].channels = 0; });
    add("firstNameEmpty", AURA_ERR_FILE_BAD, [](SbkBank &b) { b.samples[0].name = ""; });
    add("refusedFormat", AURA_ERR_FORMAT, [](SbkBank &b) { b.samples[1].flags = 0x800000; });
    add("tooManyChannels", AURA_ERR_TOOMANYCHANNELS, [](SbkBank &b) { b.samples[1].channels = 40; });
    // A block that cannot decode fails the open once a subsound before it loaded.
    add("badStepIndex", AURA_ERR_FILE_BAD, [](SbkBank &b) {
        b.samples[1].flags = 0x400000;
        b.samples[1].data = Bytes(36, 0);
        b.samples[1].data[2] = 89;
    });
    add("smallTrueSize", AURA_ERR_UNSUPPORTED, [](SbkBank &b) { b.samples[1].sizeOverride = 0xFFFF; });

    auratest::WavRender render({22050});
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const OpenedBank bank = openBank(render.system(), auratest::writeSbk(c.bank));
        EXPECT_EQ(bank.result, c.expected);
        if (bank.parent) {
            // Banks before version 4 start their data 24 bytes earlier (the writer does not).
            if (c.bank.version >= 0x00040000) {
                EXPECT_EQ(subsoundData(bank.parent, 1), c.bank.samples[1].data);
            }
            EXPECT_EQ(bank.parent->release(), AURA_OK);
        }
    }
    // An empty key is no key.
    AURA_CREATESOUNDEXINFO exinfo{};
    exinfo.encryptionkey = "";
    const OpenedBank keyed = openBank(render.system(), auratest::writeSbk(plain()), 0, &exinfo);
    ASSERT_EQ(keyed.result, AURA_OK);
    EXPECT_EQ(keyed.parent->release(), AURA_OK);
}

TEST_F(SbkBanks, InclusionListsNarrowTheBank)
{
    SbkBank bank;
    for (int i = 0; i < 10; ++i) {
        bank.samples.push_back(pcmSample(numbered("n", i), 1, 16 + i, 100 + i));
    }
    const Bytes file = auratest::writeSbk(bank);
    auratest::WavRender render({22050});
    int list[2] = {3, 1};
    AURA_CREATESOUNDEXINFO exinfo{};
    exinfo.inclusionlist = list;
    exinfo.inclusionlistnum = 2;
    exinfo.numsubsounds = 2;
    const OpenedBank narrowed = openBank(render.system(), file, 0, &exinfo);
    ASSERT_EQ(narrowed.result, AURA_OK);
    int count = 0;
    ASSERT_EQ(narrowed.parent->getNumSubSounds(&count), AURA_OK);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(subsoundData(narrowed.parent, 0), bank.samples[1].data); // the bank's order
    EXPECT_EQ(subsoundData(narrowed.parent, 1), bank.samples[3].data);
    EXPECT_EQ(exinfo.inclusionlist, nullptr);
    EXPECT_EQ(exinfo.inclusionlistnum, 0);
    ASSERT_EQ(narrowed.parent->release(), AURA_OK);

    for (auto entries : {std::vector<int>{2, 10}, std::vector<int>{-1, 4}, std::vector<int>{5, 5}}) {
        AURA_CREATESOUNDEXINFO bad{};
        bad.inclusionlist = entries.data();
        bad.inclusionlistnum = 2;
        bad.numsubsounds = 2;
        EXPECT_EQ(openBank(render.system(), file, 0, &bad).result, AURA_ERR_INVALID_PARAM)
            << entries[0] << "," << entries[1];
    }
}

TEST_F(SbkBanks, HashedBanksShareOneHeaderBlock)
{
    SbkBank bank;
    bank.hash = {7, 7, 7};
    SbkSample s = pcmSample("varied", 1, 64, 1);
    s.volumevariation = 100;
    s.panvariation = -20;
    SbkSample loud = pcmSample("loud", 1, 64, 2);
    loud.volumevariation = 20000; // x 4 saturates
    bank.samples = {s, loud};
    const Bytes file = auratest::writeSbk(bank);
    auratest::WavRender render({22050});
    const int before = AURA::CodecSBK::cacheEntries();
    const OpenedBank a = openBank(render.system(), file);
    const OpenedBank b = openBank(render.system(), file);
    ASSERT_EQ(a.result, AURA_OK);
    ASSERT_EQ(b.result, AURA_OK);
    EXPECT_EQ(AURA::CodecSBK::cacheEntries(), before + 1);
    for (const OpenedBank *opened : {&a, &b}) {
        auto *codec = static_cast<AURA::CodecSBK *>(static_cast<AURA::SoundI *>(opened->parent)->mSubSoundCodec);
        ASSERT_NE(codec, nullptr);
        EXPECT_EQ(codec->sample(0)->volumevariation, 400);
        EXPECT_EQ(codec->sample(0)->panvariation, -80);
        EXPECT_EQ(codec->sample(1)->volumevariation, 0xFFFF);
    }
    ASSERT_EQ(a.parent->release(), AURA_OK);
    EXPECT_EQ(AURA::CodecSBK::cacheEntries(), before + 1);
    EXPECT_EQ(subsoundData(b.parent, 1), bank.samples[1].data);
    ASSERT_EQ(b.parent->release(), AURA_OK);
    EXPECT_EQ(AURA::CodecSBK::cacheEntries(), before);
}

// The codec on its own over a memory file, opened as a stream would open it.
struct DirectCodec {
    explicit DirectCodec(const Bytes &file, unsigned int mode)
    {
        static constexpr const char AURA_ALLOC_TAG[] = "tests/test_codec_sbk";
        if (AURA::Codec::create(*AURA::CodecSBK::getDescriptionEx(), nullptr, &codec) != AURA_OK) {
            return;
        }
        auto *memory = AURA_New(AURA::MemoryFile);
        codec->mFile = memory;
        EXPECT_EQ(memory->init(nullptr, 0, 0), AURA_OK);
        EXPECT_EQ(memory->open(reinterpret_cast<const char *>(file.data()), static_cast<unsigned int>(file.size()),
                               false, nullptr),
                  AURA_OK);
        result = codec->open(mode, nullptr);
    }
    ~DirectCodec()
    {
        if (codec) {
            (void)codec->release();
        }
    }
    DirectCodec(const DirectCodec &) = delete;
    DirectCodec &operator=(const DirectCodec &) = delete;
    // Reads `bytes` (in pieces of `piece`), checking that no read gives more than asked.
    Bytes read(unsigned int bytes, unsigned int piece)
    {
        Bytes out;
        std::vector<uint8_t> buffer(piece + 64, 0xEE);
        while (out.size() < bytes) {
            unsigned int got = 0;
            const AURA_RESULT r = codec->read(buffer.data(), piece, &got);
            EXPECT_LE(got, piece);
            EXPECT_EQ(buffer[piece], 0xEE) << "written past the buffer";
            out.insert(out.end(), buffer.begin(), buffer.begin() + got);
            if (r != AURA_OK || got == 0) {
                break;
            }
        }
        return out;
    }
    AURA::Codec *codec = nullptr;
    AURA_RESULT result = AURA_ERR_INTERNAL;
};

TEST_F(SbkBanks, StreamsWidenEverySubsoundToTheWidestAndSeekInsideIMABlocks)
{
    SbkBank bank;
    bank.samples = {pcmSample("mono", 1, 40, 1), pcmSample("stereo", 2, 40, 2), pcmSample("six", 6, 4, 3)};
    const Bytes file = auratest::writeSbk(bank);
    DirectCodec stream(file, AURA_CREATESTREAM);
    ASSERT_EQ(stream.result, AURA_OK);
    ASSERT_EQ(stream.codec->setPosition(0, 0, AURA_TIMEUNIT_PCM), AURA_OK);
    const Bytes mono = stream.read(40 * 12, 30);
    ASSERT_EQ(mono.size(), 40u * 12);
    ASSERT_EQ(stream.codec->setPosition(1, 0, AURA_TIMEUNIT_PCM), AURA_OK);
    const Bytes stereo = stream.read(40 * 12, 36);
    ASSERT_EQ(stereo.size(), 40u * 12);
    for (size_t f = 0; f < 40; ++f) {
        for (size_t c = 0; c < 6; ++c) {
            // A mono sound in every channel; a stereo one in two, the others silent.
            EXPECT_EQ(mono[f * 12 + 2 * c], bank.samples[0].data[2 * f]);
            EXPECT_EQ(mono[f * 12 + 2 * c + 1], bank.samples[0].data[2 * f + 1]);
            const uint8_t expected0 = c < 2 ? bank.samples[1].data[f * 4 + 2 * c] : 0;
            const uint8_t expected1 = c < 2 ? bank.samples[1].data[f * 4 + 2 * c + 1] : 0;
            EXPECT_EQ(stereo[f * 12 + 2 * c], expected0);
            EXPECT_EQ(stereo[f * 12 + 2 * c + 1], expected1);
        }
    }

    // IMA: a seek to sample 100 enters block 1 and drops its first 36 samples.
    const IMAData ima = imaData(*sDir, 1, 64 * 4, false, 60);
    SbkBank imaBank;
    SbkSample s;
    s.name = "ima";
    s.flags = 0x400000;
    s.data = ima.stored;
    s.lengthpcm = 256;
    imaBank.samples = {s};
    const Bytes imaFile = auratest::writeSbk(imaBank); // the memory file reads it in place
    DirectCodec sample(imaFile, 0);
    ASSERT_EQ(sample.result, AURA_OK);
    ASSERT_EQ(sample.codec->setPosition(0, 100, AURA_TIMEUNIT_PCM), AURA_OK);
    const Bytes tail = sample.read(156 * 2, 128);
    EXPECT_EQ(tail, Bytes(ima.expected.begin() + 200, ima.expected.end()));
}

// Systems on eight threads open and close one hashed bank, some of the opens
// failing after the cache entry was made.
TEST(SbkBankThreads, EightSystemsShareTheHeaderCache)
{
    SbkBank bank;
    bank.hash = {0xAB};
    bank.samples = {pcmSample("x", 1, 32, 1), pcmSample("y", 2, 16, 2), pcmSample("z", 1, 8, 3)};
    const Bytes file = auratest::writeSbk(bank);
    const int64_t blocksBefore =
        AURA::gGlobal && AURA::gGlobal->mMemPool ? AURA::gGlobal->mMemPool->getStats().blocksInUse : -1;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            AURA_SYSTEM *handle = auratest::startSystem(AURA_OUTPUTTYPE_NOSOUND_NRT, 4);
            if (!handle) {
                ++failures;
                return;
            }
            auto *system = reinterpret_cast<AURA::System *>(handle);
            for (int i = 0; i < 1000; ++i) {
                int list[2] = {0, (i + t) % 7 == 0 ? 9 : 2};
                AURA_CREATESOUNDEXINFO exinfo{};
                exinfo.inclusionlist = list;
                exinfo.inclusionlistnum = 2;
                exinfo.numsubsounds = 2;
                const OpenedBank opened = openBank(system, file, 0, &exinfo);
                const AURA_RESULT expected = list[1] == 9 ? AURA_ERR_INVALID_PARAM : AURA_OK;
                if (opened.result != expected) {
                    ++failures;
                }
                if (opened.parent && opened.parent->release() != AURA_OK) {
                    ++failures;
                }
            }
            if (system->release() != AURA_OK) {
                ++failures;
            }
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(AURA::CodecSBK::cacheEntries(), 0);
    if (blocksBefore >= 0 && AURA::gGlobal && AURA::gGlobal->mMemPool) {
        EXPECT_EQ(AURA::gGlobal->mMemPool->getStats().blocksInUse, blocksBefore);
    }
}

// ---------------------------------------------------------------------------
// MPEG subsounds: frames of lame and twolame in banks, decoded as the MPEG
// codec decodes the same frames in a file of their own.

class SbkMpegBanks : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        sDir = new auratest::TempDir("aura-sbk-mpeg");
        sEncodes = new std::vector<auratest::MpegEncode>{
            auratest::encodeMpeg(*sDir, "l3s", 44100, 2, 1.0, "lame --quiet -t -b 128 {in} {out}"),
            auratest::encodeMpeg(*sDir, "l3m", 22050, 1, 1.0, "lame --quiet -t -m m -b 48 {in} {out}"),
            auratest::encodeMpeg(*sDir, "l2s", 32000, 2, 1.0, "twolame --quiet -b 160 {in} {out}"),
        };
    }
    static void TearDownTestSuite()
    {
        delete sEncodes;
        delete sDir;
    }
    static auratest::TempDir *sDir;
    static std::vector<auratest::MpegEncode> *sEncodes;
};
auratest::TempDir *SbkMpegBanks::sDir = nullptr;
std::vector<auratest::MpegEncode> *SbkMpegBanks::sEncodes = nullptr;

TEST_F(SbkMpegBanks, SubsoundsDecodeAsTheMpegCodecDecodesTheirFrames)
{
    struct Case {
        int encode;
        uint32_t bankFlags; // 0x20, 0x40: layer III frames padded to 2, 4 bytes
        unsigned int pad;
    };
    for (const Case c : {Case{0, 0, 1}, Case{0, 0x40, 4}, Case{1, 0x20, 2}, Case{2, 0, 1}, Case{2, 0x40, 4}}) {
        const auratest::MpegEncode &e = (*sEncodes)[static_cast<size_t>(c.encode)];
        SCOPED_TRACE(e.name + " bank flags " + std::to_string(c.bankFlags));
        auratest::WavRender render({e.rate});
        // The MPEG codec on the encoder's file.
        AURA_CREATESOUNDEXINFO info{};
        info.cbsize = sizeof(info);
        info.length = static_cast<unsigned int>(e.bytes.size());
        AURA::Sound *plain = nullptr;
        ASSERT_EQ(render.system()->createSound(reinterpret_cast<const char *>(e.bytes.data()),
                                               AURA_OPENMEMORY | AURA_SOFTWARE | AURA_ACCURATETIME, &info, &plain),
                  AURA_OK);
        const Bytes expected = soundData(plain);
        const size_t frames = expected.size() / (2 * static_cast<size_t>(e.channels));
        ASSERT_GT(frames, 10000u);

        // The same frames twice, back to back, after a stereo PCM sound: the
        // first subsound's decoder stops where its frames end.
        const Bytes stored = auratest::padFrames(e.bytes, c.pad);
        SbkBank bank;
        bank.flags = c.bankFlags;
        bank.samples = {pcmSample("pcm", 2, 100, 5), auratest::mpegSample("first", stored, e, frames),
                        auratest::mpegSample("second", stored, e, frames)};
        const Bytes file = auratest::writeSbk(bank);
        OpenedBank b = openBank(render.system(), file);
        ASSERT_EQ(b.result, AURA_OK);
        EXPECT_EQ(subsoundData(b.parent, 1), expected);
        EXPECT_EQ(subsoundData(b.parent, 2), expected);
        ASSERT_EQ(b.parent->release(), AURA_OK);

        // As a stream, every subsound at the bank's widest count (2): a mono
        // sound in both channels; read to the end, in pieces of odd sizes.
        DirectCodec stream(file, AURA_CREATESTREAM);
        ASSERT_EQ(stream.result, AURA_OK);
        Bytes widened;
        for (size_t f = 0; f < frames; ++f) {
            for (size_t ch = 0; ch < 2; ++ch) {
                const size_t from = (f * static_cast<size_t>(e.channels) + (e.channels == 1 ? 0 : ch)) * 2;
                widened.insert(widened.end(), expected.begin() + static_cast<long>(from),
                               expected.begin() + static_cast<long>(from + 2));
            }
        }
        // Each subsound from its start, then from a seek into it (the
        // decoder restarts a few frames before it: within one step).
        for (auto [subsound, position] :
             {std::pair{1, 0u}, std::pair{2, 0u}, std::pair{1, 7000u}, std::pair{2, 2345u}}) {
            SCOPED_TRACE("subsound " + std::to_string(subsound) + " from " + std::to_string(position));
            ASSERT_EQ(stream.codec->setPosition(subsound, position, AURA_TIMEUNIT_PCM), AURA_OK);
            const Bytes streamed = stream.read(static_cast<unsigned int>(widened.size() * 2), 4 * 999);
            const size_t skipped = position * 4;
            ASSERT_EQ(streamed.size() + skipped, widened.size());
            size_t differ = 0;
            int worst = 0;
            for (size_t i = 0; i + 1 < streamed.size(); i += 2) {
                const auto got = static_cast<int16_t>(streamed[i] | streamed[i + 1] << 8);
                const auto want = static_cast<int16_t>(widened[skipped + i] | widened[skipped + i + 1] << 8);
                differ += got != want;
                worst = std::max(worst, std::abs(got - want));
            }
            EXPECT_EQ(position == 0 ? differ : 0u, 0u);
            EXPECT_LE(worst, position == 0 ? 0 : 1);
        }
    }
}

TEST_F(SbkMpegBanks, ChannelsLoopsAndPointing)
{
    const auratest::MpegEncode &e = (*sEncodes)[0];
    auratest::WavRender render({e.rate});
    auto bankOf = [&](uint16_t channels, uint32_t loopstart) {
        SbkBank bank;
        SbkSample s = auratest::mpegSample("mp3", e.bytes, e, 40000);
        s.channels = channels;
        s.flags |= 0x2;
        s.loopstart = loopstart;
        s.loopend = 30000;
        bank.samples = {s};
        return auratest::writeSbk(bank);
    };
    // Four channels (two stereo streams) decode only while streaming.
    const Bytes quad = bankOf(4, 0);
    EXPECT_EQ(openBank(render.system(), quad).result, AURA_ERR_TOOMANYCHANNELS);
    EXPECT_EQ(openBank(render.system(), quad, AURA_CREATECOMPRESSEDSAMPLE).result, AURA_ERR_TOOMANYCHANNELS);
    OpenedBank streamed = openBank(render.system(), quad, AURA_CREATESTREAM);
    ASSERT_EQ(streamed.result, AURA_OK);
    ASSERT_EQ(streamed.parent->release(), AURA_OK);
    {
        // Two stereo encodes of one length, their frames alternating: the
        // stream's channels 0-1 are the first's decode, 2-3 the second's.
        const auratest::MpegEncode other =
            auratest::encodeMpeg(*sDir, "l3s96", 44100, 2, 1.0, "lame --quiet -t -b 96 --resample 44.1 {in} {out}");
        std::vector<Bytes> decodes;
        for (const Bytes *bytes : {&e.bytes, &other.bytes}) {
            AURA_CREATESOUNDEXINFO info{};
            info.cbsize = sizeof(info);
            info.length = static_cast<unsigned int>(bytes->size());
            AURA::Sound *plain = nullptr;
            ASSERT_EQ(render.system()->createSound(reinterpret_cast<const char *>(bytes->data()),
                                                   AURA_OPENMEMORY | AURA_SOFTWARE | AURA_ACCURATETIME, &info, &plain),
                      AURA_OK);
            decodes.push_back(soundData(plain));
        }
        ASSERT_EQ(decodes[0].size(), decodes[1].size());
        Bytes expected;
        for (size_t at = 0; at < decodes[0].size(); at += 4) {
            for (const Bytes &d : decodes) {
                expected.insert(expected.end(), d.begin() + static_cast<long>(at),
                                d.begin() + static_cast<long>(at + 4));
            }
        }
        SbkBank bank;
        SbkSample s = auratest::mpegSample("quad", auratest::interleaveStreams({e.bytes, other.bytes}), e,
                                           static_cast<uint32_t>(expected.size() / 8));
        s.channels = 4;
        bank.samples = {s};
        const Bytes file = auratest::writeSbk(bank); // read in place
        DirectCodec stream(file, AURA_CREATESTREAM);
        ASSERT_EQ(stream.result, AURA_OK);
        const Bytes four = stream.read(static_cast<unsigned int>(expected.size() * 2), 8 * 1001);
        EXPECT_EQ(four.size(), expected.size());
        EXPECT_TRUE(four == expected);
    }

    // Loop starts of frames kept compressed fall on a granule (576).
    const Bytes stereo = bankOf(2, 1000);
    for (auto [mode, start] :
         {std::pair{AURA_MODE{0}, 1000u}, std::pair{AURA_MODE{AURA_CREATECOMPRESSEDSAMPLE}, 576u}}) {
        OpenedBank b = openBank(render.system(), stereo, mode);
        ASSERT_EQ(b.result, AURA_OK);
        AURA::Sound *sub = nullptr;
        ASSERT_EQ(b.parent->getSubSound(0, &sub), AURA_OK);
        unsigned int loopstart = 0;
        unsigned int loopend = 0;
        ASSERT_EQ(sub->getLoopPoints(&loopstart, &loopend), AURA_OK);
        EXPECT_EQ(loopstart, start);
        EXPECT_EQ(loopend, 30000u);
        ASSERT_EQ(b.parent->release(), AURA_OK);
    }
    // Frames must be decoded: the bank cannot be used in place.
    DirectCodec direct(stereo, 0);
    ASSERT_EQ(direct.result, AURA_OK);
    EXPECT_EQ(static_cast<AURA::CodecSBK *>(direct.codec)->canPointInternal(), AURA_ERR_MEMORY_CANTPOINT);
}

} // namespace
