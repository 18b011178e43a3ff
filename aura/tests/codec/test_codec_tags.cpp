// The ID3 tag reader: real files tagged by mutagen, id3v2, lame and eyeD3
// (tags compared with mutagen's reading of the same file, audio with the
// untagged twin), and crafted tags that must end in bounded time.
#include "codec/aura_codec_tag.h"
#include "base/aura_metadata.h"
#include "file/aura_file_memory.h"
#include "engine.h"
#include "files.h"
#include "systems.h"
#include "tools.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/tests/test_codec_tags";

namespace fs = std::filesystem;
using auratest::Bytes;
using auratest::quote;
using auratest::run;

// Tags as text: source (1 or 2), frame id, values (a tag's text split at
// its zero characters, as UTF-8).
using TagKey = std::pair<int, std::string>;
using TagTexts = std::map<TagKey, std::vector<std::string>>;

void appendUtf8(std::string &out, uint32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | cp >> 6);
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | cp >> 12);
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | cp >> 18);
        out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// A text tag's values as UTF-8, by its data type; trailing empty values
// (the terminator room) dropped.
std::vector<std::string> tagValues(const AURA_TAG &tag)
{
    std::vector<std::string> values(1);
    const auto *p = static_cast<const uint8_t *>(tag.data);
    if (tag.datatype == AURA_TAGDATATYPE_STRING || tag.datatype == AURA_TAGDATATYPE_STRING_UTF8) {
        for (unsigned int i = 0; i < tag.datalen; ++i) {
            if (p[i] == 0) {
                values.emplace_back();
            } else if (tag.datatype == AURA_TAGDATATYPE_STRING) {
                appendUtf8(values.back(), p[i]); // Latin-1
            } else {
                values.back() += static_cast<char>(p[i]);
            }
        }
    } else {
        bool big = tag.datatype == AURA_TAGDATATYPE_STRING_UTF16BE;
        bool start = true;
        for (unsigned int i = 0; i + 1 < tag.datalen; i += 2) {
            uint32_t unit = big ? (p[i] << 8 | p[i + 1]) : (p[i] | p[i + 1] << 8);
            if (start && (unit == 0xFEFF || unit == 0xFFFE)) {
                big = unit == 0xFFFE ? !big : big; // a byte-order mark read the wrong way round
                start = false;
                continue;
            }
            start = false;
            if (unit == 0) {
                values.emplace_back();
                start = true;
                continue;
            }
            if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < tag.datalen) {
                const uint32_t low = big ? (p[i + 2] << 8 | p[i + 3]) : (p[i + 2] | p[i + 3] << 8);
                unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
            appendUtf8(values.back(), unit);
        }
    }
    while (values.size() > 1 && values.back().empty()) {
        values.pop_back();
    }
    return values;
}

// The engine's names of ID3v1 fields, as mutagen names them.
std::string v1FrameId(const std::string &name)
{
    static const std::map<std::string, std::string> kIds = {{"TITLE", "TIT2"}, {"ARTIST", "TPE1"},  {"ALBUM", "TALB"},
                                                            {"YEAR", "TDRC"},  {"COMMENT", "COMM"}, {"TRACK", "TRCK"},
                                                            {"GENRE", "TCON"}};
    const auto it = kIds.find(name);
    return it == kIds.end() ? name : it->second;
}

// The text tags of a list, ID3v1 names mapped to frame ids.
template <class GetTag>
TagTexts textTags(GetTag getTag)
{
    TagTexts texts;
    AURA_TAG tag{};
    for (int i = 0; getTag(i, &tag) == AURA_OK; ++i) {
        if (tag.type == AURA_TAGTYPE_ID3V1) {
            texts[{1, v1FrameId(tag.name)}] = tagValues(tag);
        } else if (tag.type == AURA_TAGTYPE_ID3V2 && tag.name[0] == 'T') {
            texts[{2, tag.name}] = tagValues(tag);
        }
    }
    return texts;
}

std::string unhex(const std::string &hex)
{
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return out;
}

