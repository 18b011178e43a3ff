// Files served over HTTP play as the same bytes do from memory, to their
// last frame and no further: every codec, with and without an ID3v2 tag in
// front, behind a Content-Length, chunked, or with ICY metadata blocks; as
// streams and as samples. aura-play renders such a URL to where its data
// ends and tells its length, and says of a cut file what it says from disk.
#include "engine.h"
#include "files.h"
#include "http_server.h"
#include "ogg.h"
#include "systems.h"
#include "tools.h"
#include "wav.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using auratest::HttpReply;
using auratest::HttpServer;
using auratest::quote;

constexpr unsigned int kRate = 44100;

struct Codec {
    const char *name;
    const char *command; // {in} the source WAV, {out} the file
};

constexpr Codec kCodecs[] = {
    {"wav", "cp {in} {out}"},
    {"flac", "flac -s -f -o {out} {in}"},
    {"ogg", "oggenc -Q -o {out} {in}"},
    {"mp3", "lame --quiet -b 128 {in} {out}"},
    {"mp2", "twolame --quiet {in} {out}"},
};

// An ID3v2.3 tag of `total` bytes: a title frame, then padding.
std::string id3(std::size_t total)
{
    const std::size_t body = total - 10;
    std::string tag(total, '\0');
    std::memcpy(tag.data(), "ID3\3\0\0", 6);
    for (int i = 0; i < 4; ++i) {
        tag[6 + i] = static_cast<char>((body >> (21 - 7 * i)) & 0x7F);
    }
    // TIT2, 6 bytes, no flags: a Latin-1 "Title".
    std::memcpy(tag.data() + 10, "TIT2\0\0\0\6\0\0\0Title", 16);
    return tag;
}

// Promise: a Content-Length of more bytes than the server sends.
enum class Framing { Length, Chunked, Icy, Promise };

std::string served(const std::string &body, Framing framing)
{
    switch (framing) {
    case Framing::Length:
        return HttpServer::status(200, "OK", "Content-Length: " + std::to_string(body.size()) + "\r\n").bytes + body;
    case Framing::Chunked:
        return HttpServer::status(200, "OK", "Transfer-Encoding: chunked\r\n").bytes + auratest::chunked(body, 4000);
    case Framing::Icy:
        return HttpServer::status(200, "OK", "icy-metaint: 8192\r\n").bytes +
               auratest::withIcyBlocks(body, 8192, {"StreamTitle='Artist One - Song Two';"});
    case Framing::Promise:
        return HttpServer::status(200, "OK", "Content-Length: " + std::to_string(body.size() * 2) + "\r\n").bytes +
               body;
    }
    return {};
}

const char *framingName(Framing framing)
{
    switch (framing) {
    case Framing::Length:
        return "length";
    case Framing::Chunked:
        return "chunked";
    case Framing::Icy:
        return "icy";
    case Framing::Promise:
        return "promise";
    }
    return "";
}

// The server's path of a codec's file behind a tag of tagBytes, framed.
std::string route(const std::string &codec, unsigned int tagBytes, const std::string &framing)
{
    std::string path = "/";
    path += codec;
    path += '/';
    path += std::to_string(tagBytes);
    path += '/';
    path += framing;
    return path;
}

// Two seconds of a chord over noise, and each codec's file of it.
class NetEndsThreads : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        for (const char *tool : {"sox", "flac", "oggenc", "oggdec", "lame", "twolame"}) {
            if (!auratest::run(std::string("command -v ") + tool + " >/dev/null")) {
                sSkip = std::string(tool) + " is not installed (tools/packages lists it)";
                return;
            }
        }
        sDir = std::make_unique<auratest::TempDir>("aura-net-ends");
        const std::string source = sDir->file("src.wav");
        ASSERT_TRUE(auratest::run("sox -D -R -n -r 44100 -c 2 -b 16 " + quote(source) +
                                  " synth 2 sine 330 sine 495 whitenoise remix 1,3 2,3 vol 0.3"));
        for (const Codec &codec : kCodecs) {
            const std::string out = sDir->file(std::string("plain.") + codec.name);
            std::string command = codec.command;
            command.replace(command.find("{in}"), 4, quote(source));
            command.replace(command.find("{out}"), 5, quote(out));
            ASSERT_TRUE(auratest::run(command)) << command;
            const auratest::Bytes bytes = auratest::readAll(out);
            sFiles[codec.name] = std::string(bytes.begin(), bytes.end());
        }
    }
    static void TearDownTestSuite() { sDir.reset(); }

    void SetUp() override
    {
        if (!sSkip.empty()) {
            GTEST_SKIP() << sSkip;
        }
    }

    // The server answers "/<codec>/<tag bytes>/<framing>" with that file.
    static HttpServer server()
    {
        return HttpServer([](const std::string &request, int) {
            char codec[8] = {};
            unsigned int tagBytes = 0;
            char framing[8] = {};
            if (std::sscanf(request.c_str(), "GET /%7[a-z0-9]/%u/%7[a-z]", codec, &tagBytes, framing) != 3 ||
                !sFiles.count(codec)) {
                return HttpServer::status(404, "Not Found");
            }
            // A radio sends what it has (the file over and over: MPEG
            // frames run on), and more may come.
            const std::string name(framing);
            std::string body = tagBytes ? id3(tagBytes) : std::string();
            for (int i = 0; i < (name == "radio" ? 16 : 1); ++i) {
                body += sFiles[codec];
            }
            return HttpReply{served(body, name == "length"    ? Framing::Length
                                          : name == "chunked" ? Framing::Chunked
                                          : name == "promise" ? Framing::Promise
                                                              : Framing::Icy),
                             name == "radio"};
        });
    }

    static inline std::string sSkip;
    static inline std::unique_ptr<auratest::TempDir> sDir;
    static inline std::map<std::string, std::string> sFiles;
};

