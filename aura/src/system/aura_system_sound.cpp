// Sound creation: a file is opened through the file layer, offered to the
// registered codecs in their order, and a sample is read whole from the
// codec that takes it.
#include "codec/aura_codec.h"
#include "codec/aura_codec_aiff.h"
#include "codec/aura_codec_audioqueue.h"
#include "codec/aura_codec_dls.h"
#include "codec/aura_codec_flac.h"
#include "codec/aura_codec_oggvorbis.h"
#include "codec/aura_codec_playlist.h"
#include "codec/aura_codec_raw.h"
#include "codec/aura_codec_sbk.h"
#include "codec/aura_codec_tag.h"
#include "codec/aura_codec_user.h"
#include "codec/wav/aura_codec_wav.h"
#include "music/aura_codec_midi.h"
#include "mpeg/aura_codec_mpeg.h"
#include "music/aura_codec_mod.h"
#include "music/aura_codec_s3m.h"
#include "music/aura_codec_xm.h"
#include "music/aura_codec_it.h"
#include "channel/aura_channeli.h"
#include "system/aura_async.h"
#include "base/aura_memory.h"
#include "base/aura_metadata.h"
#include "base/aura_string.h"
#include "voice/aura_channelstream.h"
#include "sound/aura_sample.h"
#include "output/aura_output.h"
#include "output/aura_output_factory.h"
#include "dsp/effects/aura_dsp_effect.h"
#include "sound/aura_stream.h"
#include "system/aura_systemi.h"
#include "file/aura_file_disk.h"
#include "file/aura_file_net.h"
#include "file/aura_file_memory.h"
#include "file/aura_file_null.h"
#include "file/aura_file_user.h"
#include "os/aura_os.h"

#include <algorithm>
#include <optional>
#include <cstring>
#include <mutex>

namespace AURA {

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/aura_sound";

// Buffer of files that samples are read from (0 for memory).
constexpr int SAMPLE_FILE_BUFFER = 16384;
// A sample whose codec does not know its length grows by reads of this
// much, and a declared length is trusted only this far ahead of the data
// that actually arrives.
constexpr unsigned int SAMPLE_READ_CHUNK = 64 * 1024;
constexpr unsigned int SAMPLE_FIRST_CAPACITY = 4 * 1024 * 1024;
// What one codec read asks for. Reads much larger than the file's buffer
// go from the medium straight into the sample: only the few bytes either
// side of a read's whole buffer blocks pass through the file's buffer.
constexpr unsigned int SAMPLE_READ_REQUEST = 1024 * 1024;
// Reads in a row that deliver nothing before a codec counts as finished.
constexpr int MAX_EMPTY_READS = 64;

bool hasUserFileCallbacks(const AURA_CREATESOUNDEXINFO *exinfo)
{
    return exinfo && (exinfo->useropen || exinfo->userclose || exinfo->userread || exinfo->userseek ||
                      exinfo->userasyncread || exinfo->userasynccancel);
}

bool lengthKnown(unsigned int samples)
{
    return samples != 0xFFFFFFFFu && samples != 0x7FFFFFFFu;
}

// Moves every tag of `from` to the end of `*to` (made on first use); `from`
// is released.
void mergeTags(Metadata **to, Metadata *from)
{
    if (!from) {
        return;
    }
    if (!*to) {
        *to = from;
        return;
    }
    (void)(*to)->add(from);
    (void)from->release();
}
// The format facts a codec gives of the sound it opened.
void describeSound(SoundI *sound, const AURA_CODEC_WAVEFORMAT &waveformat, const Codec &codec)
{
    sound->mType = static_cast<AURA_SOUND_TYPE>(codec.mType);
    sound->mFormat = waveformat.format;
    sound->mChannels = waveformat.channels;
    sound->mDefaultFrequency = static_cast<float>(waveformat.frequency);
    sound->mSpeakerBits = waveformat.channelmask;
}

// What a user sound's creation info must give: its format.
bool describesUserSound(const AURA_CREATESOUNDEXINFO *exinfo)
{
    return exinfo && exinfo->numchannels > 0 && exinfo->numchannels <= 16 && exinfo->defaultfrequency > 0 &&
           getBitsFromFormat(exinfo->format) != 0;
}

// A mode that names no loop, dimension or mixer gets the defaults.
void completeMode(SoundI *sound)
{
    if (!(sound->mMode & (AURA_LOOP_NORMAL | AURA_LOOP_BIDI))) {
        sound->mMode |= AURA_LOOP_OFF;
    }
    if (!(sound->mMode & AURA_3D)) {
        sound->mMode |= AURA_2D;
    }
    if (!(sound->mMode & AURA_HARDWARE)) {
        sound->mMode |= AURA_SOFTWARE;
    }
}
} // namespace

void SystemI::listSound(SoundI *sound)
{
    std::lock_guard<std::mutex> lock(mSoundListLock);
    sound->mSoundNode.addBefore(mSoundHead);
}

namespace {
// Systems initialised on several threads register the built-in records
// (each filled once, on first use) one system at a time.
std::mutex &descriptorLock()
{
    static std::mutex lock;
    return lock;
}
} // namespace

