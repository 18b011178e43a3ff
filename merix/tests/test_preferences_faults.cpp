// The saved preferences through ogc-sim when the file system does not
// cooperate: a save that cannot be written, damaged files met again and
// again, saves killed half-way, and two instances saving at once.
#include <game/savegamedata.h>
#include <platform/files.h>
#include <platform/plist.h>

#include "child_process.h"
#include "files.h"
#include "tools.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/inotify.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace save = paddle::savegamedata;

using testsupport::Child;
using testsupport::LineReader;
using testsupport::spawnChild;
using testsupport::waitExit;

bool has(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

std::string text(const std::optional<std::vector<std::uint8_t>> &bytes)
{
    return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

std::span<const std::uint8_t> bytesOf(const std::string &s)
{
    return {reinterpret_cast<const std::uint8_t *>(s.data()), s.size()};
}

platform::PlistArray scores(std::vector<std::int64_t> values)
{
    values.resize(save::kScoreSlots);
    platform::PlistArray out;
    for (const auto v : values)
        out.emplace_back(v);
    return out;
}

class PreferencesFaults : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(data.ok());
        platform::setApplicationRoot(data.path());
        save::ForgetAll();
        // A child that died early fails its checks; its pipe must not end the test.
        std::signal(SIGPIPE, SIG_IGN);
        ASSERT_TRUE(platform::createDirectories(platform::documentsDirectory()));
    }

    struct Run {
        int status = -1;
        std::string out;
        std::string err;
    };

    // ogc-sim through these actions; `shell` runs before it (limits, traps).
    Run sim(const std::string &actions, const std::string &shell = "")
    {
        const std::string errFile = data.file("stderr.txt");
        Run run;
        run.out = auratest::capture(shell + "exec " + auratest::quote(OGC_SIM_PATH) + " " + options() + " " + actions +
                                        " 2>" + auratest::quote(errFile),
                                    &run.status);
        run.err = text(platform::readWholeFile(errFile));
        return run;
    }

    std::string options() const
    {
        return "--manual-clock --server http://127.0.0.1:9/ --data " + auratest::quote(data.path());
    }
    std::vector<std::string> optionWords() const
    {
        return {"--manual-clock", "--server", "http://127.0.0.1:9/", "--data", data.path()};
    }

    // A preferences file of the game's own state (`stateBytes` of it) and
    // these newest high scores.
    void seed(std::size_t stateBytes, std::vector<std::int64_t> newest)
    {
        platform::PlistDict dict;
        dict["GameState"] = platform::PlistValue(platform::PlistData(stateBytes, 0x5a));
        dict[save::kNewHighScoresKey] = platform::PlistValue(scores(std::move(newest)));
        ASSERT_TRUE(platform::writeFileAtomically(save::PreferencesPath(),
                                                  bytesOf(platform::plistToXml(platform::PlistValue(dict))), 0600));
    }

    // The temporary files of saves in Documents.
    std::vector<std::string> leftovers() const
    {
        std::vector<std::string> names;
        for (const auto &e : std::filesystem::directory_iterator(platform::documentsDirectory())) {
            const std::string name = e.path().filename().string();
            if (has(name, ".tmp."))
                names.push_back(name);
        }
        return names;
    }

    auratest::TempDir data{"prefs-faults"};
};

TEST_F(PreferencesFaults, SaveThatCannotBeWrittenIsSaidAndTheFileStaysWhole)
{
    // The game's state makes the file larger than the 64 KiB a process may
    // write: the save fails as on a full disk.
    seed(200 * 1000, {900});
    const std::string before = text(platform::readWholeFile(save::PreferencesPath()));
    const Run run = sim("score 0 950 state", "ulimit -f 128; trap '' XFSZ; ");
    EXPECT_EQ(run.status, 1 << 8) << run.out;
    EXPECT_TRUE(has(run.err, "could not save " + save::PreferencesPath() + ": File too large")) << run.err;
    EXPECT_EQ(text(platform::readWholeFile(save::PreferencesPath())), before);
    EXPECT_EQ(leftovers(), std::vector<std::string>{});

    // With room again the same save goes through, keeping the game's state.
    const Run again = sim("score 0 950");
    EXPECT_EQ(again.status, 0) << again.err;
    ASSERT_TRUE(save::LoadMerixLogin());
    EXPECT_EQ(save::GetNewHighScore(0), 950u);
    EXPECT_TRUE(has(text(platform::readWholeFile(save::PreferencesPath())), "<key>GameState</key>"));
}

