// Sounds and music that are heard: the music folder's songs picked and
// played in ogc-sim through the WAV writer, against aura-play rendering the
// same files; an interface sound rendered by the platform's sound system.
#include <merix/SoundEffect.h>
#include <platform/audio.h>
#include <platform/media.h>

#include "tools.h"
#include "ui_fixtures.h"
#include "wav.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

using auratest::quote;

// The samples from the first frame that is not silent on.
std::vector<std::int16_t> fromFirstSound(const auratest::Wav &wav)
{
    std::size_t at = 0;
    while (at + wav.channels <= wav.pcm16.size() &&
           std::all_of(wav.pcm16.begin() + static_cast<std::ptrdiff_t>(at),
                       wav.pcm16.begin() + static_cast<std::ptrdiff_t>(at + wav.channels),
                       [](std::int16_t v) { return v == 0; })) {
        at += wav.channels;
    }
    return {wav.pcm16.begin() + static_cast<std::ptrdiff_t>(at), wav.pcm16.end()};
}

// `played` holds `expected` and then silence.
void expectSoundThenSilence(const std::vector<std::int16_t> &played, const std::vector<std::int16_t> &expected)
{
    ASSERT_GE(played.size(), expected.size());
    const auto mismatch = std::mismatch(expected.begin(), expected.end(), played.begin());
    EXPECT_EQ(mismatch.first, expected.end())
        << "first difference at sample " << (mismatch.first - expected.begin()) << " of " << expected.size();
    EXPECT_TRUE(std::all_of(played.begin() + static_cast<std::ptrdiff_t>(expected.size()), played.end(),
                            [](std::int16_t v) { return v == 0; }));
}