std::span<const CodecEntry> builtInCodecs()
{
    // Priorities leave room for the formats that come before and between.
    static constexpr CodecEntry kCodecs[] = {
        {&tagcodec, &CodecTag::getDescriptionEx, 100},
        {&sbkcodec, &CodecSBK::getDescriptionEx, 300},
        {&wavcodec, &CodecWav::getDescriptionEx, 600},
        {&oggvorbiscodec, &CodecOggVorbis::getDescriptionEx, 800},
        {&aiffcodec, &CodecAIFF::getDescriptionEx, 1000},
        {&flaccodec, &CodecFLAC::getDescriptionEx, 1100},
        {&modcodec, &CodecMOD::getDescriptionEx, 1200},
        {&s3mcodec, &CodecS3M::getDescriptionEx, 1300},
        {&xmcodec, &CodecXM::getDescriptionEx, 1400},
        {&itcodec, &CodecIT::getDescriptionEx, 1500},
        {&midicodec, &CodecMIDI::getDescriptionEx, 1600},
        {&dlscodec, &CodecDLS::getDescriptionEx, 1700},
        {&audioqueuecodec, &CodecAudioQueue::getDescriptionEx, 2200},
        {&mpegcodec, &CodecMPEG::getDescriptionEx, 2400},
        {&playlistcodec, &CodecPlaylist::getDescriptionEx, 2450},
        {&rawcodec, &CodecRaw::getDescriptionEx, 2500},
    };
    return kCodecs;
}

AURA_RESULT SystemI::registerCodecs()
{
    std::lock_guard<std::mutex> lock(descriptorLock());
    for (const CodecEntry &entry : builtInCodecs()) {
        const AURA_RESULT result = mPluginFactory.registerCodec(entry.describe(), nullptr, entry.priority);
        if (result != AURA_OK) {
            return result;
        }
    }
    return AURA_OK;
}

AURA_RESULT SystemI::registerOutputs()
{
    std::lock_guard<std::mutex> lock(descriptorLock());
    for (const OutputEntry &entry : builtInOutputs()) {
        const AURA_RESULT result = mPluginFactory.registerOutput(entry.describe(), nullptr);
        if (result != AURA_OK) {
            return result;
        }
    }
    return AURA_OK;
}

AURA_RESULT SystemI::openUserCodec(AURA_MODE mode, AURA_CREATESOUNDEXINFO *exinfo, Codec **codec)
{
    // The application's data stands behind a file of its length that holds
    // nothing; no other codec is asked.
    *codec = nullptr;
    auto *file = AURA_New(NullFile);
    if (!file) {
        return AURA_ERR_MEMORY;
    }
    AURA_RESULT result = file->init(this, exinfo->length, 0);
    if (result == AURA_OK) {
        result = file->open(nullptr, exinfo->length, false, nullptr);
    }
    if (result != AURA_OK) {
        AURA_Delete(file);
        return result;
    }
    Codec *made = nullptr;
    result = Codec::create(*CodecUser::getDescriptionEx(), this, &made);
    if (result != AURA_OK) {
        (void)file->close();
        AURA_Delete(file);
        return result;
    }
    made->mFile = file;
    result = made->open(mode, exinfo);
    if (result != AURA_OK) {
        (void)made->release();
        return result;
    }
    *codec = made;
    return AURA_OK;
}

AURA_RESULT SystemI::registerDSPUnits()
{
    std::lock_guard<std::mutex> lock(descriptorLock());
    for (const EffectUnitEntry &entry : builtInEffectUnits()) {
        const AURA_RESULT result = mPluginFactory.registerDSP(entry.describe(), nullptr);
        if (result != AURA_OK) {
            return result;
        }
    }
    return AURA_OK;
}

AURA_RESULT SystemI::openSoundFile(const char *name_or_data, AURA_MODE mode, const AURA_CREATESOUNDEXINFO *exinfo,
                                   File **file)
{
    *file = nullptr;
    File *made = nullptr;
    unsigned int length = 0;
    int buffersize = SAMPLE_FILE_BUFFER;
    if (mode & (AURA_OPENMEMORY | AURA_OPENMEMORY_POINT)) {
        if (!exinfo || exinfo->length == 0) {
            return AURA_ERR_INVALID_PARAM;
        }
        made = AURA_New(MemoryFile);
        length = exinfo->length;
        buffersize = 0;
    } else if (NetFile::isURL(name_or_data)) {
        made = AURA_New(NetFile);
    } else if (hasUserFileCallbacks(exinfo) || mFileSettings.callbacks.open) {
        auto *user = AURA_New(UserFile);
        if (user && exinfo) {
            FileCallbacks own;
            own.open = exinfo->useropen;
            own.close = exinfo->userclose;
            own.read = exinfo->userread;
            own.seek = exinfo->userseek;
            own.asyncRead = exinfo->userasyncread;
            own.asyncCancel = exinfo->userasynccancel;
            user->setCallbacks(own);
        }
        made = user;
    } else {
        made = AURA_New(DiskFile);
    }
    if (!made) {
        return AURA_ERR_MEMORY;
    }
    made->setSettings(&mFileSettings);
    AURA_RESULT result = made->init(this, length, buffersize);
    if (result == AURA_OK) {
        result = made->open(name_or_data, length, false, exinfo ? exinfo->encryptionkey : nullptr);
        if (result != AURA_OK) {
            AURA_Delete(made);
            return result;
        }
    }
    if (result == AURA_OK && exinfo && exinfo->fileoffset) {
        result = made->setStartOffset(exinfo->fileoffset);
    }
    if (result != AURA_OK) {
        (void)made->close();
        AURA_Delete(made);
        return result;
    }
    *file = made;
    return AURA_OK;
}