// A sound played to its end through the WAV writer: its samples, and its
// length as it knows it once played.
struct Played {
    std::vector<float> samples;
    unsigned int length = 0;
    std::string artist;
};

template <class Open>
Played playToEnd(Open &&open)
{
    Played played;
    auratest::WavRender render;
    AURA::Sound *sound = open(render.system());
    if (!sound) {
        return played;
    }
    AURA::Channel *channel = render.play(sound);
    bool playing = channel != nullptr;
    for (int i = 0; i < 400 && playing; ++i) {
        render.update();
        bool now = false;
        playing = channel->isPlaying(&now) == AURA_OK && now;
    }
    EXPECT_FALSE(playing) << "the sound did not end";
    EXPECT_EQ(sound->getLength(&played.length, AURA_TIMEUNIT_PCM), AURA_OK);
    AURA_TAG tag{};
    if (sound->getTag("ARTIST", 0, &tag) == AURA_OK) {
        played.artist = static_cast<const char *>(tag.data);
    }
    EXPECT_EQ(sound->release(), AURA_OK);
    played.samples = render.finish().samples;
    return played;
}

// Each file, tagged or not, in each framing, as a stream (without
// AURA_ACCURATETIME) and as a sample: the same frames as the bytes from
// memory, up to the same last frame, and silence after it; the length, once
// the data has ended, is the data's.
TEST_F(NetEndsThreads, EveryCodecOverHttpPlaysItsBytesToTheirLastFrame)
{
    HttpServer http = server();
    ASSERT_TRUE(http.ok());
    for (const Codec &codec : kCodecs) {
        for (unsigned int tagBytes : {0u, 1027u, 5027u}) {
            const std::string bytes = (tagBytes ? id3(tagBytes) : std::string()) + sFiles[codec.name];
            const Played expected = playToEnd([&](AURA::System *system) {
                AURA_CREATESOUNDEXINFO exinfo{};
                exinfo.cbsize = sizeof(exinfo);
                exinfo.length = static_cast<unsigned int>(bytes.size());
                AURA::Sound *sound = nullptr;
                EXPECT_EQ(system->createStream(bytes.data(), AURA_OPENMEMORY | AURA_ACCURATETIME, &exinfo, &sound),
                          AURA_OK);
                return sound;
            });
            ASSERT_GT(expected.length, kRate) << codec.name;
            ASSERT_GE(expected.samples.size(), 2u * expected.length);
            for (Framing framing : {Framing::Length, Framing::Chunked, Framing::Icy}) {
                for (bool stream : {true, false}) {
                    const std::string url = http.url(route(codec.name, tagBytes, framingName(framing)));
                    std::string what = url;
                    what += stream ? " stream" : " sample";
                    const Played got = playToEnd([&](AURA::System *system) {
                        AURA::Sound *sound = nullptr;
                        EXPECT_EQ(stream ? system->createStream(url.c_str(), AURA_DEFAULT, nullptr, &sound)
                                         : system->createSound(url.c_str(), AURA_DEFAULT, nullptr, &sound),
                                  AURA_OK)
                            << what;
                        return sound;
                    });
                    EXPECT_EQ(got.length, expected.length) << what;
                    const std::size_t data = 2u * expected.length;
                    if (got.samples.size() < data) {
                        ADD_FAILURE() << what << ": " << got.samples.size() / 2 << " frames played of " << data / 2;
                        continue;
                    }
                    EXPECT_TRUE(std::equal(expected.samples.begin(), expected.samples.begin() + data,
                                           got.samples.begin()))
                        << what;
                    EXPECT_TRUE(std::all_of(got.samples.begin() + data, got.samples.end(),
                                            [](float v) { return v == 0.0f; }))
                        << what << ": something plays past the data";
                    if (framing == Framing::Icy) {
                        EXPECT_EQ(got.artist, "Artist One") << what;
                    }
                }
            }
        }
    }
}

