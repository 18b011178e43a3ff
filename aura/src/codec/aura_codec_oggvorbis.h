// Ogg Vorbis files, plain or wrapped in RIFF/WAVE (format tag 0x6750),
// decoded to 16-bit signed PCM by vorbisfile. This codec joins vorbisfile's
// data-source callbacks to the engine's file layer, turns Vorbis comments
// into tags and answers length and seeks.
#ifndef AURA_CODEC_OGGVORBIS_H
#define AURA_CODEC_OGGVORBIS_H

#include "codec/aura_codec.h"

#include <vorbis/vorbisfile.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace AURA {

class MemoryTracker;

// vorbisfile's data-source callbacks. The data source is the codec: it holds
// the file and the window of the file that carries the Ogg stream (the
// whole file, or the "data" chunk of a RIFF wrapper), so vorbisfile sees the
// stream starting at offset 0.
size_t AURA_OggVorbis_ReadCallback(void *ptr, size_t size, size_t nmemb, void *datasource);
int AURA_OggVorbis_SeekCallback(void *datasource, ogg_int64_t offset, int whence);
long AURA_OggVorbis_TellCallback(void *datasource);

// The registry record of CodecOggVorbis: empty until getDescriptionEx fills it.
extern AURA_CODEC_DESCRIPTION_EX oggvorbiscodec;

class CodecOggVorbis : public Codec {
public:
    // The RIFF wrapper's format tag for Ogg Vorbis.
    static constexpr uint16_t WAVE_FORMAT_OGGVORBIS = 0x6750;
    // Sample count reported for a stream that cannot seek (its end is unknown).
    static constexpr unsigned int LENGTH_UNSEEKABLE = 0x7FFFFFFFu;
    // Largest length a seekable stream reports; 0xFFFFFFFF means unknown.
    static constexpr unsigned int LENGTH_MAX = 0xFFFFFFFEu;

    static AURA_CODEC_DESCRIPTION_EX *getDescriptionEx();

    [[nodiscard]] AURA_RESULT openInternal(AURA_MODE mode, AURA_CREATESOUNDEXINFO *exinfo);
    [[nodiscard]] AURA_RESULT closeInternal();
    [[nodiscard]] AURA_RESULT readInternal(void *buffer, unsigned int sizebytes, unsigned int *bytesread);
    [[nodiscard]] AURA_RESULT setPositionInternal(int subsound, unsigned int position, unsigned int postype);
    // The file ends inside the last link that plays.
    [[nodiscard]] bool dataCut(int /*subsound*/) const override { return mCut || mBrokenLink; }
    [[nodiscard]] AURA_RESULT getMemoryUsedImpl(MemoryTracker *tracker);
    // Adds the current link's comments as tags (not unique); a comment
    // without "=" is skipped.
    [[nodiscard]] AURA_RESULT readVorbisComments();
    // Sets the tags of a comment block met while decoding: the n-th comment
    // of a name gives its value to the n-th tag of that name, so that names
    // given several times keep every entry in the file's order.
    [[nodiscard]] AURA_RESULT reportVorbisComments(const vorbis_comment *comments);

    // The length in decoded frames of a seekable stream whose granule
    // positions do not add up to what the decoder delivers: a first audio
    // page below zero, a last page that claims more than its data. `total`
    // comes in as vorbisfile's sum and leaves as the frames oggdec would
    // decode; mPcmShift and mShiftFrom say how seeks reach them. `moved`
    // says whether it decoded or sought (the decoder is then wherever that
    // left it, and the caller opens it again); otherwise it only read pages
    // through the file, and the file is back where the decoder left it.
    [[nodiscard]] AURA_RESULT measureLength(uint64_t *total, bool *moved);
    // Counts the frames of the first link's pages from the end of the page
    // at `countedAt` (where `countedEnd` frames were decoded) up to
    // `uptoEnd`, without decoding, and notes in mSteps each page where the
    // granule positions take another shift. False when the pages do not
    // tell (a gap); else `endShift` is the shift of the last page counted.
    [[nodiscard]] bool mapShiftSteps(uint64_t countedAt, uint64_t countedEnd, uint64_t uptoEnd, int64_t *endShift);
    // Opens vorbisfile on the window (at its start); 25 or 44 when refused.
    [[nodiscard]] AURA_RESULT openDecoder();
    // After vorbisfile refused a seekable chain: ends the window before the
    // last link that lets the rest open (a link cut inside its headers),
    // and opens that. 25 when no earlier link opens either.
    [[nodiscard]] AURA_RESULT openBeforeBrokenLink();
    // Decodes and drops `frames` frames (fewer at the end of the stream).
    [[nodiscard]] AURA_RESULT skipFrames(uint64_t frames, uint64_t *skipped);
    // Whether the link being decoded has the sound's channels and rate.
    [[nodiscard]] bool sameFormatLink();
    // Maps a failure of vorbisfile that no further call can mend to the
    // codec's answer and keeps it: the decoder is not called again.
    [[nodiscard]] AURA_RESULT hardError(long ov);
    // A stream that cannot seek shows that it holds audio only by decoding
    // it: decodes its first frame into mHeld for the first read. 25 when
    // the stream ends before any frame, as a seekable one is refused.
    [[nodiscard]] AURA_RESULT holdFirstFrame();

