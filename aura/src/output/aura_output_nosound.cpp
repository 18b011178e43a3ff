#include "output/aura_output_nosound.h"

#include "base/aura_memory.h"
#include "dsp/aura_dsp_mixer.h"
#include "dsp/units/aura_dsp_soundcard.h"
#include "os/aura_os.h"

#include <algorithm>

namespace {
constexpr const char AURA_ALLOC_TAG[] = "aura/src/output/aura_output_nosound";
} // namespace

namespace AURA {

// ---------------------------------------------------------------------------
// OutputBuffered

OutputBuffered::~OutputBuffered()
{
    if (mBlock) {
        AURA_Memory_Free(mBlock);
    }
}

constinit AURA_OUTPUT_DESCRIPTION_EX nosoundoutput;
constinit AURA_OUTPUT_DESCRIPTION_EX nosoundoutput_nrt;

AURA_OUTPUT_DESCRIPTION_EX *describeOutput(AURA_OUTPUT_DESCRIPTION_EX &record, const char *name, AURA_OUTPUTTYPE type)
{
    record = AURA_OUTPUT_DESCRIPTION_EX{};
    record.name = name;
    record.mType = type;
    return &record;
}

AURA_OUTPUT_DESCRIPTION_EX *OutputNoSound::getDescriptionEx()
{
    return describeOnce(nosoundoutput, [](AURA_OUTPUT_DESCRIPTION_EX &description) {
        (void)describeOutput(description, "nosoundoutput", AURA_OUTPUTTYPE_NOSOUND);
    });
}

AURA_OUTPUT_DESCRIPTION_EX *OutputNoSoundNRT::getDescriptionEx()
{
    return describeOnce(nosoundoutput_nrt, [](AURA_OUTPUT_DESCRIPTION_EX &description) {
        (void)describeOutput(description, "nosoundoutput_nrt", AURA_OUTPUTTYPE_NOSOUND_NRT);
    });
}

AURA_RESULT OutputBuffered::init(DSPMixer *system, OutputFormat &format, void * /*extradriverdata*/)
{
    if (mBlock) {
        return AURA_ERR_INITIALIZED;
    }
    if (!system) {
        return AURA_ERR_INVALID_PARAM;
    }
    const AURA_RESULT result = checkFormat(format);
    if (result != AURA_OK) {
        return result;
    }
    const unsigned int bytes = DSPSoundCard::bytesFor(format.format, format.blocklength, format.channels);
    mBlock = AURA_Memory_Calloc(static_cast<int>(bytes));
    if (!mBlock) {
        return AURA_ERR_MEMORY;
    }
    mBlockBytes = bytes;
    mSystem = system;
    mFormat = format;
    mError.store(AURA_OK, std::memory_order_release);
    return AURA_OK;
}

AURA_RESULT OutputBuffered::close()
{
    if (mBlock) {
        AURA_Memory_Free(mBlock);
        mBlock = nullptr;
    }
    mBlockBytes = 0;
    return AURA_OK;
}

AURA_RESULT OutputBuffered::writeBlock(const void * /*data*/, unsigned int /*bytes*/, unsigned int /*frames*/)
{
    return AURA_OK;
}

AURA_RESULT OutputBuffered::mixAndWrite()
{
    AURA_RESULT result = mixBlock(mBlock, mFormat.blocklength);
    if (result == AURA_OK) {
        result = writeBlock(mBlock, mBlockBytes, mFormat.blocklength);
    }
    if (result != AURA_OK) {
        AURA_RESULT none = AURA_OK;
        (void)mError.compare_exchange_strong(none, result, std::memory_order_acq_rel);
    }
    return result;
}

AURA_RESULT OutputBuffered::checkReady() const
{
    if (!mBlock || !mSystem || !mSystem->mDSPSoundCard) {
        return AURA_ERR_UNINITIALIZED;
    }
    // The sound card writes the system's format; the block was sized for ours.
    if (mSystem->mDSPSoundCard->mDescription.mFormat != mFormat.format) {
        return AURA_ERR_OUTPUT_FORMAT;
    }
    return AURA_OK;
}

// ---------------------------------------------------------------------------
// OutputNoSoundNRT

AURA_RESULT OutputNoSoundNRT::start()
{
    const AURA_RESULT result = checkReady();
    if (result != AURA_OK) {
        return result;
    }
    mStarted = true;
    return AURA_OK;
}

AURA_RESULT OutputNoSoundNRT::stop()
{
    mStarted = false;
    return AURA_OK;
}

AURA_RESULT OutputNoSoundNRT::close()
{
    (void)stop();
    return OutputBuffered::close();
}

AURA_RESULT OutputNoSoundNRT::update()
{
    return mStarted ? mixAndWrite() : AURA_OK;
}

// ---------------------------------------------------------------------------
// OutputNoSound

OutputNoSound::~OutputNoSound()
{
    (void)mThread.closeThread();
}

AURA_RESULT OutputNoSound::start()
{
    if (mThread.isRunning()) {
        return AURA_OK;
    }
    const AURA_RESULT result = checkReady();
    if (result != AURA_OK) {
        return result;
    }
    // Written before the thread exists, read only by it until it is joined.
    mPacedFrames = 0;
    mClock.rebase(mFormat.rate, 0);
    return mThread.initThread("AURA mixer thread", &OutputNoSound::mixerThread, this,
                              Thread::PRIORITY_CRITICAL, nullptr, Thread::MIN_STACK_SIZE, false, 0,
                              mSystem);
}

AURA_RESULT OutputNoSound::stop()
{
    return mThread.closeThread();
}

AURA_RESULT OutputNoSound::close()
{
    (void)stop();
    return OutputBuffered::close();
}

void OutputNoSound::mixerThread(void *param)
{
    static_cast<OutputNoSound *>(param)->mixStep();
}

// One call mixes at most one block or sleeps at most one block, so that a
// stop never waits longer than that.
void OutputNoSound::mixStep()
{
    const uint64_t due = mClock.framesDue();
    if (mPacedFrames > due) {
        const unsigned int blockMs = OutputClock::msFor(mFormat.blocklength, mFormat.rate);
        (void)AURA_OS_Time_Sleep(std::min(OutputClock::msFor(mPacedFrames - due, mFormat.rate), blockMs));
        return;
    }
    // A stall of over a second (a stopped process, a debugger) is skipped
    // rather than made up for in a burst; ordinary lateness is caught up.
    if (due - mPacedFrames > static_cast<uint64_t>(mFormat.rate)) {
        mClock.rebase(mFormat.rate, mPacedFrames);
    }
    (void)mixAndWrite();
    mPacedFrames += mFormat.blocklength;
}

} // namespace AURA
