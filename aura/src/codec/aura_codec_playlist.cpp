#include "codec/aura_codec_playlist.h"

#include "base/aura_string.h"
#include "file/aura_file.h"

#include <charconv>
#include <cstring>

namespace AURA {

namespace {
constexpr unsigned int FORMAT_ASX = 1;
constexpr unsigned int FORMAT_WPL = 2;
constexpr unsigned int FORMAT_B4S = 3;

// Longest element name kept for a tag name.
constexpr int NAME_SIZE = 64;

bool startsWith(const char *text, const char *prefix)
{
    const int length = AURA_strlen(prefix);
    return AURA_strnicmp(text, prefix, length) == 0;
}

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

void trimEnd(char *text, int *length)
{
    int n = *length;
    while (n > 0 && isSpace(text[n - 1])) {
        --n;
    }
    text[n] = '\0';
    *length = n;
}

AURA_RESULT closeCallback(AURA_CODEC_STATE * /*state*/)
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

constinit AURA_CODEC_DESCRIPTION_EX playlistcodec;

AURA_CODEC_DESCRIPTION_EX *CodecPlaylist::getDescriptionEx()
{
    return describeOnce(playlistcodec, [](AURA_CODEC_DESCRIPTION_EX &description) {
        description = AURA_CODEC_DESCRIPTION_EX{};
        description.name = "AURA Playlist Reader Codec";
        description.version = 0x10100;
        description.defaultasstream = 0;
        description.timeunits = AURA_TIMEUNIT_PCM;
        description.open = &CodecCallbacks<CodecPlaylist>::open;
        description.close = &closeCallback;
        description.read = &readCallback;
        description.setposition = &setPositionCallback;
        description.mType = AURA_SOUND_TYPE_PLAYLIST;
        description.mSize = sizeof(CodecPlaylist);
        description.mConstruct = &constructCodec<CodecPlaylist>;
    });
}

AURA_RESULT CodecPlaylist::getChar(char *c)
{
    if (mPushBackCount > 0) {
        *c = mPushBack[--mPushBackCount];
    } else {
        unsigned int got = 0;
        const AURA_RESULT result = mFile->read(c, 1, 1, &got);
        if (got != 1) {
            return result == AURA_OK ? AURA_ERR_FILE_EOF : result;
        }
    }
    mByteBefore = mLastByte;
    mLastByte = *c;
    return AURA_OK;
}

void CodecPlaylist::ungetChar(char c)
{
    if (mPushBackCount < static_cast<int>(sizeof(mPushBack))) {
        mPushBack[mPushBackCount++] = c;
        mLastByte = mByteBefore;
    }
}

bool CodecPlaylist::isNewLine(char c)
{
    if (c == '\n') {
        return true;
    }
    if (c != '\r') {
        return false;
    }
    char next = 0;
    if (getChar(&next) != AURA_OK) {
        return true;
    }
    ungetChar(next);
    return next != '\n';
}

AURA_RESULT CodecPlaylist::skipWhiteSpace(int *count)
{
    int skipped = 0;
    for (;;) {
        char c = 0;
        const AURA_RESULT result = getChar(&c);
        if (result != AURA_OK) {
            if (count) {
                *count = skipped;
            }
            return result;
        }
        if (!isSpace(c)) {
            ungetChar(c);
            break;
        }
        ++skipped;
    }
    if (count) {
        *count = skipped;
    }
    return AURA_OK;
}

AURA_RESULT CodecPlaylist::skipLine()
{
    for (;;) {
        char c = 0;
        const AURA_RESULT result = getChar(&c);
        if (result != AURA_OK) {
            return result;
        }
        if ((c == '\n' || c == '\r') && isNewLine(c)) {
            return AURA_OK;
        }
    }
}

AURA_RESULT CodecPlaylist::readLine(char *buffer, int size, int *length)
{
    int stored = 0;
    buffer[0] = '\0';
    if (length) {
        *length = 0;
    }
    AURA_RESULT result = skipWhiteSpace(nullptr);
    if (result != AURA_OK) {
        return result;
    }
    for (;;) {
        char c = 0;
        result = getChar(&c);
        if (result != AURA_OK) {
            // The last line needs no line end.
            result = stored > 0 && result == AURA_ERR_FILE_EOF ? AURA_OK : result;
            break;
        }
        if (c == '\n' || c == '\r') {
            if (isNewLine(c)) {
                break;
            }
            continue;
        }
        if (stored < size - 1) {
            buffer[stored++] = c;
        }
    }
    buffer[stored] = '\0';
    trimEnd(buffer, &stored);
    if (length) {
        *length = stored;
    }
    return result;
}

AURA_RESULT CodecPlaylist::skipSimpleComments()
{
    for (;;) {
        AURA_RESULT result = skipWhiteSpace(nullptr);
        if (result != AURA_OK) {
            return result;
        }
        char c = 0;
        result = getChar(&c);
        if (result != AURA_OK) {
            return result;
        }
        if (c != '[' && c != '#') {
            ungetChar(c);
            return AURA_OK;
        }
        result = skipLine();
        if (result != AURA_OK) {
            return result;
        }
    }
}

AURA_RESULT CodecPlaylist::getPLSToken(char *buffer, int size, int *length)
{
    int stored = 0;
    buffer[0] = '\0';
    if (length) {
        *length = 0;
    }
    AURA_RESULT result = AURA_OK;
    if (mAfterKey) {
        // A value: what stands after "=" on the key's line.
        mAfterKey = false;
        char c = 0;
        while ((result = getChar(&c)) == AURA_OK) {
            if (c == '\n' || c == '\r') {
                if (isNewLine(c)) {
                    break;
                }
                continue;
            }
            if (stored == 0 && (c == ' ' || c == '\t')) {
                continue;
            }
            if (stored < size - 1) {
                buffer[stored++] = c;
            }
        }
        buffer[stored] = '\0';
        trimEnd(buffer, &stored);
        if (length) {
            *length = stored;
        }
        return result == AURA_ERR_FILE_EOF ? AURA_OK : result;
    }

    result = skipWhiteSpace(nullptr);
    if (result != AURA_OK) {
        return result;
    }
    const bool startsLine = mLastByte == '\n' || mLastByte == '\r';
    bool section = false;
    for (;;) {
        char c = 0;
        result = getChar(&c);
        if (result != AURA_OK) {
            result = result == AURA_ERR_FILE_EOF && stored > 0 ? AURA_OK : result;
            break;
        }
        if (c == '\n' || c == '\r') {
            if (isNewLine(c)) {
                break;
            }
            continue;
        }
        if (stored == 0 && c == '[') {
            section = true;
        }
        if (c == '=' && startsLine && !section) {
            mAfterKey = true;
            break;
        }
        if (stored < size - 1) {
            buffer[stored++] = c;
        }
        if (c == ']' && section) {
            // The rest of the section's line, with exactly one line end.
            result = skipLine();
            if (result == AURA_ERR_FILE_EOF) {
                result = AURA_OK;
            }
            break;
        }
    }
    buffer[stored] = '\0';
    trimEnd(buffer, &stored);
    if (length) {
        *length = stored;
    }
    return result;
}

AURA_RESULT CodecPlaylist::getNextXMLTag(char *tag, int *taglength, char *text, int *textlength)
{
    const int tagSize = *taglength;
    const int textSize = *textlength;
    *taglength = 0;
    *textlength = 0;
    tag[0] = '\0';
    text[0] = '\0';
    char c = 0;
    AURA_RESULT result = AURA_OK;
    do {
        result = getChar(&c);
        if (result != AURA_OK) {
            return result;
        }
    } while (c != '<');

    int stored = 0;
    while ((result = getChar(&c)) == AURA_OK && c != '>') {
        if (stored < tagSize - 1) {
            tag[stored++] = c;
        }
    }
    tag[stored] = '\0';
    trimEnd(tag, &stored);
    *taglength = stored;
    if (result != AURA_OK) {
        return result;
    }

    result = skipWhiteSpace(nullptr);
    if (result != AURA_OK) {
        return result == AURA_ERR_FILE_EOF ? AURA_OK : result;
    }
    stored = 0;
    while ((result = getChar(&c)) == AURA_OK && c != '<') {
        if (stored < textSize - 1) {
            text[stored++] = c;
        }
    }
    text[stored] = '\0';
    trimEnd(text, &stored);
    *textlength = stored;
    if (result != AURA_OK) {
        return result == AURA_ERR_FILE_EOF ? AURA_OK : result;
    }
    // A closing tag right after the text belongs to this element.
    char next = 0;
    result = getChar(&next);
    if (result != AURA_OK) {
        return result == AURA_ERR_FILE_EOF ? AURA_OK : result;
    }
    if (next == '/') {
        while ((result = getChar(&c)) == AURA_OK && c != '>') {}
        return result == AURA_ERR_FILE_EOF ? AURA_OK : result;
    }
    ungetChar(next);
    ungetChar('<');
    return AURA_OK;
}

AURA_RESULT CodecPlaylist::getQuoteData(const char *source, char *destination, int *length)
{
    destination[0] = '\0';
    if (length) {
        *length = 0;
    }
    int at = 0;
    while (at < LINE_SIZE && source[at] && source[at] != '"') {
        ++at;
    }
    if (at >= LINE_SIZE || source[at] != '"') {
        return AURA_ERR_FORMAT;
    }
    ++at;
    int stored = 0;
    while (source[at] && source[at] != '"' && stored < LINE_SIZE - 1) {
        destination[stored++] = source[at++];
    }
    destination[stored] = '\0';
    if (length) {
        *length = stored;
    }
    return AURA_OK;
}

AURA_RESULT CodecPlaylist::addText(const char *name, const char *text)
{
    return metaData(AURA_TAGTYPE_PLAYLIST, name, text, static_cast<unsigned int>(AURA_strlen(text)),
                    AURA_TAGDATATYPE_STRING, false);
}

AURA_RESULT CodecPlaylist::addLength(const char *text)
{
    // A number, possibly signed, after optional blanks; anything else is 0.
    while (*text == ' ' || *text == '\t') {
        ++text;
    }
    if (*text == '+') {
        ++text;
    }
    int value = 0;
    const char *end = text + AURA_strlen(text);
    if (std::from_chars(text, end, value).ec != std::errc{}) {
        value = 0;
    }
    return metaData(AURA_TAGTYPE_PLAYLIST, "LENGTH", &value, sizeof(value), AURA_TAGDATATYPE_INT, false);
}

AURA_RESULT CodecPlaylist::openInternal(unsigned int /*mode*/, AURA_CREATESOUNDEXINFO * /*exinfo*/)
{
    mType = AURA_SOUND_TYPE_PLAYLIST;
    mState.numsubsounds = 0;
    mState.waveformat = nullptr;
    if (!mFile) {
        return AURA_ERR_FORMAT;
    }
    AURA_RESULT result = mFile->seek(0, 0);
    if (result != AURA_OK) {
        return result;
    }
    mPushBackCount = 0;
    mLastByte = '\n';
    mByteBefore = '\n';
    char header[13] = {};
    result = skipWhiteSpace(nullptr);
    for (int i = 0; result == AURA_OK && i < 12; ++i) {
        result = getChar(&header[i]);
    }
    if (result != AURA_OK && result != AURA_ERR_FILE_EOF) {
        return result;
    }
    AURA_RESULT (CodecPlaylist::*reader)() = nullptr;
    if (startsWith(header, "#EXTM3U")) {
        reader = &CodecPlaylist::readM3U;
    } else if (startsWith(header, "[PLAYLIST]")) {
        reader = &CodecPlaylist::readPLS;
    } else if (startsWith(header, "<ASX VERSION")) {
        reader = &CodecPlaylist::readASX;
    } else if (startsWith(header, "<?WPL VERSIO")) {
        reader = &CodecPlaylist::readWPL;
    } else if (startsWith(header, "<?XML VERSIO")) {
        reader = &CodecPlaylist::readB4S;
    } else {
        char *name = nullptr;
        if (mFile->getName(&name) != AURA_OK || !name) {
            return AURA_ERR_FORMAT;
        }
        const int length = AURA_strlen(name);
        static constexpr const char *kExtensions[] = {".pls", ".m3u", ".asx", ".wax"};
        bool listed = false;
        for (const char *extension : kExtensions) {
            listed = listed || (length >= 4 && AURA_strcmp(name + length - 4, extension) == 0);
        }
        if (!listed) {
            return AURA_ERR_FORMAT;
        }
        reader = &CodecPlaylist::readSimple;
    }
    // Every reader starts from the first byte.
    result = mFile->seek(0, 0);
    if (result != AURA_OK) {
        return result;
    }
    mPushBackCount = 0;
    mLastByte = '\n';
    mByteBefore = '\n';
    mAfterKey = false;
    result = (this->*reader)();
    if (result == AURA_OK) {
        mWaveFormat = AURA_CODEC_WAVEFORMAT{};
        mState.waveformat = &mWaveFormat;
        mState.numsubsounds = 0;
    }
    return result;
}

AURA_RESULT CodecPlaylist::readM3U()
{
    char line[LINE_SIZE];
    char file[LINE_SIZE];
    if (readLine(line, LINE_SIZE, nullptr) != AURA_OK || !startsWith(line, "#EXTM3U")) {
        return AURA_ERR_FORMAT;
    }
    for (;;) {
        if (skipWhiteSpace(nullptr) != AURA_OK || readLine(line, LINE_SIZE, nullptr) != AURA_OK) {
            return AURA_OK;
        }
        if (!startsWith(line, "#EXTINF") || line[7] != ':') {
            return AURA_ERR_FORMAT;
        }
        char *duration = line + 8;
        char *title = std::strchr(duration, ',');
        if (title) {
            *title++ = '\0';
        } else {
            title = duration + AURA_strlen(duration);
        }
        if (readLine(file, LINE_SIZE, nullptr) != AURA_OK) {
            return AURA_OK;
        }
        AURA_RESULT result = addLength(duration);
        if (result == AURA_OK) {
            result = addText("TITLE", title);
        }
        if (result == AURA_OK) {
            result = addText("FILE", file);
        }
        if (result != AURA_OK) {
            return result;
        }
    }
}

AURA_RESULT CodecPlaylist::readPLS()
{
    char key[LINE_SIZE];
    char value[LINE_SIZE];
    if (getPLSToken(key, LINE_SIZE, nullptr) != AURA_OK || !startsWith(key, "[PLAYLIST]")) {
        return AURA_ERR_FORMAT;
    }
    for (;;) {
        if (getPLSToken(key, LINE_SIZE, nullptr) != AURA_OK) {
            return AURA_OK;
        }
        if (!mAfterKey) {
            continue; // a section or a line without "="
        }
        if (getPLSToken(value, LINE_SIZE, nullptr) != AURA_OK) {
            return AURA_OK;
        }
        AURA_RESULT result = AURA_OK;
        if (startsWith(key, "NUMBEROFENTRIES") || startsWith(key, "VERSION")) {
            continue;
        }
        if (startsWith(key, "FILE")) {
            result = addText("FILE", value);
        } else if (startsWith(key, "TITLE")) {
            result = addText("TITLE", value);
        } else if (startsWith(key, "LENGTH")) {
            result = addLength(value);
        }
        if (result != AURA_OK) {
            return result;
        }
    }
}

AURA_RESULT CodecPlaylist::handleXMLElement(const char *tag, const char *text)
{
    if (tag[0] == '/' || tag[0] == '!' || tag[0] == '?') {
        return AURA_OK; // closing tags, comments and declarations
    }
    char quoted[LINE_SIZE];
    const auto quotedTag = [&](const char *name) -> AURA_RESULT {
        if (getQuoteData(tag, quoted, nullptr) != AURA_OK) {
            return AURA_OK; // no value, no tag
        }
        return addText(name, quoted);
    };
    if (mFormat == FORMAT_ASX) {
        static constexpr struct {
            const char *element;
            const char *name;
        } kQuoted[] = {{"REF HREF", "FILE"},
                       {"MOREINFO HREF", "MOREINFO"},
                       {"DURATION VALUE", "DURATION"},
                       {"LOGO HREF", "LOGO"},
                       {"BANNER HREF", "BANNER"}};
        if (startsWith(tag, "ENTRY")) {
            return metaData(AURA_TAGTYPE_PLAYLIST, "ENTRY", nullptr, 0, AURA_TAGDATATYPE_BINARY, false);
        }
        for (const auto &entry : kQuoted) {
            if (startsWith(tag, entry.element)) {
                return quotedTag(entry.name);
            }
        }
    } else if (mFormat == FORMAT_WPL) {
        if (AURA_strnicmp(tag, "MEDIA SRC", 8) == 0) {
            return quotedTag("FILE");
        }
    } else if (mFormat == FORMAT_B4S) {
        if (startsWith(tag, "ENTRY PLAYSTRING")) {
            if (getQuoteData(tag, quoted, nullptr) != AURA_OK) {
                return AURA_OK;
            }
            return addText("FILE", startsWith(quoted, "FILE:") ? quoted + 5 : quoted);
        }
        if ((startsWith(tag, "NAME") || startsWith(tag, "LENGTH")) && std::strchr(tag, '"')) {
            char name[NAME_SIZE] = {};
            std::memcpy(name, tag, startsWith(tag, "NAME") ? 4 : 6);
            return quotedTag(AURA_strupr(name));
        }
    }
    if (text[0] == '\0') {
        return AURA_OK;
    }
    // Any other element with text: its name in capitals.
    char name[NAME_SIZE];
    int n = 0;
    while (tag[n] && !isSpace(tag[n]) && tag[n] != '/' && n < NAME_SIZE - 1) {
        name[n] = tag[n];
        ++n;
    }
    name[n] = '\0';
    if (n == 0) {
        return AURA_OK;
    }
    return addText(AURA_strupr(name), text);
}

AURA_RESULT CodecPlaylist::readXMLElements(char *tag, char *text, bool havefirst)
{
    for (bool have = havefirst;; have = false) {
        if (!have) {
            int taglength = LINE_SIZE;
            int textlength = LINE_SIZE;
            if (getNextXMLTag(tag, &taglength, text, &textlength) != AURA_OK) {
                return AURA_OK;
            }
        }
        const AURA_RESULT result = handleXMLElement(tag, text);
        if (result != AURA_OK) {
            return result;
        }
    }
}

AURA_RESULT CodecPlaylist::readASX()
{
    char tag[LINE_SIZE];
    char text[LINE_SIZE];
    int taglength = LINE_SIZE;
    int textlength = LINE_SIZE;
    if (getNextXMLTag(tag, &taglength, text, &textlength) != AURA_OK || !startsWith(tag, "ASX VERSION")) {
        return AURA_ERR_FORMAT;
    }
    mFormat = FORMAT_ASX;
    return readXMLElements(tag, text, false);
}

AURA_RESULT CodecPlaylist::readWPL()
{
    char tag[LINE_SIZE];
    char text[LINE_SIZE];
    int taglength = LINE_SIZE;
    int textlength = LINE_SIZE;
    if (getNextXMLTag(tag, &taglength, text, &textlength) != AURA_OK || !startsWith(tag, "?WPL VERSION")) {
        return AURA_ERR_FORMAT;
    }
    mFormat = FORMAT_WPL;
    do {
        taglength = LINE_SIZE;
        textlength = LINE_SIZE;
        if (getNextXMLTag(tag, &taglength, text, &textlength) != AURA_OK) {
            return AURA_OK;
        }
    } while (!startsWith(tag, "SEQ"));
    return readXMLElements(tag, text, false);
}

AURA_RESULT CodecPlaylist::readB4S()
{
    char tag[LINE_SIZE];
    char text[LINE_SIZE];
    int taglength = LINE_SIZE;
    int textlength = LINE_SIZE;
    if (getNextXMLTag(tag, &taglength, text, &textlength) != AURA_OK || !startsWith(tag, "?XML VERSION")) {
        return AURA_ERR_FORMAT;
    }
    mFormat = FORMAT_B4S;
    do {
        taglength = LINE_SIZE;
        textlength = LINE_SIZE;
        if (getNextXMLTag(tag, &taglength, text, &textlength) != AURA_OK) {
            return AURA_OK;
        }
    } while (!startsWith(tag, "ENTRY PLAYSTRING"));
    return readXMLElements(tag, text, true);
}

AURA_RESULT CodecPlaylist::readSimple()
{
    char line[LINE_SIZE];
    for (;;) {
        if (skipSimpleComments() != AURA_OK || readLine(line, LINE_SIZE, nullptr) != AURA_OK) {
            return AURA_OK;
        }
        const AURA_RESULT result = addText("FILE", line);
        if (result != AURA_OK) {
            return result;
        }
    }
}

} // namespace AURA
