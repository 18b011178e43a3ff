#include "codec/aura_codec_tag.h"

#include "base/aura_memory.h"
#include "file/aura_file.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_codec_tag";

constexpr unsigned int ID3V1_SIZE = CodecTag::ID3V1_BLOCK;
constexpr unsigned int ID3V2_HEADER_SIZE = 10;
constexpr uint8_t ID3V2_FLAG_EXTENDEDHEADER = 0x40;
constexpr uint8_t ID3V2_FLAG_FOOTER = 0x10;

// The fields after "ID3" or "3DI": version (2), flags (1), size (4).
struct ID3v2Header {
    uint8_t major = 0;
    uint8_t revision = 0;
    uint8_t flags = 0;
    uint32_t size = 0; // of what follows the header, footer not counted
};

// 7 bits per byte, most significant first.
uint32_t synchsafe(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0] & 0x7F) << 21 | static_cast<uint32_t>(p[1] & 0x7F) << 14 |
           static_cast<uint32_t>(p[2] & 0x7F) << 7 | static_cast<uint32_t>(p[3] & 0x7F);
}

uint32_t be32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           static_cast<uint32_t>(p[3]);
}

// False for bytes that cannot be a tag header: a version of 0xFF or a size
// byte with its top bit set.
bool parseHeader(const uint8_t raw[7], ID3v2Header *header)
{
    if (raw[0] == 0xFF || raw[1] == 0xFF || ((raw[3] | raw[4] | raw[5] | raw[6]) & 0x80) != 0) {
        return false;
    }
    header->major = raw[0];
    header->revision = raw[1];
    header->flags = raw[2];
    header->size = synchsafe(raw + 3);
    return true;
}

// ID3v2.2 (major version 2 or below) has 3-character ids.
bool isVersion22(const ID3v2Header &header)
{
    return header.major < 3;
}

AURA_RESULT openCallback(AURA_CODEC_STATE *state, AURA_MODE mode, AURA_CREATESOUNDEXINFO *exinfo)
{
    CodecTag *codec = Codec::fromState<CodecTag>(state);
    return codec ? codec->openInternal(mode, exinfo) : AURA_ERR_INVALID_PARAM;
}

AURA_RESULT nothingCallback(AURA_CODEC_STATE * /*state*/)
{
    return AURA_OK;
}

AURA_RESULT readCallback(AURA_CODEC_STATE * /*state*/, void * /*buffer*/, unsigned int /*sizebytes*/,
                         unsigned int *bytesread)
{
    if (bytesread) {
        *bytesread = 0;
    }
    return AURA_OK;
}

AURA_RESULT setPositionCallback(AURA_CODEC_STATE * /*state*/, int /*subsound*/, unsigned int /*position*/,
                                AURA_TIMEUNIT /*postype*/)
{
    return AURA_OK;
}
} // namespace

constinit AURA_CODEC_DESCRIPTION_EX tagcodec;

AURA_CODEC_DESCRIPTION_EX *CodecTag::getDescriptionEx()
{
    return describeOnce(tagcodec, [](AURA_CODEC_DESCRIPTION_EX &description) {
        description = AURA_CODEC_DESCRIPTION_EX{};
        description.name = "AURA Tag Reader Codec";
        description.version = 0x10100;
        description.defaultasstream = 0;
        description.timeunits = AURA_TIMEUNIT_PCM;
        description.open = &openCallback;
        description.close = &nothingCallback;
        description.read = &readCallback;
        description.setposition = &setPositionCallback;
        description.mType = AURA_SOUND_TYPE_TAG;
        description.mSize = sizeof(CodecTag);
        description.mConstruct = &constructCodec<CodecTag>;
    });
}

AURA_RESULT CodecTag::readExact(void *buffer, unsigned int bytes)
{
    unsigned int got = 0;
    const AURA_RESULT result = mFile->read(buffer, 1, bytes, &got);
    if (result != AURA_OK && result != AURA_ERR_FILE_EOF) {
        return result;
    }
    return got == bytes ? AURA_OK : AURA_ERR_FILE_BAD;
}

