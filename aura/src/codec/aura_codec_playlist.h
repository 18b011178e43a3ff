// Playlists (M3U, PLS, ASX/WAX, WPL, B4S and plain lists of names) open as
// sounds without audio whose tags name the entries in file order: "FILE",
// "TITLE", "LENGTH" and the formats' other fields, for the caller to open.
#ifndef AURA_CODEC_PLAYLIST_H
#define AURA_CODEC_PLAYLIST_H

#include "codec/aura_codec.h"

#include <cstdint>

namespace AURA {

// The registry record of CodecPlaylist: empty until getDescriptionEx fills it.
extern AURA_CODEC_DESCRIPTION_EX playlistcodec;

class CodecPlaylist : public Codec {
public:
    // Longest line, token, element or text kept, terminator included; the
    // rest of a longer one is dropped.
    static constexpr int LINE_SIZE = 512;

    static AURA_CODEC_DESCRIPTION_EX *getDescriptionEx();

    AURA_RESULT openInternal(unsigned int mode, AURA_CREATESOUNDEXINFO *exinfo);

    AURA_RESULT readM3U();
    AURA_RESULT readPLS();
    AURA_RESULT readASX();
    AURA_RESULT readWPL();
    AURA_RESULT readB4S();
    AURA_RESULT readSimple();

    // Scanners over the file, a byte at a time. Each returns 22 at the end
    // of the file, having stored what it found before it.
    // "\n" ends a line, and "\r" unless a "\n" follows it.
    bool isNewLine(char c);
    AURA_RESULT skipWhiteSpace(int *count);
    // The next non-empty line without its line end, cut to size - 1 bytes.
    AURA_RESULT readLine(char *buffer, int size, int *length);
    // Skips blank lines and lines that begin with "[" or "#".
    AURA_RESULT skipSimpleComments();
    // The next key (a token that begins a line, ended by "=" or a line end),
    // the value after a key's "=" (to the end of its line, possibly empty),
    // or a "[section]" (its line end consumed).
    AURA_RESULT getPLSToken(char *buffer, int size, int *length);
    // The next element: its inside up to ">" and the text after it up to
    // the next "<", with a closing tag right after the text skipped. The
    // lengths are the buffers' sizes in and the stored lengths out.
    AURA_RESULT getNextXMLTag(char *tag, int *taglength, char *text, int *textlength);
    // The text between the first pair of double quotes of a tag; 25 when
    // the tag holds no quote.
    static AURA_RESULT getQuoteData(const char *source, char *destination, int *length);

private:
    [[nodiscard]] AURA_RESULT getChar(char *c);
    void ungetChar(char c);
    [[nodiscard]] AURA_RESULT skipLine();
    [[nodiscard]] AURA_RESULT addText(const char *name, const char *text);
    [[nodiscard]] AURA_RESULT addLength(const char *text);
    // Every further element through the table of the XML formats.
    [[nodiscard]] AURA_RESULT readXMLElements(char *tag, char *text, bool havefirst);
    [[nodiscard]] AURA_RESULT handleXMLElement(const char *tag, const char *text);

    AURA_CODEC_WAVEFORMAT mWaveFormat{};
    char mPushBack[4] = {};
    int mPushBackCount = 0;
    // The last byte consumed: a key starts a line.
    char mLastByte = '\n';
    char mByteBefore = '\n'; // what mLastByte was before it, for a put-back byte
    bool mAfterKey = false;
    unsigned int mFormat = 0; // the XML format being read
};

} // namespace AURA

#endif // AURA_CODEC_PLAYLIST_H
