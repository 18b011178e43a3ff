#include "session.h"

#include "wav_image.h"

#include "aura_errors.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace auraplay {
namespace {

volatile std::sig_atomic_t gInterrupted = 0;

extern "C" void onInterrupt(int)
{
    gInterrupted = 1;
}

constexpr int kMaxInputChannels = 16;
// The most a WAV file can hold; the writer stops there.
constexpr uint64_t kWavLimitBytes = 0xFFFFFFFFull;

// Why the engine's sound device did not open, as its callback said. The
// engine calls back inside init, on this thread.
std::string gDeviceTrouble;

AURA_RESULT hearSystem(AURA_SYSTEM *, AURA_SYSTEM_CALLBACKTYPE type, void *data1, void *)
{
    if (type == AURA_SYSTEM_CALLBACKTYPE_NODEVICE) {
        gDeviceTrouble = data1 ? static_cast<const char *>(data1) : "";
    }
    return AURA_OK;
}

} // namespace

bool interrupted()
{
    return gInterrupted != 0;
}

void installInterruptHandler()
{
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

std::string describe(AURA_RESULT result)
{
    // A file no codec takes: the engine's text speaks of "audio formats".
    std::string text = result == AURA_ERR_FORMAT ? "unsupported format" : AURA_ErrorString(result);
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    text += " (";
    text += std::to_string(static_cast<int>(result));
    text += ")";
    return text;
}

Session::~Session()
{
    (void)close();
    discardWavFile();
}

bool Session::prepareWavFile(std::string &error)
{
    if (!mWritePath.empty()) {
        return true;
    }
    // Through a symbolic link, the file it names is the one replaced.
    std::string target = mPlan.wavPath;
    if (char *resolved = realpath(target.c_str(), nullptr)) {
        target = resolved;
        std::free(resolved);
    }
    mCommitPath = target;
    struct stat st {};
    const bool exists = stat(target.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        if (S_ISDIR(st.st_mode)) {
            error = "cannot write " + mPlan.wavPath + ": " + std::strerror(EISDIR);
            return false;
        }
        mWritePath = target;
        return true;
    }
    const size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string temp = folder + "." + name + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        error = "cannot write " + mPlan.wavPath + ": " + std::strerror(errno);
        return false;
    }
    // mkstemp makes the file private while it is written; when done it
    // takes the permissions of the file it replaces, or the usual ones.
    const mode_t mask = umask(0);
    umask(mask);
    mCommitMode = exists ? st.st_mode & 07777 : 0666 & ~mask;
    mReplacing = exists;
    ::close(fd);
    mWritePath = std::move(temp);
    mOwnWriteFile = true;
    return true;
}

bool Session::commitWavFile()
{
    if (!mOwnWriteFile) {
        return true;
    }
    (void)::chmod(mWritePath.c_str(), mCommitMode);
    if (std::rename(mWritePath.c_str(), mCommitPath.c_str()) != 0) {
        std::fprintf(stderr, "aura-play: cannot write %s: %s\n", mPlan.wavPath.c_str(), std::strerror(errno));
        discardWavFile();
        return false;
    }
    mOwnWriteFile = false;
    return true;
}

void Session::discardWavFile()
{
    if (mOwnWriteFile) {
        (void)::unlink(mWritePath.c_str());
        mOwnWriteFile = false;
    }
}

void Session::abandon(const char *why)
{
    (void)close();
    if (!mOwnWriteFile) {
        return;
    }
    discardWavFile();
    const std::string reason = why ? std::string(why) + ": " : "";
    if (mReplacing) {
        std::fprintf(stderr, "aura-play: %s%s left as it was\n", reason.c_str(), mPlan.wavPath.c_str());
    } else if (why) {
        std::fprintf(stderr, "aura-play: %s%s not written\n", reason.c_str(), mPlan.wavPath.c_str());
    }
}

// Why a file the engine would not write cannot be written, in the OS's words.
static std::string writeTrouble(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return std::strerror(errno);
    }
    const char byte = 0;
    const ssize_t wrote = ::write(fd, &byte, 1);
    const int why = errno;
    ::close(fd);
    return wrote == 1 ? "the output refused the WAV file" : std::strerror(why);
}