AURA_RESULT SystemI::findCodec(File *file, AURA_MODE mode, AURA_CREATESOUNDEXINFO *exinfo, Codec **codec)
{
    *codec = nullptr;
    int count = 0;
    AURA_RESULT result = mPluginFactory.getNumCodecs(&count);
    if (result != AURA_OK) {
        return result;
    }
    Metadata *declinedTags = nullptr;
    // The suggested type goes first; then every codec in its order.
    const int suggested = exinfo ? exinfo->suggestedsoundtype : 0;
    result = AURA_ERR_FORMAT;
    for (int pass = suggested ? 0 : 1; pass < 2 && !*codec; ++pass) {
        for (int i = 0; i < count; ++i) {
            AURA_CODEC_DESCRIPTION_EX *description = nullptr;
            if (mPluginFactory.getCodecByIndex(i, &description) != AURA_OK || !description->open) {
                continue;
            }
            const bool isSuggested = static_cast<int>(description->mType) == suggested;
            if ((pass == 0) != isSuggested) {
                continue;
            }
            Codec *candidate = nullptr;
            result = Codec::create(*description, this, &candidate);
            if (result != AURA_OK) {
                break;
            }
            candidate->mFile = file;
            result = file->seek(0, 0);
            if (result == AURA_OK) {
                result = candidate->open(mode, exinfo);
            }
            if (result == AURA_OK) {
                *codec = candidate;
                break;
            }
            // The file stays open for the next codec; tags found on the way
            // (a tag reader declines every file) stay with the sound.
            if (result == AURA_ERR_FORMAT) {
                mergeTags(&declinedTags, candidate->takeMetadata());
            }
            candidate->mFile = nullptr;
            (void)candidate->release();
            if (result != AURA_ERR_FORMAT) {
                break;
            }
        }
        if (result != AURA_OK && result != AURA_ERR_FORMAT) {
            break;
        }
    }
    if (*codec) {
        if (declinedTags) {
            Metadata *own = (*codec)->takeMetadata();
            mergeTags(&declinedTags, own);
            (*codec)->mMetadata = declinedTags;
        }
        return AURA_OK;
    }
    if (declinedTags) {
        (void)declinedTags->release();
    }
    return result == AURA_OK ? AURA_ERR_FORMAT : result;
}

AURA_RESULT SystemI::readSampleData(Codec *codec, Sample *sample, unsigned int declaredbytes)
{
    const bool known = declaredbytes != 0xFFFFFFFFu;
    // A length bounded by the file (counted over its frames, or declared
    // and no more than its size decodes to) is room the decode fills: taken
    // at once, the sample never moves (each move of a growing block copies
    // it into fresh pages), and a large one sits on large pages (a fault
    // and a clear per 2 MiB instead of per 4 KiB). Any other declared
    // length grows by doubling, so that a false one costs no more than the
    // data that is really there.
    const bool bounded = known && (codec->mFlags & Codec::FLAG_LENGTHBOUNDED) &&
                         declaredbytes <= static_cast<unsigned int>(MemPool::MAX_SIZE) / 2;
    unsigned int capacity = bounded ? declaredbytes
                            : known ? std::min(declaredbytes, SAMPLE_FIRST_CAPACITY)
                                    : SAMPLE_READ_CHUNK;
    // The codec writes the room itself: zeroing it first would only touch
    // every page twice. What it leaves unwritten is cleared on every way out.
    AURA_RESULT result = sample->reserveForFill(capacity, bounded);
    if (result != AURA_OK) {
        return result;
    }
    unsigned int total = 0;
    struct ClearRest {
        Sample *sample;
        const unsigned int &filled;
        ~ClearRest()
        {
            // A file that held much less than it said: the room it did not
            // fill is given back instead of cleared (a shrink that fails
            // leaves the room, cleared).
            if (sample->getCapacity() - filled >= SAMPLE_READ_REQUEST) {
                (void)sample->reserveForFill(filled);
            }
            sample->clearAfter(filled);
        }
    } clearRest{sample, total};
    int emptyReads = 0;
    unsigned int prepared = 0;
    for (;;) {
        if (known && total >= declaredbytes) {
            break;
        }
        if (total == capacity) {
            uint64_t grown = static_cast<uint64_t>(capacity) * 2;
            if (known) {
                grown = std::min<uint64_t>(grown, declaredbytes);
            }
            if (grown > static_cast<uint64_t>(MemPool::MAX_SIZE) / 2) {
                return AURA_ERR_MEMORY;
            }
            result = sample->reserveForFill(static_cast<unsigned int>(grown));
            if (result != AURA_OK) {
                return result;
            }
            capacity = static_cast<unsigned int>(grown);
        }
        const unsigned int want = std::min(capacity - total, SAMPLE_READ_REQUEST);
        unsigned int got = 0;
        if (total + want > prepared) {
            // The room is fresh memory that the reads fill: its pages are
            // mapped a request's worth at a time (a decoder that writes one
            // channel of a frame at a time reads each fresh page first).
            AURA_OS_Memory_PrepareWrite(sample->getData() + prepared, total + want - prepared);
            prepared = total + want;
        }
        result = codec->read(sample->getData() + total, want, &got);
        total += std::min(got, want);
        if (result == AURA_ERR_FILE_EOF) {
            break;
        }
        if (result != AURA_OK) {
            return result;
        }
        if (got == 0 && ++emptyReads >= MAX_EMPTY_READS) {
            break;
        }
        if (got > 0) {
            emptyReads = 0;
        }
    }
    sample->mLengthBytes = total;
    return AURA_OK;
}

bool SystemI::boundsRead(const Codec &codec, unsigned int lengthpcm)
{
    // A guessed length does not bound the read: the data does.
    return lengthKnown(lengthpcm) && !(codec.mFlags & Codec::FLAG_GUESSEDLENGTH);
}