// aura-play renders a URL to the frame where its data ends, as it renders
// the file from disk; --info tells the length of a body that ends, and
// "unknown" for a radio whose file does not state it.
TEST_F(NetEndsThreads, AuraPlayRendersAUrlToItsLastFrameAndTellsItsLength)
{
    HttpServer http = server();
    ASSERT_TRUE(http.ok());
    const std::string tool = AURA_PLAY_PATH;
    struct Case {
        const char *codec;
        unsigned int tagBytes;
    };
    for (const Case &c : {Case{"ogg", 0}, Case{"mp3", 0}, Case{"mp2", 1027}, Case{"flac", 2027}, Case{"wav", 1027}}) {
        const std::string disk = sDir->file(std::string("disk-") + c.codec + ".wav");
        const std::string file = sDir->file(std::string("tagged.") + c.codec);
        const std::string bytes = (c.tagBytes ? id3(c.tagBytes) : std::string()) + sFiles[c.codec];
        ASSERT_TRUE(auratest::writeAll(file, auratest::Bytes(bytes.begin(), bytes.end())));
        int status = -1;
        const std::string fromDisk = auratest::capture(tool + " -q -o " + quote(disk) + " " + quote(file) + " 2>&1",
                                                       &status);
        ASSERT_EQ(status, 0) << fromDisk;
        const auratest::Wav expected = auratest::readWav(disk);
        ASSERT_TRUE(expected.valid) << expected.error;
        if (std::string(c.codec) == "ogg") {
            // From disk the render is the reference decoder's.
            const std::string raw = sDir->file("ogg.raw");
            ASSERT_TRUE(auratest::run("oggdec -Q -R -o " + quote(raw) + " " + quote(sDir->file("plain.ogg"))));
            const auratest::Bytes decoded = auratest::readAll(raw);
            ASSERT_EQ(decoded.size(), expected.data.size());
            EXPECT_TRUE(std::equal(decoded.begin(), decoded.end(), expected.data.begin()));
        }
        for (Framing framing : {Framing::Length, Framing::Chunked, Framing::Icy}) {
            const std::string url = http.url(route(c.codec, c.tagBytes, framingName(framing)));
            const std::string out = sDir->file("url.wav");
            const std::string printed =
                auratest::capture(tool + " -q -o " + quote(out) + " " + url + " 2>&1", &status);
            ASSERT_EQ(status, 0) << url << ": " << printed;
            const auratest::Wav got = auratest::readWav(out);
            ASSERT_TRUE(got.valid) << got.error;
            EXPECT_EQ(got.frames(), expected.frames()) << url;
            EXPECT_TRUE(got.data == expected.data) << url;

            // The body's end came while the stream opened, whatever its
            // framing: the length is known.
            const std::string info = auratest::capture(tool + " --info " + url + " 2>&1", &status);
            EXPECT_EQ(status, 0) << info;
            const std::string length = "length:   " + std::to_string(expected.frames()) + " samples, " +
                                       std::to_string(expected.frames() * 1000 / kRate) + " ms\n";
            EXPECT_NE(info.find(length), std::string::npos) << url << ":\n" << info;
        }
        // A radio: its length is unknown.
        if (std::string(c.codec).starts_with("mp")) {
            const std::string radio =
                http.url(route(c.codec, c.tagBytes, "radio"));
            const std::string info = auratest::capture(tool + " --info " + radio + " 2>&1", &status);
            EXPECT_EQ(status, 0) << info;
            EXPECT_NE(info.find("length:   unknown\n"), std::string::npos)
                << radio << ":\n"
                << info;
        }
    }
}