AURA_RESULT Session::start(AURA_OUTPUTTYPE output, std::string &error)
{
    AURA_RESULT result = AURA::System_Create(&mSystem);
    if (result != AURA_OK) {
        mSystem = nullptr;
        error = "cannot create the sound system: ";
        error += describe(result);
        return result;
    }
    const bool render = output == AURA_OUTPUTTYPE_WAVWRITER_NRT;
    const char *step = "choose the output";
    result = mSystem->setOutput(output);
    if (result == AURA_OK) {
        result = mSystem->setCallback(&hearSystem);
    }
    if (result == AURA_OK) {
        step = "set the output format";
        result = mSystem->setSoftwareFormat(render ? mPlan.renderRate : mPlan.rate, mPlan.format, 2,
                                            kMaxInputChannels, AURA_DSP_RESAMPLER_LINEAR);
    }
    if (result == AURA_OK && render) {
        step = "set the block length";
        result = mSystem->setDSPBufferSize(mPlan.blockLength, 4);
    }
    unsigned int flags = AURA_INIT_NORMAL;
    if (result == AURA_OK && mPlan.profilePort > 0) {
        step = "set the profiler's port";
        AURA_ADVANCEDSETTINGS settings{};
        settings.cbsize = sizeof(settings);
        result = mSystem->getAdvancedSettings(&settings);
        settings.profileport = static_cast<unsigned short>(mPlan.profilePort);
        if (result == AURA_OK) {
            result = mSystem->setAdvancedSettings(&settings);
        }
        flags |= AURA_INIT_ENABLE_PROFILE;
    }
    if (result == AURA_OK) {
        step = render ? "open the WAV file" : "open the output";
        result = mSystem->init(mPlan.channels, flags,
                               render ? const_cast<char *>(mWritePath.c_str()) : nullptr);
    }
    if (result == AURA_OK) {
        int rate = 0;
        if (mSystem->getSoftwareFormat(&rate, nullptr, nullptr, nullptr, nullptr, nullptr) == AURA_OK && rate > 0) {
            mRate = rate;
        }
        (void)mSystem->getDSPBufferSize(&mBlockLength, &mNumBlocks);
        mRendering = render;
        mBlocksMixed = 0;
        mStarted = std::chrono::steady_clock::now();
        return AURA_OK;
    }
    (void)mSystem->release();
    mSystem = nullptr;
    if (render && result == AURA_ERR_FILE_BAD) {
        error = "cannot write " + mPlan.wavPath + ": " + writeTrouble(mWritePath);
        return result;
    }
    error = "cannot ";
    error += step;
    if (render) {
        error += " ";
        error += mPlan.wavPath;
    }
    error += ": ";
    error += describe(result);
    return result;
}

std::unique_ptr<Session> Session::open(const SessionPlan &plan, std::string &error, int &status)
{
    status = kExitFileFailed;
    std::unique_ptr<Session> session(new Session(plan));
    if (plan.render) {
        if (!session->prepareWavFile(error) || session->start(AURA_OUTPUTTYPE_WAVWRITER_NRT, error) != AURA_OK) {
            return nullptr;
        }
        return session;
    }
    gDeviceTrouble.clear();
    if (session->start(AURA_OUTPUTTYPE_AUTODETECT, error) != AURA_OK) {
        return nullptr;
    }
    AURA_OUTPUTTYPE opened = AURA_OUTPUTTYPE_AUTODETECT;
    (void)session->mSystem->getOutput(&opened);
    if (opened != AURA_OUTPUTTYPE_NOSOUND) {
        return session;
    }
    // No device: nothing would be heard, so keep the sound in a file, as a
    // render would make it.
    (void)session->mSystem->release();
    session->mSystem = nullptr;
    if (plan.endless) {
        error = "no sound device, and --loop -1 would render for ever: give --duration as well";
        status = kExitUsage;
        return nullptr;
    }
    // Said even with -q: it is where the sound went.
    const std::string why = gDeviceTrouble.empty() ? "none found" : gDeviceTrouble;
    if (!session->prepareWavFile(error) || session->start(AURA_OUTPUTTYPE_WAVWRITER_NRT, error) != AURA_OK) {
        error = "no sound device (" + why + "), and the fallback render " + error;
        return nullptr;
    }
    std::fprintf(stderr, "aura-play: no sound device (%s); rendering to %s\n", why.c_str(), plan.wavPath.c_str());
    return session;
}

AURA_RESULT Session::step()
{
    const AURA_RESULT result = mSystem->update();
    if (mRendering) {
        ++mBlocksMixed;
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(mPlan.updateMs));
    }
    return result;
}