AURA_RESULT SystemI::readSampleFromCodec(Codec *codec, int subsound, AURA_MODE mode, Sample *sample)
{
    File *file = codec->mFile;
    AURA_RESULT result = AURA_OK;
    if (subsound >= 0) {
        result = codec->setPosition(subsound, 0, AURA_TIMEUNIT_PCM);
    }
    AURA_CODEC_WAVEFORMAT waveformat{};
    if (result == AURA_OK) {
        result = codec->getWaveFormat(std::max(subsound, 0), &waveformat);
    }
    if (result == AURA_OK && codec->mType == AURA_SOUND_TYPE_PLAYLIST) {
        // A playlist is a sound of tags only, without audio.
        describeSound(sample, waveformat, *codec);
        sample->mLength = 0;
        sample->mLengthBytes = 0;
        return AURA_OK;
    }
    if (result == AURA_OK && (waveformat.channels <= 0 || waveformat.channels > 16 || waveformat.frequency <= 0)) {
        result = AURA_ERR_FORMAT;
    }
    const bool compressed = (mode & AURA_CREATECOMPRESSEDSAMPLE) && waveformat.format >= AURA_SOUND_FORMAT_GCADPCM &&
                            waveformat.format <= AURA_SOUND_FORMAT_CELT;
    if (result == AURA_OK && !compressed && getBitsFromFormat(waveformat.format) == 0) {
        result = AURA_ERR_FORMAT;
    }
    const bool openOnly = (mode & AURA_OPENONLY) != 0;
    if (result == AURA_OK) {
        describeSound(sample, waveformat, *codec);
        if (openOnly) {
            // Opened for its facts (format, rate, tags): nothing is decoded,
            // and the sample holds no data, so a play of it ends at once.
            sample->mLength = 0;
            sample->mLengthBytes = 0;
            sample->mLoopStart = 0;
            sample->mLoopLength = 0;
        } else if (compressed) {
            // The blocks stay as they are in the file, for the decoding
            // units to read.
            unsigned int got = 0;
            result = sample->setCapacity(waveformat.lengthbytes);
            if (result == AURA_OK) {
                result = file->seek(static_cast<int>(codec->mSrcDataOffset), 0);
            }
            if (result == AURA_OK) {
                result = file->read(sample->getData(), 1, waveformat.lengthbytes, &got);
                if (result == AURA_ERR_FILE_EOF) {
                    result = AURA_OK;
                }
            }
            sample->mLengthBytes = got;
            sample->mLength = waveformat.lengthpcm;
            if (result == AURA_OK) {
                result = describeCompressedBlocks(codec, waveformat, sample);
            }
            if (result == AURA_OK && codec->dataCut(std::max(subsound, 0))) {
                // The blocks are what the file held of a sound cut short.
                sample->mFailure.store(AURA_ERR_FILE_EOF, std::memory_order_release);
            }
        } else {
            const unsigned int frame = sample->frameBytes();
            unsigned int declared = 0xFFFFFFFFu;
            if (boundsRead(*codec, waveformat.lengthpcm)) {
                const uint64_t bytes = static_cast<uint64_t>(waveformat.lengthpcm) * frame;
                declared = bytes >= 0xFFFFFFFFu ? 0xFFFFFFFEu : static_cast<unsigned int>(bytes);
            }
            result = readSampleData(codec, sample, declared);
            sample->mLength = sample->mLengthBytes / frame;
            if (result == AURA_OK) {
                // A part frame at the end is no data: it reads as silence,
                // as everything after it does.
                std::memset(sample->getData() + sample->mLength * frame, 0,
                            sample->mLengthBytes - sample->mLength * frame);
            }
            sample->mLengthBytes = sample->mLength * frame;
            if (result == AURA_OK && ((declared != 0xFFFFFFFFu && sample->mLength < waveformat.lengthpcm) ||
                                      codec->dataCut(std::max(subsound, 0)))) {
                // The file held less than it said; the sample is what it held.
                sample->mFailure.store(AURA_ERR_FILE_EOF, std::memory_order_release);
            }
            if (result == AURA_OK && (mode & AURA_CREATECOMPRESSEDSAMPLE) && keepsRawPCM(waveformat)) {
                // Kept as it is, for the raw units to play.
                describeRawBlocks(sample);
            }
        }
    }
    if (result == AURA_OK && !openOnly) {
        // Loop points found in the file; without them the whole sound.
        sample->mLoopStart = 0;
        sample->mLoopLength = sample->mLength;
        if (waveformat.loopstart < waveformat.loopend && waveformat.loopstart < sample->mLength) {
            const unsigned int end = std::min(waveformat.loopend, sample->mLength - 1);
            sample->mLoopStart = waveformat.loopstart;
            sample->mLoopLength = end - waveformat.loopstart + 1;
            if (!(mode & (AURA_LOOP_OFF | AURA_LOOP_NORMAL | AURA_LOOP_BIDI)) && (waveformat.mode & AURA_LOOP_NORMAL)) {
                sample->mMode = (sample->mMode & ~AURA_LOOP_OFF) | AURA_LOOP_NORMAL;
            }
        }
        if (codec->mDescription.soundcreate) {
            result = codec->mDescription.soundcreate(codec->state(), std::max(subsound, 0),
                                                     reinterpret_cast<AURA_SOUND *>(static_cast<Sound *>(sample)));
        }
    }
    waveformat.name[sizeof(waveformat.name) - 1] = 0;
    if (result == AURA_OK && waveformat.name[0]) {
        AURA_Memory_Free(sample->mName);
        sample->mName = AURA_strdup(waveformat.name);
    }
    return result;
}

