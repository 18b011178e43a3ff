// Building and changing the DSP graph through queued requests.
#include "dsp_harness.h"

#include <gtest/gtest.h>

#include <random>
#include <thread>

namespace {

using auratest::Harness;
using auratest::numInputs;

struct CallbackLog {
    int calls = 0;
    AURA_SYSTEM_CALLBACKTYPE type{};
    void *a = nullptr;
    void *b = nullptr;
};
CallbackLog gLog;

AURA_RESULT recordCallback(AURA_SYSTEM *, AURA_SYSTEM_CALLBACKTYPE type, void *a, void *b)
{
    ++gLog.calls;
    gLog.type = type;
    gLog.a = a;
    gLog.b = b;
    return AURA_OK;
}

class DSPGraph : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(h.init, AURA_OK);
        gLog = CallbackLog{};
        h.system.mCallback = recordCallback;
    }
    Harness h;
};

AURA::DSPI *inputAt(AURA::DSPI *unit, int index)
{
    AURA::DSPI *input = nullptr;
    EXPECT_EQ(unit->getInput(index, &input, nullptr, true), AURA_OK);
    return input;
}

TEST_F(DSPGraph, ChangesWaitForTheFlushAndGettersSeeThem)
{
    AURA::DSPI *a = h.unit("a");
    AURA::DSPI *b = h.unit("b");
    AURA::DSPConnectionI *connection = nullptr;
    ASSERT_EQ(h.head->addInput(a, &connection), AURA_OK);
    ASSERT_NE(connection, nullptr); // a handle exists before the link does
    EXPECT_EQ(h.head->mNumInputs, 0);
    EXPECT_EQ(connection->mOutputUnit, nullptr);

    EXPECT_EQ(numInputs(h.head), 1); // the flushing getter applies the queue
    EXPECT_EQ(connection->mOutputUnit, h.head);
    EXPECT_EQ(connection->mInputUnit, a);
    EXPECT_EQ(a->mTreeLevel, 1);

    ASSERT_EQ(a->addInput(b, nullptr), AURA_OK);
    EXPECT_EQ(inputAt(a, 0), b);
    EXPECT_EQ(b->mTreeLevel, 2);
    AURA::DSPI *output = nullptr;
    ASSERT_EQ(b->getOutput(0, &output, nullptr, true), AURA_OK);
    EXPECT_EQ(output, a);

    // Adding the same input twice gives two connections.
    ASSERT_EQ(a->addInput(b, nullptr), AURA_OK);
    EXPECT_EQ(numInputs(a), 2);
    int outputs = 0;
    ASSERT_EQ(b->getNumOutputs(&outputs, true), AURA_OK);
    EXPECT_EQ(outputs, 2);

    ASSERT_EQ(a->disconnectFrom(b, nullptr), AURA_OK);
    EXPECT_TRUE(b->hasFlags(AURA::DSPI_FLAG_QUEUEDFORDISCONNECT));
    EXPECT_EQ(numInputs(a), 1);
    EXPECT_FALSE(b->hasFlags(AURA::DSPI_FLAG_QUEUEDFORDISCONNECT));
    ASSERT_EQ(a->disconnectAll(true, true), AURA_OK);
    EXPECT_EQ(numInputs(a), 0);
    EXPECT_EQ(numInputs(h.head), 0);
    EXPECT_EQ(h.connectionsInUse(), 0);
    EXPECT_EQ(a->disconnectAll(false, false), AURA_OK);
    EXPECT_TRUE(h.system.mConnectionRequestUsedHead.isEmpty());
}

