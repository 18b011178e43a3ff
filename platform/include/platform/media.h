// System sounds and the music player, headless: sounds are checked and their
// plays recorded in order, the music player keeps its queue and position on
// the interface loop's clock, and the media picker is answered by tests and
// drivers. Nothing is heard.
#ifndef PLATFORM_MEDIA_H
#define PLATFORM_MEDIA_H

#include "platform/ui.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace platform {

// ------------------------------------------------------------ system sounds

using SystemSoundID = std::uint32_t; // 0: no sound

// A sound for a WAV file; 0 when the file is missing or not a WAV (a RIFF
// "WAVE" file with a PCM or float format chunk and then a data chunk within
// its first 64 KiB).
[[nodiscard]] SystemSoundID createSystemSound(const std::string &path);
void disposeSystemSound(SystemSoundID id);
// Records the play of a known sound; ignores 0 and unknown ids.
void playSystemSound(SystemSoundID id);
[[nodiscard]] std::vector<SystemSoundID> systemSoundPlays();
void clearSystemSoundPlays();
// The header check behind createSystemSound.
[[nodiscard]] bool isWaveFile(std::span<const std::uint8_t> bytes);

// ------------------------------------------------------------------ music

struct MediaItem {
    std::uint64_t persistentId = 0;
    std::string title;
    std::string artist;
    double duration = 0.0; // seconds
    friend bool operator==(const MediaItem &, const MediaItem &) = default;
};

// The device's music, filled by tests and drivers.
class MediaLibrary {
public:
    static MediaLibrary &defaultLibrary();
    void addItem(MediaItem item) { mItems.push_back(std::move(item)); }
    [[nodiscard]] const std::vector<MediaItem> &items() const { return mItems; }
    void clear() { mItems.clear(); }

private:
    std::vector<MediaItem> mItems;
};

enum PlaybackState : int { kPlaybackStopped = 0, kPlaybackPlaying = 1, kPlaybackPaused = 2 };

class MusicPlayer {
public:
    // The system's player, shared by every caller.
    static MusicPlayer &iPodMusicPlayer();

    // The first item becomes the now-playing one, at time 0; playback stops.
    void setQueue(std::vector<MediaItem> items);
    [[nodiscard]] const std::vector<MediaItem> &queue() const { return mQueue; }
    // The item at `position` in the queue, at time 0; ignored past the end.
    // Items go by position, as a queue may hold the same song twice.
    void setNowPlayingIndex(std::size_t position);
    // The queue's size when nothing is queued.
    [[nodiscard]] std::size_t nowPlayingIndex() const { return mIndex; }
    [[nodiscard]] std::optional<MediaItem> nowPlayingItem() const;

    // Nothing to play: play() stays stopped.
    void play();
    void pause();
    void stop();
    [[nodiscard]] PlaybackState playbackState() const { return mState; }

    // Runs on the interface loop's clock while playing, up to the item's
    // duration when it has one.
    [[nodiscard]] double currentPlaybackTime() const;
    void setCurrentPlaybackTime(double seconds);

    // Empty queue, stopped.
    void reset();

private:
    std::vector<MediaItem> mQueue;
    std::size_t mIndex = 0;
    PlaybackState mState = kPlaybackStopped;
    double mTimeAtMark = 0.0;
    double mMark = 0.0; // clock time when playback last started
};

class MediaPickerController;

class MediaPickerDelegate {
public:
    virtual ~MediaPickerDelegate() = default;
    virtual void mediaPickerDidPickMediaItems(MediaPickerController &picker, const std::vector<MediaItem> &items) = 0;
    virtual void mediaPickerDidCancel(MediaPickerController &picker) = 0;
};

inline constexpr int kMediaTypeMusic = 1;

// The picker screen; presented modally like any controller. Tests and
// drivers answer it with pick() or cancel(), which tell the delegate.
class MediaPickerController : public ViewController {
public:
    MediaPickerController() = default;
    explicit MediaPickerController(int mediaTypes)
        : mMediaTypes(mediaTypes)
    {
    }
    [[nodiscard]] const char *className() const override { return "MPMediaPickerController"; }

    [[nodiscard]] int mediaTypes() const { return mMediaTypes; }
    [[nodiscard]] bool allowsPickingMultipleItems() const { return mMultiple; }
    void setAllowsPickingMultipleItems(bool allows);
    [[nodiscard]] std::string prompt() const { return mPrompt; }
    void setPrompt(std::string prompt);
    // Held weakly.
    void setDelegate(std::weak_ptr<MediaPickerDelegate> delegate);

    // Only one item goes through unless several are allowed. False when
    // there is no delegate left to tell.
    bool pick(std::vector<MediaItem> items);
    bool cancel();

private:
    int mMediaTypes = kMediaTypeMusic;
    bool mMultiple = false;
    std::string mPrompt;
    std::weak_ptr<MediaPickerDelegate> mDelegate;
};

} // namespace platform

#endif // PLATFORM_MEDIA_H
