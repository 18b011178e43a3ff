#include "output/aura_output_alsa.h"

#include "base/aura_memory.h"
#include "dsp/aura_dsp_mixer.h"
#include "dsp/units/aura_dsp_soundcard.h"
#include "os/aura_os.h"

#include <alsa/asoundlib.h>
#include <dlfcn.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/output/aura_output_alsa";

// A machine without sound cards would otherwise get several lines on
// stderr for every open; failures are reported through init's result.
void quietALSA(const char * /*file*/, int /*line*/, const char * /*function*/, int /*err*/,
               const char * /*fmt*/, ...)
{
}

// ALSA is loaded when a device is first opened, not with the engine: a
// program that only renders to files or plays nowhere never maps it (its
// relocations alone are a quarter of the engine's load time).
#define AURA_ALSA_FUNCTIONS(X) \
    X(snd_lib_error_set_handler) \
    X(snd_pcm_avail_update) \
    X(snd_pcm_close) \
    X(snd_pcm_drain) \
    X(snd_pcm_drop) \
    X(snd_pcm_hw_params) \
    X(snd_pcm_hw_params_any) \
    X(snd_pcm_hw_params_get_buffer_size) \
    X(snd_pcm_hw_params_get_rate) \
    X(snd_pcm_hw_params_set_access) \
    X(snd_pcm_hw_params_set_buffer_size_near) \
    X(snd_pcm_hw_params_set_channels) \
    X(snd_pcm_hw_params_set_format) \
    X(snd_pcm_hw_params_set_period_size_near) \
    X(snd_pcm_hw_params_set_rate_near) \
    X(snd_pcm_hw_params_sizeof) \
    X(snd_pcm_nonblock) \
    X(snd_pcm_open) \
    X(snd_pcm_recover) \
    X(snd_pcm_state) \
    X(snd_pcm_sw_params) \
    X(snd_pcm_sw_params_current) \
    X(snd_pcm_sw_params_set_avail_min) \
    X(snd_pcm_sw_params_set_start_threshold) \
    X(snd_pcm_sw_params_sizeof) \
    X(snd_pcm_wait) \
    X(snd_pcm_writei) \
    X(snd_strerror)

struct AlsaLibrary {
#define AURA_ALSA_POINTER(name) decltype(&::name) name = nullptr;
    AURA_ALSA_FUNCTIONS(AURA_ALSA_POINTER)
#undef AURA_ALSA_POINTER
};

// Set once by loadALSA and never changed.
const AlsaLibrary *gAlsa = nullptr;