AURA_RESULT CodecTag::openInternal(unsigned int mode, AURA_CREATESOUNDEXINFO * /*exinfo*/)
{
    mType = AURA_SOUND_TYPE_TAG;
    mState.numsubsounds = 0;
    mState.waveformat = nullptr;
    if ((mode & AURA_IGNORETAGS) || !mFile) {
        return AURA_ERR_FORMAT;
    }
    if (mFile->seek(0, 0) != AURA_OK || mFile->getSize(&mFileLength) != AURA_OK) {
        return AURA_ERR_FORMAT;
    }
    // A file the reader cannot walk (one that does not seek back, a short
    // or damaged tag) keeps its start; the tags read so far stay, and the
    // other codecs still get their turn. Only running out of memory ends
    // the probing.
    const AURA_RESULT result = readTags();
    unsigned int after = 0;
    if (result == AURA_OK && mFile->tell(&after) == AURA_OK && after > 0 && after <= mFileLength) {
        unsigned int start = 0;
        if (mFile->getStartOffset(&start) == AURA_OK) {
            (void)mFile->setStartOffset(start + after);
        }
    }
    (void)mFile->seek(0, 0);
    return result == AURA_ERR_MEMORY ? AURA_ERR_MEMORY : AURA_ERR_FORMAT;
}

CodecTag::Tail CodecTag::probeTail(unsigned int end, uint8_t (&block)[ID3V1_BLOCK])
{
    // Most files carry no trailing tag: one positioned read of their last
    // bytes says so, or hands over the ID3v1 block, without trading the
    // buffered first block (which the next codec reads) for the last one.
    const unsigned int span = std::min<unsigned int>(end, ID3V1_BLOCK);
    unsigned int got = 0;
    if (span < ID3V2_HEADER_SIZE || mFile->peek(end - span, block, span, &got) != AURA_OK || got != span) {
        return Tail::Unread;
    }
    if (span == ID3V1_BLOCK && std::memcmp(block, "TAG", 3) == 0) {
        return Tail::ID3v1;
    }
    if (end >= 2 * ID3V2_HEADER_SIZE && std::memcmp(block + span - ID3V2_HEADER_SIZE, "3DI", 3) == 0) {
        return Tail::Unread;
    }
    return Tail::None;
}

AURA_RESULT CodecTag::readTags()
{
    // From the end: ID3v1 blocks and footed ID3v2 tags, each ending where
    // the one after it begins. Candidates are absolute positions that only
    // go down, so clamped seeks and tiny sizes cannot loop.
    unsigned int end = mFileLength;
    for (int n = 0; n < MAX_TAGS; ++n) {
        uint8_t block[ID3V1_BLOCK];
        const Tail tail = probeTail(end, block);
        if (tail == Tail::None) {
            break;
        }
        if (tail == Tail::ID3v1) {
            const AURA_RESULT result = parseID3v1(std::span<const uint8_t, ID3V1_BODY>(block + 3, ID3V1_BODY));
            if (result != AURA_OK) {
                return result;
            }
            end -= ID3V1_SIZE;
            continue;
        }
        char id[3] = {};
        if (end >= ID3V1_SIZE) {
            if (mFile->seek(static_cast<int>(end - ID3V1_SIZE), 0) != AURA_OK || readExact(id, 3) != AURA_OK) {
                break;
            }
            if (std::memcmp(id, "TAG", 3) == 0) {
                const AURA_RESULT result = readID3v1();
                if (result != AURA_OK) {
                    return result;
                }
                end -= ID3V1_SIZE;
                continue;
            }
        }
        if (end < 2 * ID3V2_HEADER_SIZE) {
            break;
        }
        if (mFile->seek(static_cast<int>(end - ID3V2_HEADER_SIZE), 0) != AURA_OK || readExact(id, 3) != AURA_OK ||
            std::memcmp(id, "3DI", 3) != 0) {
            break;
        }
        unsigned int tagstart = end;
        const AURA_RESULT result = readID3v2FromFooter(end, &tagstart);
        if (result != AURA_OK) {
            return result;
        }
        if (tagstart >= end) {
            break;
        }
        end = tagstart;
    }
    const unsigned int trailingStart = end;

    // From the front, up to the first trailing tag.
    AURA_RESULT result = mFile->seek(0, 0);
    if (result != AURA_OK) {
        return result;
    }
    unsigned int after = 0;
    for (int n = 0; n < MAX_TAGS && after < trailingStart; ++n) {
        char id[3] = {};
        if (readExact(id, 3) != AURA_OK) {
            break;
        }
        if (std::memcmp(id, "TAG", 3) == 0) {
            if (static_cast<uint64_t>(after) + ID3V1_SIZE > trailingStart) {
                break;
            }
            result = readID3v1();
            if (result != AURA_OK) {
                return result;
            }
            after += ID3V1_SIZE;
        } else if (std::memcmp(id, "ID3", 3) == 0) {
            bool valid = false;
            result = readID3v2(&valid);
            if (result != AURA_OK) {
                return result;
            }
            if (!valid) {
                break;
            }
            result = mFile->tell(&after);
            if (result != AURA_OK) {
                return result;
            }
        } else {
            break;
        }
        result = mFile->seek(static_cast<int>(after), 0);
        if (result != AURA_OK) {
            return result;
        }
    }
    return mFile->seek(static_cast<int>(after), 0);
}