AURA_RESULT SystemI::createSoundInternal(const char *name_or_data, AURA_MODE mode, unsigned int /*buffersize*/,
                                         AURA_TIMEUNIT /*buffersizetype*/, AURA_CREATESOUNDEXINFO *exinfo,
                                         bool fromloader, SoundI **sound)
{
    if (!sound) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (!fromloader) {
        *sound = nullptr;
    }
    if (!mInitialised) {
        return AURA_ERR_UNINITIALIZED;
    }
    if (exinfo && exinfo->cbsize != static_cast<int>(sizeof(AURA_CREATESOUNDEXINFO))) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (!name_or_data && !(mode & AURA_OPENUSER)) {
        return AURA_ERR_INVALID_PARAM;
    }
    if ((mode & AURA_NONBLOCKING) && !fromloader) {
        // The sound is handed out at once, loading; the loader opens it.
        SoundI *made = nullptr;
        if (mode & AURA_CREATESTREAM) {
            auto *stream = AURA_New(Stream);
            if (stream) {
                stream->setFlags(Stream::FLAG_IDLE);
            }
            made = stream;
        } else {
            made = AURA_New(Sample);
        }
        if (!made) {
            return AURA_ERR_MEMORY;
        }
        made->mSystem = this;
        made->mMode = mode;
        made->mOpenState.store(SoundI::OPENSTATE_LOADING, std::memory_order_release);
        AsyncThread *loader = nullptr;
        AURA_RESULT result = made->makeAsyncRecord(name_or_data, exinfo);
        if (result == AURA_OK) {
            result = AsyncThread::getAsyncThread(made, &loader);
        }
        if (result != AURA_OK) {
            made->mSystem = nullptr;
            AURA_Delete(made);
            return result;
        }
        listSound(made);
        *sound = made;
        return loader->queue(made);
    }
    if (mode & AURA_CREATESTREAM) {
        return createStreamInternal(name_or_data, mode, exinfo, fromloader ? static_cast<Stream *>(*sound) : nullptr,
                                    sound);
    }

    auto *sample = fromloader ? static_cast<Sample *>(*sound) : AURA_New(Sample);
    if (!sample) {
        return AURA_ERR_MEMORY;
    }
    sample->mSystem = this;
    sample->mMode = mode;

    AURA_RESULT result = AURA_OK;
    if (mode & AURA_OPENUSER) {
        // A sound of the caller's format, read through the user codec (as
        // silence) and then filled by the caller's callback, if any.
        if (!describesUserSound(exinfo)) {
            if (!fromloader) {
                AURA_Delete(sample);
            }
            return AURA_ERR_INVALID_PARAM;
        }
        Codec *codec = nullptr;
        result = openUserCodec(mode, exinfo, &codec);
        AURA_CODEC_WAVEFORMAT waveformat{};
        if (result == AURA_OK) {
            result = codec->getWaveFormat(0, &waveformat);
        }
        if (result == AURA_OK) {
            describeSound(sample, waveformat, *codec);
            const unsigned int frame = sample->frameBytes();
            sample->mLength = exinfo->length / frame;
            sample->mLengthBytes = sample->mLength * frame;
            sample->mLoopStart = 0;
            sample->mLoopLength = sample->mLength;
            result = sample->setCapacity(sample->mLengthBytes);
        }
        if (result == AURA_OK && sample->mLengthBytes) {
            unsigned int got = 0;
            result = codec->read(sample->getData(), sample->mLengthBytes, &got);
            if (result == AURA_ERR_FILE_EOF) {
                result = AURA_OK;
            }
        }
        if (result == AURA_OK && exinfo->pcmreadcallback && sample->mLengthBytes) {
            result = exinfo->pcmreadcallback(reinterpret_cast<AURA_SOUND *>(static_cast<Sound *>(sample)),
                                             sample->getData(), sample->mLengthBytes);
        }
        if (codec) {
            (void)codec->release();
        }
    } else {
        File *file = nullptr;
        Codec *codec = nullptr;
        result = openSoundFile(name_or_data, mode, exinfo, &file);
        if (result == AURA_OK) {
            // A sample holds the whole sound: a codec that would render for
            // ever (a tracker song) measures its length for it.
            result = findCodec(file, mode | AURA_CREATESAMPLE, exinfo, &codec);
            if (result != AURA_OK) {
                (void)file->close();
                AURA_Delete(file);
            }
        }
        if (result == AURA_OK && codec->mDescription.defaultasstream && !(mode & AURA_CREATESAMPLE) && !fromloader) {
            // Formats that open as streams unless a sample is asked for.
            (void)codec->release();
            sample->mSystem = nullptr;
            AURA_Delete(sample);
            return createStreamInternal(name_or_data, mode | AURA_CREATESTREAM, exinfo, nullptr, sound);
        }
        if (result == AURA_OK && codec->mState.numsubsounds > 0) {
            // A multi-sound file: the parent keeps the codec to load its
            // subsounds from, now (the inclusion list) or later.
            result = openSubSounds(sample, codec, mode, exinfo);
            codec = nullptr;
        } else if (result == AURA_OK) {
            result = readSampleFromCodec(codec, -1, mode, sample);
        }
        if (codec) {
            sample->mMetadata = codec->takeMetadata();
            (void)codec->release();
        }
    }
    completeMode(sample);
    if (result != AURA_OK) {
        if (!fromloader) {
            sample->mSystem = nullptr;
            AURA_Delete(sample);
        }
        return result;
    }
    if (exinfo) {
        sample->mUserData = exinfo->userdata;
    }
    if (!fromloader) {
        listSound(sample);
    }
    *sound = sample;
    return AURA_OK;
}