TEST(MusicQueue, MusicFolderSongsArePickedAndPlayInOrderAsAuraPlayRendersThem)
{
    auratest::TempDir dir("ogc-music");
    const auto music = dir / "Music";
    std::filesystem::create_directories(music / "album");
    // A stereo WAV at the mixer's rate, a mono one at another rate, an Ogg
    // file with tags in a folder below, and files that are not songs.
    ASSERT_TRUE(auratest::run("sox -n -r 48000 -c 2 -b 16 " + quote(music / "a tune.wav") +
                              " synth 0.4 sine 440 sine 550 vol 0.5"));
    ASSERT_TRUE(auratest::run("sox -n -r 44100 -c 1 -b 16 " + quote(music / "b.wav") + " synth 0.25 square 300 vol 0.3"));
    ASSERT_TRUE(auratest::run("sox -n -r 48000 -c 2 -b 16 " + quote(dir / "c.wav") + " synth 0.3 sine 660 vol 0.5"));
    ASSERT_TRUE(auratest::run("oggenc -Q -t 'Third Song' -a Ann -o " + quote(music / "album" / "c.ogg") + " " +
                              quote(dir / "c.wav")));
    ASSERT_TRUE(auratest::run("echo notes > " + quote(music / "notes.txt") + " && echo junk > " +
                              quote(music / "broken.wav")));
    const std::vector<std::string> files{(music / "a tune.wav").string(), (music / "album" / "c.ogg").string(),
                                         (music / "b.wav").string()};

    int code = -1;
    const std::string out = auratest::capture(
        quote(OGC_SIM_PATH) + " --manual-clock --server http://127.0.0.1:9/ --data " + quote(dir / "data") +
            " --music-dir " + quote(music) + " --wav " + quote(dir / "queue.wav") +
            " songs pick 0 1 2 tick 45 screen 2>&1",
        &code);
    ASSERT_EQ(code, 0) << out;
    EXPECT_NE(out.find("song 0 title=a tune artist= duration=0.400 file=" + files[0] + "\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("song 1 title=Third Song artist=Ann duration=0.300 file=" + files[1] + "\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("song 2 title=b artist= duration=0.250 file=" + files[2] + "\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("song 3"), std::string::npos) << out;
    EXPECT_NE(out.find("screen music state=1 index=2 item=b time=0.25 queue=a tune,Third Song,b"), std::string::npos)
        << out;

    ASSERT_TRUE(auratest::run(quote(AURA_PLAY_PATH) + " -q --stream --rate 48000 -o " + quote(dir / "reference.wav") +
                              " " + quote(files[0]) + " " + quote(files[1]) + " " + quote(files[2])));
    const auto played = auratest::readWav(dir / "queue.wav");
    const auto reference = auratest::readWav(dir / "reference.wav");
    ASSERT_TRUE(played.valid) << played.error;
    ASSERT_TRUE(reference.valid) << reference.error;
    EXPECT_EQ(played.rate, 48000u);
    EXPECT_EQ(played.channels, 2u);
    // 0.95 s of songs in 1.5 s of ticks.
    EXPECT_EQ(reference.frames(), 45600u);
    expectSoundThenSilence(fromFirstSound(played), fromFirstSound(reference));
}

TEST(MusicQueue, APickWhileASongPlaysLeavesItsStreamAlone)
{
    // The output mixes whole blocks and runs ahead of the interface clock: at
    // 0.2 s (9600 frames) it has mixed 10240. The song at 44100 Hz goes
    // through the resampler, whose state a reopened stream would lose too.
    // Undithered, the same samples each run: on some dithered inputs this
    // stereo song resampled came out one step apart in one sample of 62,400
    // between ogc-sim and aura-play, with or without a second pick.
    auratest::TempDir dir("ogc-music-repick");
    const auto music = dir / "Music";
    std::filesystem::create_directories(music);
    ASSERT_TRUE(auratest::run("sox -D -n -r 48000 -c 2 -b 16 " + quote(music / "a.wav") +
                              " synth 0.4 sine 440 sine 550 vol 0.5"));
    ASSERT_TRUE(auratest::run("sox -D -n -r 44100 -c 2 -b 16 " + quote(music / "b.wav") +
                              " synth 0.25 square 300 sine 800 vol 0.3"));
    const std::string a = (music / "a.wav").string(), b = (music / "b.wav").string();
    int code = -1;
    const std::string out = auratest::capture(quote(OGC_SIM_PATH) + " --manual-clock --server http://127.0.0.1:9/ --data " +
                                                  quote(dir / "data") + " --music-dir " + quote(music) + " --wav " +
                                                  quote(dir / "queue.wav") +
                                                  " pick 0 1 tick 6 pick 1 0 screen tick 45 screen 2>&1",
                                              &code);
    ASSERT_EQ(code, 0) << out;
    EXPECT_NE(out.find("screen music state=1 index=0 item=a time=0.20 queue=a,b,b,a"), std::string::npos) << out;
    EXPECT_NE(out.find("screen music state=1 index=3 item=a time=0.40 queue=a,b,b,a"), std::string::npos) << out;

    ASSERT_TRUE(auratest::run(quote(AURA_PLAY_PATH) + " -q --stream --rate 48000 -o " + quote(dir / "reference.wav") +
                              " " + quote(a) + " " + quote(b) + " " + quote(b) + " " + quote(a)));
    const auto played = auratest::readWav(dir / "queue.wav");
    const auto reference = auratest::readWav(dir / "reference.wav");
    ASSERT_TRUE(played.valid) << played.error;
    ASSERT_TRUE(reference.valid) << reference.error;
    expectSoundThenSilence(fromFirstSound(played), fromFirstSound(reference));
}

TEST(MusicQueue, ASongWhoseFileHasGoneIsSkippedAndNamed)
{
    testsupport::UiScene scene;
    const auto a = scene.dir() / "a.wav", b = scene.dir() / "b.wav", gone = scene.dir() / "gone.wav";
    ASSERT_TRUE(testsupport::runQuietly("sox -n -r 48000 -c 2 -b 16 " + quote(a) + " synth 0.4 sine 440 vol 0.5"));
    ASSERT_TRUE(testsupport::runQuietly("sox -n -r 48000 -c 2 -b 16 " + quote(b) + " synth 0.25 sine 660 vol 0.5"));
    const auto heard = scene.dir() / "heard.wav";
    platform::setAudioOutput({platform::AudioOutputKind::WavFile, heard.string(), 48000});
    auto &player = platform::MusicPlayer::iPodMusicPlayer();
    // Listed with its length before the file went; the last song has gone too.
    player.setQueue({{1, "a", "", 0.4, a.string()},
                     {2, "gone", "", 0.3, gone.string()},
                     {3, "b", "", 0.25, b.string()},
                     {4, "gone", "", 0.3, gone.string()}});
    ::testing::internal::CaptureStderr();
    player.play();
    scene.advance(0.5);
    // b took the place of the song that has gone, where a ended.
    EXPECT_EQ(player.nowPlayingIndex(), 2u);
    EXPECT_NEAR(player.currentPlaybackTime(), 0.1, 1e-9);
    scene.advance(0.5);
    EXPECT_EQ(player.nowPlayingIndex(), 3u);
    EXPECT_EQ(player.currentPlaybackTime(), 0.0);
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(said, "platform: skipping " + gone.string() + ": File not found.\n"
                    "platform: skipping " + gone.string() + ": File not found.\n");
    player.reset();
    platform::shutdownAudio();

    ASSERT_TRUE(auratest::run(quote(AURA_PLAY_PATH) + " -q --stream --rate 48000 -o " +
                              quote(scene.dir() / "reference.wav") + " " + quote(a) + " " + quote(b)));
    const auto played = auratest::readWav(heard);
    const auto reference = auratest::readWav(scene.dir() / "reference.wav");
    ASSERT_TRUE(played.valid) << played.error;
    ASSERT_TRUE(reference.valid) << reference.error;
    expectSoundThenSilence(played.pcm16, reference.pcm16);
}

TEST(MusicQueue, MissingFoldersAreNamed)
{
    auratest::TempDir dir("ogc-music-folders");
    const std::string sim = quote(OGC_SIM_PATH) + " --manual-clock --server http://127.0.0.1:9/ --data " +
                            quote(dir / "data");
    const std::string missing = (dir / "no such folder").string();
    struct Case {
        std::string options;
        int exitCode;
        std::string err;
    };
    const std::vector<Case> cases = {
        {"--wav " + quote(missing + "/music.wav") + " tick 3", 2,
         "ogc-sim: cannot write " + missing + "/music.wav: No such file or directory\n"},
        {"--wav " + quote(dir.path()) + " tick 3", 2, "ogc-sim: cannot write " + dir.path() + ": Is a directory\n"},
        {"--music-dir " + quote(missing) + " songs", 0, "ogc-sim: the music folder " + missing + " does not exist\n"},
        {"--music-dir " + quote(missing) + " pick 0", 2,
         "ogc-sim: pick: the music folder " + missing + " does not exist\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.options);
        const std::string errFile = (dir / "stderr.txt").string();
        int status = 0;
        (void)auratest::capture(sim + " " + c.options + " 2>" + quote(errFile), &status);
        const auto bytes = auratest::readAll(errFile);
        const std::string err(bytes.begin(), bytes.end());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.exitCode) << status << "\n" << err;
        EXPECT_EQ(err.substr(0, c.err.size()), c.err);
    }
    EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST(MusicQueue, MusicFolderComesFromTheEnvironmentThenHome)
{
    auratest::TempDir dir("ogc-music-dirs");
    const std::string home = dir.file("home");
    std::filesystem::create_directories(home + "/.config");
    const char *oldHome = std::getenv("HOME");
    const std::string savedHome = oldHome != nullptr ? oldHome : "";
    ::setenv("HOME", home.c_str(), 1);
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv("XDG_MUSIC_DIR");
    EXPECT_EQ(platform::musicDirectory(), home + "/Music");
    {
        std::ofstream(home + "/.config/user-dirs.dirs") << "# written by xdg-user-dirs-update\n"
                                                           "XDG_MUSIC_DIR=\"$HOME/Songs\"\n";
    }
    EXPECT_EQ(platform::musicDirectory(), home + "/Songs");
    ::setenv("XDG_MUSIC_DIR", "/srv/music", 1);
    EXPECT_EQ(platform::musicDirectory(), "/srv/music");
    ::unsetenv("XDG_MUSIC_DIR");
    ::setenv("HOME", savedHome.c_str(), 1);
}

TEST(InterfaceSound, PlaysItsWaveExactlyThroughTheSharedSystem)
{
    testsupport::UiScene scene;
    const auto wav = scene.dir() / "menu_select.wav";
    ASSERT_TRUE(testsupport::runQuietly("sox -n -r 22050 -c 2 -b 16 '" + wav.string() +
                                        "' synth 0.2 sine 880 sine 990 vol 0.6"));
    const auto out = scene.dir() / "heard.wav";
    platform::setAudioOutput({platform::AudioOutputKind::WavFile, out.string(), 22050});
    {
        merix::SoundEffect select(wav.string());
        ASSERT_NE(select.soundID(), 0u);
        select.play();
        EXPECT_TRUE(platform::audioRunning());
        scene.advance(0.5);
        EXPECT_GE(platform::audioFramesMixed(), 11025u);
    }
    platform::shutdownAudio();
    const auto heard = auratest::readWav(out);
    const auto source = auratest::readWav(wav);
    ASSERT_TRUE(heard.valid) << heard.error;
    ASSERT_TRUE(source.valid) << source.error;
    EXPECT_EQ(heard.rate, 22050u);
    ASSERT_EQ(source.frames(), 4410u);
    // The sound starts with the first block the system mixed.
    ASSERT_GE(heard.pcm16.size(), source.pcm16.size());
    expectSoundThenSilence(heard.pcm16, source.pcm16);
}

} // namespace