// Tags writes ID3 tags with mutagen; read prints what mutagen reads, one
// frame a line: source, id, values in hex (TXXX: its description first).
constexpr const char kMutagenScript[] = R"PY(
import sys
from mutagen.id3 import ID3, TIT2, TPE1, TALB, TRCK, TCON, TXXX, APIC, ParseID3v1
cmd, path = sys.argv[1], sys.argv[2]
if cmd == "tag":
    version = int(sys.argv[3])
    t = ID3()
    t.add(TIT2(encoding=1, text=["T\u00eftle \u2603"]))
    t.add(TPE1(encoding=3 if version == 4 else 0, text=["Artist", "Other"] if version == 4 else ["Artist"]))
    t.add(TALB(encoding=0, text=["Album"]))
    t.add(TRCK(encoding=0, text=["3/9"]))
    t.add(TCON(encoding=0, text=["Rock"]))
    t.add(TXXX(encoding=1, desc="notes", text=["n" * 300]))
    t.add(TXXX(encoding=0, desc="ascii", text=["a" * 200]))
    t.add(APIC(encoding=0, mime="image/png", type=3, desc="cover", data=bytes(range(256)) * 1200))
    t.save(path, v2_version=version, v1=2)
else:
    def show(source, frames):
        for f in frames:
            if not f.FrameID.startswith("T"):
                continue
            values = ([f.desc] if f.FrameID == "TXXX" else []) + [str(x) for x in f.text]
            print(source, f.FrameID, ",".join(v.encode("utf-8").hex() for v in values))
    try:
        show(2, ID3(path, load_v1=False, translate=False).values())
    except Exception:
        pass
    data = open(path, "rb").read()
    if len(data) >= 128 and data[-128:-125] == b"TAG":
        v1 = ParseID3v1(data[-128:]) or {}
        show(1, [f for f in v1.values() if f.FrameID != "COMM"])
        if "COMM" in v1:
            print(1, "COMM", v1["COMM"].text[0].encode("utf-8").hex())
)PY";

// What the tag reader does to a file: its result, the start offset it
// leaves and the tags it read.
struct Probe {
    AURA_RESULT result = AURA_OK;
    unsigned int startOffset = 0;
    unsigned int size = 0;
    TagTexts texts;
    std::vector<AURA_TAG> all;
    std::vector<std::string> names;
};

Probe probe(const Bytes &bytes, AURA_MODE mode = AURA_DEFAULT)
{
    Probe out;
    AURA::Codec *codec = nullptr;
    EXPECT_EQ(AURA::Codec::create(*AURA::CodecTag::getDescriptionEx(), nullptr, &codec), AURA_OK);
    if (!codec) {
        return out;
    }
    static const uint8_t empty = 0;
    auto *file = AURA_New(AURA::MemoryFile);
    codec->mFile = file;
    EXPECT_EQ(file->init(nullptr, 0, 0), AURA_OK);
    EXPECT_EQ(file->open(reinterpret_cast<const char *>(bytes.empty() ? &empty : bytes.data()),
                         static_cast<unsigned int>(bytes.size()), false, nullptr),
              AURA_OK);
    out.result = codec->open(mode, nullptr);
    EXPECT_EQ(file->getStartOffset(&out.startOffset), AURA_OK);
    out.size = static_cast<unsigned int>(bytes.size());
    if (AURA::Metadata *tags = codec->mMetadata) {
        out.texts = textTags([&](int i, AURA_TAG *tag) { return tags->getTag(nullptr, i, tag); });
        AURA_TAG tag{};
        for (int i = 0; tags->getTag(nullptr, i, &tag) == AURA_OK; ++i) {
            out.names.emplace_back(tag.name);
            out.all.push_back(tag);
        }
    }
    // The tags point into the list: keep it until the caller is done by
    // copying what the checks use.
    for (AURA_TAG &tag : out.all) {
        tag.name = nullptr;
        tag.data = nullptr;
    }
    (void)codec->release();
    return out;
}

