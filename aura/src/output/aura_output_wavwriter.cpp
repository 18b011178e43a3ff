#include "output/aura_output_wavwriter.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace AURA {

namespace {

constexpr uint16_t WAVE_FORMAT_PCM = 1;
constexpr uint16_t WAVE_FORMAT_IEEE_FLOAT = 3;
constexpr unsigned int PCM_HEADER_BYTES = 44;   // RIFF, fmt (16), data
constexpr unsigned int FLOAT_HEADER_BYTES = 58; // RIFF, fmt (18), fact, data
constexpr unsigned int MAX_HEADER_BYTES = FLOAT_HEADER_BYTES;

// Fills a header byte by byte, little-endian whatever the host.
class HeaderBytes {
public:
    void tag(const char (&fourcc)[5]) { put(fourcc, 4); }
    void u16(uint16_t v)
    {
        const uint8_t b[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
        put(b, 2);
    }
    void u32(uint32_t v)
    {
        const uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                              static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
        put(b, 4);
    }
    [[nodiscard]] const uint8_t *data() const { return mBytes; }
    [[nodiscard]] unsigned int size() const { return mSize; }

private:
    void put(const void *src, unsigned int n)
    {
        if (mSize + n <= sizeof(mBytes)) {
            std::memcpy(mBytes + mSize, src, n);
            mSize += n;
        }
    }
    uint8_t mBytes[MAX_HEADER_BYTES] = {};
    unsigned int mSize = 0;
};

} // namespace

WavFile::~WavFile()
{
    (void)close();
}

unsigned int WavFile::headerBytes() const
{
    return mFloat ? FLOAT_HEADER_BYTES : PCM_HEADER_BYTES;
}

AURA_RESULT WavFile::open(const char *name, const OutputFormat &format)
{
    if (mFd >= 0) {
        return AURA_ERR_INITIALIZED;
    }
    if (!name) {
        return AURA_ERR_INVALID_PARAM;
    }
    const int fd = ::open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        return (errno == ENOENT || errno == ENOTDIR) ? AURA_ERR_FILE_NOTFOUND : AURA_ERR_FILE_BAD;
    }
    mFd = fd;
    mFloat = format.format == AURA_SOUND_FORMAT_PCMFLOAT;
    mChannels = format.channels;
    mRate = format.rate;
    mFrameBytes = static_cast<unsigned int>(format.channels) * (mFloat ? 4u : 2u);
    mDataBytes = 0;
    // The RIFF size counts everything after its own 8 bytes and is 32 bits.
    const uint32_t room = 0xFFFFFFFFu - (headerBytes() - 8);
    mMaxDataBytes = room - room % mFrameBytes;
    mError = AURA_OK;

    // Sizes of zero until close: a file cut short by a crash still parses.
    // The header is written in place, so the data goes on after it.
    if (!writeHeader(0) || ::lseek(mFd, static_cast<off_t>(headerBytes()), SEEK_SET) < 0) {
        (void)::close(mFd);
        mFd = -1;
        return AURA_ERR_FILE_BAD;
    }
    return AURA_OK;
}

