// aura-play with playlists, ID3-tagged files and headerless PCM.
#include "files.h"
#include "tools.h"
#include "wav.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <string>

namespace {

namespace fs = std::filesystem;
using auratest::quote;
using auratest::run;

class AuraPlayLists : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(mDir.ok()); }

    // The tool's standard output; the exit status in *status.
    std::string play(const std::string &args, int *status)
    {
        int raw = 0;
        std::string out = auratest::capture(
            "cd " + quote(mDir.path()) + " && " + AURA_PLAY_PATH + " " + args + " 2>/dev/null </dev/null", &raw);
        *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        return out;
    }

    auratest::Wav render(const std::string &args)
    {
        int status = 0;
        (void)play("-q --rate 48000 -o out.wav " + args, &status);
        EXPECT_EQ(status, 0) << args;
        return auratest::readWav(mDir / "out.wav");
    }

    auratest::TempDir mDir{"aura-play-lists"};
};

TEST_F(AuraPlayLists, AnM3uRendersAsItsFilesNamedOnTheCommandLine)
{
    fs::create_directory(mDir / "music");
    ASSERT_TRUE(run("sox -D -n -r 48000 -c 2 -b 16 " + quote(mDir / "music/a.wav") + " synth 0.3 sine 300"));
    ASSERT_TRUE(run("sox -D -n -r 44100 -c 1 -b 16 " + quote(mDir / "music/b.wav") + " synth 0.2 square 200 vol 0.3"));
    ASSERT_TRUE(run("sox -D -n -r 22050 -c 2 -b 16 " + quote(mDir / "music/c.wav") + " synth 0.25 sine 900"));
    const std::string m3u = "#EXTM3U\r\n#EXTINF:0,A\r\na.wav\r\n#EXTINF:0,B\r\nb.wav\r\n#EXTINF:0,C\r\nc.wav\r\n";
    ASSERT_TRUE(auratest::writeAll(mDir / "music/list.m3u", auratest::Bytes(m3u.begin(), m3u.end())));

    const auratest::Wav named = render("music/a.wav music/b.wav music/c.wav");
    const auratest::Wav listed = render("music/list.m3u");
    ASSERT_TRUE(named.valid && listed.valid);
    EXPECT_GT(named.frames(), 48000u * 7 / 10);
    EXPECT_TRUE(listed.data == named.data);

    int status = 0;
    const std::string info = play("--info music/list.m3u", &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(info.find("type:     playlist"), std::string::npos) << info;
    EXPECT_NE(info.find("entry:    a.wav\n  tag:      LENGTH=0\n  tag:      TITLE=B\n  tag:      FILE=b.wav"),
              std::string::npos)
        << info;
}

TEST_F(AuraPlayLists, InfoShowsId3TagsAndRawFilesPlayLikeTheirWavs)
{
    ASSERT_TRUE(run("sox -D -n -r 44100 -c 2 -b 16 " + quote(mDir / "t.wav") + " synth 0.2 sine 500"));
    ASSERT_TRUE(run("id3v2 -t 'Tagged Title' -a Someone -g 17 " + quote(mDir / "t.wav")));
    int status = 0;
    const std::string info = play("--info t.wav", &status);
    EXPECT_EQ(status, 0);
    for (const char *line : {"type:     WAV", "tag:      TITLE=Tagged Title", "tag:      GENRE=17",
                             "tag:      TIT2=Tagged Title", "tag:      TPE1=Someone"}) {
        EXPECT_NE(info.find(line), std::string::npos) << line << " in\n" << info;
    }

    for (const char *type : {"s16:2", "s24:3", "f32:1", "s8:1"}) {
        SCOPED_TRACE(type);
        const std::string spec = type;
        const std::string bits = spec.substr(1, spec.find(':') - 1);
        const std::string sox = std::string(" -e ") + (spec[0] == 'f' ? "floating-point" : "signed") + " -b " + bits +
                                " -c " + spec.substr(spec.find(':') + 1) + " -r 32000 ";
        ASSERT_TRUE(run("sox -D -n -t raw" + sox + quote(mDir / "x.raw") + " synth 0.3 sine 700 gain -3"));
        ASSERT_TRUE(run("sox -D -t raw" + sox + quote(mDir / "x.raw") + " " + quote(mDir / "x.wav")));
        const auratest::Wav fromWav = render("x.wav");
        const auratest::Wav fromRaw = render("--raw " + spec + ":32000 x.raw");
        EXPECT_GT(fromWav.frames(), 14000u);
        EXPECT_TRUE(fromRaw.data == fromWav.data);
    }
    (void)play("--raw s16:0:44100 x.raw", &status);
    EXPECT_EQ(status, 2);
}

} // namespace