AURA_RESULT SystemI::setupStream(Stream *stream, int subsound)
{
    Codec *codec = stream->mCodec;
    AURA_RESULT result = AURA_OK;
    if (subsound >= 0) {
        result = codec->setPosition(subsound, 0, AURA_TIMEUNIT_PCM);
    }
    AURA_CODEC_WAVEFORMAT waveformat{};
    if (result == AURA_OK) {
        result = codec->getWaveFormat(std::max(subsound, 0), &waveformat);
    }
    if (result == AURA_OK && (waveformat.channels <= 0 || waveformat.channels > 16 || waveformat.frequency <= 0 ||
                              getBitsFromFormat(waveformat.format) == 0)) {
        result = AURA_ERR_FORMAT;
    }
    if (result != AURA_OK) {
        return result;
    }
    // The real-time mixer reads the stream's and the ring's fields as it
    // mixes (a channel just stopped may still be in its block): they change
    // between its blocks. The decoding below runs outside.
    std::optional<CriticalSectionGuard> mixing(std::in_place, mDSPCrit);
    describeSound(stream, waveformat, *codec);
    stream->mSubSoundIndex = std::max(subsound, 0);
    waveformat.name[sizeof(waveformat.name) - 1] = 0;
    AURA_Memory_Free(stream->mName);
    stream->mName = waveformat.name[0] ? AURA_strdup(waveformat.name) : nullptr;
    stream->mStoredFormat = codec->mStoredFormat;
    const bool known = lengthKnown(waveformat.lengthpcm);
    stream->mLength = known ? waveformat.lengthpcm : 0xFFFFFFFFu;
    stream->mLoopStart = 0;
    stream->mLoopLength = known ? stream->mLength : 0;
    if (known && waveformat.loopstart < waveformat.loopend && waveformat.loopstart < stream->mLength) {
        stream->mLoopStart = waveformat.loopstart;
        stream->mLoopLength = std::min(waveformat.loopend, stream->mLength - 1) - waveformat.loopstart + 1;
    }
    const bool sentence = stream->mSubSoundListNum > 0;
    if (sentence) {
        // A sentence is as long as its entries, and loops over all of them.
        stream->mLength = stream->sentenceEntryStart(stream->mSubSoundListNum);
        stream->mLoopStart = 0;
        stream->mLoopLength = stream->mLength;
    }

    // The ring: a few chunks, or the whole stream when it is shorter.
    if (!stream->mSample) {
        stream->mSample = AURA_New(Sample);
        if (!stream->mSample) {
            return AURA_ERR_MEMORY;
        }
    }
    Sample *ring = stream->mSample;
    ring->mSystem = this;
    ring->mFormat = stream->mFormat;
    ring->mChannels = stream->mChannels;
    ring->mSpeakerBits = stream->mSpeakerBits; // the voices place the ring's channels
    ring->mDefaultFrequency = stream->mDefaultFrequency;
    ring->mMode = AURA_LOOP_NORMAL | AURA_2D | AURA_SOFTWARE;
    const uint64_t ringFrames = static_cast<uint64_t>(stream->mChunkSize) * Stream::RING_CHUNKS;
    // An empty stream is whole too: its voice ends at once.
    // (A sentence moves its decoder from entry to entry: it is never whole.)
    const bool whole = known && stream->mLength <= ringFrames && !sentence;
    ring->mLength = whole ? stream->mLength : static_cast<unsigned int>(ringFrames);
    ring->mLengthBytes = ring->mLength * ring->frameBytes();
    ring->mLoopStart = 0;
    ring->mLoopLength = ring->mLength;
    result = ring->setCapacity(ring->mLengthBytes);
    if (result != AURA_OK) {
        return result;
    }
    stream->clearFlags(Stream::FLAG_WHOLE | Stream::FLAG_ENDOFDATA);
    stream->forgetDataEnd();
    stream->setDecodeLoops(0);
    mixing.reset();
    if (subsound >= 0) {
        result = stream->setPosition(0);
    }
    if (result == AURA_OK) {
        result = stream->flush();
    }
    if (result == AURA_OK) {
        CriticalSectionGuard between(mDSPCrit);
        if (whole) {
            // The ring holds what the file did: a file that ended early
            // plays as far as its data, never on into silence.
            const unsigned int held = stream->heldLength();
            if (held < stream->mLength) {
                stream->mLength = held;
                ring->mLength = held;
                ring->mLengthBytes = held * ring->frameBytes();
                ring->mLoopLength = held;
                stream->mLoopStart = std::min(stream->mLoopStart, held);
                stream->mLoopLength = std::min(stream->mLoopLength, held - stream->mLoopStart);
            }
            if (codec->dataCut(std::max(subsound, 0))) {
                // All of it was read: the file held less than it said.
                stream->mFailure.store(AURA_ERR_FILE_EOF, std::memory_order_release);
            }
            stream->setFlags(Stream::FLAG_WHOLE | Stream::FLAG_ENDOFDATA);
        } else if ((stream->mMode & AURA_OPENONLY) && codec->dataCut(std::max(subsound, 0))) {
            // Opened for its facts: a cut the open found is one of them
            // (a stream that plays finds it where its data ends).
            stream->mFailure.store(AURA_ERR_FILE_EOF, std::memory_order_release);
        }
        // The first fill is where a play starts: nothing to redo.
        stream->clearFlags(Stream::FLAG_DECODED);
    }
    return result;
}