    static AURA_RESULT getMemoryUsedCallback(AURA_CODEC_STATE *state, MemoryTracker *tracker);

    // Set at the first open (by any thread); vorbisfile builds its own
    // tables, so nothing else is needed once per program.
    static std::atomic<bool> gInitialized;

    bool mMemoryReported = false;     // decoder memory already given to this tracker pass
    OggVorbis_File mVorbisFile{};
    AURA_CODEC_WAVEFORMAT mWaveFormat{};
    // Bytes the decoder holds from the engine's pool. vorbisfile allocates
    // with the C library, outside the pool, so this stays 0.
    unsigned int mMemUsed = 0;
    bool mVorbisOpen = false;         // mVorbisFile needs ov_clear
    // The window of the file that vorbisfile reads: [mOggStart, mOggEnd).
    uint64_t mOggStart = 0;
    uint64_t mOggEnd = 0;
    bool mOggEndKnown = false;        // false: the window ends where the file ends

    // Positions: vorbisfile counts by granule positions, the codec by the
    // frames the decoder delivers. From decoded frame mShiftFrom on, frame
    // n is vorbisfile's n + mPcmShift; frames before it are reached by
    // decoding from the start.
    int64_t mPcmShift = 0;
    uint64_t mShiftFrom = 0;
    // Granule positions that go on from another count part-way through the
    // link (a muxer that starts below zero and later counts from zero):
    // from decoded frame `from` on, frame n is vorbisfile's n + shift. The
    // frames of the page that shows the new count, up to `firstEnd` (the
    // frame after it included), are reached from the end of the page before
    // it, vorbisfile's `before`.
    struct ShiftStep {
        uint64_t from = 0;
        uint64_t firstEnd = 0;
        int64_t shift = 0;
        int64_t before = 0;
    };
    static constexpr int MAX_SHIFT_STEPS = 8;
    ShiftStep mSteps[MAX_SHIFT_STEPS]{};
    int mStepCount = 0;
    // The links of a seekable chain that play: those before the first whose
    // channels or rate differ from the first link's (0 while unknown).
    long mLinks = 0;
    // The file ends inside the last link that plays (no end-of-stream page):
    // known at open when the file seeks, else when the decoder meets its end.
    bool mCut = false;
    // A later link was broken (cut inside its headers): the window ends
    // before it, and the file counts as cut.
    bool mBrokenLink = false;
    // The first frame of a stream that cannot seek, decoded at open and
    // handed out (in WAV order) before the decoder is read again.
    static constexpr unsigned int HELD_BYTES_MAX = 2 * 255;
    uint8_t mHeld[HELD_BYTES_MAX]{};
    unsigned int mHeldBytes = 0;
    AURA_RESULT mDecodeError = AURA_OK; // kept once the decoder failed for good
    AURA_RESULT mReadError = AURA_OK;   // the file layer's last failure under vorbisfile

    // The part of a comment block that every reader of comments shares:
    // calls `report(name, value, index)` for each comment, split at its first "="
    // in a copy (never in vorbisfile's memory). A comment without "=" gets
    // the name `noname`, or is skipped when that is null.
    template <class Report>
    AURA_RESULT forEachComment(const vorbis_comment *comments, const char *noname, Report &&report);
};

} // namespace AURA

#endif // AURA_CODEC_OGGVORBIS_H
