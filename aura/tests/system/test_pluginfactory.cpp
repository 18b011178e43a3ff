// The plug-in registry: codec probe order, the copies it keeps, handles,
// units made by type, output drivers and the release of everything.
#include "codec/aura_codec_description.h"
#include "base/aura_memory.h"
#include "system/aura_pluginfactory.h"
#include "dsp_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <random>
#include <utility>
#include <vector>

namespace {

using AURA::AURA_CODEC_DESCRIPTION_EX;
using AURA::AURA_DSP_DESCRIPTION_EX;
using AURA::AURA_OUTPUT_DESCRIPTION_EX;
using AURA::PluginFactory;

// A record in static storage is built before any code runs.
constinit AURA_CODEC_DESCRIPTION_EX gLoadTimeRecord;

using auratest::poolBytes;

AURA_RESULT openA(AURA_CODEC_STATE *, AURA_MODE, AURA_CREATESOUNDEXINFO *)
{
    return AURA_OK;
}

AURA_RESULT speedA(AURA_CODEC_STATE *, float *)
{
    return AURA_OK;
}

// The start-up priorities of the built-in codecs.
constexpr unsigned int kStartupPriorities[] = {100,  300,  600,  800,  1000, 1100, 1200, 1300,
                                               1400, 1500, 1600, 1700, 2200, 2400, 2450, 2500};

// Registers one codec per priority, in the given order; each record's
// version is its place in that order, so the probe order can be traced
// back to the registration order.
void registerInOrder(PluginFactory &factory, const std::vector<unsigned int> &priorities)
{
    for (std::size_t i = 0; i < priorities.size(); ++i) {
        AURA_CODEC_DESCRIPTION_EX record;
        record.name = "codec";
        record.version = static_cast<unsigned int>(i);
        ASSERT_EQ(factory.registerCodec(&record, nullptr, priorities[i]), AURA_OK);
    }
}

// The registration places of the codecs, in probe order.
std::vector<unsigned int> probeOrder(PluginFactory &factory)
{
    int count = -1;
    EXPECT_EQ(factory.getNumCodecs(&count), AURA_OK);
    std::vector<unsigned int> order;
    for (int i = 0; i < count; ++i) {
        AURA_CODEC_DESCRIPTION_EX *entry = nullptr;
        EXPECT_EQ(factory.getCodecByIndex(i, &entry), AURA_OK);
        if (!entry) {
            break;
        }
        order.push_back(entry->version);
    }
    return order;
}

// What the order must be: by priority, ties in registration order.
std::vector<unsigned int> expectedOrder(const std::vector<unsigned int> &priorities)
{
    std::vector<unsigned int> order(priorities.size());
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(),
                     [&](unsigned int a, unsigned int b) { return priorities[a] < priorities[b]; });
    return order;
}

