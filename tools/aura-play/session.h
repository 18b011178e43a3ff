// Where aura-play's sound goes: the sound device in real time, or a WAV file
// rendered one DSP block per update. A device that will not open becomes a
// WAV render.
#ifndef AURA_PLAY_SESSION_H
#define AURA_PLAY_SESSION_H

#include "aura.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>

namespace auraplay {

struct SessionPlan {
    bool render = false;           // straight to the WAV writer
    std::string wavPath;           // the WAV file of a render or of the fallback
    int rate = 48000;              // on the device
    int renderRate = 48000;        // in a render, the fallback's included
    AURA_SOUND_FORMAT format = AURA_SOUND_FORMAT_PCM16;
    // Frames mixed per update when rendering: long blocks spread the fixed
    // cost of an update and of a write over more sound.
    unsigned int blockLength = 4096;
    int updateMs = 10;             // the pause between updates on the device
    // Voices of the system: each holds a block of its own, so a render of
    // files, which plays two at a time at most, asks for few.
    int channels = 64;
    bool quiet = false;
    bool endless = false;          // plays for ever: no render may start
    int profilePort = 0;           // the engine's profiler on 127.0.0.1; 0: off
};

class Session {
public:
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // Opens the output. On failure `error` holds the reason and `status`
    // the exit status: a usage error when an endless job would fall back to
    // a render (no file is touched then).
    [[nodiscard]] static std::unique_ptr<Session> open(const SessionPlan &plan, std::string &error, int &status);

    [[nodiscard]] AURA::System *system() const { return mSystem; }
    [[nodiscard]] bool rendering() const { return mRendering; }
    [[nodiscard]] const std::string &wavPath() const { return mPlan.wavPath; }
    [[nodiscard]] int rate() const { return mRate; }
    [[nodiscard]] unsigned int blockLength() const { return mBlockLength; }

    // One frame of the player: update, then on the device wait for the next.
    [[nodiscard]] AURA_RESULT step();

    // Output frames mixed so far (counted in blocks when rendering, by the
    // wall clock on the device).
    [[nodiscard]] uint64_t framesMixed() const;

    // Lets the device play out what it has queued.
    void drain() const;

    // Releases the system, which finishes the WAV file.
    AURA_RESULT close();

    // Closes the output and leaves any earlier file at the WAV path as it
    // was: for a job that failed or rendered nothing. Says so when a file
    // was there, or when `why` (null: the failure was said already) tells
    // why none is made.
    void abandon(const char *why);

    // Says why an update failed: in a render, the WAV file could not take
    // the block.
    void reportUpdateFailure(const std::string &what, AURA_RESULT result) const;

    // Ends the job: closes the output, cuts a render to `endFrame` frames
    // (the writer writes whole blocks) and says what it wrote. A render
    // replaces a file that was there only when nothing failed (`status` 0),
    // and an interrupted one only when it holds something. Gives the exit
    // status: `status`, or 1 when the output cannot be finished, or 130
    // after an interruption.
    [[nodiscard]] int finish(uint64_t endFrame, int status, bool writeFailed);

private:
    explicit Session(const SessionPlan &plan) : mPlan(plan) {}
    AURA_RESULT start(AURA_OUTPUTTYPE output, std::string &error);
    // Makes the file the WAV writer writes into: a new file beside the
    // target, renamed over it when the render is done, so that a failed
    // render never harms a file that was there. A target that is no regular
    // file (/dev/null, a pipe) is written directly.
    [[nodiscard]] bool prepareWavFile(std::string &error);
    [[nodiscard]] bool commitWavFile();
    void discardWavFile();

    SessionPlan mPlan;
    std::string mWritePath; // where the WAV writer writes: a new file, or the target
    std::string mCommitPath; // the target, through any symbolic link
    bool mOwnWriteFile = false;
    bool mReplacing = false; // a file was at the target when the render began
    mode_t mCommitMode = 0;  // the permissions the render takes when done
    AURA::System *mSystem = nullptr;
    bool mRendering = false;
    int mRate = 48000;
    unsigned int mBlockLength = 1024;
    int mNumBlocks = 4;
    uint64_t mBlocksMixed = 0;
    std::chrono::steady_clock::time_point mStarted;
};

// The running position shown on a terminal: "position / length" in
// seconds, rewritten in place at most ten times a second. Shown only when
// standard error is a terminal, and only for jobs longer than a second.
class Progress {
public:
    Progress(bool enabled, std::string label);
    ~Progress();
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;
    // lengthSeconds 0: unknown (looping for ever).
    void show(double positionSeconds, double lengthSeconds);
    // Writes the last position and ends the line.
    void finish();

private:
    void print() const;

    bool mEnabled;
    bool mShown = false;
    std::string mLabel;
    double mPosition = 0.0;
    double mLength = 0.0;
    std::chrono::steady_clock::time_point mLast;
};

inline constexpr int kExitOk = 0;
inline constexpr int kExitFileFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInterrupted = 130; // the shell's status of a job ended by SIGINT
inline constexpr const char *kNothingRendered = "interrupted before anything was rendered";

// Set by SIGINT and SIGTERM: stop playing and finish the output cleanly.
[[nodiscard]] bool interrupted();
void installInterruptHandler();

[[nodiscard]] std::string describe(AURA_RESULT result);

} // namespace auraplay

#endif // AURA_PLAY_SESSION_H