AURA_RESULT CodecTag::readID3v1()
{
    uint8_t body[ID3V1_BODY];
    const AURA_RESULT result = readExact(body, ID3V1_BODY);
    if (result != AURA_OK) {
        return result;
    }
    return parseID3v1(body);
}

AURA_RESULT CodecTag::parseID3v1(std::span<const uint8_t, ID3V1_BODY> body)
{
    static constexpr struct {
        const char *name;
        unsigned int size;
    } kFields[] = {{"TITLE", 30}, {"ARTIST", 30}, {"ALBUM", 30}, {"YEAR", 4}, {"COMMENT", 30}};
    const uint8_t *at = body.data();
    for (const auto &field : kFields) {
        char text[31] = {};
        std::memcpy(text, at, field.size);
        at += field.size;
        const auto length = static_cast<unsigned int>(std::strlen(text));
        if (length > 0) {
            const AURA_RESULT result =
                metaData(AURA_TAGTYPE_ID3V1, field.name, text, length, AURA_TAGDATATYPE_STRING, false);
            if (result != AURA_OK) {
                return result;
            }
        }
        // ID3v1.1: a zero before the comment's last byte makes that byte
        // the track number.
        if (field.size == 30 && std::strcmp(field.name, "COMMENT") == 0 && text[28] == 0 && text[29] != 0) {
            char track[8];
            const int written = std::snprintf(track, sizeof(track), "%d", static_cast<uint8_t>(text[29]));
            const AURA_RESULT result = metaData(AURA_TAGTYPE_ID3V1, "TRACK", track, static_cast<unsigned int>(written),
                                                AURA_TAGDATATYPE_STRING, false);
            if (result != AURA_OK) {
                return result;
            }
        }
    }
    char text[8];
    const int written = std::snprintf(text, sizeof(text), "%d", *at);
    return metaData(AURA_TAGTYPE_ID3V1, "GENRE", text, static_cast<unsigned int>(written), AURA_TAGDATATYPE_STRING,
                    false);
}

