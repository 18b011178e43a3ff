// The playlist reader over playlists written here, and playlists opened as
// sounds.
#include "codec/aura_codec_playlist.h"
#include "base/aura_metadata.h"
#include "file/aura_file_memory.h"
#include "engine.h"
#include "files.h"
#include "systems.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/tests/test_codec_playlist";

// One tag as the checks see it: its name and its value as text (LENGTH as
// its number, ENTRY as "-").
struct Entry {
    std::string name;
    std::string value;
    bool operator==(const Entry &) const = default;
};

std::ostream &operator<<(std::ostream &out, const Entry &e)
{
    return out << e.name << "=" << e.value;
}

struct Read {
    AURA_RESULT result = AURA_OK;
    std::vector<Entry> tags;
};

Entry entryOf(const AURA_TAG &tag)
{
    EXPECT_EQ(tag.type, AURA_TAGTYPE_PLAYLIST);
    if (tag.datatype == AURA_TAGDATATYPE_INT) {
        EXPECT_EQ(tag.datalen, 4u);
        return {tag.name, std::to_string(*static_cast<int *>(tag.data))};
    }
    if (tag.datalen == 0) {
        return {tag.name, "-"};
    }
    EXPECT_EQ(tag.datatype, AURA_TAGDATATYPE_STRING);
    const std::string value(static_cast<char *>(tag.data));
    EXPECT_EQ(tag.datalen, value.size() + 1) << tag.name;
    return {tag.name, value};
}

Read readPlaylist(const std::string &name, const std::string &content)
{
    Read out;
    AURA::Codec *codec = nullptr;
    EXPECT_EQ(AURA::Codec::create(*AURA::CodecPlaylist::getDescriptionEx(), nullptr, &codec), AURA_OK);
    if (!codec) {
        return out;
    }
    // The memory file needs a block even for an empty playlist.
    std::vector<uint8_t> bytes(content.begin(), content.end());
    const unsigned int size = static_cast<unsigned int>(bytes.size());
    bytes.push_back(0);
    auto *file = AURA_New(AURA::MemoryFile);
    codec->mFile = file;
    EXPECT_EQ(file->init(nullptr, 0, 0), AURA_OK);
    EXPECT_EQ(file->open(reinterpret_cast<const char *>(bytes.data()), size, false, nullptr), AURA_OK);
    if (!name.empty()) {
        EXPECT_EQ(file->setName(name.c_str()), AURA_OK);
    }
    out.result = codec->open(AURA_DEFAULT, nullptr);
    if (codec->mMetadata) {
        AURA_TAG tag{};
        for (int i = 0; codec->mMetadata->getTag(nullptr, i, &tag) == AURA_OK; ++i) {
            out.tags.push_back(entryOf(tag));
        }
    }
    if (out.result == AURA_OK) {
        AURA_CODEC_WAVEFORMAT waveformat{};
        EXPECT_EQ(codec->getWaveFormat(0, &waveformat), AURA_OK);
        EXPECT_EQ(waveformat.channels, 0);
        EXPECT_EQ(waveformat.lengthpcm, 0u);
    }
    (void)codec->release();
    return out;
}

std::string withLineEnds(const std::vector<std::string> &lines, const std::string &end)
{
    std::string out;
    for (const std::string &line : lines) {
        out += line + end;
    }
    return out;
}