// The library of the major version the engine was built against, quieted;
// false when it cannot be loaded.
bool loadALSA()
{
    static std::once_flag once;
    std::call_once(once, [] {
        static AlsaLibrary library;
        void *handle = dlopen("libasound.so.2", RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            return;
        }
        bool complete = true;
#define AURA_ALSA_SYMBOL(name)                                                                                         \
    library.name = reinterpret_cast<decltype(&::name)>(dlsym(handle, #name));                                          \
    complete = complete && library.name;
        AURA_ALSA_FUNCTIONS(AURA_ALSA_SYMBOL)
#undef AURA_ALSA_SYMBOL
        if (complete) {
            (void)library.snd_lib_error_set_handler(&quietALSA);
            gAlsa = &library;
        }
    });
    return gAlsa != nullptr;
}

// ALSA's parameter records are opaque with a size known at run time.
class AlsaParams {
public:
    explicit AlsaParams(size_t size) : mMemory(AURA_Memory_Calloc(static_cast<int>(size))) {}
    ~AlsaParams()
    {
        if (mMemory) {
            AURA_Memory_Free(mMemory);
        }
    }
    AlsaParams(const AlsaParams &) = delete;
    AlsaParams &operator=(const AlsaParams &) = delete;
    template <class T>
    T *as() const
    {
        return static_cast<T *>(mMemory);
    }
    [[nodiscard]] bool ok() const { return mMemory != nullptr; }

private:
    void *mMemory;
};

} // namespace

namespace AURA {

OutputALSA::~OutputALSA()
{
    (void)close();
}

AURA_RESULT OutputALSA::fail(const char *call, int err)
{
    if (err < 0) {
        std::snprintf(mErrorText, sizeof(mErrorText), "%s: %s", call, gAlsa->snd_strerror(err));
    } else {
        std::snprintf(mErrorText, sizeof(mErrorText), "%s", call);
    }
    if (mPCM) {
        (void)gAlsa->snd_pcm_close(mPCM);
        mPCM = nullptr;
    }
    if (mBlock) {
        AURA_Memory_Free(mBlock);
        mBlock = nullptr;
    }
    return AURA_ERR_OUTPUT_INIT;
}

constinit AURA_OUTPUT_DESCRIPTION_EX alsaoutput;

AURA_OUTPUT_DESCRIPTION_EX *OutputALSA::getDescriptionEx()
{
    return describeOnce(alsaoutput, [](AURA_OUTPUT_DESCRIPTION_EX &description) {
        (void)describeOutput(description, "alsa", AURA_OUTPUTTYPE_ALSA);
    });
}

AURA_RESULT OutputALSA::init(DSPMixer *system, OutputFormat &format, void * /*extradriverdata*/)
{
    mErrorText[0] = '\0';
    if (!loadALSA()) {
        return fail("cannot load libasound.so.2", 0);
    }
    if (mPCM) {
        std::snprintf(mErrorText, sizeof(mErrorText), "already open");
        return AURA_ERR_OUTPUT_INIT;
    }
    OutputFormat want = format;
    if (!system) {
        return fail("no system", 0);
    }
    if (checkFormat(want) != AURA_OK) {
        return fail("unusable output format", 0);
    }
    want.numblocks = std::max(want.numblocks, 2);

    snd_pcm_t *pcm = nullptr;
    // Opened without blocking so that a device held by another program
    // fails at once instead of waiting for it.
    int err = gAlsa->snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (err < 0) {
        return fail("snd_pcm_open(default)", err);
    }
    mPCM = pcm;
    if ((err = gAlsa->snd_pcm_nonblock(pcm, 0)) < 0) {
        return fail("snd_pcm_nonblock", err);
    }

    AlsaParams hwMemory(gAlsa->snd_pcm_hw_params_sizeof());
    AlsaParams swMemory(gAlsa->snd_pcm_sw_params_sizeof());
    if (!hwMemory.ok() || !swMemory.ok()) {
        return fail("out of memory", 0);
    }
    auto *hw = hwMemory.as<snd_pcm_hw_params_t>();
    auto *sw = swMemory.as<snd_pcm_sw_params_t>();
    const bool isFloat = want.format == AURA_SOUND_FORMAT_PCMFLOAT;
    unsigned int rate = static_cast<unsigned int>(want.rate);
    snd_pcm_uframes_t period = want.blocklength;
    snd_pcm_uframes_t buffer = static_cast<snd_pcm_uframes_t>(want.blocklength) *
                               static_cast<snd_pcm_uframes_t>(want.numblocks);
    int dir = 0;
    if ((err = gAlsa->snd_pcm_hw_params_any(pcm, hw)) < 0) {
        return fail("snd_pcm_hw_params_any", err);
    }
    if ((err = gAlsa->snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0) {
        return fail("snd_pcm_hw_params_set_access", err);
    }
    if ((err = gAlsa->snd_pcm_hw_params_set_format(pcm, hw, isFloat ? SND_PCM_FORMAT_FLOAT_LE : SND_PCM_FORMAT_S16_LE)) < 0) {
        return fail("snd_pcm_hw_params_set_format", err);
    }
    if ((err = gAlsa->snd_pcm_hw_params_set_channels(pcm, hw, static_cast<unsigned int>(want.channels))) < 0) {
        return fail("snd_pcm_hw_params_set_channels", err);
    }
    if ((err = gAlsa->snd_pcm_hw_params_set_rate_near(pcm, hw, &rate, &dir)) < 0) {
        return fail("snd_pcm_hw_params_set_rate_near", err);
    }
    dir = 0;
    if ((err = gAlsa->snd_pcm_hw_params_set_period_size_near(pcm, hw, &period, &dir)) < 0) {
        return fail("snd_pcm_hw_params_set_period_size_near", err);
    }
    if ((err = gAlsa->snd_pcm_hw_params_set_buffer_size_near(pcm, hw, &buffer)) < 0) {
        return fail("snd_pcm_hw_params_set_buffer_size_near", err);
    }
    if ((err = gAlsa->snd_pcm_hw_params(pcm, hw)) < 0) {
        return fail("snd_pcm_hw_params", err);
    }
    dir = 0;
    if ((err = gAlsa->snd_pcm_hw_params_get_rate(hw, &rate, &dir)) < 0 ||
        (err = gAlsa->snd_pcm_hw_params_get_buffer_size(hw, &buffer)) < 0) {
        return fail("snd_pcm_hw_params_get", err);
    }
    want.rate = static_cast<int>(rate);
    if (checkFormat(want) != AURA_OK || buffer < want.blocklength) {
        return fail("the device took an unusable rate or buffer", 0);
    }

    // Playback starts once the buffer is full; a write waits for a period.
    if ((err = gAlsa->snd_pcm_sw_params_current(pcm, sw)) < 0 ||
        (err = gAlsa->snd_pcm_sw_params_set_start_threshold(pcm, sw, buffer)) < 0 ||
        (err = gAlsa->snd_pcm_sw_params_set_avail_min(pcm, sw, want.blocklength)) < 0 ||
        (err = gAlsa->snd_pcm_sw_params(pcm, sw)) < 0) {
        return fail("snd_pcm_sw_params", err);
    }

    const unsigned int bytes = DSPSoundCard::bytesFor(want.format, want.blocklength, want.channels);
    mBlock = AURA_Memory_Calloc(static_cast<int>(bytes));
    if (!mBlock) {
        return fail("out of memory", 0);
    }
    mBlockBytes = bytes;
    mFrameBytes = DSPSoundCard::bytesFor(want.format, 1, want.channels);
    mBufferFrames = buffer;
    want.numblocks = static_cast<int>(std::max<snd_pcm_uframes_t>(1, buffer / want.blocklength));
    format = want;
    mFormat = want;
    mSystem = system;
    mDeviceLost = false;
    mError.store(AURA_OK, std::memory_order_release);
    return AURA_OK;
}

AURA_RESULT OutputALSA::start()
{
    if (mThread.isRunning()) {
        return AURA_OK;
    }
    if (!mPCM || !mSystem || !mSystem->mDSPSoundCard) {
        return AURA_ERR_UNINITIALIZED;
    }
    if (mSystem->mDSPSoundCard->mDescription.mFormat != mFormat.format) {
        return AURA_ERR_OUTPUT_FORMAT;
    }
    // Written before the thread exists, read only by it until it is joined.
    mWritten = 0;
    mClock.rebase(mFormat.rate, 0);
    return mThread.initThread("AURA mixer thread", &OutputALSA::mixerThread, this,
                              Thread::PRIORITY_CRITICAL, nullptr, Thread::MIN_STACK_SIZE, false, 0,
                              mSystem);
}

AURA_RESULT OutputALSA::stop()
{
    return mThread.closeThread();
}

AURA_RESULT OutputALSA::close()
{
    (void)stop();
    if (mPCM) {
        // Let the last blocks play unless the device is not playing anyway.
        if (!mDeviceLost && gAlsa->snd_pcm_state(mPCM) == SND_PCM_STATE_RUNNING) {
            (void)gAlsa->snd_pcm_drain(mPCM);
        } else {
            (void)gAlsa->snd_pcm_drop(mPCM);
        }
        (void)gAlsa->snd_pcm_close(mPCM);
        mPCM = nullptr;
    }
    if (mBlock) {
        AURA_Memory_Free(mBlock);
        mBlock = nullptr;
    }
    return AURA_OK;
}

void OutputALSA::mixerThread(void *param)
{
    static_cast<OutputALSA *>(param)->mixStep();
}

// One call mixes and writes one block, or sleeps at most one block.
void OutputALSA::mixStep()
{
    const auto rate = static_cast<uint64_t>(mFormat.rate);
    const unsigned int blockMs = OutputClock::msFor(mFormat.blocklength, mFormat.rate);
    const uint64_t due = mClock.framesDue();
    // A real device holds us back once its buffer is full; one that never
    // fills (a null device) or has failed would have us mix as fast as the
    // processor goes, so the clock holds us back too.
    const uint64_t lead = mDeviceLost ? 0 : mBufferFrames + rate / 10;
    if (mWritten > due + lead) {
        (void)AURA_OS_Time_Sleep(std::min(OutputClock::msFor(mWritten - due - lead, mFormat.rate), blockMs));
        return;
    }
    if (due > mWritten + rate) {
        mClock.rebase(mFormat.rate, mWritten);
    }
    if (mixBlock(mBlock, mFormat.blocklength) != AURA_OK) {
        std::memset(mBlock, 0, mBlockBytes);
    }
    if (!mDeviceLost) {
        writeBlock();
    }
    mWritten += mFormat.blocklength;
}

void OutputALSA::writeBlock()
{
    const snd_pcm_sframes_t avail = gAlsa->snd_pcm_avail_update(mPCM);
    if (avail >= 0 && static_cast<uint64_t>(avail) < mFormat.blocklength) {
        // The buffer is full: the device sets the pace, and the clock
        // follows it so that the two never drift apart.
        const uint64_t queued = mBufferFrames - std::min<uint64_t>(mBufferFrames, static_cast<uint64_t>(avail));
        mClock.rebase(mFormat.rate, mWritten > queued ? mWritten - queued : 0);
    }
    auto *data = static_cast<unsigned char *>(mBlock);
    snd_pcm_uframes_t left = mFormat.blocklength;
    const int waitMs = static_cast<int>(OutputClock::msFor(mFormat.blocklength, mFormat.rate));
    // A few tries, then the rest of the block is dropped: the step has to
    // end for a stop to get through.
    for (int attempt = 0; left > 0 && attempt < 8;) {
        const snd_pcm_sframes_t n = gAlsa->snd_pcm_writei(mPCM, data, left);
        if (n > 0) {
            data += static_cast<size_t>(n) * mFrameBytes;
            left -= static_cast<snd_pcm_uframes_t>(n);
            continue;
        }
        ++attempt;
        if (n == 0 || n == -EAGAIN) {
            (void)gAlsa->snd_pcm_wait(mPCM, waitMs);
            continue;
        }
        if (gAlsa->snd_pcm_recover(mPCM, static_cast<int>(n), 1) == 0) {
            // The device ran dry and was restarted: real time starts over.
            mClock.rebase(mFormat.rate, mWritten);
            continue;
        }
        mDeviceLost = true;
        AURA_RESULT none = AURA_OK;
        (void)mError.compare_exchange_strong(none, AURA_ERR_OUTPUT_DRIVERCALL, std::memory_order_acq_rel);
        mClock.rebase(mFormat.rate, mWritten);
        return;
    }
}

} // namespace AURA