AURA_RESULT SystemI::createStreamInternal(const char *name_or_data, AURA_MODE mode, AURA_CREATESOUNDEXINFO *exinfo,
                                          Stream *into, SoundI **sound)
{
    Codec *codec = nullptr;
    AURA_RESULT result = AURA_OK;
    if (mode & AURA_OPENUSER) {
        // The caller's callback fills each chunk the user codec hands out.
        if (!describesUserSound(exinfo)) {
            return AURA_ERR_INVALID_PARAM;
        }
        result = openUserCodec(mode, exinfo, &codec);
        if (result != AURA_OK) {
            return result;
        }
    } else {
        File *file = nullptr;
        result = openSoundFile(name_or_data, mode, exinfo, &file);
        if (result != AURA_OK) {
            return result;
        }
        result = findCodec(file, mode, exinfo, &codec);
        if (result != AURA_OK) {
            (void)file->close();
            AURA_Delete(file);
            return result;
        }
    }
    auto *stream = into ? into : AURA_New(Stream);
    if (!stream) {
        (void)codec->release();
        return AURA_ERR_MEMORY;
    }
    stream->mCodec = codec;
    stream->mSystem = this;
    stream->mMode = mode;
    if (exinfo && exinfo->decodebuffersize > 0) {
        stream->mChunkSize = std::clamp(exinfo->decodebuffersize, 256u, 1u << 20);
    }
    if (mode & AURA_OPENUSER) {
        stream->mPCMReadCallback = exinfo->pcmreadcallback;
        stream->mPCMSetPosCallback = exinfo->pcmsetposcallback;
    }
    if (codec->mType == AURA_SOUND_TYPE_PLAYLIST) {
        // Tags only: no ring and no voice; it plays as nothing.
        AURA_CODEC_WAVEFORMAT waveformat{};
        result = codec->getWaveFormat(0, &waveformat);
        if (result == AURA_OK) {
            describeSound(stream, waveformat, *codec);
            stream->mLength = 0;
            stream->mMetadata = codec->takeMetadata();
            stream->setFlags(Stream::FLAG_IDLE | Stream::FLAG_WHOLE | Stream::FLAG_ENDOFDATA);
            completeMode(stream);
            if (exinfo) {
                stream->mUserData = exinfo->userdata;
            }
            if (!into) {
                listSound(stream);
            }
            *sound = stream;
            return AURA_OK;
        }
    }
    stream->mMetadata = codec->takeMetadata();
    int subsound = -1;
    if (codec->mState.numsubsounds > 0) {
        // A multi-sound file plays one subsound at a time.
        stream->mNumSubSounds = codec->mState.numsubsounds;
        subsound = exinfo ? std::clamp(exinfo->initialsubsound, 0, stream->mNumSubSounds - 1) : 0;
    }
    result = setupStream(stream, subsound);
    File *file = codec->mFile;
    if (result == AURA_OK && file && file->getDeviceType() == FileThread::DEVICE_NET) {
        // A net stream reads on a file thread of its own, so a slow server
        // never holds up the stream thread's other streams. Half of a half
        // covers a chunk's bytes even uncompressed.
        const uint64_t chunkBytes = static_cast<uint64_t>(stream->mChunkSize) * stream->mSample->frameBytes();
        result = file->enableDoubleBuffer(
            static_cast<unsigned int>(
                std::min<uint64_t>(std::max<uint64_t>(2 * chunkBytes, file->getFillSize()), MemPool::MAX_SIZE / 2)),
            nullptr);
    }
    if (result == AURA_OK) {
        stream->mChannelStream = AURA_New(ChannelStream);
        result = stream->mChannelStream ? stream->mChannelStream->init(-1, this, mOutput, nullptr) : AURA_ERR_MEMORY;
    }
    if (result == AURA_OK) {
        result = startStreamThread();
    }
    if (result != AURA_OK) {
        if (!into) {
            stream->mSystem = nullptr;
            AURA_Delete(stream);
        }
        return result;
    }
    stream->setFlags(Stream::FLAG_IDLE);
    completeMode(stream);
    stream->mMode |= AURA_SOFTWARE; // the ring is mixed in software whatever the mode says
    if (exinfo) {
        stream->mUserData = exinfo->userdata;
    }
    if (!into) {
        listSound(stream);
    }
    *sound = stream;
    return AURA_OK;
}

AURA_RESULT SystemI::startStreamThread()
{
    // Outputs that mix one block per update refill streams in the update
    // itself, so a render is the same however fast it runs.
    if (mStreamThread.isRunning() || !mOutput || !mOutput->isRealTime()) {
        return AURA_OK;
    }
    return mStreamThread.initThread("AURA stream thread", &SystemI::streamThreadFunc, this,
                                    Thread::PRIORITY_HIGH, nullptr, 0, false, 10, this);
}

void SystemI::streamThreadFunc(void *param)
{
    auto *system = static_cast<SystemI *>(param);
    // One pass over the stream voices. A voice that stops meanwhile moves
    // the cursor past itself.
    CriticalSectionGuard update(system->mStreamUpdateCrit);
    (void)system->mStreamTimeStamp.stampIn();
    struct StampOut {
        TimeStamp &stamp;
        ~StampOut() { (void)stamp.stampOut(50); }
    } stampOut{system->mStreamTimeStamp};
    {
        CriticalSectionGuard list(system->mStreamListCrit);
        system->mStreamListCursor = system->mStreamVoiceHead.mNext;
    }
    for (;;) {
        ChannelStream *voice = nullptr;
        {
            CriticalSectionGuard list(system->mStreamListCrit);
            LinkedListNode *node = system->mStreamListCursor;
            if (!node || node == &system->mStreamVoiceHead) {
                system->mStreamListCursor = nullptr;
                break;
            }
            voice = static_cast<ChannelStream *>(node->mData);
            system->mStreamListCursor = node->mNext;
        }
        (void)voice->updateStream();
    }
}

AURA_RESULT SystemI::releaseSounds()
{
    for (;;) {
        SoundI *sound = nullptr;
        {
            std::lock_guard<std::mutex> lock(mSoundListLock);
            if (mSoundHead.isEmpty()) {
                break;
            }
            sound = static_cast<SoundI *>(mSoundHead.mNext->mData);
        }
        (void)sound->releaseInternal(true);
    }
    return AURA_OK;
}

// A sound's release belongs with the system that lists it: the loader,
// the channels and the mixer may all still hold it.
AURA_RESULT SoundI::releaseInternal(bool freethis)
{
    // Out of the loader's hands first: taken from its queue, or waited for.
    if (mAsyncData && mAsyncData->mThread) {
        mAsyncData->mThread->cancel(this);
    }
    // A stream's decoder may be waiting on its file (a silent server): the
    // cancel ends that wait, so the stops below need not wait for it.
    if (isStream()) {
        auto *stream = static_cast<Stream *>(this);
        if (stream->mCodec && stream->mCodec->mFile) {
            (void)stream->mCodec->mFile->cancel();
        }
    }
    if (mSubSoundParent && mSubSoundParent->mSubSound && mSubSoundParent->mSubSound[mSubSoundIndex] == this) {
        // A sentence of the parent that plays this sound stops first; the
        // mixer reads the slot under the DSP section.
        if (mSubSoundParent->mSubSoundListNum > 0) {
            mSubSoundParent->stopChannels();
        }
        CriticalSectionGuard guard(mSystem ? mSystem->mDSPCrit : nullptr);
        mSubSoundParent->mSubSound[mSubSoundIndex] = nullptr;
    }
    mSubSoundParent = nullptr;
    // The channels stop before the subsounds go: one that plays the sound's
    // sentence reads them as it mixes. A block the mixer began before the
    // stops may still read the data: it ends before the data goes.
    stopChannels();
    if (mSystem) {
        CriticalSectionGuard barrier(mSystem->mDSPCrit);
    }
    releaseSubSounds();
    stopChannels();
    if (mSystem) {
        { CriticalSectionGuard barrier(mSystem->mDSPCrit); }
        std::lock_guard<std::mutex> lock(mSystem->mSoundListLock);
        mSoundNode.removeNode();
        mSoundGroupNode.removeNode();
        mSoundGroup.store(nullptr, std::memory_order_relaxed);
    }
    if (freethis) {
        SoundI *self = this;
        AURA_Delete(self);
    }
    return AURA_OK;
}