bool WavFile::writeHeader(uint32_t dataBytes)
{
    HeaderBytes h;
    const uint16_t bits = mFloat ? 32 : 16;
    h.tag("RIFF");
    h.u32(headerBytes() - 8 + dataBytes);
    h.tag("WAVE");
    h.tag("fmt ");
    h.u32(mFloat ? 18 : 16);
    h.u16(mFloat ? WAVE_FORMAT_IEEE_FLOAT : WAVE_FORMAT_PCM);
    h.u16(static_cast<uint16_t>(mChannels));
    h.u32(static_cast<uint32_t>(mRate));
    h.u32(static_cast<uint32_t>(mRate) * mFrameBytes);
    h.u16(static_cast<uint16_t>(mFrameBytes));
    h.u16(bits);
    if (mFloat) {
        h.u16(0); // no extension bytes
        // Non-PCM data carries its length in frames.
        h.tag("fact");
        h.u32(4);
        h.u32(dataBytes / mFrameBytes);
    }
    h.tag("data");
    h.u32(dataBytes);
    if (h.size() != headerBytes()) {
        return false;
    }
    unsigned int done = 0;
    while (done < h.size()) {
        const ssize_t n = ::pwrite(mFd, h.data() + done, h.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<unsigned int>(n);
    }
    return true;
}

bool WavFile::writeAll(const void *data, unsigned int bytes, unsigned int *written)
{
    const auto *p = static_cast<const uint8_t *>(data);
    unsigned int done = 0;
    while (done < bytes) {
        const ssize_t n = ::write(mFd, p + done, bytes - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<unsigned int>(n);
    }
    *written = done;
    return done == bytes;
}

AURA_RESULT WavFile::write(const void *data, unsigned int bytes)
{
    if (mFd < 0) {
        return AURA_ERR_UNINITIALIZED;
    }
    if (mError != AURA_OK) {
        return mError;
    }
    // A WAV file cannot describe more: treated like a full disk.
    if (bytes > mMaxDataBytes - mDataBytes) {
        mError = AURA_ERR_FILE_BAD;
        return mError;
    }
    unsigned int written = 0;
    const bool ok = writeAll(data, bytes, &written);
    mDataBytes += written;
    if (!ok) {
        mError = AURA_ERR_FILE_BAD;
    }
    return mError;
}

AURA_RESULT WavFile::close()
{
    if (mFd < 0) {
        return AURA_OK;
    }
    AURA_RESULT result = mError;
    // A write cut short may have left part of a frame: the header counts
    // whole frames and the file is cut to match.
    const uint32_t whole = mDataBytes - mDataBytes % mFrameBytes;
    if (whole != mDataBytes && ::ftruncate(mFd, static_cast<off_t>(headerBytes() + whole)) != 0) {
        result = AURA_ERR_FILE_BAD;
    }
    if (!writeHeader(whole)) {
        result = AURA_ERR_FILE_BAD;
    }
    if (::close(mFd) != 0) {
        result = AURA_ERR_FILE_BAD;
    }
    mFd = -1;
    mDataBytes = 0;
    mError = AURA_OK;
    return result;
}

// ---------------------------------------------------------------------------
// OutputWavFile

template <class Base>
OutputWavFile<Base>::~OutputWavFile()
{
    // The mixer thread must be gone before the file it writes.
    (void)OutputWavFile::close();
}

constinit AURA_OUTPUT_DESCRIPTION_EX wavwriteroutput;
constinit AURA_OUTPUT_DESCRIPTION_EX wavwriteroutput_nrt;

AURA_OUTPUT_DESCRIPTION_EX *OutputWavWriter::getDescriptionEx()
{
    return describeOnce(wavwriteroutput, [](AURA_OUTPUT_DESCRIPTION_EX &description) {
        (void)describeOutput(description, "wavwriter", AURA_OUTPUTTYPE_WAVWRITER);
    });
}

AURA_OUTPUT_DESCRIPTION_EX *OutputWavWriterNRT::getDescriptionEx()
{
    return describeOnce(wavwriteroutput_nrt, [](AURA_OUTPUT_DESCRIPTION_EX &description) {
        (void)describeOutput(description, "wavwriter_nrt", AURA_OUTPUTTYPE_WAVWRITER_NRT);
    });
}

template <class Base>
AURA_RESULT OutputWavFile<Base>::init(DSPMixer *system, OutputFormat &format, void *extradriverdata)
{
    AURA_RESULT result = Base::init(system, format, extradriverdata);
    if (result != AURA_OK) {
        return result;
    }
    const char *name = extradriverdata ? static_cast<const char *>(extradriverdata) : WavFile::DEFAULT_NAME;
    result = mFile.open(name, this->mFormat);
    if (result != AURA_OK) {
        (void)Base::close();
    }
    return result;
}

template <class Base>
AURA_RESULT OutputWavFile<Base>::close()
{
    const AURA_RESULT result = Base::close();
    const AURA_RESULT fileResult = mFile.close();
    return fileResult != AURA_OK ? fileResult : result;
}

template <class Base>
AURA_RESULT OutputWavFile<Base>::writeBlock(const void *data, unsigned int bytes, unsigned int /*frames*/)
{
    return mFile.write(data, bytes);
}

template class OutputWavFile<OutputNoSound>;
template class OutputWavFile<OutputNoSoundNRT>;

} // namespace AURA