// The real files, made once for every test here.
class TaggedFiles : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        sDir = new auratest::TempDir("aura-tags");
        const auto &dir = *sDir;
        std::ofstream(dir / "id3.py") << kMutagenScript;
        sMade = run("sox -n -r 44100 -c 2 -b 16 " + quote(dir / "plain.wav") + " synth 1.0 sine 441 sine 660") &&
                run("oggenc -Q -q 2 -o " + quote(dir / "plain.ogg") + " " + quote(dir / "plain.wav")) &&
                run("lame --quiet -b 64 " + quote(dir / "plain.wav") + " " + quote(dir / "plain.mp3"));
    }
    static void TearDownTestSuite()
    {
        delete sDir;
        sDir = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(sMade) << "sox, oggenc and lame make the files"; }

    static fs::path path(const std::string &name) { return *sDir / name; }

    // A copy of a plain file, with `command` run on it ("{}" stands for it).
    static fs::path tagged(const std::string &from, const std::string &name, const std::string &command)
    {
        const fs::path to = path(name);
        fs::copy_file(path(from), to, fs::copy_options::overwrite_existing);
        std::string line = command;
        line.replace(line.find("{}"), 2, quote(to));
        EXPECT_TRUE(run(line)) << line;
        return to;
    }

    static TagTexts mutagenReading(const fs::path &file)
    {
        TagTexts texts;
        std::istringstream lines(
            auratest::capture("/usr/bin/python3 " + quote(path("id3.py")) + " read " + quote(file)));
        std::string line;
        while (std::getline(lines, line)) {
            std::istringstream fields(line);
            int source = 0;
            std::string id;
            std::string hexes;
            fields >> source >> id >> hexes;
            std::vector<std::string> values;
            std::istringstream parts(hexes);
            std::string hex;
            while (std::getline(parts, hex, ',')) {
                values.push_back(unhex(hex));
            }
            if (values.empty()) {
                values.emplace_back();
            }
            texts[{source, id}] = values;
        }
        return texts;
    }

    static auratest::TempDir *sDir;
    static bool sMade;
};
auratest::TempDir *TaggedFiles::sDir = nullptr;
bool TaggedFiles::sMade = false;

// The PCM of a sample, and the text tags the sound kept.
struct Opened {
    AURA_RESULT result = AURA_OK;
    Bytes pcm;
    TagTexts texts;
};

Opened openSound(AURA::System *system, const fs::path &file, AURA_MODE mode = AURA_DEFAULT)
{
    Opened out;
    AURA::Sound *sound = nullptr;
    out.result = system->createSound(file.c_str(), mode, nullptr, &sound);
    if (out.result != AURA_OK) {
        return out;
    }
    unsigned int bytes = 0;
    EXPECT_EQ(sound->getLength(&bytes, AURA_TIMEUNIT_PCMBYTES), AURA_OK);
    void *data = nullptr;
    unsigned int got = 0;
    EXPECT_EQ(sound->lock(0, bytes, &data, nullptr, &got, nullptr), AURA_OK);
    out.pcm.assign(static_cast<uint8_t *>(data), static_cast<uint8_t *>(data) + got);
    EXPECT_EQ(sound->unlock(data, nullptr, got, 0), AURA_OK);
    out.texts = textTags([&](int i, AURA_TAG *tag) { return sound->getTag(nullptr, i, tag); });
    EXPECT_EQ(sound->release(), AURA_OK);
    return out;
}