// Channels that still play the sound would read freed memory or a changed
// format: stop them. The sound lists them; a stop's callback may list one
// again.
void SoundI::stopChannels()
{
    for (;;) {
        ChannelI *channel = nullptr;
        {
            std::lock_guard<std::mutex> lock(channelListLock());
            if (mChannelHead.isEmpty()) {
                break;
            }
            LinkedListNode *node = mChannelHead.mNext;
            node->removeNode();
            channel = static_cast<ChannelI *>(node->mData);
        }
        SoundI *playing = nullptr;
        if (channel->getCurrentSound(&playing) == AURA_OK && playing == this) {
            (void)channel->stop();
        }
    }
}

AURA_RESULT SystemI::openSubSounds(Sample *parent, Codec *codec, AURA_MODE mode, AURA_CREATESOUNDEXINFO *exinfo)
{
    const int count = codec->mState.numsubsounds;
    parent->mSubSoundCodec = codec;
    parent->mType = static_cast<AURA_SOUND_TYPE>(codec->mType);
    parent->mMetadata = codec->takeMetadata();
    parent->mSubSound = static_cast<SoundI **>(AURA_Memory_Calloc(static_cast<int>(sizeof(SoundI *) * count)));
    if (!parent->mSubSound) {
        return AURA_ERR_MEMORY;
    }
    parent->mNumSubSounds = count;
    parent->mLength = 0;
    const bool listed = exinfo && exinfo->inclusionlist && exinfo->inclusionlistnum > 0;
    const int wanted = listed ? exinfo->inclusionlistnum : count;
    for (int i = 0; i < wanted; ++i) {
        // Entries that name no subsound ({-1}) load nothing.
        const int index = listed ? exinfo->inclusionlist[i] : i;
        if (index < 0 || index >= count) {
            continue;
        }
        const AURA_RESULT result = parent->loadSubSound(index, mode);
        // A subsound in a format the engine cannot play stays unloaded.
        if (result != AURA_OK && result != AURA_ERR_FORMAT) {
            return result;
        }
    }
    return AURA_OK;
}

AURA_RESULT SoundI::loadSubSound(int index, unsigned int mode)
{
    if (mNumSubSounds <= 0 || !mSubSound || !mSubSoundCodec || !mSystem) {
        return AURA_ERR_INVALID_HANDLE;
    }
    if (index < 0 || index >= mNumSubSounds) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (mSubSound[index]) {
        return AURA_OK;
    }
    auto *child = AURA_New(Sample);
    if (!child) {
        return AURA_ERR_MEMORY;
    }
    child->mSystem = mSystem;
    child->mMode = (mode ? mode : mMode) & ~(AURA_NONBLOCKING | AURA_CREATESTREAM);
    const AURA_RESULT result = mSystem->readSampleFromCodec(mSubSoundCodec, index, child->mMode, child);
    if (result != AURA_OK) {
        child->mSystem = nullptr;
        AURA_Delete(child);
        return result;
    }
    completeMode(child);
    child->mSubSoundParent = this;
    child->mSubSoundIndex = index;
    child->mUserData = mUserData;
    mSubSound[index] = child;
    return AURA_OK;
}

AURA_RESULT SoundI::getSubSound(int index, SoundI **subsound)
{
    if (!subsound) {
        return AURA_ERR_INVALID_PARAM;
    }
    *subsound = nullptr;
    if (mNumSubSounds <= 0) {
        return AURA_ERR_INVALID_HANDLE;
    }
    if (index < 0 || index >= mNumSubSounds) {
        return AURA_ERR_INVALID_PARAM;
    }
    if (!isStream()) {
        *subsound = mSubSound ? mSubSound[index] : nullptr;
        return AURA_OK;
    }
    // A stream plays one subsound at a time: it switches to the one asked
    // for, through the loader when it was opened non-blocking.
    auto *stream = static_cast<Stream *>(this);
    const int state = mOpenState.load(std::memory_order_acquire);
    if (state != OPENSTATE_READY && state != OPENSTATE_ERROR) {
        return AURA_ERR_NOTREADY;
    }
    *subsound = this;
    if (mSubSoundIndex == index && stream->mSample) {
        return AURA_OK;
    }
    // The new subsound may differ in format: nothing plays the old one on.
    // Channels are stopped here, on the caller's thread, never the loader's.
    stopChannels();
    if ((mMode & AURA_NONBLOCKING) && mAsyncData && mAsyncData->mThread) {
        mAsyncData->mSubSound = index;
        mOpenState.store(OPENSTATE_SUBSOUND, std::memory_order_release);
        return mAsyncData->mThread->queue(this);
    }
    return mSystem->switchSubSound(stream, index);
}

AURA_RESULT SystemI::switchSubSound(Stream *stream, int index)
{
    // The stream thread refills nothing while the ring changes.
    CriticalSectionGuard guard(mStreamUpdateCrit);
    return setupStream(stream, index);
}

} // namespace AURA