TEST_F(DSPGraph, GettersRejectBadIndices)
{
    AURA::DSPI *a = h.unit("a");
    AURA::DSPI *input = reinterpret_cast<AURA::DSPI *>(1);
    EXPECT_EQ(a->getInput(-1, &input, nullptr, true), AURA_ERR_INTERNAL);
    EXPECT_EQ(a->getInput(0, &input, nullptr, true), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(a->getNumInputs(nullptr, true), AURA_ERR_INVALID_PARAM);
    ASSERT_EQ(h.head->addInput(a, nullptr), AURA_OK);
    EXPECT_EQ(h.head->getInput(-5, &input, nullptr, true), AURA_OK); // taken as 0
    EXPECT_EQ(input, a);
    EXPECT_EQ(h.head->getInput(1, &input, nullptr, true), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(h.head->disconnectFromInternal(h.unit("stranger"), nullptr, true), AURA_ERR_DSP_NOTFOUND);
}

TEST_F(DSPGraph, RequestsBeyondTheRecordsStillApplyInOrder)
{
    // Far more requests than one chunk of records, queued without a flush.
    std::vector<AURA::DSPI *> sources;
    for (int i = 0; i < 3 * AURA::SystemI::REQUEST_CHUNK + 7; ++i) {
        sources.push_back(h.unit("s"));
        ASSERT_EQ(h.head->addInputQueued(sources.back(), false, nullptr, nullptr), AURA_OK);
    }
    // Interleave removals that only make sense after the adds before them.
    ASSERT_EQ(h.head->disconnectFrom(sources[3], nullptr), AURA_OK);
    ASSERT_EQ(h.head->disconnectFrom(sources[0], nullptr), AURA_OK);
    const int expected = static_cast<int>(sources.size()) - 2;
    ASSERT_EQ(numInputs(h.head), expected);
    std::vector<AURA::DSPI *> order;
    for (int i = 0; i < expected; ++i) {
        order.push_back(inputAt(h.head, i));
    }
    std::vector<AURA::DSPI *> want(sources.begin() + 1, sources.end());
    want.erase(want.begin() + 2);
    EXPECT_EQ(order, want);
    EXPECT_EQ(h.connectionsInUse(), expected);
}

TEST_F(DSPGraph, CycleIsRefusedAtTheCallWithoutLeaks)
{
    AURA::DSPI *a = h.unit("a");
    AURA::DSPI *b = h.unit("b");
    AURA::DSPI *c = h.unit("c");
    ASSERT_EQ(h.head->addInput(a, nullptr), AURA_OK);
    ASSERT_EQ(a->addInput(b, nullptr), AURA_OK);
    ASSERT_EQ(b->addInput(c, nullptr), AURA_OK);
    ASSERT_EQ(numInputs(b), 1);
    const int inUse = h.connectionsInUse();

    AURA::DSPConnectionI *connection = reinterpret_cast<AURA::DSPConnectionI *>(0x1);
    EXPECT_EQ(c->addInput(a, &connection), AURA_ERR_DSP_CONNECTION);
    EXPECT_EQ(connection, reinterpret_cast<AURA::DSPConnectionI *>(0x1));
    EXPECT_EQ(gLog.calls, 1);
    EXPECT_EQ(gLog.type, AURA_SYSTEM_CALLBACKTYPE_BADDSPCONNECTION);
    EXPECT_EQ(gLog.a, c);
    EXPECT_EQ(gLog.b, a);
    EXPECT_EQ(a->addInput(a, nullptr), AURA_ERR_DSP_CONNECTION);
    EXPECT_EQ(gLog.calls, 2);
    EXPECT_EQ(numInputs(c), 0);
    EXPECT_EQ(h.connectionsInUse(), inUse);

    // The sound card is never an input.
    EXPECT_EQ(a->addInput(h.head, nullptr), AURA_ERR_DSP_CONNECTION);
    EXPECT_EQ(h.connectionsInUse(), inUse);
}

TEST_F(DSPGraph, TheLevelPast127IsRefusedWithoutLeaks)
{
    // A chain down to level 127 is fine.
    AURA::DSPI *bottom = h.head;
    for (int level = 1; level < AURA::DSP_MAXTREEDEPTH; ++level) {
        AURA::DSPI *next = h.unit("chain");
        ASSERT_EQ(bottom->addInput(next, nullptr), AURA_OK) << "level " << level;
        bottom = next;
    }
    ASSERT_EQ(numInputs(bottom), 0);
    EXPECT_EQ(bottom->mTreeLevel, 127);
    EXPECT_EQ(gLog.calls, 0);
    const int inUse = h.connectionsInUse();

    EXPECT_EQ(bottom->addInput(h.unit("129th"), nullptr), AURA_ERR_DSP_CONNECTION);
    EXPECT_EQ(gLog.calls, 1);
    EXPECT_EQ(gLog.type, AURA_SYSTEM_CALLBACKTYPE_BADDSPLEVEL);
    EXPECT_EQ(numInputs(bottom), 0);
    EXPECT_EQ(h.connectionsInUse(), inUse);

    // A detached chain that would reach too deep once attached is refused
    // whole, whether it comes through the checked call or straight to the
    // mixer side.
    AURA::DSPI *top = h.unit("top");
    AURA::DSPI *cur = top;
    for (int i = 0; i < 3; ++i) {
        AURA::DSPI *next = h.unit("sub");
        ASSERT_EQ(cur->addInput(next, nullptr), AURA_OK);
        cur = next;
    }
    ASSERT_EQ(numInputs(cur), 0);
    AURA::DSPI *level125 = inputAt(inputAt(h.head, 0), 0);
    for (int i = 2; i < 125; ++i) {
        level125 = inputAt(level125, 0);
    }
    ASSERT_EQ(level125->mTreeLevel, 125);
    const int before = h.connectionsInUse();
    EXPECT_EQ(level125->addInput(top, nullptr), AURA_ERR_DSP_CONNECTION);
    EXPECT_EQ(level125->addInputQueued(top, false, nullptr, nullptr), AURA_OK);
    EXPECT_EQ(numInputs(level125), 1); // the old link only
    EXPECT_EQ(h.connectionsInUse(), before);
    EXPECT_EQ(top->mTreeLevel, -1);
}

TEST_F(DSPGraph, InsertBetweenAndRemoveRejoins)
{
    AURA::DSPI *source = h.unit("source");
    AURA::DSPI *effect = h.unit("effect");
    AURA::DSPI *second = h.unit("second");
    ASSERT_EQ(h.head->addInput(source, nullptr), AURA_OK);
    ASSERT_EQ(h.head->insertInputBetween(effect, 0, false, nullptr), AURA_OK);
    EXPECT_TRUE(effect->hasFlags(AURA::DSPI_FLAG_INSERTED));
    effect->clearFlags(AURA::DSPI_FLAG_ACTIVE);
    ASSERT_EQ(inputAt(h.head, 0), effect);
    EXPECT_TRUE(effect->hasFlags(AURA::DSPI_FLAG_ACTIVE));
    EXPECT_EQ(inputAt(effect, 0), source);
    EXPECT_EQ(source->mTreeLevel, 2);

    // With the search flag, the former input goes below the whole chain.
    ASSERT_EQ(h.head->insertInputBetween(second, 0, true, nullptr), AURA_OK);
    ASSERT_EQ(inputAt(h.head, 0), second);
    EXPECT_EQ(inputAt(second, 0), effect);
    EXPECT_EQ(inputAt(effect, 0), source);

    ASSERT_EQ(second->remove(), AURA_OK);
    EXPECT_EQ(inputAt(h.head, 0), effect);
    EXPECT_FALSE(second->hasFlags(AURA::DSPI_FLAG_ACTIVE));
    EXPECT_FALSE(second->hasFlags(AURA::DSPI_FLAG_INSERTED));
    ASSERT_EQ(effect->remove(), AURA_OK);
    EXPECT_EQ(inputAt(h.head, 0), source);
    EXPECT_EQ(numInputs(h.head), 1);
    EXPECT_EQ(h.connectionsInUse(), 1);
}

TEST_F(DSPGraph, FanOutGetsAPrivateBufferAndDropsItSafely)
{
    AURA::DSPI *a = h.unit("a");
    AURA::DSPI *b = h.unit("b");
    AURA::DSPI *shared = h.unit("shared");
    AURA::DSPI *leaf = h.unit("leaf");
    ASSERT_EQ(h.head->addInput(a, nullptr), AURA_OK);
    ASSERT_EQ(h.head->addInput(b, nullptr), AURA_OK);
    ASSERT_EQ(a->addInput(shared, nullptr), AURA_OK);
    ASSERT_EQ(shared->addInput(leaf, nullptr), AURA_OK);
    ASSERT_EQ(numInputs(shared), 1);
    EXPECT_EQ(shared->mBufferMemory, nullptr);
    EXPECT_EQ(shared->mBuffer, h.system.getLevelBuffer(2));

    ASSERT_EQ(b->addInput(shared, nullptr), AURA_OK);
    ASSERT_EQ(numInputs(b), 1);
    ASSERT_NE(shared->mBufferMemory, nullptr);
    EXPECT_NE(shared->mBuffer, h.system.getLevelBuffer(2));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(shared->mBuffer) % 16, 0u);

    // Back to one output: the buffer stays until the node drops an input.
    ASSERT_EQ(b->disconnectFrom(shared, nullptr), AURA_OK);
    ASSERT_EQ(numInputs(b), 0);
    EXPECT_NE(shared->mBufferMemory, nullptr);
    ASSERT_EQ(shared->disconnectFrom(leaf, nullptr), AURA_OK);
    ASSERT_EQ(numInputs(shared), 0);
    EXPECT_EQ(shared->mBufferMemory, nullptr);
    EXPECT_EQ(shared->mBuffer, h.system.getLevelBuffer(2)); // not the freed memory
}

TEST_F(DSPGraph, ReleaseDisconnectsAndReturnsEverything)
{
    AURA::DSPI *a = h.unit("a");
    AURA::DSPI *b = h.unit("b");
    AURA::DSPI *c = h.unit("c");
    ASSERT_EQ(h.head->addInput(a, nullptr), AURA_OK);
    ASSERT_EQ(a->addInput(b, nullptr), AURA_OK);
    ASSERT_EQ(h.head->addInput(b, nullptr), AURA_OK); // b fans out: private buffer
    ASSERT_EQ(b->addInput(c, nullptr), AURA_OK);      // queued, applied by the release
    h.release(b);
    EXPECT_EQ(numInputs(a), 0);
    EXPECT_EQ(numInputs(h.head), 1);
    int outputs = -1;
    ASSERT_EQ(c->getNumOutputs(&outputs, true), AURA_OK);
    EXPECT_EQ(outputs, 0);
    EXPECT_EQ(h.connectionsInUse(), 1);
}

TEST_F(DSPGraph, ConnectionPoolRefusesASecondFree)
{
    AURA::DSPConnectionI *first = nullptr;
    ASSERT_EQ(h.system.mDSPConnectionPool.alloc(&first, true), AURA_OK);
    ASSERT_EQ(h.system.mDSPConnectionPool.free(first, true), AURA_OK);
    EXPECT_EQ(h.system.mDSPConnectionPool.free(first, true), AURA_ERR_INVALID_PARAM);
    AURA::DSPConnectionI *x = nullptr;
    AURA::DSPConnectionI *y = nullptr;
    ASSERT_EQ(h.system.mDSPConnectionPool.alloc(&x, true), AURA_OK);
    ASSERT_EQ(h.system.mDSPConnectionPool.alloc(&y, true), AURA_OK);
    EXPECT_EQ(x, first); // last in, first out
    EXPECT_NE(x, y);     // never handed out twice
    EXPECT_EQ(h.system.mDSPConnectionPool.free(nullptr, true), AURA_ERR_INVALID_PARAM);
    (void)h.system.mDSPConnectionPool.free(x, true);
    (void)h.system.mDSPConnectionPool.free(y, true);
}

TEST_F(DSPGraph, ConnectionPoolGrowsByBlocksWithFullLevelRows)
{
    AURA::DSPConnectionPool pool;
    // Eight output channels: every connection needs eight level rows.
    ASSERT_EQ(pool.init(&h.system, 100, 8, 8), AURA_OK);
    EXPECT_EQ(pool.getConnectionsPerBlock(), 128);
    std::vector<AURA::DSPConnectionI *> taken;
    for (int i = 0; i < 300; ++i) {
        AURA::DSPConnectionI *c = nullptr;
        ASSERT_EQ(pool.alloc(&c, false), AURA_OK);
        ASSERT_EQ(c->mMaxOutputLevels, 8);
        // Every row is writable and distinct from the neighbours' rows.
        ASSERT_EQ(c->reset(), AURA_OK);
        for (int row = 0; row < 8; ++row) {
            const float levels[8] = {static_cast<float>(i), static_cast<float>(row)};
            ASSERT_EQ(c->setLevels(static_cast<AURA_SPEAKER>(row), levels, 8), AURA_OK);
        }
        taken.push_back(c);
    }
    EXPECT_EQ(pool.getNumBlocks(), 3);
    for (int i = 0; i < 300; ++i) {
        for (int row = 0; row < 8; ++row) {
            ASSERT_EQ(taken[i]->setLevel(row, 0), static_cast<float>(i));
            ASSERT_EQ(taken[i]->setLevel(row, 1), static_cast<float>(row));
        }
    }
    EXPECT_EQ(pool.init(&h.system, -1, 2, 2), AURA_ERR_INVALID_PARAM);
    pool.close();
}

TEST_F(DSPGraph, DescriptionRulesAndParameters)
{
    static AURA_DSP_PARAMETERDESC params[2] = {
        {0.0f, 10.0f, 5.0f, "gain", "dB", "the gain"},
        {-1.0f, 1.0f, 0.0f, "pan", "", nullptr}};
    static float lastValue;
    static int lastIndex;
    AURA::AURA_DSP_DESCRIPTION_EX d{};
    d.numparameters = 2;
    d.paramdesc = params;
    d.setparameter = [](AURA_DSP_STATE *, int index, float value) {
        lastIndex = index;
        lastValue = value;
        return AURA_OK;
    };
    d.getparameter = [](AURA_DSP_STATE *, int, float *value, char *text) {
        *value = 1.5f;
        AURA_strcpy(text, "0123456789abcdefghijklmnop");
        return AURA_OK;
    };
    AURA::DSPI *unit = nullptr;
    ASSERT_EQ(h.system.createDSP(&d, &unit, true), AURA_OK);
    h.units.push_back(unit);

    EXPECT_EQ(unit->setParameter(0, -3.0f), AURA_OK);
    EXPECT_EQ(lastValue, 0.0f);
    EXPECT_EQ(unit->setParameter(1, 30.0f), AURA_OK);
    EXPECT_EQ(lastIndex, 1);
    EXPECT_EQ(lastValue, 1.0f);
    EXPECT_EQ(unit->setParameter(2, 0.0f), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(unit->setParameter(-1, 0.0f), AURA_ERR_INVALID_PARAM);
    char text[64];
    float value = 0.0f;
    ASSERT_EQ(unit->getParameter(1, &value, text, 64), AURA_OK);
    EXPECT_EQ(value, 1.5f);
    EXPECT_STREQ(text, "0123456789abcde"); // at most 16 characters with the terminator
    char description[8] = "xxxxxxx";
    ASSERT_EQ(unit->getParameterInfo(0, nullptr, nullptr, description, 0, nullptr, nullptr), AURA_OK);
    EXPECT_STREQ(description, "xxxxxxx");
    EXPECT_EQ(unit->reset(), AURA_ERR_UNSUPPORTED);

    EXPECT_EQ(unit->setDefaults(22050.0f, 1.5f, -3.0f, 300), AURA_OK);
    float f, v, p;
    int priority;
    ASSERT_EQ(unit->getDefaults(&f, &v, &p, &priority), AURA_OK);
    EXPECT_EQ(v, 1.0f);
    EXPECT_EQ(p, -1.0f);
    EXPECT_EQ(priority, 256);
    ASSERT_EQ(unit->setDefaults(22050.0f, -0.1f, 0.0f, -5), AURA_OK);
    ASSERT_EQ(unit->getDefaults(nullptr, &v, nullptr, &priority), AURA_OK);
    EXPECT_EQ(v, 0.0f);
    EXPECT_EQ(priority, 0);

    AURA::AURA_DSP_DESCRIPTION_EX resampler{};
    resampler.mCategory = AURA::AURA_DSP_CATEGORY_RESAMPLER;
    resampler.channels = 2;
    EXPECT_EQ(unit->alloc(&resampler), AURA_ERR_INVALID_PARAM);
    AURA::AURA_DSP_DESCRIPTION_EX wide{};
    wide.channels = h.system.mMaxInputChannels + 1;
    EXPECT_EQ(unit->alloc(&wide), AURA_ERR_TOOMANYCHANNELS);
    AURA::AURA_DSP_DESCRIPTION_EX odd{};
    odd.mCategory = static_cast<AURA::AURA_DSP_CATEGORY>(42);
    EXPECT_EQ(unit->alloc(&odd), AURA_ERR_INVALID_PARAM);
}

TEST_F(DSPGraph, TicksNeverReachZero)
{
    h.system.mDSPTick = 0xFFFFFFFEu;
    EXPECT_EQ(h.system.nextDSPTick(), 0xFFFFFFFFu);
    EXPECT_EQ(h.system.nextDSPTick(), 1u);
    // A fresh unit (tick 0) is produced on its first read, not taken as done.
    AURA::DSPI *source = h.unit("source", 2);
    Harness::of(source).value = 0.25f;
    ASSERT_EQ(h.head->addInput(source, nullptr), AURA_OK);
    const auto out = h.pullFloats(16);
    EXPECT_EQ(out[0], 0.25f);
}

// One thread changes the graph at random while another flushes and pulls.
TEST(DSPGraphThreads, RandomChangesWhileTheMixerPulls)
{
    Harness h(64);
    ASSERT_EQ(h.init, AURA_OK);
    std::vector<AURA::DSPI *> units;
    for (int i = 0; i < 12; ++i) {
        units.push_back(h.unit("u", i % 3 == 0 ? 2 : 0));
        Harness::of(units.back()).value = 0.01f;
    }
    // The mixer pulls at least 10,000 blocks and keeps pulling until every
    // change has been queued.
    std::atomic<bool> changesDone{false};
    std::atomic<int> blocks{0};
    std::thread mixer([&] {
        std::vector<float> out(64 * 2);
        while (blocks.load() < 10000 || !changesDone.load()) {
            ASSERT_EQ(h.pull(out.data(), 64), AURA_OK);
            blocks.fetch_add(1);
        }
    });
    std::mt19937 rng(7);
    constexpr int kChanges = 3000;
    for (int change = 0; change < kChanges; ++change) {
        AURA::DSPI *a = units[rng() % units.size()];
        AURA::DSPI *b = units[rng() % units.size()];
        switch (rng() % 6) {
        case 0:
            (void)h.head->addInput(a, nullptr);
            break;
        case 1:
            (void)a->addInput(b, nullptr); // cycles are refused at the call
            break;
        case 2:
            (void)a->disconnectFrom(nullptr, nullptr);
            break;
        case 3:
            (void)a->disconnectAll(rng() % 2 == 0, true);
            break;
        case 4: {
            int n = 0;
            (void)a->getNumInputs(&n, true);
            break;
        }
        default:
            a->setBypass(rng() % 2 == 0);
            break;
        }
    }
    changesDone = true;
    mixer.join();
    for (AURA::DSPI *u : units) {
        ASSERT_EQ(u->disconnectFrom(nullptr, nullptr), AURA_OK);
    }
    int inputs = -1;
    ASSERT_EQ(h.head->getNumInputs(&inputs, true), AURA_OK);
    EXPECT_EQ(inputs, 0);
    EXPECT_EQ(h.connectionsInUse(), 0);
}

} // namespace

namespace {

TEST(SystemDefaults, ANewSystemStartsWithTheDocumentedSettings)
{
    AURA::SystemI system;
    EXPECT_EQ(system.mOutputFormat, AURA_SOUND_FORMAT_PCM16);
    EXPECT_EQ(system.mOutputRate, 24000);
    EXPECT_EQ(system.mResampleMethod, AURA_DSP_RESAMPLER_LINEAR);
    EXPECT_EQ(system.mMaxInputChannels, 6);
    unsigned int block = 0;
    int buffers = 0;
    ASSERT_EQ(system.getDSPBufferSize(&block, &buffers), AURA_OK);
    EXPECT_EQ(block, 1024u);
    EXPECT_EQ(buffers, 4);
    EXPECT_EQ(system.getDSPBufferSize(nullptr, nullptr), AURA_OK);
    EXPECT_EQ(system.mSpeakerMode, AURA_SPEAKERMODE_STEREO);
    EXPECT_EQ(system.mMaxOutputChannels, 2);
    // Stereo moved the front pair to the sides; the rest keep their places.
    EXPECT_EQ(system.mSpeaker[0].mPosition[0], -1.0f);
    EXPECT_EQ(system.mSpeaker[0].mPosition[2], 0.0f);
    EXPECT_EQ(system.mSpeaker[1].mPosition[0], 1.0f);
    EXPECT_EQ(system.mSpeaker[1].mPosition[2], 0.0f);
    EXPECT_EQ(system.mSpeaker[4].mPosition[0], -1.0f);
    EXPECT_EQ(system.mSpeaker[4].mPosition[2], -1.0f);
    EXPECT_EQ(system.mReverbAmbientProperties.Environment, -1);
    EXPECT_EQ(system.mReverbAmbientProperties.EnvSize, 7.5f);
    EXPECT_EQ(system.mReverbAmbientProperties.Reflections, -2602);
    EXPECT_EQ(system.mReverbAmbientProperties.HFReference, 5000.0f);
    EXPECT_EQ(system.mReverbAmbientProperties.Flags, 0x33Fu);
    bool active = true;
    ASSERT_EQ(system.get3DReverbActive(&active), AURA_OK);
    EXPECT_FALSE(active);
    EXPECT_FALSE(system.mInitialised);

}

} // namespace
