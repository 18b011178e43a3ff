// Time, thread ids, CPU time stamps and the engine's string helpers.
#include "base/aura_globals.h"
#include "base/aura_memory.h"
#include "base/aura_string.h"
#include "os/aura_os.h"
#include "os/aura_timestamp.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace {

TEST(OsTime, SleepAndClocksAgree)
{
    // Each reading of the fine clock is bracketed by two of the millisecond
    // clock, so a thread preempted between reads cannot make them disagree.
    struct Reading {
        unsigned int msBefore = 0, us = 0, msAfter = 0;
    };
    const auto read = [] {
        Reading r;
        EXPECT_EQ(AURA_OS_Time_GetMs(&r.msBefore), AURA_OK);
        EXPECT_EQ(AURA_OS_Time_GetNs(&r.us), AURA_OK);
        EXPECT_EQ(AURA_OS_Time_GetMs(&r.msAfter), AURA_OK);
        return r;
    };
    const Reading start = read();
    ASSERT_EQ(AURA_OS_Time_Sleep(60), AURA_OK);
    const Reading end = read();
    // Unsigned differences are right across the 32-bit wrap.
    const unsigned int us = end.us - start.us;
    EXPECT_GE(end.msBefore - start.msAfter, 59u);
    EXPECT_GE(us, 60000u);
    // The two clocks count the same interval in their own units: the fine
    // one's lies between the millisecond brackets (each read truncated).
    const double fineMs = static_cast<double>(us) / 1000.0;
    EXPECT_GE(fineMs, static_cast<double>(end.msBefore - start.msAfter) - 1.0);
    EXPECT_LE(fineMs, static_cast<double>(end.msAfter - start.msBefore) + 1.0);
    EXPECT_EQ(AURA_OS_Time_GetMs(nullptr), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(AURA_OS_Time_GetNs(nullptr), AURA_ERR_INVALID_PARAM);
}

TEST(OsThreadId, IsTheKernelThreadIdAndDiffersPerThread)
{
    unsigned int mine = 0;
    ASSERT_EQ(AURA_OS_Thread_GetCurrentID(&mine), AURA_OK);
    EXPECT_EQ(mine, static_cast<unsigned int>(syscall(SYS_gettid)));
    unsigned int theirs = 0;
    std::thread([&] { (void)AURA_OS_Thread_GetCurrentID(&theirs); }).join();
    EXPECT_NE(theirs, 0u);
    EXPECT_NE(theirs, mine);
    EXPECT_EQ(AURA_OS_Thread_GetCurrentID(nullptr), AURA_ERR_INVALID_PARAM);
}

TEST(TimeStamp, MeasuresTheBusyShareOfEachPeriod)
{
    AURA::TimeStamp stamp;
    float usage = -1.0f;
    ASSERT_EQ(stamp.getCPUUsage(&usage), AURA_OK);
    EXPECT_EQ(usage, 0.0f);
    EXPECT_EQ(stamp.getCPUUsage(nullptr), AURA_ERR_INVALID_PARAM);

    // Busy 20 ms, idle 20 ms: close to half of the time, never above 100.
    ASSERT_EQ(stamp.stampIn(), AURA_OK);
    ASSERT_EQ(stamp.stampOut(0), AURA_OK);
    for (int i = 0; i < 3; ++i) {
        (void)AURA_OS_Time_Sleep(20);
        ASSERT_EQ(stamp.stampIn(), AURA_OK);
        (void)AURA_OS_Time_Sleep(20);
        ASSERT_EQ(stamp.stampOut(0), AURA_OK);
        EXPECT_GE(stamp.getLastBusy(), 20000u);
    }
    ASSERT_EQ(stamp.getCPUUsage(&usage), AURA_OK);
    EXPECT_GT(usage, 20.0f);
    EXPECT_LE(usage, 100.0f);

    // Full smoothing keeps the old value whatever the new period shows.
    const float before = usage;
    ASSERT_EQ(stamp.stampIn(), AURA_OK);
    ASSERT_EQ(stamp.stampOut(100), AURA_OK);
    ASSERT_EQ(stamp.getCPUUsage(&usage), AURA_OK);
    EXPECT_EQ(usage, before);
}

TEST(EngineStrings, CompareAsUnsignedBytes)
{
    EXPECT_EQ(AURA_strcmp("abc", "abc"), 0);
    EXPECT_EQ(AURA_strcmp("abc", "abd"), 'c' - 'd');
    EXPECT_EQ(AURA_strcmp("ab", "abc"), -'c');
    EXPECT_EQ(AURA_strcmp("\xff", "\x01"), 0xff - 0x01);
    EXPECT_EQ(AURA_strcmp(nullptr, ""), 0);
    EXPECT_EQ(AURA_strncmp("RIFFxxxx", "RIFFyyyy", 4), 0);
    EXPECT_EQ(AURA_strncmp("RIFF", "RIFX", 4), 'F' - 'X');
    EXPECT_EQ(AURA_strncmp("ab", "ab", 10), 0); // stops at the terminator
    EXPECT_EQ(AURA_strncmp("abc", "abd", 0), 0);
    EXPECT_EQ(AURA_strnicmp("http://Host", "HTTP://", 7), 0);
    EXPECT_LT(AURA_strnicmp("abc", "ABD", 3), 0);
    EXPECT_GT(AURA_strnicmp("b", "A", 1), 0);
    EXPECT_EQ(AURA_memcmp("a\0b", "a\0b", 3), 0);
    EXPECT_EQ(AURA_memcmp("a\0b", "a\0c", 3), 'b' - 'c');
    EXPECT_EQ(AURA_memcmp("\x80", "\x7f", 1), 1);
    EXPECT_EQ(AURA_memcmp(nullptr, nullptr, 0), 0);
}

TEST(EngineStrings, CopiesStayInsideTheirLength)
{
    char buffer[8];
    std::memset(buffer, 'x', sizeof(buffer));
    AURA_strncpy(buffer, "ab", 5);
    EXPECT_EQ(std::memcmp(buffer, "ab\0\0\0xxx", 8), 0);
    std::memset(buffer, 'x', sizeof(buffer));
    AURA_strncpy(buffer, "abcdefghij", 4);
    EXPECT_EQ(std::memcmp(buffer, "abcdxxxx", 8), 0); // no terminator past the length
    AURA_strcpy(buffer, "wave");
    EXPECT_STREQ(buffer, "wave");
    EXPECT_EQ(AURA_strlen(buffer), 4);
    EXPECT_EQ(AURA_strlen(nullptr), 0);
    char upper[] = "Aura 1.0 mix";
    EXPECT_STREQ(AURA_strupr(upper), "AURA 1.0 MIX");
}

TEST(EngineStrings, DuplicatesLiveInThePool)
{
    AURA::MemPool *pool = AURA::gGlobal->mMemPool;
    const auto before = pool->getStats().currentBytes[0];
    char *copy = AURA_strdup("engine");
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "engine");
    EXPECT_EQ(pool->getStats().currentBytes[0], before + 7);
    pool->free(copy, "aura/tests/test_os_misc", __LINE__);
    EXPECT_EQ(pool->getStats().currentBytes[0], before);
    EXPECT_EQ(AURA_strdup(nullptr), nullptr);
    pool->failAfter(1);
    EXPECT_EQ(AURA_strdup("engine"), nullptr);
}

} // namespace