TEST(PlaylistReader, FormatsGiveTheirEntriesInFileOrder)
{
    const std::vector<std::string> m3u = {
        "#EXTM3U", "#EXTINF:123,First Song", "one.wav",  "#EXTINF:-1,Radio, live", "http://host/stream?a=b",
        "",        "#EXTINF:abc,Bad Length", "three.wav"};
    const std::vector<Entry> m3uTags = {{"LENGTH", "123"}, {"TITLE", "First Song"},  {"FILE", "one.wav"},
                                        {"LENGTH", "-1"},  {"TITLE", "Radio, live"}, {"FILE", "http://host/stream?a=b"},
                                        {"LENGTH", "0"},   {"TITLE", "Bad Length"},  {"FILE", "three.wav"}};
    const std::vector<std::string> pls = {"[playlist]",    "NumberOfEntries=2", "File1=a.mp3",
                                          "Title1=A = B",  "Length1=61",        "file2=http://x/y?q=1",
                                          "title2=Second", "Length2=oops",      "Version=2"};
    const std::vector<Entry> plsTags = {{"FILE", "a.mp3"},          {"TITLE", "A = B"},  {"LENGTH", "61"},
                                        {"FILE", "http://x/y?q=1"}, {"TITLE", "Second"}, {"LENGTH", "0"}};
    struct Case {
        const char *what;
        std::string name;
        std::string content;
        AURA_RESULT result;
        std::vector<Entry> tags;
    } cases[] = {
        {"M3U, LF", "", withLineEnds(m3u, "\n"), AURA_OK, m3uTags},
        {"M3U, CRLF", "", withLineEnds(m3u, "\r\n"), AURA_OK, m3uTags},
        {"M3U, CR", "", withLineEnds(m3u, "\r"), AURA_OK, m3uTags},
        {"M3U without a last line end",
         "",
         "#EXTM3U\n#EXTINF:5,T\nf.wav",
         AURA_OK,
         {{"LENGTH", "5"}, {"TITLE", "T"}, {"FILE", "f.wav"}}},
        {"M3U with another directive",
         "",
         "#EXTM3U\n#EXTINF:5,T\nf.wav\n#EXTGRP:x\ng.wav\n",
         AURA_ERR_FORMAT,
         {{"LENGTH", "5"}, {"TITLE", "T"}, {"FILE", "f.wav"}}},
        {"PLS, LF", "", withLineEnds(pls, "\n"), AURA_OK, plsTags},
        {"PLS, CRLF", "", withLineEnds(pls, "\r\n"), AURA_OK, plsTags},
        {"PLS, [PlayList] and blanks", "", "  [PlayList]\n\nFile1 = spaced.ogg\n", AURA_OK, {{"FILE", "spaced.ogg"}}},
        {"PLS with an empty value",
         "",
         "[playlist]\nFile1=\nFile2=b.ogg\n",
         AURA_OK,
         {{"FILE", ""}, {"FILE", "b.ogg"}}},
        {"ASX",
         "",
         "<ASX version=\"3.0\">\n<Title>My List</Title>\n<Entry>\n<Ref href=\"http://a/1.wma\"/>\n"
         "<MoreInfo href=\"http://info\"/>\n<Duration value=\"00:01:00\"/>\n<Title>One</Title>\n</Entry>\n"
         "<ENTRY><REF HREF = \"two.wma\" /><Logo href=\"l.png\"/><Banner href=\"b.png\"/><Ref/></ENTRY>\n</ASX>\n",
         AURA_OK,
         {{"TITLE", "My List"},
          {"ENTRY", "-"},
          {"FILE", "http://a/1.wma"},
          {"MOREINFO", "http://info"},
          {"DURATION", "00:01:00"},
          {"TITLE", "One"},
          {"ENTRY", "-"},
          {"FILE", "two.wma"},
          {"LOGO", "l.png"},
          {"BANNER", "b.png"}}},
        {"WPL",
         "",
         "<?wpl version=\"1.0\"?>\n<smil><head><title>Head</title></head>\n<body><seq>\n"
         "<media src=\"C:\\m\\a.wma\"/>\n<media src=\"b.mp3\" "
         "tid=\"{x}\"/>\n<author>Me</author>\n</seq></body></smil>\n",
         AURA_OK,
         {{"FILE", "C:\\m\\a.wma"}, {"FILE", "b.mp3"}, {"AUTHOR", "Me"}}},
        {"B4S",
         "",
         "<?xml version=\"1.0\" encoding='UTF-8' standalone=\"yes\"?>\n<WinampXML>\n<playlist num_entries=\"2\">\n"
         "<entry Playstring=\"file:C:\\a.mp3\">\n<Name>Song A</Name>\n<Length>183000</Length>\n</entry>\n"
         "<entry Playstring=\"http://b/\">\n<Name>B</Name>\n</entry>\n</playlist>\n</WinampXML>\n",
         AURA_OK,
         {{"FILE", "C:\\a.mp3"}, {"NAME", "Song A"}, {"LENGTH", "183000"}, {"FILE", "http://b/"}, {"NAME", "B"}}},
        {"plain .m3u",
         "list.m3u",
         "# comment\r\none.wav\r\n\r\n#two\r\n  two.wav  \r\nthree.wav",
         AURA_OK,
         {{"FILE", "one.wav"}, {"FILE", "two.wav"}, {"FILE", "three.wav"}}},
        {"plain .pls", "x/list.pls", "[section]\na.ogg\n#c\nb.ogg\n", AURA_OK, {{"FILE", "a.ogg"}, {"FILE", "b.ogg"}}},
        {"plain .asx", "list.asx", "a.wma\n", AURA_OK, {{"FILE", "a.wma"}}},
        {"extensions are compared exactly", "LIST.M3U", "a.wav\n", AURA_ERR_FORMAT, {}},
        {"a memory playlist without a header", "", "one.wav\ntwo.wav\n", AURA_ERR_FORMAT, {}},
        {"an ASX whose first element is another", "", "<ASX versionx>", AURA_OK, {}},
        {"a wrong first line", "", "#EXTM3Ux\n", AURA_OK, {}},
        {"an empty file", "", "", AURA_ERR_FORMAT, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const Read got = readPlaylist(c.name, c.content);
        EXPECT_EQ(got.result, c.result);
        EXPECT_EQ(got.tags, c.tags);
    }
}

TEST(PlaylistReader, LongLinesAreCutNeverOverflowed)
{
    const int keep = AURA::CodecPlaylist::LINE_SIZE - 1;
    const std::string huge(5000, 'n');
    const std::string cut(keep, 'n');
    struct Case {
        const char *what;
        std::string content;
        std::vector<Entry> tags;
    } cases[] = {
        {"M3U", "#EXTM3U\n#EXTINF:1," + huge + "\n" + huge + "\nnext.wav\n", {}},
        {"PLS",
         "[playlist]\nFile1=" + huge + "\nTitle1=t\n" + huge + "=v\nFile2=b\n",
         {{"FILE", cut}, {"TITLE", "t"}, {"FILE", "b"}}},
        {"ASX",
         "<ASX VERSION=\"3\"><Title>" + huge + "</Title><Ref href=\"" + huge + "\"/><Ref href=\"c\"/>",
         {{"TITLE", cut}, {"FILE", std::string(keep - 10, 'n')}, {"FILE", "c"}}},
        {"plain", huge + "\nb.wav\n", {{"FILE", cut}, {"FILE", "b.wav"}}},
    };
    // The cut M3U title is followed by its file line, then an entry line
    // that is not "#EXTINF".
    cases[0].tags = {{"LENGTH", "1"}, {"TITLE", std::string(keep - 10, 'n')}, {"FILE", cut}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const Read got = readPlaylist(std::string(c.what) == "plain" ? "a.m3u" : "", c.content);
        EXPECT_EQ(got.tags, c.tags);
    }
}

TEST(PlaylistReader, APlaylistOpensAsASoundOfTagsOnly)
{
    auratest::TempDir dir("aura-playlist");
    const auto path = dir / "list.m3u";
    ASSERT_TRUE(auratest::writeAll(path, auratest::Bytes{'a', '.', 'w', 'a', 'v', '\n'}));
    AURA_SYSTEM *system = auratest::startSystem(AURA_OUTPUTTYPE_NOSOUND_NRT, 4);
    ASSERT_NE(system, nullptr);
    for (const AURA_MODE mode : {AURA_DEFAULT, AURA_CREATESTREAM}) {
        AURA_SOUND *sound = nullptr;
        ASSERT_EQ(AURA_System_CreateSound(system, path.c_str(), mode, nullptr, &sound), AURA_OK);
        AURA_SOUND_TYPE type{};
        auto *object = reinterpret_cast<AURA::Sound *>(sound);
        ASSERT_EQ(object->getFormat(&type, nullptr, nullptr, nullptr), AURA_OK);
        EXPECT_EQ(type, AURA_SOUND_TYPE_PLAYLIST);
        unsigned int length = 1;
        EXPECT_EQ(AURA_Sound_GetLength(sound, &length, AURA_TIMEUNIT_PCM), AURA_OK);
        EXPECT_EQ(length, 0u);
        AURA_TAG tag{};
        ASSERT_EQ(object->getTag("FILE", 0, &tag), AURA_OK);
        EXPECT_STREQ(static_cast<char *>(tag.data), "a.wav");
        AURA_CHANNEL *channel = nullptr;
        EXPECT_EQ(AURA_System_PlaySound(system, AURA_CHANNEL_FREE, sound, 0, &channel), AURA_ERR_FORMAT);
        EXPECT_EQ(AURA_Sound_Release(sound), AURA_OK);
    }
    EXPECT_EQ(AURA_System_Release(system), AURA_OK);
}

} // namespace