AURA_RESULT CodecTag::readID3v2(bool *valid)
{
    *valid = false;
    unsigned int here = 0;
    AURA_RESULT result = mFile->tell(&here);
    if (result != AURA_OK) {
        return result;
    }
    uint8_t raw[7];
    result = readExact(raw, 7);
    ID3v2Header header;
    if (result != AURA_OK || here < 3 || !parseHeader(raw, &header)) {
        return result == AURA_ERR_FILE_BAD ? AURA_OK : result;
    }
    *valid = true;
    const uint64_t tagStart = here - 3;
    const uint64_t framesEnd = std::min<uint64_t>(tagStart + ID3V2_HEADER_SIZE + header.size, mFileLength);
    const uint64_t tagEnd =
        std::min<uint64_t>(framesEnd + ((header.flags & ID3V2_FLAG_FOOTER) ? ID3V2_HEADER_SIZE : 0), mFileLength);

    uint64_t position = tagStart + ID3V2_HEADER_SIZE;
    if ((header.flags & ID3V2_FLAG_EXTENDEDHEADER) && !isVersion22(header)) {
        // Skipped whole: its size counts itself in 2.4, not in 2.3.
        uint8_t size[4];
        if (readExact(size, 4) != AURA_OK) {
            return mFile->seek(static_cast<int>(tagEnd), 0);
        }
        position += header.major == 3 ? static_cast<uint64_t>(be32(size)) + 4 : synchsafe(size);
    }

    const unsigned int headerSize = isVersion22(header) ? 6 : 10;
    const unsigned int idLength = isVersion22(header) ? 3 : 4;
    while (position + headerSize <= framesEnd) {
        uint8_t frame[10];
        result = mFile->seek(static_cast<int>(position), 0);
        if (result == AURA_OK) {
            result = readExact(frame, headerSize);
        }
        if (result != AURA_OK || frame[0] == 0) {
            break; // padding, or the file ends
        }
        uint32_t size = 0;
        if (isVersion22(header)) {
            size = static_cast<uint32_t>(frame[3]) << 16 | static_cast<uint32_t>(frame[4]) << 8 | frame[5];
        } else if (header.major == 3) {
            size = be32(frame + 4);
        } else {
            size = synchsafe(frame + 4);
        }
        const uint64_t next = position + headerSize + size;
        if (next > framesEnd) {
            break; // a frame that runs past its tag ends the tag
        }
        char id[5] = {};
        bool stored = size > 0 && size < MAX_FRAME_SIZE;
        for (unsigned int i = 0; i < idLength; ++i) {
            id[i] = static_cast<char>(frame[i]);
            stored = stored && frame[i] >= 0x20 && frame[i] <= 0x7F;
        }
        if (stored) {
            auto *body = static_cast<uint8_t *>(AURA_Memory_Alloc(static_cast<int>(size) + 1));
            if (!body) {
                (void)mFile->seek(static_cast<int>(tagEnd), 0);
                return AURA_ERR_MEMORY;
            }
            result = readExact(body, size);
            if (result == AURA_OK) {
                result = storeFrame(id, body, size);
            }
            AURA_Memory_Free(body);
            if (result == AURA_ERR_MEMORY) {
                (void)mFile->seek(static_cast<int>(tagEnd), 0);
                return result;
            }
            if (result != AURA_OK) {
                break;
            }
        }
        position = next;
    }
    return mFile->seek(static_cast<int>(tagEnd), 0);
}

AURA_RESULT CodecTag::storeFrame(const char *id, uint8_t *body, unsigned int size)
{
    if (id[0] != 'T') {
        return metaData(AURA_TAGTYPE_ID3V2, id, body, size, AURA_TAGDATATYPE_BINARY, false);
    }
    // Text: an encoding byte, then the text. The tag list gives 8- and
    // 16-bit text its terminator; UTF-8 gets one here (the body buffer has
    // a spare byte).
    AURA_TAGDATATYPE type = AURA_TAGDATATYPE_BINARY;
    switch (body[0]) {
    case 0: type = AURA_TAGDATATYPE_STRING; break;
    case 1: type = AURA_TAGDATATYPE_STRING_UTF16; break;
    case 2: type = AURA_TAGDATATYPE_STRING_UTF16BE; break;
    case 3: type = AURA_TAGDATATYPE_STRING_UTF8; break;
    default: break;
    }
    const unsigned int length = size - 1;
    std::memmove(body, body + 1, length);
    body[length] = 0;
    const unsigned int stored = type == AURA_TAGDATATYPE_STRING_UTF8 ? length + 1 : length;
    return metaData(AURA_TAGTYPE_ID3V2, id, body, stored, type, false);
}

AURA_RESULT CodecTag::readID3v2FromFooter(unsigned int end, unsigned int *tagstart)
{
    *tagstart = end;
    uint8_t raw[7];
    AURA_RESULT result = readExact(raw, 7);
    ID3v2Header header;
    if (result != AURA_OK || !parseHeader(raw, &header)) {
        return result == AURA_ERR_FILE_BAD ? AURA_OK : result;
    }
    const uint64_t total = static_cast<uint64_t>(header.size) + 2 * ID3V2_HEADER_SIZE;
    if (total > end) {
        return AURA_OK;
    }
    const auto start = static_cast<unsigned int>(end - total);
    char id[3] = {};
    result = mFile->seek(static_cast<int>(start), 0);
    if (result != AURA_OK || readExact(id, 3) != AURA_OK || std::memcmp(id, "ID3", 3) != 0) {
        return result;
    }
    bool valid = false;
    result = readID3v2(&valid);
    if (result != AURA_OK) {
        return result;
    }
    if (valid) {
        *tagstart = start;
    }
    return mFile->seek(static_cast<int>(start), 0);
}

} // namespace AURA
