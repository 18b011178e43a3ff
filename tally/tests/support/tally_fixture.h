// A fresh application root and a fresh analytics library for each test.
#ifndef TALLY_TESTS_TALLY_FIXTURE_H
#define TALLY_TESTS_TALLY_FIXTURE_H

#include "platform/date.h"
#include "platform/files.h"
#include "platform/user_defaults.h"
#include "tally/TallyAPI.h"
#include "tally/TallySession.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

class TallyFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/tally-test-XXXXXX";
        const char *dir = ::mkdtemp(pattern);
        ASSERT_NE(dir, nullptr);
        mRoot = dir;
        platform::setApplicationRoot(mRoot);
        platform::UserDefaults::standardUserDefaults().reload();
        platform::setDateSource({});
        tally::TallyAPI::resetForTesting();
    }
    void TearDown() override
    {
        tally::TallyAPI::resetForTesting();
        platform::setDateSource({});
        std::error_code ec;
        std::filesystem::remove_all(mRoot, ec);
        platform::setApplicationRoot("");
        platform::UserDefaults::standardUserDefaults().reload();
    }
    // Makes "now" a value the test moves by hand.
    void freezeClock(double start = 1700000000.0)
    {
        mNow = std::make_shared<double>(start);
        auto now = mNow;
        platform::setDateSource([now] { return *now; });
    }
    void advance(double seconds) { *mNow += seconds; }
    [[nodiscard]] std::size_t filesUnder(const std::string &dir) const
    {
        std::size_t n = 0;
        std::error_code ec;
        if (!std::filesystem::exists(dir, ec)) return 0;
        for (const auto &e : std::filesystem::recursive_directory_iterator(dir, ec)) n += e.is_regular_file() ? 1 : 0;
        return n;
    }

    std::string mRoot;
    std::shared_ptr<double> mNow;
};

#endif // TALLY_TESTS_TALLY_FIXTURE_H