// A file cut short is said to be cut by URL as from disk, whatever tells
// the body's end (a true Content-Length, the chunked coding's end, or a
// server that closes before the length it promised): aura-play fails with
// the same words and renders what the file holds. An Ogg file of its header
// pages alone is refused by URL as from disk.
TEST_F(NetEndsThreads, ACutFileIsSaidToBeCutByUrlAsFromDisk)
{
    const std::string tool = AURA_PLAY_PATH;
    const auto cut = [](const std::string &bytes, std::size_t size) { return bytes.substr(0, size); };
    const std::string &ogg = sFiles["ogg"];
    const auratest::Bytes bytes(ogg.begin(), ogg.end());
    const std::vector<auratest::OggPage> pages = auratest::oggPages(bytes);
    ASSERT_GT(pages.size(), 3u);
    std::size_t headers = 0; // the header pages have granule position 0
    for (std::size_t i = 0; i < pages.size() && pages[i].granule(bytes) == 0; ++i) {
        headers = pages[i].offset + pages[i].size;
    }
    ASSERT_GT(headers, 0u);
    ASSERT_LT(headers, ogg.size() / 2);
    sFiles["oggcut"] = cut(ogg, ogg.size() * 6 / 10);
    sFiles["ogghead"] = cut(ogg, headers);
    sFiles["wavcut"] = cut(sFiles["wav"], sFiles["wav"].size() * 6 / 10);
    sFiles["flaccut"] = cut(sFiles["flac"], sFiles["flac"].size() * 6 / 10);
    // The server's threads read the files: it starts once they are all there.
    HttpServer http = server();
    ASSERT_TRUE(http.ok());
    for (const char *name : {"oggcut", "ogghead", "wavcut", "flaccut", "ogg"}) {
        SCOPED_TRACE(name);
        const std::string file = sDir->file(name);
        ASSERT_TRUE(auratest::writeAll(file, auratest::Bytes(sFiles[name].begin(), sFiles[name].end())));
        const std::string disk = sDir->file("disk.wav");
        int diskStatus = -1;
        std::string fromDisk =
            auratest::capture(tool + " -q --stream -o " + quote(disk) + " " + quote(file) + " 2>&1", &diskStatus);
        const auratest::Wav expected = auratest::readWav(disk);
        std::filesystem::remove(disk);
        const bool whole = std::string(name) == "ogg";
        EXPECT_EQ(diskStatus == 0, whole) << fromDisk;
        EXPECT_EQ(expected.valid, std::string(name) != "ogghead") << expected.error;
        if (fromDisk.find(file) != std::string::npos) {
            fromDisk.replace(fromDisk.find(file), file.size(), "NAME");
        }
        for (Framing framing : {Framing::Length, Framing::Chunked, Framing::Promise}) {
            const std::string url = http.url(route(name, 0, framingName(framing)));
            const std::string out = sDir->file("url.wav");
            int status = -1;
            std::string printed = auratest::capture(tool + " -q -o " + quote(out) + " " + url + " 2>&1", &status);
            const auratest::Wav got = auratest::readWav(out);
            std::filesystem::remove(out);
            EXPECT_EQ(status, diskStatus) << url << ": " << printed;
            if (printed.find(url) != std::string::npos) {
                printed.replace(printed.find(url), url.size(), "NAME");
            }
            EXPECT_EQ(printed, fromDisk) << url;
            EXPECT_EQ(got.valid, expected.valid) << url;
            EXPECT_EQ(got.frames(), expected.frames()) << url;
            EXPECT_TRUE(got.data == expected.data) << url;
        }
    }
}

// An Ogg radio whose stream carries ARTIST and TITLE comments of its own:
// the station's titles are tags of another type, so each one aura-play
// prints as it arrives, the first included, beside the Ogg comments.
TEST_F(NetEndsThreads, ARadiosTitlesPrintBesideTheOggsOwnComments)
{
    const std::string ogg = sDir->file("commented.ogg");
    ASSERT_TRUE(auratest::run("oggenc -Q -c ARTIST=Ogg -c TITLE=Own -o " + quote(ogg) + " " +
                              quote(sDir->file("src.wav"))));
    const auratest::Bytes bytes = auratest::readAll(ogg);
    ASSERT_GT(bytes.size(), 3u * 8192);
    HttpServer http([&](const std::string &, int) {
        return HttpReply{HttpServer::status(200, "OK", "icy-metaint: 8192\r\n").bytes +
                         auratest::withIcyBlocks(std::string(bytes.begin(), bytes.end()), 8192,
                                                 {"StreamTitle='Artist One - Song Two';StreamUrl='http://x.test/';",
                                                  "", "StreamTitle='Artist Three - Song Four';", ""})};
    });
    ASSERT_TRUE(http.ok());
    const std::string url = http.url("/radio");
    int status = -1;
    const std::string printed = auratest::capture(std::string(AURA_PLAY_PATH) + " -o " + quote(sDir->file("radio.wav")) +
                                                      " " + url + " 2>/dev/null",
                                                  &status);
    EXPECT_EQ(status, 0);
    std::vector<std::string> titles;
    for (std::size_t at = printed.find(url + ": "); at != std::string::npos; at = printed.find(url + ": ", at + 1)) {
        const std::size_t from = at + url.size() + 2;
        titles.push_back(printed.substr(from, printed.find('\n', from) - from));
    }
    EXPECT_EQ(titles, (std::vector<std::string>{"ARTIST=Artist One", "TITLE=Song Two", "StreamUrl=http://x.test/",
                                                "ARTIST=Artist Three", "TITLE=Song Four"}))
        << printed;
}

} // namespace