// Another binary writer stores equal values once: a file of a few
// megabytes whose XML would be larger than a load reads. Saved again, it
// must still read, or the next launch sets the player's login aside.
TEST_F(PreferencesFaults, AFileThatStoresEqualValuesOnceStaysReadableAfterASave)
{
    const std::string path = save::PreferencesPath();
    int status = -1;
    auratest::capture("python3 -c 'import plistlib, sys; sys.stdout.buffer.write(plistlib.dumps("
                      "{\"MerixLogin\": \"alice\", \"MerixPassword\": \"pw\", \"MerixNewHighScores\": [900, 0, 0, 0, 0, 0], "
                      "\"Junk\": [7] * 1000000}, fmt=plistlib.FMT_BINARY))' > " +
                          auratest::quote(path),
                      &status);
    ASSERT_EQ(status, 0);
    const Run run = sim("score 1 950");
    EXPECT_EQ(run.status, 0) << run.err;
    const Run again = sim("score 2 960");
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_FALSE(has(again.err, "could not be read")) << again.err;
    EXPECT_FALSE(platform::fileExists(path + ".damaged"));
    ASSERT_TRUE(save::LoadMerixLogin());
    EXPECT_STREQ(save::GetMerixLogin(), "alice");
    EXPECT_EQ(save::GetNewHighScore(0), 900u);
    EXPECT_EQ(save::GetNewHighScore(1), 950u);
    EXPECT_EQ(save::GetNewHighScore(2), 960u);
    const auto bytes = platform::readWholeFile(path);
    ASSERT_TRUE(bytes.has_value());
    const auto root = platform::plistFromBytes(*bytes);
    const auto *dict = root ? root->get<platform::PlistDict>() : nullptr;
    ASSERT_NE(dict, nullptr);
    const auto junk = dict->find("Junk");
    ASSERT_NE(junk, dict->end());
    ASSERT_NE(junk->second.get<platform::PlistArray>(), nullptr);
    EXPECT_EQ(junk->second.get<platform::PlistArray>()->size(), 1000000u);
}

TEST_F(PreferencesFaults, EveryDamagedFileIsKeptAndEachMoveIsSaid)
{
    const std::string path = save::PreferencesPath();
    const std::vector<std::string> damaged = {
        "<plist><dict><key>MerixPassword</key><string>first secret",
        std::string("bplist00\xff\xff second", 17),
        "<plist><string>not a dictionary</string></plist>",
    };
    const std::vector<std::string> asides = {path + ".damaged", path + ".damaged.1", path + ".damaged.2"};
    for (std::size_t i = 0; i < damaged.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(platform::writeFileAtomically(path, bytesOf(damaged[i]), 0600));
        const Run run = sim("start score 1 " + std::to_string(10 + i));
        EXPECT_EQ(run.status, 0) << run.out << run.err;
        EXPECT_TRUE(has(run.err, path + " could not be read; moved to " + asides[i] + "\n")) << run.err;
    }
    for (std::size_t i = 0; i < damaged.size(); ++i)
        EXPECT_EQ(text(platform::readWholeFile(asides[i])), damaged[i]) << asides[i];
    ASSERT_TRUE(save::LoadMerixLogin());
    EXPECT_EQ(save::GetNewHighScore(1), 12u);
}