uint64_t Session::framesMixed() const
{
    if (mRendering) {
        return mBlocksMixed * mBlockLength;
    }
    const auto elapsed = std::chrono::steady_clock::now() - mStarted;
    return static_cast<uint64_t>(std::chrono::duration<double>(elapsed).count() * mRate);
}

void Session::drain() const
{
    if (mRendering || !mSystem || interrupted()) {
        return;
    }
    const double seconds = static_cast<double>(mBlockLength) * mNumBlocks / mRate;
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < until && !interrupted()) {
        (void)mSystem->update();
        std::this_thread::sleep_for(std::chrono::milliseconds(mPlan.updateMs));
    }
}

AURA_RESULT Session::close()
{
    if (!mSystem) {
        return AURA_OK;
    }
    const AURA_RESULT result = mSystem->release();
    mSystem = nullptr;
    return result;
}

void Session::reportUpdateFailure(const std::string &what, AURA_RESULT result) const
{
    if (!mRendering) {
        std::fprintf(stderr, "aura-play: %s: update failed: %s\n", what.c_str(), describe(result).c_str());
        return;
    }
    const uint64_t frameBytes = 2u * (mPlan.format == AURA_SOUND_FORMAT_PCMFLOAT ? 4u : 2u);
    const bool full = (framesMixed() + mBlockLength) * frameBytes >= kWavLimitBytes - 64;
    std::fprintf(stderr, "aura-play: cannot write %s: %s\n", mPlan.wavPath.c_str(),
                 full ? "a WAV file holds at most 4 GB" : "the disk is full or the file may not grow");
}

int Session::finish(uint64_t endFrame, int status, bool writeFailed)
{
    const bool rendered = mRendering;
    const AURA_RESULT closed = close();
    if (closed != AURA_OK && !writeFailed) {
        std::fprintf(stderr, "aura-play: cannot finish %s: %s\n", rendered ? mPlan.wavPath.c_str() : "the output",
                     describe(closed).c_str());
        status = kExitFileFailed;
    }
    if (rendered) {
        // The writer writes whole blocks; the sound ends inside the last one.
        if (writeFailed || closed != AURA_OK) {
            abandon(nullptr);
        } else if (interrupted() && endFrame == 0) {
            abandon(kNothingRendered);
        } else if (status != kExitOk && mReplacing) {
            // A file failed: what the others made does not replace the one
            // that was there.
            abandon(nullptr);
        } else if (mOwnWriteFile && !trimWavFrames(mWritePath, endFrame)) {
            std::fprintf(stderr, "aura-play: %s: cannot trim the rendered file\n", mPlan.wavPath.c_str());
            abandon(nullptr);
            status = kExitFileFailed;
        } else if (!commitWavFile()) {
            status = kExitFileFailed;
        } else if (!mPlan.quiet) {
            std::fprintf(stderr, "aura-play: wrote %s\n", mPlan.wavPath.c_str());
        }
    }
    return interrupted() ? kExitInterrupted : status;
}

Progress::Progress(bool enabled, std::string label)
    : mEnabled(enabled && isatty(STDERR_FILENO) == 1), mLabel(std::move(label))
{
}

Progress::~Progress()
{
    finish();
}

void Progress::show(double positionSeconds, double lengthSeconds)
{
    if (!mEnabled) {
        return;
    }
    // Only jobs longer than a second get a running position.
    if (lengthSeconds > 0.0 ? lengthSeconds <= 1.0 : positionSeconds <= 1.0) {
        return;
    }
    // Mixing goes in whole blocks, which can pass the end.
    mPosition = lengthSeconds > 0.0 ? std::min(positionSeconds, lengthSeconds) : positionSeconds;
    mLength = lengthSeconds;
    const auto now = std::chrono::steady_clock::now();
    if (mShown && now - mLast < std::chrono::milliseconds(100)) {
        return;
    }
    mLast = now;
    mShown = true;
    print();
}

void Progress::print() const
{
    if (mLength > 0.0) {
        std::fprintf(stderr, "\r%s %7.2f / %7.2f s ", mLabel.c_str(), mPosition, mLength);
    } else {
        std::fprintf(stderr, "\r%s %7.2f s ", mLabel.c_str(), mPosition);
    }
    std::fflush(stderr);
}

void Progress::finish()
{
    if (mShown) {
        print();
        std::fputc('\n', stderr);
        mShown = false;
    }
    mEnabled = false;
}

} // namespace auraplay
