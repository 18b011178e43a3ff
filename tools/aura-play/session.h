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

namespace auraplay {

struct SessionPlan {
    bool render = false;           // straight to the WAV writer
    std::string wavPath;           // the WAV file of a render or of the fallback
    int rate = 48000;
    AURA_SOUND_FORMAT format = AURA_SOUND_FORMAT_PCM16;
    unsigned int blockLength = 1024; // frames mixed per update when rendering
    int updateMs = 10;             // the pause between updates on the device
    bool quiet = false;
};

class Session {
public:
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // Opens the output. On failure `error` holds the reason.
    [[nodiscard]] static std::unique_ptr<Session> open(const SessionPlan &plan, std::string &error);

    [[nodiscard]] AURA::System *system() const { return mSystem; }
    [[nodiscard]] bool rendering() const { return mRendering; }
    [[nodiscard]] const std::string &wavPath() const { return mPlan.wavPath; }
    [[nodiscard]] int rate() const { return mRate; }

    // One frame of the player: update, then on the device wait for the next.
    [[nodiscard]] AURA_RESULT step();

    // Output frames mixed so far (counted in blocks when rendering, by the
    // wall clock on the device).
    [[nodiscard]] uint64_t framesMixed() const;

    // Lets the device play out what it has queued.
    void drain() const;

    // Releases the system, which finishes the WAV file.
    AURA_RESULT close();

private:
    explicit Session(const SessionPlan &plan) : mPlan(plan) {}
    AURA_RESULT start(AURA_OUTPUTTYPE output, std::string &error);

    SessionPlan mPlan;
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

// Set by SIGINT and SIGTERM: stop playing and finish the output cleanly.
[[nodiscard]] bool interrupted();
void installInterruptHandler();

[[nodiscard]] std::string describe(AURA_RESULT result);

} // namespace auraplay

#endif // AURA_PLAY_SESSION_H
