// The engine as a program finds it before its first system: every codec,
// unit and output record empty, nothing taken from the pool, no engine
// thread. This binary holds this one test, so nothing ran before it.
#include "base/aura_memory.h"
#include "codec/aura_codec_user.h"
#include "dsp/effects/aura_dsp_effect.h"
#include "output/aura_output_factory.h"
#include "system/aura_systemi.h"
#include "systems.h"
#include "threads.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

namespace {

std::vector<std::string> engineThreads()
{
    std::vector<std::string> names;
    for (const auto &task : std::filesystem::directory_iterator("/proc/self/task")) {
        const std::string name = auratest::taskName(static_cast<unsigned int>(std::stoul(task.path().filename())));
        if (name.rfind("AURA", 0) == 0) {
            names.push_back(name);
        }
    }
    return names;
}

template <class Public>
bool allZero(const Public &part)
{
    static const Public zero{};
    return std::memcmp(&part, &zero, sizeof(Public)) == 0;
}

// A codec record as it is at load: nothing filled in, its registry link
// self-linked and unregistered.
bool emptyCodec(const AURA::AURA_CODEC_DESCRIPTION_EX &record)
{
    return allZero<AURA_CODEC_DESCRIPTION>(record) && record.mNode.mNext == &record.mNode &&
           record.mNode.mPrev == &record.mNode && record.mNode.mData == nullptr &&
           record.mNode.mPriority == AURA::CODEC_PRIORITY_UNREGISTERED && record.mSize == 0 &&
           record.mConstruct == nullptr && record.mHandle == 0;
}

bool emptyUnit(const AURA::AURA_DSP_DESCRIPTION_EX &record)
{
    return allZero<AURA_DSP_DESCRIPTION>(record) && record.mNode.mNext == nullptr && record.mNode.mData == nullptr &&
           record.mSize == 0 && record.mHandle == 0;
}

bool emptyOutput(const AURA::AURA_OUTPUT_DESCRIPTION_EX &record)
{
    return record.name == nullptr && record.mNode.mNext == nullptr && record.mHandle == 0;
}

TEST(EngineStaticsThreads, BeforeTheFirstSystemNothingIsFilledTakenOrRunning)
{
    const std::span<const AURA::CodecEntry> codecs = AURA::builtInCodecs();
    const std::span<const AURA::EffectUnitEntry> units = AURA::builtInEffectUnits();
    const std::span<const AURA::OutputEntry> outputs = AURA::builtInOutputs();
    ASSERT_FALSE(codecs.empty() || units.empty() || outputs.empty());
    for (const AURA::CodecEntry &entry : codecs) {
        EXPECT_TRUE(emptyCodec(*entry.record)) << "codec of priority " << entry.priority;
    }
    EXPECT_TRUE(emptyCodec(AURA::usercodec));
    for (std::size_t i = 0; i < units.size(); ++i) {
        EXPECT_TRUE(emptyUnit(*units[i].record)) << "unit " << i;
    }
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        EXPECT_TRUE(emptyOutput(*outputs[i].record)) << "output " << i;
    }
    const AURA::MemPool::Stats before = AURA::gSystemPoolMem.getStats();
    EXPECT_EQ(before.currentBytes[0], 0);
    EXPECT_EQ(before.blocksInUse, 0);
    EXPECT_TRUE(engineThreads().empty());

    // The first system fills the records it registers, each in place.
    AURA_SYSTEM *system = auratest::startSystem(AURA_OUTPUTTYPE_NOSOUND, 8);
    ASSERT_NE(system, nullptr);
    EXPECT_TRUE(auratest::waitFor([] { return !engineThreads().empty(); })) << "the mixer thread never ran";
    for (const AURA::CodecEntry &entry : codecs) {
        EXPECT_NE(entry.record->name, nullptr) << "codec of priority " << entry.priority;
        EXPECT_GT(entry.record->mSize, 0u) << entry.record->name;
        EXPECT_EQ(entry.describe(), entry.record) << entry.record->name;
    }
    EXPECT_EQ(AURA::CodecUser::getDescriptionEx(), &AURA::usercodec);
    EXPECT_NE(AURA::usercodec.name, nullptr);
    for (const AURA::EffectUnitEntry &entry : units) {
        EXPECT_NE(entry.record->name[0], '\0');
        EXPECT_EQ(entry.describe(), entry.record) << entry.record->name;
    }
    for (const AURA::OutputEntry &entry : outputs) {
        ASSERT_NE(entry.record->name, nullptr);
        EXPECT_EQ(entry.describe(), entry.record) << entry.record->name;
    }
    EXPECT_EQ(AURA_System_Release(system), AURA_OK);
    // The last system takes its threads with it.
    EXPECT_TRUE(auratest::waitFor([] { return engineThreads().empty(); }));
}

} // namespace