// Temporary files hold the password: a launch removes those of saves that
// are not running, whoever's process number they carry, and the kills of
// saves leave nothing behind once the next launch has run.
TEST_F(PreferencesFaults, KilledSavesLeaveNoTemporaryFileAfterTheNextLaunch)
{
    const std::string path = save::PreferencesPath();
    const std::string secret = "<plist><dict><key>MerixPassword</key><string>secret</string></dict></plist>";
    // Processes that are alive (this test, init) but are not saving.
    for (const std::string &owner : {std::to_string(::getpid()), std::string("1")}) {
        ASSERT_TRUE(platform::writeFileAtomically(path + ".tmp." + owner + ".3", bytesOf(secret), 0600));
    }
    const Run launch = sim("state");
    EXPECT_EQ(launch.status, 0) << launch.err;
    EXPECT_EQ(leftovers(), std::vector<std::string>{});

    // Saves of a file of a megabyte and more, killed as soon as their
    // temporary file appears.
    seed(1100 * 1000, {});
    const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, platform::documentsDirectory().c_str(), IN_CREATE), 0);
    std::vector<std::string> args = optionWords();
    for (int n = 1; n <= 20; ++n)
        args.insert(args.end(), {"score", "0", std::to_string(n)});
    int leftBehind = 0;
    int round = 0;
    for (; round < 40 && leftBehind < 5; ++round) {
        const Child child = spawnChild(OGC_SIM_PATH, args, false);
        ASSERT_GT(child.pid, 0);
        // The child may also end before a save: then it has exited.
        const int wanted = 1 + round % 3;
        int created = 0;
        int status = -1;
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (created < wanted && std::chrono::steady_clock::now() < limit) {
            pollfd p{watch, POLLIN, 0};
            if (::poll(&p, 1, 100) > 0) {
                alignas(inotify_event) char events[4096];
                const ssize_t n = ::read(watch, events, sizeof events);
                for (ssize_t at = 0; at < n;) {
                    const auto *e = reinterpret_cast<const inotify_event *>(events + at);
                    if (e->len > 0 && has(e->name, ".tmp."))
                        ++created;
                    at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
                }
            } else if (int s = 0; ::waitpid(child.pid, &s, WNOHANG) == child.pid) {
                status = s;
                break;
            }
        }
        if (status == -1) {
            ::kill(child.pid, SIGKILL);
            EXPECT_EQ(waitExit(child.pid), 128 + SIGKILL);
        }
        leftBehind += leftovers().empty() ? 0 : 1;
        // Events of the next launch only.
        for (char drain[4096]; ::read(watch, drain, sizeof drain) > 0;) {}
    }
    ::close(watch);
    // The kills did leave files (or this test proves nothing), and the
    // next launch took them away.
    RecordProperty("launches", round);
    RecordProperty("rounds_leaving_files", leftBehind);
    EXPECT_GT(leftBehind, 0);
    const Run next = sim("state");
    EXPECT_EQ(next.status, 0) << next.err;
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
    ASSERT_TRUE(save::LoadMerixLogin());
    EXPECT_TRUE(has(text(platform::readWholeFile(path)), "<key>GameState</key>"));
}

// Two instances, each with its own slot, load the file, then save at once
// many times: every instance's last score is in the file afterwards.
TEST_F(PreferencesFaults, TwoInstancesSavingAtOnceKeepEachOthersScores)
{
    seed(100 * 1000, {});
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        std::vector<Child> children;
        std::vector<LineReader> outputs;
        for (int i = 0; i < 2; ++i) {
            children.push_back(spawnChild(OGC_SIM_PATH, optionWords(), true, true));
            ASSERT_GT(children.back().pid, 0);
            outputs.emplace_back(children.back().stdoutFd);
        }
        // Both have read the file before either saves.
        for (int i = 0; i < 2; ++i) {
            const std::string start = "start\nstate\n";
            ASSERT_EQ(::write(children[i].stdinFd, start.data(), start.size()), static_cast<ssize_t>(start.size()));
        }
        for (auto &output : outputs)
            ASSERT_TRUE(output.waitFor("state login=logged-out", 30));
        std::vector<std::string> scripts(2);
        for (int n = 1; n <= 10; ++n) {
            for (int i = 0; i < 2; ++i)
                scripts[i] += "score " + std::to_string(i) + " " + std::to_string(round * 100 + n * 10 + i) + "\n";
        }
        for (int i = 0; i < 2; ++i) {
            ASSERT_EQ(::write(children[i].stdinFd, scripts[i].data(), scripts[i].size()),
                      static_cast<ssize_t>(scripts[i].size()));
            ::close(children[i].stdinFd);
        }
        for (int i = 0; i < 2; ++i) {
            outputs[i].readToEnd();
            ::close(children[i].stdoutFd);
            EXPECT_EQ(waitExit(children[i].pid), 0);
        }
        save::ForgetAll();
        ASSERT_TRUE(save::LoadMerixLogin());
        EXPECT_EQ(save::GetNewHighScore(0), static_cast<unsigned>(round * 100 + 100));
        EXPECT_EQ(save::GetNewHighScore(1), static_cast<unsigned>(round * 100 + 101));
    }
    EXPECT_TRUE(has(text(platform::readWholeFile(save::PreferencesPath())), "<key>GameState</key>"));
}

} // namespace