TEST(PluginFactoryCodecs, ProbeOrderIsAscendingPriorityWithTiesInRegistrationOrder)
{
    const std::vector<unsigned int> startup(std::begin(kStartupPriorities), std::end(kStartupPriorities));
    // The start-up set twice over, plus runs of one priority and the ends of
    // the range, so that ties arrive first, last and in between.
    const std::vector<unsigned int> withTies = [&] {
        std::vector<unsigned int> set = startup;
        set.insert(set.end(), startup.begin(), startup.end());
        set.insert(set.end(), {1200, 1200, 1200, 0, 0, 0xFFFFFFFFu, 0xFFFFFFFFu, 100});
        return set;
    }();
    for (unsigned int seed = 1; seed <= 8; ++seed) {
        for (const std::vector<unsigned int> *set : {&startup, &withTies}) {
            std::vector<unsigned int> priorities = *set;
            std::mt19937 random(seed);
            std::shuffle(priorities.begin(), priorities.end(), random);
            PluginFactory factory;
            registerInOrder(factory, priorities);
            EXPECT_EQ(probeOrder(factory), expectedOrder(priorities))
                << "seed " << seed << ", " << priorities.size() << " codecs";
        }
    }

    PluginFactory factory;
    registerInOrder(factory, {2500, 100});
    AURA_CODEC_DESCRIPTION_EX *entry = nullptr;
    ASSERT_EQ(factory.getCodecByIndex(0, &entry), AURA_OK);
    EXPECT_EQ(entry->mNode.mPriority, 100u);
    EXPECT_EQ(factory.getCodecByIndex(2, &entry), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(entry, nullptr);
    EXPECT_EQ(factory.getCodecByIndex(-1, &entry), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(factory.registerCodec(nullptr, nullptr, 100), AURA_ERR_INVALID_PARAM);
}

TEST(PluginFactoryHandles, RunningUniqueAndFoundOnlyInTheirOwnList)
{
    PluginFactory factory;
    AURA_CODEC_DESCRIPTION_EX codec;
    codec.name = "first";
    unsigned int first = 0;
    ASSERT_EQ(factory.registerCodec(&codec, &first, 900), AURA_OK);
    EXPECT_NE(first, 0u);
    codec.name = "no receiver"; // registered all the same, under the next number
    ASSERT_EQ(factory.registerCodec(&codec, nullptr, 100), AURA_OK);
    AURA_DSP_DESCRIPTION_EX dsp{};
    AURA_strncpy(dsp.name, "unit", 31);
    unsigned int dspHandle = 0;
    ASSERT_EQ(factory.registerDSP(&dsp, &dspHandle), AURA_OK);
    AURA_OUTPUT_DESCRIPTION_EX output;
    unsigned int outputHandle = 0;
    ASSERT_EQ(factory.registerOutput(&output, &outputHandle), AURA_OK);
    codec.name = "last";
    unsigned int last = 0;
    ASSERT_EQ(factory.registerCodec(&codec, &last, 900), AURA_OK);
    EXPECT_EQ(dspHandle, first + 2);
    EXPECT_EQ(outputHandle, first + 3);
    EXPECT_EQ(last, first + 4);

    AURA_CODEC_DESCRIPTION_EX *entry = nullptr;
    ASSERT_EQ(factory.getCodec(first + 1, &entry), AURA_OK);
    EXPECT_STREQ(entry->name, "no receiver");
    ASSERT_EQ(factory.getCodec(last, &entry), AURA_OK);
    EXPECT_STREQ(entry->name, "last");
    EXPECT_EQ(entry->mHandle, last);
    // A unit's handle is no codec's, and the other way round.
    for (unsigned int missing : {dspHandle, outputHandle, 0u, last + 1000}) {
        EXPECT_EQ(factory.getCodec(missing, &entry), AURA_ERR_PLUGIN_MISSING) << missing;
        EXPECT_EQ(entry, nullptr);
    }
    EXPECT_EQ(factory.getCodec(first, nullptr), AURA_ERR_INVALID_PARAM);
    AURA_DSP_DESCRIPTION_EX *unit = nullptr;
    EXPECT_EQ(factory.getDSP(first, &unit), AURA_ERR_PLUGIN_MISSING);
    ASSERT_EQ(factory.getDSP(dspHandle, &unit), AURA_OK);
    EXPECT_STREQ(unit->name, "unit");
}

TEST(PluginFactoryCopies, TheRegisteredCopyIsIndependentOfTheCallersRecord)
{
    PluginFactory factory;
    char name[32] = "AURA Test Codec";
    int module = 0;
    AURA_CODEC_DESCRIPTION_EX record;
    record.name = name;
    record.version = 0x10100;
    record.open = openA;
    record.mType = AURA_SOUND_TYPE_MPEG;
    record.mSize = 300;
    record.mModule = &module;
    record.mReserved = 7;
    record.getmusicspeed = speedA;
    unsigned int handle = 0;
    ASSERT_EQ(factory.registerCodec(&record, &handle, 2400), AURA_OK);
    // The caller's record is neither linked nor numbered.
    EXPECT_TRUE(record.mNode.isEmpty());
    EXPECT_EQ(record.mNode.mPriority, AURA::CODEC_PRIORITY_UNREGISTERED);
    EXPECT_EQ(record.mHandle, 0u);

    std::strcpy(name, "overwritten");
    const AURA_CODEC_DESCRIPTION_EX original = record;
    record = AURA_CODEC_DESCRIPTION_EX{};

    AURA_CODEC_DESCRIPTION_EX *copy = nullptr;
    ASSERT_EQ(factory.getCodec(handle, &copy), AURA_OK);
    EXPECT_STREQ(copy->name, "AURA Test Codec");
    EXPECT_EQ(copy->version, original.version);
    EXPECT_EQ(copy->open, &openA);
    EXPECT_EQ(copy->mType, AURA_SOUND_TYPE_MPEG);
    EXPECT_EQ(copy->mSize, 300u);
    EXPECT_EQ(copy->mModule, &module);
    EXPECT_EQ(copy->mReserved, 7u);
    EXPECT_EQ(copy->getmusicspeed, &speedA);
    EXPECT_EQ(copy->mNode.mPriority, 2400u);
    EXPECT_EQ(copy->mNode.mData, copy);
}

TEST(PluginFactoryCopies, CopyingADescriptionNeverCarriesTheRegistryLink)
{
    PluginFactory factory;
    registerInOrder(factory, {300, 100, 200});
    AURA_CODEC_DESCRIPTION_EX *middle = nullptr;
    ASSERT_EQ(factory.getCodecByIndex(1, &middle), AURA_OK);
    {
        // A codec takes its own copy of a registered description; a builder
        // overwrites its record from another one.
        AURA_CODEC_DESCRIPTION_EX own = *middle;
        AURA_CODEC_DESCRIPTION_EX built;
        built = *middle;
        for (const AURA_CODEC_DESCRIPTION_EX *record : {&own, &built}) {
            EXPECT_EQ(record->version, middle->version);
            EXPECT_EQ(record->mNode.mNext, &record->mNode);
            EXPECT_EQ(record->mNode.mPrev, &record->mNode);
            EXPECT_EQ(record->mNode.mData, nullptr);
            EXPECT_EQ(record->mNode.mPriority, AURA::CODEC_PRIORITY_UNREGISTERED);
        }
    }
    // Those records are gone; the list never pointed at them.
    AURA_CODEC_DESCRIPTION_EX record;
    ASSERT_EQ(factory.registerCodec(&record, nullptr, 150), AURA_OK);
    EXPECT_EQ(probeOrder(factory), (std::vector<unsigned int>{1, 0, 2, 0}));
}

TEST(PluginFactoryCopies, AnUnregisteredRecordIsEmptyAndSelfLinked)
{
    // In static storage before any code runs, and at run time whatever the
    // memory held before.
    alignas(AURA_CODEC_DESCRIPTION_EX) unsigned char memory[sizeof(AURA_CODEC_DESCRIPTION_EX)];
    std::memset(memory, 0xA5, sizeof(memory));
    auto *runtime = ::new (memory) AURA_CODEC_DESCRIPTION_EX;
    for (const AURA_CODEC_DESCRIPTION_EX *record : {&gLoadTimeRecord, runtime}) {
        EXPECT_EQ(record->name, nullptr);
        EXPECT_EQ(record->version, 0u);
        EXPECT_EQ(record->open, nullptr);
        EXPECT_EQ(record->getwaveformat, nullptr);
        EXPECT_EQ(record->mType, AURA_SOUND_TYPE_UNKNOWN);
        EXPECT_EQ(record->getmusicspeed, nullptr);
        EXPECT_EQ(record->mNode.mNext, &record->mNode);
        EXPECT_EQ(record->mNode.mPrev, &record->mNode);
        EXPECT_EQ(record->mNode.mData, nullptr);
        EXPECT_EQ(record->mNode.mPriority, 0xFFFFFFFFu);
    }
    runtime->~AURA_CODEC_DESCRIPTION_EX();
}

// Counts the units its description made.
AURA_RESULT countCreate(AURA_DSP_STATE *state)
{
    auto *unit = static_cast<AURA::DSPI *>(state->instance);
    ++*static_cast<int *>(unit->mDescription.userdata);
    return AURA_OK;
}

AURA_DSP_DESCRIPTION_EX filterRecord(const char *name, AURA_DSP_TYPE type, int *created)
{
    AURA_DSP_DESCRIPTION_EX description{};
    AURA_strncpy(description.name, name, 31);
    description.version = 0x00010100;
    description.mCategory = AURA::AURA_DSP_CATEGORY_FILTER;
    description.mType = type;
    description.create = countCreate;
    description.userdata = created;
    return description;
}

TEST(PluginFactoryDSP, CreateByTypeUsesTheFirstRegisteredDescriptionOfThatType)
{
    auratest::Harness harness;
    ASSERT_EQ(harness.init, AURA_OK);
    PluginFactory factory;
    ASSERT_EQ(factory.init(&harness.system), AURA_OK);
    AURA::DSPI *dsp = nullptr;
    EXPECT_EQ(factory.createDSPByType(AURA_DSP_TYPE_LOWPASS_SIMPLE, &dsp), AURA_ERR_PLUGIN_MISSING);
    EXPECT_EQ(dsp, nullptr);

    int created[3] = {};
    AURA_DSP_DESCRIPTION_EX records[3] = {filterRecord("echo", AURA_DSP_TYPE_ECHO, &created[0]),
                                          filterRecord("first", AURA_DSP_TYPE_LOWPASS_SIMPLE, &created[1]),
                                          filterRecord("second", AURA_DSP_TYPE_LOWPASS_SIMPLE, &created[2])};
    for (AURA_DSP_DESCRIPTION_EX &record : records) {
        ASSERT_EQ(factory.registerDSP(&record, nullptr), AURA_OK);
    }
    records[1].mType = AURA_DSP_TYPE_UNKNOWN; // the registry holds its own copy

    ASSERT_EQ(factory.createDSPByType(AURA_DSP_TYPE_LOWPASS_SIMPLE, &dsp), AURA_OK);
    ASSERT_NE(dsp, nullptr);
    EXPECT_STREQ(dsp->mDescription.name, "first");
    AURA_DSP_TYPE type = AURA_DSP_TYPE_UNKNOWN;
    ASSERT_EQ(dsp->getType(&type), AURA_OK);
    EXPECT_EQ(type, AURA_DSP_TYPE_LOWPASS_SIMPLE);
    EXPECT_EQ(dsp->mSystem, &harness.system);
    EXPECT_EQ(std::vector<int>(created, created + 3), (std::vector<int>{0, 1, 0}));
    ASSERT_EQ(dsp->release(true), AURA_OK);

    AURA::DSPI *other = nullptr;
    EXPECT_EQ(factory.createDSPByType(AURA_DSP_TYPE_ITECHO, &other), AURA_ERR_PLUGIN_MISSING);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(factory.createDSPByType(AURA_DSP_TYPE_ECHO, nullptr), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(created[0], 0);
}

TEST(PluginFactoryDSP, CreateNeedsArgumentsASystemAndAKnownCategory)
{
    int created = 0;
    AURA_DSP_DESCRIPTION_EX description = filterRecord("unit", AURA_DSP_TYPE_ECHO, &created);
    AURA::DSPI *dsp = nullptr;
    PluginFactory lone;
    EXPECT_EQ(lone.createDSP(&description, &dsp), AURA_ERR_UNINITIALIZED);
    EXPECT_EQ(lone.init(nullptr), AURA_ERR_INVALID_PARAM);

    auratest::Harness harness;
    ASSERT_EQ(harness.init, AURA_OK);
    PluginFactory factory;
    ASSERT_EQ(factory.init(&harness.system), AURA_OK);
    EXPECT_EQ(factory.createDSP(nullptr, &dsp), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(factory.createDSP(&description, nullptr), AURA_ERR_INVALID_PARAM);
    description.mCategory = static_cast<AURA::AURA_DSP_CATEGORY>(99);
    EXPECT_EQ(factory.createDSP(&description, &dsp), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(dsp, nullptr);
    EXPECT_EQ(created, 0);

    // A filter with fields of its own gets zeroed room for them.
    description.mCategory = AURA::AURA_DSP_CATEGORY_FILTER;
    description.mSize = sizeof(AURA::DSPFilter) + 512;
    ASSERT_EQ(factory.createDSP(&description, &dsp), AURA_OK);
    const auto *extra = reinterpret_cast<const unsigned char *>(dsp) + sizeof(AURA::DSPFilter);
    EXPECT_TRUE(std::all_of(extra, extra + 512, [](unsigned char b) { return b == 0; }));
    EXPECT_EQ(created, 1);
    ASSERT_EQ(dsp->release(true), AURA_OK);

    ASSERT_EQ(factory.release(), AURA_OK); // forgets the system
    EXPECT_EQ(factory.createDSP(&description, &dsp), AURA_ERR_UNINITIALIZED);
}

TEST(PluginFactoryOutputs, ListedInRegistrationOrderWithTheirOwnNames)
{
    constexpr std::pair<AURA_OUTPUTTYPE, const char *> kOutputs[] = {
        {AURA_OUTPUTTYPE_ALSA, "AURA ALSA Output"},
        {AURA_OUTPUTTYPE_NOSOUND, "AURA No Sound Output"},
        {AURA_OUTPUTTYPE_WAVWRITER_NRT, "AURA Wav Writer NRT Output"},
        {AURA_OUTPUTTYPE_NOSOUND, nullptr}};
    PluginFactory factory;
    for (const auto &[type, text] : kOutputs) {
        char name[64] = {};
        AURA_OUTPUT_DESCRIPTION_EX record;
        record.name = text ? std::strcpy(name, text) : nullptr;
        record.mType = type;
        ASSERT_EQ(factory.registerOutput(&record, nullptr), AURA_OK);
        std::memset(name, 'x', sizeof(name) - 1);
    }
    int count = 0;
    ASSERT_EQ(factory.getNumOutputs(&count), AURA_OK);
    ASSERT_EQ(count, 4);
    AURA_OUTPUT_DESCRIPTION_EX *entry = nullptr;
    for (int i = 0; i < count; ++i) {
        ASSERT_EQ(factory.getOutputByIndex(i, &entry), AURA_OK);
        EXPECT_EQ(entry->mType, kOutputs[i].first);
        EXPECT_STREQ(entry->name, kOutputs[i].second);
    }
    EXPECT_EQ(factory.getOutputByIndex(4, &entry), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(factory.registerOutput(nullptr, nullptr), AURA_ERR_INVALID_PARAM);
}

TEST(PluginFactoryRelease, EveryCopyGoesBackToThePool)
{
    const int64_t before = poolBytes();
    {
        PluginFactory factory;
        registerInOrder(factory, std::vector<unsigned int>(std::begin(kStartupPriorities),
                                                           std::end(kStartupPriorities)));
        int created = 0;
        AURA_DSP_DESCRIPTION_EX dsp = filterRecord("unit", AURA_DSP_TYPE_ECHO, &created);
        unsigned int dspHandle = 0;
        ASSERT_EQ(factory.registerDSP(&dsp, &dspHandle), AURA_OK);
        AURA_OUTPUT_DESCRIPTION_EX output;
        output.name = "AURA No Sound Output";
        unsigned int lastHandle = 0;
        ASSERT_EQ(factory.registerOutput(&output, &lastHandle), AURA_OK);
        EXPECT_GT(poolBytes(), before);

        ASSERT_EQ(factory.release(), AURA_OK);
        EXPECT_EQ(poolBytes(), before);
        int codecs = -1;
        int outputs = -1;
        ASSERT_EQ(factory.getNumCodecs(&codecs), AURA_OK);
        ASSERT_EQ(factory.getNumOutputs(&outputs), AURA_OK);
        EXPECT_EQ(codecs + outputs, 0);
        AURA_DSP_DESCRIPTION_EX *unit = nullptr;
        EXPECT_EQ(factory.getDSP(dspHandle, &unit), AURA_ERR_PLUGIN_MISSING);

        // Usable again without reusing a handle; what is left goes with the
        // factory.
        AURA_CODEC_DESCRIPTION_EX codec;
        codec.name = "again";
        unsigned int handle = 0;
        ASSERT_EQ(factory.registerCodec(&codec, &handle, 100), AURA_OK);
        EXPECT_GT(handle, lastHandle);
        ASSERT_EQ(factory.registerDSP(&dsp, nullptr), AURA_OK);
        EXPECT_GT(poolBytes(), before);
    }
    EXPECT_EQ(poolBytes(), before);
}

TEST(PluginFactoryRelease, AFailedAllocationRegistersNothing)
{
    const int64_t before = poolBytes();
    PluginFactory factory;
    AURA_CODEC_DESCRIPTION_EX codec;
    codec.name = "codec";
    AURA_DSP_DESCRIPTION_EX dsp{};
    AURA_OUTPUT_DESCRIPTION_EX output;
    unsigned int handle = 12345;
    AURA::gGlobal->mMemPool->failAfter(1);
    EXPECT_EQ(factory.registerCodec(&codec, &handle, 100), AURA_ERR_MEMORY);
    AURA::gGlobal->mMemPool->failAfter(1);
    EXPECT_EQ(factory.registerDSP(&dsp, &handle), AURA_ERR_MEMORY);
    AURA::gGlobal->mMemPool->failAfter(1);
    EXPECT_EQ(factory.registerOutput(&output, &handle), AURA_ERR_MEMORY);
    AURA::gGlobal->mMemPool->failAfter(0);

    EXPECT_EQ(handle, 12345u);
    EXPECT_EQ(poolBytes(), before);
    int codecs = -1;
    int outputs = -1;
    ASSERT_EQ(factory.getNumCodecs(&codecs), AURA_OK);
    ASSERT_EQ(factory.getNumOutputs(&outputs), AURA_OK);
    EXPECT_EQ(codecs + outputs, 0);
    AURA::DSPI *made = nullptr;
    EXPECT_EQ(factory.createDSPByType(AURA_DSP_TYPE_UNKNOWN, &made), AURA_ERR_PLUGIN_MISSING);
}

} // namespace
