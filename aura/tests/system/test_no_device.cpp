// A system whose sound device does not open: it mixes without sound and
// says why through its callback, never on standard error.
#include "aura.hpp"
#include "alsa_config.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> gHeard;

AURA_RESULT hear(AURA_SYSTEM *, AURA_SYSTEM_CALLBACKTYPE type, void *data1, void *)
{
    if (type == AURA_SYSTEM_CALLBACKTYPE_NODEVICE && data1) {
        gHeard.emplace_back(static_cast<const char *>(data1));
    }
    return AURA_OK;
}

TEST(NoDevice, TheReasonGoesToTheSystemCallbackAndNothingToStandardError)
{
    auratest::AlsaConfig config("pcm.nothing { type null }");
    for (const bool listening : {true, false}) {
        gHeard.clear();
        AURA::System *system = nullptr;
        ASSERT_EQ(AURA::System_Create(&system), AURA_OK);
        ASSERT_EQ(system->setCallback(listening ? &hear : nullptr), AURA_OK);
        testing::internal::CaptureStderr();
        const AURA_RESULT started = system->init(8, AURA_INIT_NORMAL, nullptr);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(started, AURA_OK);
        AURA_OUTPUTTYPE output = AURA_OUTPUTTYPE_AUTODETECT;
        EXPECT_EQ(system->getOutput(&output), AURA_OK);
        EXPECT_EQ(output, AURA_OUTPUTTYPE_NOSOUND);
        EXPECT_EQ(gHeard.size(), listening ? 1u : 0u);
        EXPECT_EQ(system->release(), AURA_OK);
    }
}

} // namespace
