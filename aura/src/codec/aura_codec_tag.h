// ID3v1 and ID3v2 tags around a file's audio. The tag reader never opens a
// sound itself: it stores the tags it finds and moves the file's start past
// the leading ones, then declines, so that the codec probed after it sees
// the audio at offset 0 and the sound keeps the tags.
#ifndef AURA_CODEC_TAG_H
#define AURA_CODEC_TAG_H

#include "codec/aura_codec.h"

#include <cstdint>
#include <span>

namespace AURA {

// The registry record of CodecTag: empty until getDescriptionEx fills it.
extern AURA_CODEC_DESCRIPTION_EX tagcodec;

class CodecTag : public Codec {
public:
    // Frames this large or larger are skipped, not stored.
    static constexpr unsigned int MAX_FRAME_SIZE = 0x100000;
    // Tags read from each end before the search gives up: a file of nothing
    // but tag headers still opens in bounded time.
    static constexpr int MAX_TAGS = 32;

    static AURA_CODEC_DESCRIPTION_EX *getDescriptionEx();

    AURA_RESULT openInternal(unsigned int mode, AURA_CREATESOUNDEXINFO *exinfo);
    // Reads the trailing tags, then the leading ones, leaving the file just
    // after the last leading tag.
    static constexpr unsigned int ID3V1_BLOCK = 128;
    static constexpr unsigned int ID3V1_BODY = ID3V1_BLOCK - 3;
    enum class Tail { None, ID3v1, Unread };
    // The bytes before end, read aside: no trailing tag, an ID3v1 block
    // (left in block), or Unread when they hold an ID3v2 footer or cannot
    // be read so (the caller seeks and reads).
    Tail probeTail(unsigned int end, uint8_t (&block)[ID3V1_BLOCK]);
    AURA_RESULT parseID3v1(std::span<const uint8_t, ID3V1_BODY> body);
    AURA_RESULT readTags();
    // Positioned just after "TAG".
    AURA_RESULT readID3v1();
    // Positioned just after "ID3"; leaves the file at the tag's end. Sets
    // *valid false (and reads nothing more) when the header is not a tag's.
    AURA_RESULT readID3v2(bool *valid);
    // Positioned just after "3DI" of a footer that ends at `end`; leaves the
    // file at the start of the tag's header and its position in *tagstart.
    AURA_RESULT readID3v2FromFooter(unsigned int end, unsigned int *tagstart);

private:
    [[nodiscard]] AURA_RESULT readExact(void *buffer, unsigned int bytes);
    [[nodiscard]] AURA_RESULT storeFrame(const char *id, uint8_t *body, unsigned int size);

    unsigned int mFileLength = 0;
};

} // namespace AURA

#endif // AURA_CODEC_TAG_H