TEST_F(TaggedFiles, TaggedWavAndOggOpenLikeTheirTwinsWithMutagensTags)
{
    auto *system = reinterpret_cast<AURA::System *>(auratest::startSystem(AURA_OUTPUTTYPE_NOSOUND_NRT, 4));
    ASSERT_NE(system, nullptr);
    const std::string script = "/usr/bin/python3 " + quote(path("id3.py")) + " tag {} ";
    struct Case {
        const char *plain;
        const char *name;
        std::string command;
    } cases[] = {
        {"plain.wav", "v23.wav", script + "3"},
        {"plain.wav", "v24.wav", script + "4"},
        {"plain.ogg", "v23.ogg", script + "3"},
        {"plain.ogg", "v24.ogg", script + "4"},
        {"plain.wav", "id3v2tool.wav", "id3v2 -t 'Tool Title' -a Band -A Record -y 1987 -T 5 -g 17 -c Remark {}"},
        {"plain.ogg", "id3v2tool.ogg", "id3v2 -2 -t 'Only Two' -a Band {}"},
        {"plain.wav", "v1only.wav", "id3v2 -1 -t 'abcdefghijabcdefghijabcdefghij' -T 7 -g 3 {}"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path file = tagged(c.plain, c.name, c.command);
        const Opened twin = openSound(system, path(c.plain));
        const Opened got = openSound(system, file);
        ASSERT_EQ(twin.result, AURA_OK);
        ASSERT_EQ(got.result, AURA_OK);
        EXPECT_GT(got.pcm.size(), 100000u);
        EXPECT_TRUE(got.pcm == twin.pcm) << "the audio differs from the untagged file's";
        const TagTexts expected = mutagenReading(file);
        EXPECT_GE(expected.size(), 2u);
        EXPECT_EQ(got.texts, expected);

        // The ignore-tags bit leaves the tags unread; a front tag then hides
        // the WAV's header.
        const Opened ignoring = openSound(system, file, AURA_IGNORETAGS);
        EXPECT_TRUE(ignoring.texts.empty());
    }
    EXPECT_EQ(system->release(), AURA_OK);
}

// The first MPEG frame's sync word at the codec's new start offset.
bool frameAt(const Bytes &bytes, unsigned int offset)
{
    return offset + 1 < bytes.size() && bytes[offset] == 0xFF && (bytes[offset + 1] & 0xE0) == 0xE0;
}

TEST_F(TaggedFiles, Mp3TagsFromLameAndEyeD3AndTheFirstFrameAfterThem)
{
    const fs::path wav = path("plain.wav");
    const std::string tags = " --tt 'Lame Title' --ta 'Lame Artist' --tl 'Lame Album' --ty 2004 --tn 11 --tg Jazz ";
    struct Case {
        const char *name;
        std::string command;
        bool leadingTag;
    } cases[] = {
        {"both.mp3", "lame --quiet -b 64" + tags + quote(wav) + " {}", true},
        {"v2.mp3", "lame --quiet -b 64 --add-id3v2" + tags + quote(wav) + " {}", true},
        {"v1.mp3", "lame --quiet -b 64 --id3v1-only" + tags + quote(wav) + " {}", false},
        {"eyed3.mp3", "eyeD3 --quiet --to-v2.4 -t 'Eye Title' -a 'Eye Artist' -n 4 --text-frame=TCOM:Composer {}",
         true},
        {"eyed3v23.mp3", "eyeD3 --quiet --to-v2.3 -t 'Eye Three' -a Trois {}", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path file = tagged("plain.mp3", c.name, c.command);
        const Bytes bytes = auratest::readAll(file);
        const Probe got = probe(bytes);
        EXPECT_EQ(got.result, AURA_ERR_FORMAT); // tags only: the next codec decodes
        EXPECT_EQ(got.texts, mutagenReading(file));
        EXPECT_FALSE(got.texts.empty());
        if (c.leadingTag) {
            EXPECT_GT(got.startOffset, 0u);
        } else {
            EXPECT_EQ(got.startOffset, 0u);
        }
        EXPECT_TRUE(frameAt(bytes, got.startOffset)) << "start offset " << got.startOffset;
    }
}

// Tag bytes for the crafted cases.
Bytes synchsafe(uint32_t v)
{
    return {static_cast<uint8_t>(v >> 21 & 0x7F), static_cast<uint8_t>(v >> 14 & 0x7F),
            static_cast<uint8_t>(v >> 7 & 0x7F), static_cast<uint8_t>(v & 0x7F)};
}

Bytes be32(uint32_t v)
{
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
            static_cast<uint8_t>(v)};
}

Bytes operator+(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes text(const std::string &s)
{
    return Bytes(s.begin(), s.end());
}

Bytes header(const char *id, uint8_t major, uint8_t flags, uint32_t size)
{
    return text(id) + Bytes{major, 0, flags} + synchsafe(size);
}

// A frame of version 3 (plain size) or 4 (synchsafe size).
Bytes frame(int major, const std::string &id, const Bytes &body)
{
    const auto size = static_cast<uint32_t>(body.size());
    return text(id) + (major == 4 ? synchsafe(size) : be32(size)) + Bytes{0, 0} + body;
}

Bytes tag(int major, const Bytes &frames, uint8_t flags = 0)
{
    return header("ID3", static_cast<uint8_t>(major), flags, static_cast<uint32_t>(frames.size())) + frames;
}

Bytes v1(const std::string &title, const Bytes &comment, uint8_t genre)
{
    Bytes out = text("TAG");
    Bytes field(30, 0);
    std::copy_n(title.begin(), std::min<size_t>(title.size(), 30), field.begin());
    out = out + field + Bytes(30, 0) + Bytes(30, 0) + text("2001");
    Bytes c(30, 0);
    std::copy_n(comment.begin(), std::min<size_t>(comment.size(), 30), c.begin());
    return out + c + Bytes{genre};
}

const Bytes kAudio = Bytes(64, 0x55);

TEST(CraftedTags, FramesVersionsAndSizes)
{
    const Bytes long200(200, 'x');
    struct Case {
        const char *what;
        Bytes file;
        unsigned int startOffset;
        std::vector<std::string> names;
    } cases[] = {
        {"2.4 frame of 200 bytes with a synchsafe size",
         tag(4, frame(4, "TIT2", Bytes{0} + long200) + frame(4, "TALB", Bytes{0, 'A', 'l'})) + kAudio,
         10 + 211 + 13,
         {"TIT2", "TALB"}},
        {"2.3 frame of 200 bytes with a plain size",
         tag(3, frame(3, "TIT2", Bytes{0} + long200) + frame(3, "TALB", Bytes{0, 'A', 'l'})) + kAudio,
         10 + 211 + 13,
         {"TIT2", "TALB"}},
        {"2.2 frames have 6-byte headers",
         tag(2, text("TT2") + Bytes{0, 0, 4, 0} + text("abc") + text("TAL") + Bytes{0, 0, 3, 0} + text("xy")) + kAudio,
         10 + 10 + 9,
         {"TT2", "TAL"}},
        {"an id outside 0x20..0x7F is skipped, body and all",
         tag(3, frame(3, "T\x01T2", Bytes{0, 'a', 'b'}) + frame(3, "TALB", Bytes{0, 'A', 'l'})) + kAudio,
         10 + 26,
         {"TALB"}},
        {"a frame of 1 MiB is skipped, body and all",
         tag(3, frame(3, "PRIV", Bytes(0x100000, 7)) + frame(3, "TALB", Bytes{0, 'A', 'l'})) + kAudio,
         10 + 10 + 0x100000 + 13,
         {"TALB"}},
        {"padding of 7 bytes ends the frames",
         tag(3, frame(3, "TALB", Bytes{0, 'A', 'l'}) + Bytes(7, 0)) + kAudio,
         10 + 13 + 7,
         {"TALB"}},
        {"a 2.3 extended header is skipped by its size",
         tag(3, be32(6) + Bytes(6, 0) + frame(3, "TALB", Bytes{0, 'A', 'l'}), 0x40) + kAudio,
         10 + 10 + 13,
         {"TALB"}},
        {"a 2.4 extended header is skipped by its size",
         tag(4, synchsafe(6) + Bytes{1, 0} + frame(4, "TALB", Bytes{0, 'A', 'l'}), 0x40) + kAudio,
         10 + 6 + 13,
         {"TALB"}},
        {"a 2.4 tag with a footer",
         tag(4, frame(4, "TALB", Bytes{0, 'A', 'l'}), 0x10) + header("3DI", 4, 0x10, 13) + kAudio,
         10 + 13 + 10,
         {"TALB"}},
        {"two tags in a row",
         tag(3, frame(3, "TALB", Bytes{0, 'A'})) + tag(4, frame(4, "TIT2", Bytes{0, 'B'})) + kAudio,
         44,
         {"TALB", "TIT2"}},
        {"a size past the file", header("ID3", 3, 0, 5000) + frame(3, "TALB", Bytes{0, 'A', 'l'}), 23, {"TALB"}},
        {"a frame past its tag", header("ID3", 3, 0, 20) + frame(3, "TALB", Bytes(40, 'a')) + kAudio, 30, {}},
        {"a frame body past the file",
         header("ID3", 3, 0, 50) + text("TALB") + be32(30) + Bytes{0, 0} + Bytes(5, 'a'),
         25,
         {}},
        {"not a tag: a size byte with its top bit", text("ID3") + Bytes{3, 0, 0, 0x80, 0, 0, 1} + kAudio, 0, {}},
        {"nothing but a header", header("ID3", 4, 0, 0), 10, {}},
        {"an empty file", {}, 0, {}},
        {"ID3v1 only: the start stays", kAudio + v1("Song", text("c"), 9), 0, {"TITLE", "YEAR", "COMMENT", "GENRE"}},
        {"v1 at the end of a file of 128 bytes", v1("S", {}, 1), 0, {"TITLE", "YEAR", "GENRE"}},
        {"a footer of size 0 at the end", kAudio + header("ID3", 4, 0x10, 0) + header("3DI", 4, 0x10, 0), 0, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const Probe got = probe(c.file);
        EXPECT_EQ(got.result, AURA_ERR_FORMAT);
        EXPECT_EQ(got.startOffset, c.startOffset);
        EXPECT_LE(got.startOffset, got.size);
        EXPECT_EQ(got.names, c.names);
    }
}

TEST(CraftedTags, TrailingTagSearchEndsWhateverTheFootersSay)
{
    // Footers of sizes 0 to 2 (which underflow a backward step), footers
    // whose tag would begin before the file or lead back to themselves, and
    // many ID3v1 blocks: each must end, the start never past the file.
    std::vector<Bytes> files;
    for (uint32_t size = 0; size <= 2; ++size) {
        files.push_back(header("3DI", 4, 0x10, size));
        files.push_back(kAudio + header("3DI", 4, 0x10, size));
        files.push_back(header("ID3", 4, 0x10, size) + Bytes(size, 0) + header("3DI", 4, 0x10, size));
    }
    files.push_back(kAudio + header("3DI", 4, 0x10, 1000000));
    Bytes loop = header("ID3", 4, 0x10, 0) + header("3DI", 4, 0x10, 0);
    for (int i = 0; i < 100; ++i) {
        loop = loop + header("ID3", 4, 0x10, 0) + header("3DI", 4, 0x10, 0);
    }
    files.push_back(loop);
    Bytes manyV1 = kAudio;
    for (int i = 0; i < 100; ++i) {
        manyV1 = manyV1 + v1("x", {}, 0);
    }
    files.push_back(manyV1);
    Bytes manyFront;
    for (int i = 0; i < 200; ++i) {
        manyFront = manyFront + header("ID3", 3, 0, 0);
    }
    files.push_back(manyFront + kAudio);
    for (const Bytes &file : files) {
        const Probe got = probe(file);
        EXPECT_EQ(got.result, AURA_ERR_FORMAT);
        EXPECT_LE(got.startOffset, got.size);
        EXPECT_LE(got.names.size(), static_cast<size_t>(AURA::CodecTag::MAX_TAGS) * 7);
    }
    // A footed tag at the end is read once, not again from the front.
    const Probe whole = probe(tag(4, frame(4, "TALB", Bytes{0, 'A', 'l'}), 0x10) + header("3DI", 4, 0x10, 13));
    EXPECT_EQ(whole.names, std::vector<std::string>{"TALB"});
    const Probe tail = probe(kAudio + tag(4, frame(4, "TALB", Bytes{0, 'A', 'l'}), 0x10) + header("3DI", 4, 0x10, 13) +
                             v1("T", {}, 2));
    EXPECT_EQ(tail.names, (std::vector<std::string>{"TITLE", "YEAR", "GENRE", "TALB"}));
    EXPECT_EQ(tail.startOffset, 0u);
}

TEST(CraftedTags, ValuesAndTheirTerminators)
{
    Bytes title30 = text("abcdefghijabcdefghijabcdefghij");
    Bytes withTrack(30, 0);
    withTrack[0] = 'c';
    withTrack[29] = 7;
    const Bytes file = kAudio + v1("abcdefghijabcdefghijabcdefghij", withTrack, 12);
    AURA::Codec *codec = nullptr;
    ASSERT_EQ(AURA::Codec::create(*AURA::CodecTag::getDescriptionEx(), nullptr, &codec), AURA_OK);
    auto *memory = AURA_New(AURA::MemoryFile);
    codec->mFile = memory;
    const Bytes tagged =
        tag(3, frame(3, "TIT2", Bytes{1, 0xFF, 0xFE, 'h', 0, 'i', 0}) + frame(3, "TPE1", Bytes{3, 'u', 't', 'f'}) +
                   frame(3, "TALB", Bytes{0, 'n', 'o'}) + frame(3, "PRIV", Bytes{9, 8, 7})) +
        file;
    ASSERT_EQ(auratest::openMemoryFile(*memory, tagged), AURA_OK);
    EXPECT_EQ(codec->open(AURA_DEFAULT, nullptr), AURA_ERR_FORMAT);
    AURA::Metadata *tags = codec->mMetadata;
    ASSERT_NE(tags, nullptr);
    struct Expect {
        const char *name;
        AURA_TAGDATATYPE type;
        unsigned int length;
        std::string value;
    } expected[] = {
        {"TITLE", AURA_TAGDATATYPE_STRING, 31, "abcdefghijabcdefghijabcdefghij"},
        {"COMMENT", AURA_TAGDATATYPE_STRING, 2, "c"},
        {"TRACK", AURA_TAGDATATYPE_STRING, 2, "7"},
        {"GENRE", AURA_TAGDATATYPE_STRING, 3, "12"},
        {"TIT2", AURA_TAGDATATYPE_STRING_UTF16, 6 + 2, "hi"},
        {"TPE1", AURA_TAGDATATYPE_STRING_UTF8, 4, "utf"},
        {"TALB", AURA_TAGDATATYPE_STRING, 3, "no"},
        {"PRIV", AURA_TAGDATATYPE_BINARY, 3, "\x09\x08\x07"},
    };
    for (const Expect &e : expected) {
        SCOPED_TRACE(e.name);
        AURA_TAG got{};
        ASSERT_EQ(tags->getTag(e.name, 0, &got), AURA_OK);
        EXPECT_EQ(got.datatype, e.type);
        EXPECT_EQ(got.datalen, e.length);
        if (e.type == AURA_TAGDATATYPE_BINARY) {
            EXPECT_EQ(std::string(static_cast<char *>(got.data), got.datalen), e.value);
        } else {
            EXPECT_EQ(tagValues(got).front(), e.value);
        }
    }
    // A full 30-byte comment has no track.
    const Probe full = probe(kAudio + v1("t", Bytes(30, 'z'), 0));
    EXPECT_EQ(full.names, (std::vector<std::string>{"TITLE", "YEAR", "COMMENT", "GENRE"}));
    (void)codec->release();

    // The ignore-tags mode bit reads nothing at all.
    const Probe ignored = probe(tagged, AURA_IGNORETAGS);
    EXPECT_EQ(ignored.result, AURA_ERR_FORMAT);
    EXPECT_TRUE(ignored.names.empty());
    EXPECT_EQ(ignored.startOffset, 0u);
}

} // namespace
